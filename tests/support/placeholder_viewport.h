// Stand-in viewport for the window shell tests: records what the shell calls and hands it, clears
// the window each frame and quits with 0 on Escape, as the smallest application would.
#pragma once

#include "shell/input.h"
#include "shell/loop_clock.h"
#include "shell/viewport.h"

#include <GL/glew.h>
#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>

#include <functional>
#include <string>
#include <vector>

namespace ombrel::test {

class PlaceholderViewport : public IViewport {
public:
    void init(IViewportHost* h, GraphicsContext* c) override {
        host = h;
        context = c;
        calls.push_back("init");
        currentAtInit = glfwGetCurrentContext();
    }
    void resize(int width, int height) override {
        calls.push_back("resize " + std::to_string(width) + "x" + std::to_string(height));
    }
    void pointerEvent(const PointerState* pointers) override {
        pointerEvents.push_back(*pointers);
        if (onPointer)
            onPointer(*this, *pointers);
    }
    void keyEvent(const KeyState* keys) override {
        keyEvents.push_back(*keys);
        if (keys->pressed[KeyCode::Escape])
            host->quit(0);
    }
    void draw(std::uint32_t timeMs, float seconds) override {
        frames.push_back({timeMs, seconds});
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        if (onDraw)
            onDraw(*this, static_cast<int>(frames.size()));
        if (frames.size() > 100000) // a loop that never quits must fail its test, not hang it
            host->quit(99);
    }
    void close() override {
        calls.push_back("close");
        currentAtClose = glfwGetCurrentContext();
    }

    IViewportHost* host = nullptr;
    GraphicsContext* context = nullptr;
    GLFWwindow* currentAtInit = nullptr; // the context current when init and close ran
    GLFWwindow* currentAtClose = nullptr;
    std::vector<std::string> calls; // "init", "resize WxH", "close"
    std::vector<FrameTime> frames;
    std::vector<PointerState> pointerEvents;
    std::vector<KeyState> keyEvents;
    // Called after each record is taken; frame counts from 1.
    std::function<void(PlaceholderViewport&, int frame)> onDraw;
    std::function<void(PlaceholderViewport&, const PointerState&)> onPointer;
};

} // namespace ombrel::test
