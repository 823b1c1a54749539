// The application viewport: input, the fixed-step simulation and the frame order.
#include "app/nadirport.h"

#include <GL/glew.h>

#include <cmath>

#include "shell/input.h"
#include "shell/log.h"

namespace ombrel {

namespace {

constexpr float monoNear = 0.1f;

float held(const KeyState* keys, std::uint32_t code) {
    return keys->pressed[code] ? 1.0f : 0.0f;
}

} // namespace

Nadirport::Nadirport()
    : monoCamera(vec3(1, 1, 1), vec3(0, 0, 0), vec3(0, 1, 0), 60.0f, 1.0f, monoNear, 100.0f) {}

Nadirport::~Nadirport() {
    // close() normally ran already; this only drops what a missing close left behind.
    pointCloud.release();
    raymarcher.release();
}

void Nadirport::init(IViewportHost* host_, GraphicsContext* context_) {
    host = host_;
    context = context_;
    flyer.body.position = vec3();
    flyer.body.velocity = vec3();
    raymarcher.setup(context, traceSize, traceSize);
    pointCloud.setup(context, raymarcher.positions.get(), raymarcher.colours.get());
    stereoRig.setup(context, 0.01f, 100.0f);
}

void Nadirport::resize(int width, int height) {
    windowWidth = width;
    windowHeight = height;
    // An empty client area (a minimised window, or the first size of a new one) has no aspect;
    // keep the last projection instead of filling it with infinities.
    if (width <= 0 || height <= 0)
        return;
    const float aspect = float(width) / float(height);
    if (!(aspect == monoCamera.aspect))
        monoCamera.setProjection(monoCamera.fov, aspect, monoCamera.near, monoCamera.far);
}

void Nadirport::pointerEvent(const PointerState* pointers) {
    constexpr std::uint32_t anyButton = 0x0E;
    if ((pointers->flags & anyButton) && (pointers->changed & PointerFlag::LeftButton)) {
        host->setRelativePointer(true);
        host->hideCursor(true);
        mouseLook = true;
    }
    if (mouseLook && (pointers->flags & PointerFlag::Moved)) {
        if (stereoRig.displayOpen())
            flyer.yaw -= pointers->dx * mouseSensitivity;
        else
            flyer.look(pointers->dx, pointers->dy, mouseSensitivity);
        flyer.updateView();
    }
}

void Nadirport::keyEvent(const KeyState* keys) {
    if (!keys->pressed[KeyCode::Escape])
        return;
    if (mouseLook) {
        host->setRelativePointer(false);
        host->hideCursor(false);
        mouseLook = false;
    } else {
        host->quit(0);
    }
}

void Nadirport::draw(std::uint32_t timeMs, float) {
    if (!host)
        return; // the shell always calls init first; nothing to draw with otherwise
    const KeyState* keys = host->keys();
    flyer.setInput(held(keys, 'W') - held(keys, 'S'), held(keys, 'D') - held(keys, 'A'),
                   held(keys, KeyCode::Space) - held(keys, 'C'));
    flyer.setBraking(held(keys, 'E') != 0.0f);

    World& world = raymarcher.world;
    while (timeMs - lastStepMs > stepMs) {
        raymarcher.integrate(flyer.body, float(lastStepMs) / 1000.0f, float(stepMs) / 1000.0f);
        world.cross(flyer.body.position);
        lastStepMs += stepMs;
    }
    world.cross(flyer.body.position);
    flyer.updateView();

    raymarcher.draw(float(lastStepMs) / 1000.0f, flyer.body.position, flyer.frame.forward);

    if (stereoRig.displayOpen()) {
        flyer.orientFromHead(stereoRig.headMatrix());
        stereoRig.updateEyeMatrices(flyer.frame.view);
        stereoRig.render(pointCloud, windowWidth, windowHeight);
    } else {
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        glViewport(0, 0, windowWidth, windowHeight);
        glClear(GL_DEPTH_BUFFER_BIT);
        pointCloud.draw(monoCamera.projection * flyer.frame.view);
    }
    host->requestRedraw();
}

void Nadirport::close() {
    raymarcher.release();
    pointCloud.release();
    stereoRig.close();
}

void Nadirport::placeViewer(int sector, const vec3& position, const vec3& direction) {
    World& world = raymarcher.world;
    if (sector < 0 || sector >= world.sectorCount()) {
        ombrel::log("Nadirport: no scene %d (there are %d); the viewer stays in scene %d", sector,
                    world.sectorCount(), world.current);
        return;
    }
    world.current = sector;
    flyer.place(position, direction);
}

Viewpoint arrivalPoint(int sector) {
    switch (sector) {
    case World::warehouse: // where the knee tunnel from the start room opens into the hall
        return {vec3(2, 0, 21), vec3(0, 0, -1)};
    case World::metaballs: // dropping out of the shaft into the turning room, the metaballs below
        return {vec3(0, 11, 0), vec3(0.15f, -1, 0.1f)};
    case World::endfall: // low in the fall from the metaballs room, facing the sign
        return {vec3(0, 6, 14), vec3(0, -0.5f, -1)};
    case World::landscape: // no portal leads here: a lookout just above the terrain, facing into
                           // the sun so that its glint and the hills' shadows show the relief
        return {vec3(0, -85, 0), vec3(1, -0.3f, 1)};
    default: // the middle of the start room, where the demo begins
        return {vec3(0, 0, 0), vec3(0, 0, -1)};
    }
}

} // namespace ombrel
