// The capture driver: scripted input through the shell, a fixed draw clock and frame readback.
#include "tools/capture/capture_driver.h"

#include <GL/glew.h>
#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>

#include <chrono>
#include <cstdio>

#include "tools/capture/capture_options.h"

namespace ombrel::capture {

namespace {

std::uint32_t fixedNow = 0;

double wallSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

std::uint32_t fixedStepClock() {
    return fixedNow;
}

CaptureDriver::CaptureDriver(Nadirport& demo, CaptureSettings settings)
    : demo_(demo), settings_(std::move(settings)), player_(settings_.script) {
    fixedNow = 0;
}

MillisecondClock CaptureDriver::clock() const {
    return settings_.frameMs > 0 ? fixedStepClock : monotonicMilliseconds;
}

void CaptureDriver::init(IViewportHost* host, GraphicsContext* context) {
    host_ = host;
    // Scripted pointer events happen at the window centre, without the system cursor moving.
    // Put the real cursor there too, so that the shell's recentring (which looks at the real
    // cursor) moves nothing and no echo of it is played; a scripted move then reaches the demo
    // once, where a physical mouse's move would be reported twice (the move and its echo).
    if (GLFWwindow* window = glfwGetCurrentContext()) {
        const PointerState* p = host->pointers();
        glfwSetCursorPos(window, p->width / 2, p->height / 2);
    }
    demo_.init(this, context);
    // init puts the viewer back at the origin; the start point goes in afterwards.
    if (settings_.place)
        demo_.placeViewer(settings_.sector, settings_.position, settings_.direction);
    startSeconds_ = lastReport_ = wallSeconds();
}

void CaptureDriver::resize(int width, int height) {
    demo_.resize(width, height);
}

void CaptureDriver::pointerEvent(const PointerState* pointers) {
    demo_.pointerEvent(pointers);
}

void CaptureDriver::keyEvent(const KeyState* keys) {
    demo_.keyEvent(keys);
}

void CaptureDriver::play(std::uint32_t scriptMs) {
    if (!shell_)
        return;
    for (const ScriptEvent& e : player_.advance(scriptMs)) {
        // Outside the script's own steps the pointer rests at the window centre.
        const PointerState& p = *shell_->pointers();
        const float cx = float(p.width / 2), cy = float(p.height / 2);
        switch (e.kind) {
        case ScriptEvent::Kind::keyDown:
            // Letters, digits, space, Escape, Enter and Tab have the same virtual-key numbers.
            shell_->onKey(InputMessage::KeyDown, std::uint32_t(e.key), false);
            break;
        case ScriptEvent::Kind::keyUp:
            shell_->onKey(InputMessage::KeyUp, std::uint32_t(e.key), false);
            break;
        case ScriptEvent::Kind::buttonDown:
            shell_->onPointer(InputMessage::LeftButtonDown, cx, cy);
            break;
        case ScriptEvent::Kind::buttonUp:
            shell_->onPointer(InputMessage::LeftButtonUp, cx, cy);
            break;
        case ScriptEvent::Kind::move:
            // In mouse look the cursor sits at the centre, so a move there by (dx, dy) units is
            // the pixel offset the pointer record turns back into the same motion.
            shell_->onPointer(InputMessage::PointerMove, cx + e.dx * float(p.width) * 0.5f,
                              cy - e.dy * float(p.height) * 0.5f);
            break;
        }
    }
}

void CaptureDriver::draw(std::uint32_t timeMs, float seconds) {
    if (stopping_)
        return;
    if (!started_) {
        started_ = true;
        firstMs_ = timeMs;
    }
    play(timeMs - firstMs_);
    if (quitRequested())
        return; // the real shell draws nothing once quit is pending
    const int frame = framesDrawn_;
    if (beforeFrame)
        beforeFrame(frame);
    demo_.draw(timeMs, seconds);
    lastTimeMs_ = timeMs;
    ++framesDrawn_;

    const bool lastOne =
        framesDrawn_ >= settings_.frames && !(settings_.keepRunning && settings_.keepRunning());
    const bool numbered = settings_.every > 0 && framesDrawn_ % settings_.every == 0;
    const bool keep = lastOne || numbered || grabEveryFrame;
    Image image;
    if (keep)
        grab(image);
    if (numbered && !settings_.out.empty()) {
        std::string error;
        if (!writePng(numberedPath(settings_.out, framesDrawn_), image, error))
            errors_.push_back(error);
    }
    if (afterFrame)
        afterFrame(frame, keep ? &image : nullptr);
    if (keep)
        last_ = std::move(image);

    if (settings_.frameMs > 0)
        fixedNow += settings_.frameMs;

    if (settings_.progress) {
        const double now = wallSeconds();
        if (now - lastReport_ >= 2.0 || lastOne) {
            lastReport_ = now;
            const vec3& at = demo_.flyer.body.position;
            std::fprintf(stderr,
                         "nadirport-capture: frame %d/%d%s, scene %d, position (%.2f, %.2f, %.2f), "
                         "%.1f s\n",
                         framesDrawn_, settings_.frames, settings_.keepRunning ? "+" : "",
                         demo_.raymarcher.world.current, at.x, at.y, at.z, now - startSeconds_);
        }
    }
    if (lastOne && host_) {
        stopping_ = true;
        host_->quit(0);
    }
}

void CaptureDriver::close() {
    demo_.close();
}

void CaptureDriver::quit(int code) {
    if (quitCode_ < 0) {
        quitCode_ = code;
        quitFrame_ = framesDrawn_;
    }
    if (host_)
        host_->quit(code);
}

void CaptureDriver::requestRedraw() {
    if (host_)
        host_->requestRedraw();
}

void CaptureDriver::setRelativePointer(bool on) {
    if (host_)
        host_->setRelativePointer(on);
}

void CaptureDriver::hideCursor(bool hide) {
    if (host_)
        host_->hideCursor(hide);
}

const PointerState* CaptureDriver::pointers() const {
    return host_->pointers();
}

const KeyState* CaptureDriver::keys() const {
    return host_->keys();
}

void CaptureDriver::grab(Image& image) const {
    image.width = demo_.windowWidth;
    image.height = demo_.windowHeight;
    if (image.width <= 0 || image.height <= 0)
        return;
    image.rgba.resize(size_t(image.width) * image.height * 4);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, image.width, image.height, GL_RGBA, GL_UNSIGNED_BYTE, image.rgba.data());
}

} // namespace ombrel::capture
