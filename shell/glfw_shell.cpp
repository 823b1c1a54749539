// The platform shell over GLFW (X11 with a GLX compatibility context) and GLEW.
#include "shell/window_shell.h"

#include "shell/log.h"

#include <GL/glew.h>
#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ombrel {

namespace {

// GLFW reports errors through a callback; keep the last one so the single failure line can
// quote it.
int lastErrorCode = 0;
char lastError[512];

void recordError(int code, const char* description) {
    lastErrorCode = code;
    std::snprintf(lastError, sizeof lastError, "%s", description ? description : "unknown error");
}

const char* lastErrorText() {
    return lastErrorCode ? lastError : "no reason given";
}

bool environmentSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

WindowShell* shellOf(GLFWwindow* window) {
    return static_cast<WindowShell*>(glfwGetWindowUserPointer(window));
}

void keyCallback(GLFWwindow* window, int key, int /*scancode*/, int action, int /*mods*/) {
    InputMessage message = action == GLFW_RELEASE ? InputMessage::KeyUp : InputMessage::KeyDown;
    shellOf(window)->onKey(message, virtualKeyFromGlfw(key), action == GLFW_REPEAT);
}

void cursorCallback(GLFWwindow* window, double x, double y) {
    shellOf(window)->onPointer(InputMessage::PointerMove, static_cast<float>(x),
                               static_cast<float>(y));
}

void buttonCallback(GLFWwindow* window, int button, int action, int /*mods*/) {
    // Only the left button is reported; the others, like the wheel, are not part of the records.
    if (button != GLFW_MOUSE_BUTTON_LEFT)
        return;
    double x = 0, y = 0;
    glfwGetCursorPos(window, &x, &y);
    shellOf(window)->onPointer(action == GLFW_PRESS ? InputMessage::LeftButtonDown
                                                    : InputMessage::LeftButtonUp,
                               static_cast<float>(x), static_cast<float>(y));
}

void sizeCallback(GLFWwindow* window, int width, int height) {
    shellOf(window)->onResize(width, height);
}

void closeCallback(GLFWwindow* window) {
    shellOf(window)->quit(0);
}

// Echoes of recentring are delivered one at a time; a viewport that recentres again on each
// echo ends once the cursor no longer moves, and this bounds anything stranger.
constexpr int maxEchoesPerFlush = 4;

} // namespace

std::uint32_t virtualKeyFromGlfw(int key) {
    if (key >= GLFW_KEY_A && key <= GLFW_KEY_Z)
        return VirtualKey::A + static_cast<std::uint32_t>(key - GLFW_KEY_A);
    if (key >= GLFW_KEY_0 && key <= GLFW_KEY_9)
        return VirtualKey::Digit0 + static_cast<std::uint32_t>(key - GLFW_KEY_0);
    if (key >= GLFW_KEY_F1 && key <= GLFW_KEY_F24)
        return VirtualKey::F1 + static_cast<std::uint32_t>(key - GLFW_KEY_F1);
    if (key >= GLFW_KEY_KP_0 && key <= GLFW_KEY_KP_9)
        return VirtualKey::Numpad0 + static_cast<std::uint32_t>(key - GLFW_KEY_KP_0);
    switch (key) {
    case GLFW_KEY_TAB:
        return VirtualKey::Tab;
    case GLFW_KEY_ENTER:
    case GLFW_KEY_KP_ENTER:
        return VirtualKey::Enter;
    // Key messages name the modifier, not the side, so both sides share one code.
    case GLFW_KEY_LEFT_SHIFT:
    case GLFW_KEY_RIGHT_SHIFT:
        return VirtualKey::Shift;
    case GLFW_KEY_LEFT_CONTROL:
    case GLFW_KEY_RIGHT_CONTROL:
        return VirtualKey::Control;
    case GLFW_KEY_LEFT_ALT:
    case GLFW_KEY_RIGHT_ALT:
        return VirtualKey::Alt;
    case GLFW_KEY_ESCAPE:
        return VirtualKey::Escape;
    case GLFW_KEY_SPACE:
        return VirtualKey::Space;
    case GLFW_KEY_LEFT:
        return VirtualKey::Left;
    case GLFW_KEY_UP:
        return VirtualKey::Up;
    case GLFW_KEY_RIGHT:
        return VirtualKey::Right;
    case GLFW_KEY_DOWN:
        return VirtualKey::Down;
    case GLFW_KEY_DELETE:
        return VirtualKey::Delete;
    case GLFW_KEY_KP_MULTIPLY:
        return VirtualKey::Multiply;
    case GLFW_KEY_KP_ADD:
        return VirtualKey::Add;
    case GLFW_KEY_KP_SUBTRACT:
        return VirtualKey::Subtract;
    case GLFW_KEY_KP_DECIMAL:
        return VirtualKey::Decimal;
    case GLFW_KEY_KP_DIVIDE:
        return VirtualKey::Divide;
    case GLFW_KEY_MINUS:
        return VirtualKey::Minus;
    case GLFW_KEY_PERIOD:
        return VirtualKey::Period;
    case GLFW_KEY_SLASH:
        return VirtualKey::Slash;
    default:
        return 0;
    }
}

