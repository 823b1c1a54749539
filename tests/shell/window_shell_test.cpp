// The shell with a real window and GL context (run under Xvfb): start-up order, what the
// context offers, the main loop with its quit code and clock, and the host operations.
#include "shell/input.h"
#include "shell/window_shell.h"
#include "tests/support/gl_test_context.h"
#include "tests/support/log_capture.h"

#include <GL/glew.h>
#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

using namespace ombrel;

namespace {

class RecordingViewport : public IViewport {
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
    void pointerEvent(const PointerState* p) override {
        pointerEvents.push_back(*p);
        if (onPointer)
            onPointer(*this, *p);
    }
    void keyEvent(const KeyState* k) override {
        keyEvents.push_back(*k);
        if (onKey)
            onKey(*this, *k);
    }
    void draw(std::uint32_t timeMs, float seconds) override {
        draws.push_back({timeMs, seconds});
        if (onDraw)
            onDraw(*this, static_cast<int>(draws.size()));
        // A stuck loop must fail the test, not hang it.
        if (draws.size() > 100000 && host)
            host->quit(99);
    }
    void close() override {
        calls.push_back("close");
        currentAtClose = glfwGetCurrentContext();
    }

    struct Frame {
        std::uint32_t timeMs;
        float seconds;
    };
    IViewportHost* host = nullptr;
    GraphicsContext* context = nullptr;
    GLFWwindow* currentAtInit = nullptr;
    GLFWwindow* currentAtClose = nullptr;
    std::vector<std::string> calls;
    std::vector<Frame> draws;
    std::vector<PointerState> pointerEvents;
    std::vector<KeyState> keyEvents;
    std::function<void(RecordingViewport&, int)> onDraw;
    std::function<void(RecordingViewport&, const PointerState&)> onPointer;
    std::function<void(RecordingViewport&, const KeyState&)> onKey;
};

class WindowShellTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (test::displayMissing())
            GTEST_SKIP() << "no display: run under xvfb-run";
    }
};

bool haveXdotool() {
    return std::system("command -v xdotool >/dev/null 2>&1") == 0;
}

} // namespace

