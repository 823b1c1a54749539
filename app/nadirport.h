// The demo's application object: the viewer, the fixed-step simulation, the order of work in a
// frame, mouse look and the Escape logic, the point-cloud pass and the stereo rig.
#pragma once

#include <cstdint>

#include "app/flyer.h"
#include "app/point_cloud.h"
#include "app/stereo_rig.h"
#include "render/math.h"
#include "shell/viewport.h"
#include "world/raymarcher.h"

namespace ombrel {

class Nadirport : public IViewport {
public:
    static constexpr int traceSize = 256; // side of the traced sample buffer

    Nadirport();
    ~Nadirport() override;

    void init(IViewportHost* host, GraphicsContext* context) override;
    void resize(int width, int height) override;
    // A left-button press starts mouse look; moves during it turn the view.
    void pointerEvent(const PointerState* pointers) override;
    // Escape leaves mouse look, or quits with code 0 when mouse look is off.
    void keyEvent(const KeyState* keys) override;
    // Keys to thrust, fixed 16 ms physics steps with portal checks, one traced tile, then the
    // point cloud (stereo through the rig, else mono straight to the window).
    void draw(std::uint32_t timeMs, float seconds) override;
    void close() override;

    // Moves the viewer into a scene at a position, looking along direction, at rest. For tools
    // and tests: the demo itself only enters scenes through portals.
    void placeViewer(int sector, const vec3& position, const vec3& direction);

    Raymarcher raymarcher; // owns the world: the scenes and the current scene index
    PointCloud pointCloud;
    IViewportHost* host = nullptr;
    GraphicsContext* context = nullptr;
    Camera monoCamera; // only its projection is used, and only without a head-mounted display
    Flyer flyer;
    StereoRig stereoRig;
    bool mouseLook = false;
    float mouseSensitivity = 1.0f; // radians per normalised pointer unit
    int windowWidth = 0;
    int windowHeight = 0;
    std::uint32_t stepMs = 16;    // fixed simulation step
    std::uint32_t lastStepMs = 0; // draw-clock time the simulation has reached
};

// Where the journey enters each scene: a position and a view direction in that scene's
// coordinates that show it (the landscape, which no portal reaches, gets a lookout).
struct Viewpoint {
    vec3 position;
    vec3 direction;
};
Viewpoint arrivalPoint(int sector);

} // namespace ombrel