WindowShell::WindowShell(IViewport* viewport, int width, int height, MillisecondClock clock)
    : viewport_(viewport), clock_(clock ? clock : monotonicMilliseconds) {
    if (!open(width, height))
        return;
    pointers_.resize(width, height);
    initialised_ = true;
    viewport_->init(this, &context_);
    viewport_->resize(width, height);
}

WindowShell::~WindowShell() {
    if (!window_)
        return;
    glfwMakeContextCurrent(window_);
    if (initialised_)
        viewport_->close();
    glfwDestroyWindow(window_);
    window_ = nullptr;
}

bool WindowShell::open(int width, int height) {
    glfwSetErrorCallback(recordError);
    lastErrorCode = 0;
    if (!glfwInit()) {
        if (!environmentSet("DISPLAY") && !environmentSet("WAYLAND_DISPLAY"))
            log("WindowShell: cannot open a window: no X display (DISPLAY is not set); run under "
                "xvfb-run or from a desktop session");
        else
            log("WindowShell: cannot open a window: cannot connect to the display server (%s); "
                "check "
                "DISPLAY and that the server lets this user in",
                lastErrorText());
        return false;
    }

    glfwDefaultWindowHints();
    // Hidden until placed, so the window appears at the top-left corner at once.
    glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
    glfwWindowHint(GLFW_CLIENT_API, GLFW_OPENGL_API);
    // 2.1 keeps the compatibility profile: point sprites and the fixed varyings need it.
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 2);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 1);
    glfwWindowHint(GLFW_DOUBLEBUFFER, GLFW_TRUE);
    glfwWindowHint(GLFW_RED_BITS, 8);
    glfwWindowHint(GLFW_GREEN_BITS, 8);
    glfwWindowHint(GLFW_BLUE_BITS, 8);
    glfwWindowHint(GLFW_ALPHA_BITS, 8);
    // A soft request: the closest format wins, which is 24 bits on most drivers.
    glfwWindowHint(GLFW_DEPTH_BITS, 32);
    glfwWindowHint(GLFW_STENCIL_BITS, 0);

    lastErrorCode = 0;
    window_ = glfwCreateWindow(width, height, "", nullptr, nullptr);
    if (!window_) {
        if (lastErrorCode == GLFW_API_UNAVAILABLE || lastErrorCode == GLFW_VERSION_UNAVAILABLE ||
            lastErrorCode == GLFW_FORMAT_UNAVAILABLE)
            log("WindowShell: cannot create an OpenGL 2.1 context (%s); the display needs GLX with "
                "an "
                "OpenGL 2.1 or newer driver, for example Mesa",
                lastErrorText());
        else
            log("WindowShell: cannot open a window (%s)", lastErrorText());
        return false;
    }
    glfwSetWindowUserPointer(window_, this);
    glfwMakeContextCurrent(window_);

    glewExperimental = GL_TRUE;
    GLenum glew = glewInit();
    if (glew != GLEW_OK) {
        log("WindowShell: cannot load the OpenGL entry points: GLEW failed (%s)",
            reinterpret_cast<const char*>(glewGetErrorString(glew)));
        glfwDestroyWindow(window_);
        window_ = nullptr;
        return false;
    }
    log("WindowShell: OpenGL %s on %s", reinterpret_cast<const char*>(glGetString(GL_VERSION)),
        reinterpret_cast<const char*>(glGetString(GL_RENDERER)));

    glfwSetKeyCallback(window_, keyCallback);
    glfwSetCursorPosCallback(window_, cursorCallback);
    glfwSetMouseButtonCallback(window_, buttonCallback);
    glfwSetFramebufferSizeCallback(window_, sizeCallback);
    glfwSetWindowCloseCallback(window_, closeCallback);

    glfwSetWindowPos(window_, 0, 0);
    glfwShowWindow(window_);
    glfwFocusWindow(window_);
    glfwSwapInterval(1);

    // The viewport hears the size the window really got before init, as it would from the
    // window's own size messages; a window manager may have changed it.
    int clientWidth = 0, clientHeight = 0;
    glfwGetFramebufferSize(window_, &clientWidth, &clientHeight);
    pointers_.resize(clientWidth, clientHeight);
    viewport_->resize(clientWidth, clientHeight);
    return true;
}

