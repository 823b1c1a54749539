// The platform shell: one window with its GL context, the polling main loop, and the input
// records fed from the window's events. Implemented over GLFW in glfw_shell.cpp.
#pragma once

#include "shell/input.h"
#include "shell/loop_clock.h"
#include "shell/viewport.h"

#include <cstdint>

struct GLFWwindow;

namespace ombrel {

class WindowShell final : public IViewportHost {
public:
    // Exit code of run() when the window, the context or the GL entry points could not be made.
    static constexpr int startFailureCode = 2;

    // Opens a window with a width by height client area at the desktop's top-left corner, makes
    // its GL context current, then calls the viewport's init and resize. On failure it logs one
    // line saying what is missing and run() returns startFailureCode without touching the
    // viewport. Main thread only.
    WindowShell(IViewport* viewport, int width, int height,
                MillisecondClock clock = monotonicMilliseconds);
    // Calls the viewport's close (when init ran) with the context still current.
    ~WindowShell();
    WindowShell(const WindowShell&) = delete;
    WindowShell& operator=(const WindowShell&) = delete;

    // Polls window events and draws one frame per pass until quit; returns the quit code.
    int run();

    bool created() const { return window_ != nullptr; }
    GLFWwindow* nativeWindow() const { return window_; }
    int cursorCounter() const { return cursorCounter_; }

    void quit(int code) override;
    void requestRedraw() override { redraw_ = true; }
    void setRelativePointer(bool on) override;
    void hideCursor(bool hide) override;
    const PointerState* pointers() const override { return &pointers_; }
    const KeyState* keys() const override { return &keys_; }

    // Event entry points for the window callbacks, in the records' own message kinds.
    void onKey(InputMessage message, std::uint32_t virtualKey, bool autoRepeat);
    void onPointer(InputMessage message, float px, float py);
    void onResize(int width, int height);

private:
    bool open(int width, int height);
    void deliverRecentreEcho();
    static void warpCursor(void* shell, int x, int y);

    IViewport* viewport_;
    GLFWwindow* window_ = nullptr;
    bool redraw_ = true;
    PointerState pointers_;
    KeyState keys_;
    GraphicsContext context_;
    MillisecondClock clock_;
    int cursorCounter_ = 0;
    bool initialised_ = false;
    bool quitting_ = false;
    int exitCode_ = 0;
    bool warpPending_ = false;
    int dispatchDepth_ = 0;
};

// The virtual-key code for a GLFW key, as the desktop would report it in a key message (both
// Shift keys as Shift, and so on); 0 for keys the records do not know.
std::uint32_t virtualKeyFromGlfw(int glfwKey);

} // namespace ombrel
