// Stand-in viewport for the window shell tests: records what the shell calls and hands it, clears
// the window each frame and quits with 0 on Escape, as the smallest application would.
#pragma once

#include "shell/input.h"
#include "shell/loop_clock.h"
#include "shell/viewport.h"

#include <functional>
#include <string>
#include <vector>

struct GLFWwindow;

namespace ombrel::test {

class PlaceholderViewport : public IViewport {
public:
    void init(IViewportHost* host, GraphicsContext* context) override;
    void resize(int width, int height) override;
    void pointerEvent(const PointerState* pointers) override;
    void keyEvent(const KeyState* keys) override;
    void draw(std::uint32_t timeMs, float seconds) override;
    void close() override;

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