// The window and context the renderer will work in: the start-up order, the size and place, what
// the context offers (float targets, GLSL 1.20, shader-sized point sprites), the cursor counter,
// and close with the context still current.
TEST_F(WindowShellTest, OpensTheWindowAndContextTheRendererNeeds) {
    RecordingViewport viewport;
    {
        WindowShell shell(&viewport, 1280, 800);
        ASSERT_TRUE(shell.created());
        ASSERT_GE(viewport.calls.size(), 3u);
        EXPECT_EQ(viewport.calls[0].rfind("resize ", 0), 0u) << viewport.calls[0];
        EXPECT_EQ(viewport.calls[viewport.calls.size() - 2], "init");
        EXPECT_EQ(viewport.calls.back(), "resize 1280x800");
        EXPECT_EQ(viewport.currentAtInit, shell.nativeWindow());
        EXPECT_NE(viewport.context, nullptr);
        EXPECT_EQ(viewport.host, &shell);

        int x = -1, y = -1, w = 0, h = 0;
        glfwGetWindowPos(shell.nativeWindow(), &x, &y);
        glfwGetFramebufferSize(shell.nativeWindow(), &w, &h);
        EXPECT_EQ(x, 0);
        EXPECT_EQ(y, 0);
        EXPECT_EQ(w, 1280);
        EXPECT_EQ(h, 800);
        EXPECT_EQ(shell.pointers()->width, 1280);
        EXPECT_FLOAT_EQ(shell.pointers()->scaleY, -2.0f / 800);
        EXPECT_EQ(glfwGetWindowAttrib(shell.nativeWindow(), GLFW_VISIBLE), GLFW_TRUE);
        GLboolean doubleBuffered = GL_FALSE;
        glGetBooleanv(GL_DOUBLEBUFFER, &doubleBuffered);
        EXPECT_EQ(doubleBuffered, GL_TRUE);

        int major = 0, minor = 0;
        std::sscanf(reinterpret_cast<const char*>(glGetString(GL_VERSION)), "%d.%d", &major,
                    &minor);
        EXPECT_GE(major * 10 + minor, 21);
        std::sscanf(reinterpret_cast<const char*>(glGetString(GL_SHADING_LANGUAGE_VERSION)),
                    "%d.%d", &major, &minor);
        EXPECT_GE(major * 100 + minor, 120);
        GLint depthBits = 0;
        glGetIntegerv(GL_DEPTH_BITS, &depthBits);
        EXPECT_GE(depthBits, 24);

        // A float colour target: values outside [0, 1] must survive.
        GLuint texture = 0, fbo = 0;
        glGenTextures(1, &texture);
        glBindTexture(GL_TEXTURE_2D, texture);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA32F_ARB, 32, 32, 0, GL_RGBA, GL_FLOAT, nullptr);
        ASSERT_NE(glGenFramebuffers, nullptr);
        glGenFramebuffers(1, &fbo);
        glBindFramebuffer(GL_FRAMEBUFFER, fbo);
        glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture, 0);
        ASSERT_EQ(glCheckFramebufferStatus(GL_FRAMEBUFFER), GLenum(GL_FRAMEBUFFER_COMPLETE));
        glViewport(0, 0, 32, 32);
        glClearColor(2.5f, -1.0f, 0.25f, 1.0f);
        glClear(GL_COLOR_BUFFER_BIT);
        float clear[4] = {};
        glReadPixels(0, 0, 1, 1, GL_RGBA, GL_FLOAT, clear);
        EXPECT_FLOAT_EQ(clear[0], 2.5f);
        EXPECT_FLOAT_EQ(clear[1], -1.0f);

        // GLSL 1.20 with shader-sized point sprites: gl_PointCoord must vary across the point.
        const char* vs = "#version 120\n"
                         "void main() { gl_Position = gl_Vertex; gl_PointSize = 16.0; }\n";
        const char* fs = "#version 120\n"
                         "void main() { gl_FragColor = vec4(gl_PointCoord, 0.0, 1.0); }\n";
        GLuint program = glCreateProgram();
        for (auto [type, text] :
             {std::pair{GL_VERTEX_SHADER, vs}, std::pair{GL_FRAGMENT_SHADER, fs}}) {
            GLuint shader = glCreateShader(type);
            glShaderSource(shader, 1, &text, nullptr);
            glCompileShader(shader);
            GLint ok = 0;
            glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
            EXPECT_EQ(ok, GL_TRUE);
            glAttachShader(program, shader);
        }
        glLinkProgram(program);
        GLint linked = 0;
        glGetProgramiv(program, GL_LINK_STATUS, &linked);
        ASSERT_EQ(linked, GL_TRUE);
        glUseProgram(program);
        glEnable(GL_POINT_SPRITE);
        glEnable(GL_VERTEX_PROGRAM_POINT_SIZE);
        glClearColor(0, 0, 0, 0);
        glClear(GL_COLOR_BUFFER_BIT);
        glBegin(GL_POINTS);
        glVertex2f(0.0f, 0.0f);
        glEnd();
        float left[4] = {}, right[4] = {};
        glReadPixels(9, 16, 1, 1, GL_RGBA, GL_FLOAT, left);
        glReadPixels(22, 16, 1, 1, GL_RGBA, GL_FLOAT, right);
        EXPECT_EQ(left[3], 1.0f) << "the point must cover 16 pixels";
        EXPECT_LT(left[0], 0.3f);
        EXPECT_GT(right[0], 0.7f);
        EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));

        glUseProgram(0);
        glDeleteProgram(program);
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        glDeleteFramebuffers(1, &fbo);
        glDeleteTextures(1, &texture);

        // The cursor is hidden while the counter is below zero.
        GLFWwindow* window = shell.nativeWindow();
        shell.hideCursor(true);
        shell.hideCursor(true);
        EXPECT_EQ(shell.cursorCounter(), -2);
        EXPECT_EQ(glfwGetInputMode(window, GLFW_CURSOR), GLFW_CURSOR_HIDDEN);
        shell.hideCursor(false);
        EXPECT_EQ(glfwGetInputMode(window, GLFW_CURSOR), GLFW_CURSOR_HIDDEN) << "still below zero";
        shell.hideCursor(false);
        EXPECT_EQ(shell.cursorCounter(), 0);
        EXPECT_EQ(glfwGetInputMode(window, GLFW_CURSOR), GLFW_CURSOR_NORMAL);
    }
    EXPECT_EQ(viewport.calls.back(), "close");
    EXPECT_NE(viewport.currentAtClose, nullptr) << "close must run with the context current";
}