int WindowShell::run() {
    if (!window_)
        return startFailureCode;
    LoopClock loopClock;
    std::uint32_t first = clock_();
    loopClock.start(first, clock_());
    for (;;) {
        if (!quitting_) {
            // A recentre asked for outside event handling (in init or draw) is echoed before
            // newer window events, as the system would have queued it.
            deliverRecentreEcho();
            // Polling, not waiting: the redraw flag is never cleared, so every pass draws.
            if (redraw_)
                glfwPollEvents();
            else
                glfwWaitEvents();
            deliverRecentreEcho();
        }
        if (quitting_)
            break;
        FrameTime frame = loopClock.tick(clock_());
        viewport_->draw(frame.timeMs, frame.seconds);
        glfwSwapBuffers(window_);
    }
    return exitCode_;
}

void WindowShell::quit(int code) {
    if (quitting_)
        return;
    quitting_ = true;
    exitCode_ = code;
}

void WindowShell::setRelativePointer(bool on) {
    pointers_.setRelative(on, CursorWarp{&WindowShell::warpCursor, this});
}

void WindowShell::hideCursor(bool hide) {
    cursorCounter_ += hide ? -1 : 1;
    if (window_)
        glfwSetInputMode(window_, GLFW_CURSOR,
                         cursorCounter_ < 0 ? GLFW_CURSOR_HIDDEN : GLFW_CURSOR_NORMAL);
}

void WindowShell::onKey(InputMessage message, std::uint32_t virtualKey, bool autoRepeat) {
    // Nothing reaches the viewport once quit is pending: the loop ends at this message.
    if (quitting_)
        return;
    if (keys_.update(message, virtualKey, autoRepeat, clock_())) {
        ++dispatchDepth_;
        viewport_->keyEvent(&keys_);
        --dispatchDepth_;
    }
    deliverRecentreEcho();
}

void WindowShell::onPointer(InputMessage message, float px, float py) {
    if (quitting_)
        return;
    if (pointers_.update(message, px, py, clock_())) {
        ++dispatchDepth_;
        viewport_->pointerEvent(&pointers_);
        --dispatchDepth_;
    }
    deliverRecentreEcho();
}

void WindowShell::onResize(int width, int height) {
    if (quitting_)
        return;
    pointers_.resize(width, height);
    ++dispatchDepth_;
    viewport_->resize(width, height);
    --dispatchDepth_;
}

void WindowShell::warpCursor(void* user, int x, int y) {
    auto* shell = static_cast<WindowShell*>(user);
    if (!shell->window_)
        return;
    double cx = 0, cy = 0;
    glfwGetCursorPos(shell->window_, &cx, &cy);
    glfwSetCursorPos(shell->window_, x, y);
    // GLFW reports a move only when the position differs from the last one it reported, and
    // its warp does not update that memory: the next real move of the same size as the last
    // would be dropped. Changing the cursor mode makes it read the position afresh; set it to
    // the other mode and back.
    const int mode = glfwGetInputMode(shell->window_, GLFW_CURSOR);
    glfwSetInputMode(shell->window_, GLFW_CURSOR,
                     mode == GLFW_CURSOR_NORMAL ? GLFW_CURSOR_HIDDEN : GLFW_CURSOR_NORMAL);
    glfwSetInputMode(shell->window_, GLFW_CURSOR, mode);
    // A warp to where the cursor already is produces no move, so there is nothing to echo, and
    // the next real move must not be swallowed in its place.
    if (cx != x || cy != y)
        shell->warpPending_ = true;
    else
        shell->pointers_.skipNextMove = false;
}

// GLFW drops the motion event that its own cursor warp causes, so the shell plays that move
// itself, right after the event that recentred; the pointer record swallows it as it expects.
void WindowShell::deliverRecentreEcho() {
    if (dispatchDepth_ > 0)
        return;
    ++dispatchDepth_;
    for (int i = 0; i < maxEchoesPerFlush && warpPending_ && !quitting_; ++i) {
        warpPending_ = false;
        float cx = static_cast<float>(pointers_.width / 2);
        float cy = static_cast<float>(pointers_.height / 2);
        if (pointers_.update(InputMessage::PointerMove, cx, cy, clock_()))
            viewport_->pointerEvent(&pointers_);
    }
    warpPending_ = false;
    --dispatchDepth_;
}

} // namespace ombrel
