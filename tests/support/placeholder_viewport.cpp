// Stand-in viewport: records the shell's calls, clears each frame, Escape quits with 0.
#include "tests/support/placeholder_viewport.h"

#include <GL/glew.h>
#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>

namespace ombrel::test {

// A loop that never quits must fail its test, not hang it.
constexpr int stuckLoopFrames = 100000;

void PlaceholderViewport::init(IViewportHost* host_, GraphicsContext* context_) {
    host = host_;
    context = context_;
    calls.push_back("init");
    currentAtInit = glfwGetCurrentContext();
}

void PlaceholderViewport::resize(int width, int height) {
    calls.push_back("resize " + std::to_string(width) + "x" + std::to_string(height));
}

void PlaceholderViewport::pointerEvent(const PointerState* pointers) {
    pointerEvents.push_back(*pointers);
    if (onPointer)
        onPointer(*this, *pointers);
}

void PlaceholderViewport::keyEvent(const KeyState* keys) {
    keyEvents.push_back(*keys);
    if (host && keys->pressed[KeyCode::Escape])
        host->quit(0);
}

void PlaceholderViewport::draw(std::uint32_t timeMs, float seconds) {
    frames.push_back({timeMs, seconds});
    glClearColor(0.2f, 0.6f, 0.4f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    if (onDraw)
        onDraw(*this, static_cast<int>(frames.size()));
    if (host && frames.size() > stuckLoopFrames)
        host->quit(99);
}

void PlaceholderViewport::close() {
    calls.push_back("close");
    currentAtClose = glfwGetCurrentContext();
}

} // namespace ombrel::test