namespace {
std::uint32_t fakeNow = 0;
std::uint32_t steppingClock() {
    return fakeNow += 10;
}
} // namespace

// The loop draws until quit, returns the first code given, and times every frame by the
// clock's gaps, also where the raw 32-bit clock wraps.
TEST_F(WindowShellTest, RunDrawsUntilQuitAndTimesFramesAcrossTheClockWrap) {
    fakeNow = 0xFFFFFF00u;
    RecordingViewport viewport;
    viewport.onDraw = [](RecordingViewport& v, int frame) {
        if (frame == 40) {
            v.host->quit(7);
            v.host->quit(8); // the first code wins
        }
    };
    int code = -1;
    {
        WindowShell shell(&viewport, 1280, 800, steppingClock);
        ASSERT_TRUE(shell.created());
        code = shell.run();
        EXPECT_EQ(viewport.calls.back(), "resize 1280x800") << "close waits for the shell to go";
    }
    EXPECT_EQ(code, 7);
    EXPECT_EQ(viewport.calls.back(), "close");
    ASSERT_EQ(viewport.draws.size(), 40u) << "no frame is drawn after quit";
    // The raw clock passes 2^32 after about 25 reads; every frame still sees its own gap.
    EXPECT_LT(fakeNow, 0x1000u);
    for (size_t i = 1; i < viewport.draws.size(); ++i) {
        std::uint32_t gap = viewport.draws[i].timeMs - viewport.draws[i - 1].timeMs;
        EXPECT_EQ(gap % 10, 0u);
        EXPECT_FLOAT_EQ(viewport.draws[i].seconds, gap / 1000.0f) << "frame " << i;
    }
}

TEST_F(WindowShellTest, RelativeModeRecentresTheCursorAndReportsTheEcho) {
    RecordingViewport viewport;
    viewport.onDraw = [](RecordingViewport& v, int) { v.host->quit(0); };
    WindowShell shell(&viewport, 1280, 800);
    ASSERT_TRUE(shell.created());
    glfwSetCursorPos(shell.nativeWindow(), 100, 100);
    // The server reports the mapping and the warp asynchronously; let them all arrive (until
    // a quarter second passes without one) so that none is mistaken for the recentre's echo.
    for (int i = 0; i < 20; ++i) {
        const size_t seen = viewport.pointerEvents.size();
        glfwWaitEventsTimeout(0.25);
        if (viewport.pointerEvents.size() == seen)
            break;
    }
    size_t before = viewport.pointerEvents.size();
    shell.setRelativePointer(true);
    double x = 0, y = 0;
    glfwGetCursorPos(shell.nativeWindow(), &x, &y);
    EXPECT_EQ(x, 640);
    EXPECT_EQ(y, 400);
    ASSERT_EQ(shell.run(), 0);
    ASSERT_EQ(viewport.pointerEvents.size(), before + 1) << "the move caused by recentring";
    EXPECT_TRUE(viewport.pointerEvents.back().relative);
    EXPECT_FALSE(shell.pointers()->skipNextMove);
}

TEST_F(WindowShellTest, RepeatedEqualMovesInRelativeModeAreAllReported) {
    if (!haveXdotool())
        GTEST_SKIP() << "xdotool is not installed";
    // A steady mouse: every move lands on the same spot relative to the recentred cursor, so
    // the toolkit sees the same position again and again and must not take it for no move.
    ASSERT_EQ(std::system("xdotool mousemove 100 100"), 0);
    RecordingViewport viewport;
    int moves = 0;
    size_t before = 0;
    viewport.onDraw = [&](RecordingViewport& v, int frame) {
        if (frame == 3) {
            before = v.pointerEvents.size();
            v.host->setRelativePointer(true);
        } else if (frame > 3 && moves < 3 && v.pointerEvents.size() >= before + 1 + 2 * moves) {
            moves += std::system("xdotool mousemove 610 400") == 0;
        } else if (v.pointerEvents.size() >= before + 7 || frame > 20000) {
            v.host->quit(0);
        }
    };
    WindowShell shell(&viewport, 1280, 800);
    ASSERT_TRUE(shell.created());
    ASSERT_EQ(shell.run(), 0);
    ASSERT_EQ(moves, 3);
    ASSERT_EQ(viewport.pointerEvents.size(), before + 7) << "switch-on echo, then move + echo x3";
    for (int i = 0; i < 3; ++i)
        EXPECT_FLOAT_EQ(viewport.pointerEvents[before + 1 + 2 * i].dx, -30 * 2.0f / 1280)
            << "move " << i;
}

TEST_F(WindowShellTest, ClickThatStartsMouseLookAwayFromTheCentreIsOnePress) {
    if (!haveXdotool())
        GTEST_SKIP() << "xdotool is not installed";
    // The demo's handling of a press: mouse look on and the cursor hidden, once per press.
    RecordingViewport viewport;
    int presses = 0;
    bool released = false;
    viewport.onPointer = [&](RecordingViewport& v, const PointerState& p) {
        if ((p.flags & 0x0Eu) && (p.changed & 0x02u)) {
            ++presses;
            v.host->setRelativePointer(true);
            v.host->hideCursor(true);
        }
        released = released || (presses > 0 && !(p.flags & 0x02u));
    };
    bool clicked = false;
    viewport.onDraw = [&](RecordingViewport& v, int frame) {
        if (frame == 3)
            clicked = std::system("xdotool mousemove 100 100 click 1") == 0;
        else if ((frame > 3 && released) || frame > 20000)
            v.host->quit(0);
    };
    WindowShell shell(&viewport, 1280, 800);
    ASSERT_TRUE(shell.created());
    ASSERT_EQ(shell.run(), 0);
    ASSERT_TRUE(clicked);
    ASSERT_TRUE(released);
    EXPECT_EQ(presses, 1) << "the recentre's echo repeated the press";
    EXPECT_EQ(shell.cursorCounter(), -1) << "one Escape must bring the cursor back";
}

TEST_F(WindowShellTest, RealPointerMoveInRelativeModeReachesTheViewportTwice) {
    if (!haveXdotool())
        GTEST_SKIP() << "xdotool is not installed";
    // Away from the centre, so that switching on really moves the cursor.
    ASSERT_EQ(std::system("xdotool mousemove 100 100"), 0);
    RecordingViewport viewport;
    bool moved = false;
    size_t before = 0;
    viewport.onDraw = [&](RecordingViewport& v, int frame) {
        if (frame == 3) {
            before = v.pointerEvents.size();
            v.host->setRelativePointer(true);
        } else if (frame == 5) {
            moved = std::system("xdotool mousemove 700 420") == 0;
        } else if ((frame > 5 && v.pointerEvents.size() >= before + 3) || frame > 20000) {
            v.host->quit(0);
        }
    };
    WindowShell shell(&viewport, 1280, 800);
    ASSERT_TRUE(shell.created());
    ASSERT_EQ(shell.run(), 0);
    ASSERT_TRUE(moved);
    // The echo of switching on, then the real move and its echo.
    ASSERT_EQ(viewport.pointerEvents.size(), before + 3);
    const PointerState& real = viewport.pointerEvents[before + 1];
    const PointerState& echo = viewport.pointerEvents[before + 2];
    EXPECT_FLOAT_EQ(real.dx, 60 * 2.0f / 1280);
    EXPECT_FLOAT_EQ(real.dy, 20 * -2.0f / 800);
    EXPECT_EQ(real.flags & PointerFlag::Moved, PointerFlag::Moved);
    EXPECT_EQ(echo.dx, real.dx);
    EXPECT_EQ(echo.dy, real.dy);
    EXPECT_EQ(echo.flags, real.flags);
    EXPECT_EQ(echo.time, real.time);
    double x = 0, y = 0;
    glfwGetCursorPos(shell.nativeWindow(), &x, &y);
    EXPECT_EQ(x, 640);
    EXPECT_EQ(y, 400);
}

TEST_F(WindowShellTest, KeysFromTheDisplayReachTheKeyRecord) {
    if (!haveXdotool())
        GTEST_SKIP() << "xdotool is not installed";
    RecordingViewport viewport;
    bool sent = false;
    viewport.onDraw = [&sent](RecordingViewport& v, int frame) {
        if (frame == 2) {
            sent = std::system("xdotool keydown w keydown F1 keyup F1 keyup w") == 0;
        } else if (v.keyEvents.size() >= 4 || frame > 20000) {
            v.host->quit(0);
        }
    };
    WindowShell shell(&viewport, 1280, 800);
    ASSERT_TRUE(shell.created());
    ASSERT_EQ(shell.run(), 0);
    ASSERT_TRUE(sent);
    ASSERT_EQ(viewport.keyEvents.size(), 4u);
    EXPECT_EQ(viewport.keyEvents[0].lastKey, static_cast<std::uint32_t>('W'));
    EXPECT_EQ(viewport.keyEvents[0].pressed['W'], 1);
    EXPECT_EQ(viewport.keyEvents[1].lastKey, KeyCode::F1);
    EXPECT_EQ(viewport.keyEvents[1].pressed[KeyCode::Control], 1) << "F1 shares Control's code";
    EXPECT_EQ(viewport.keyEvents[2].pressed[KeyCode::F1], 0);
    EXPECT_EQ(viewport.keyEvents[3].pressed['W'], 0);
    EXPECT_EQ(shell.keys()->pressed['W'], 0);
}

TEST(GlfwKeys, TranslateToTheVirtualKeysTheRecordKnows) {
    for (auto [glfw, code] : {std::pair{GLFW_KEY_W, std::uint32_t('W')},
                              {GLFW_KEY_0, '0'},
                              {GLFW_KEY_SPACE, ' '},
                              {GLFW_KEY_ESCAPE, KeyCode::Escape},
                              {GLFW_KEY_F12, KeyCode::F12},
                              {GLFW_KEY_RIGHT_SHIFT, KeyCode::Shift},
                              {GLFW_KEY_RIGHT_CONTROL, KeyCode::Control},
                              {GLFW_KEY_LEFT_ALT, KeyCode::Alt},
                              {GLFW_KEY_KP_ENTER, KeyCode::Enter},
                              {GLFW_KEY_DOWN, KeyCode::Down},
                              {GLFW_KEY_SLASH, KeyCode::Slash},
                              // Keys without a row reach no code: the record drops them.
                              {GLFW_KEY_KP_5, 0u},
                              {GLFW_KEY_F13, 0u}})
        EXPECT_EQ(keyCodeFromVirtualKey(virtualKeyFromGlfw(glfw)), code) << "GLFW key " << glfw;
    EXPECT_EQ(virtualKeyFromGlfw(GLFW_KEY_UNKNOWN), 0u);
    EXPECT_EQ(virtualKeyFromGlfw(GLFW_KEY_WORLD_1), 0u);
}

TEST(WindowShellStart, NoDisplayLogsWhyAndRunFailsWithoutTouchingTheViewport) {
    // A fresh process: the window library may already be initialised in this one.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            unsetenv("DISPLAY");
            unsetenv("WAYLAND_DISPLAY");
            RecordingViewport viewport;
            int code = 0;
            {
                WindowShell shell(&viewport, 1280, 800);
                code = shell.run();
            }
            std::exit(viewport.calls.empty() ? code : 100);
        },
        ::testing::ExitedWithCode(WindowShell::startFailureCode),
        "shell: cannot open a window: no X display \\(DISPLAY is not set\\)");
}
