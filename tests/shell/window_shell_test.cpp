// The shell with a real window and GL context (run under Xvfb): start-up order, the main loop
// with its quit code and clock, the cursor, and real pointer and key input through the server.
#include "shell/input.h"
#include "shell/window_shell.h"
#include "tests/support/gl_test_context.h"
#include "tests/support/placeholder_viewport.h"

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

using namespace ombrel;
using test::PlaceholderViewport;

namespace {

class WindowShellTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (test::displayMissing())
            GTEST_SKIP() << "no display: run under xvfb-run";
    }
};

std::uint32_t fakeNow = 0;
std::uint32_t steppingClock() {
    return fakeNow += 10;
}

} // namespace

// Sizes before init, init with the context current, the window where and how big it was asked
// for, the cursor counter, a loop that ends at the first quit code with every frame timed by the
// clock's gaps across the raw clock's wrap, and close with the context still current.
TEST_F(WindowShellTest, OpensRunsUntilTheFirstQuitAndClosesInOrder) {
    fakeNow = 0xFFFFFF00u; // passes 2^32 after about 25 reads
    PlaceholderViewport viewport;
    viewport.onDraw = [](PlaceholderViewport& v, int frame) {
        if (frame == 40) {
            v.host->quit(7);
            v.host->quit(8);
        }
    };
    int code = -1;
    {
        WindowShell shell(&viewport, 1280, 800, steppingClock);
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
        EXPECT_EQ(std::pair(x, y), std::pair(0, 0));
        EXPECT_EQ(std::pair(w, h), std::pair(1280, 800));
        EXPECT_EQ(shell.pointers()->width, 1280);

        for (bool hide : {true, true, false}) // hidden while the counter is below zero
            shell.hideCursor(hide);
        EXPECT_EQ(shell.cursorCounter(), -1);
        EXPECT_EQ(glfwGetInputMode(shell.nativeWindow(), GLFW_CURSOR), GLFW_CURSOR_HIDDEN);
        shell.hideCursor(false);
        EXPECT_EQ(glfwGetInputMode(shell.nativeWindow(), GLFW_CURSOR), GLFW_CURSOR_NORMAL);
        code = shell.run();
        EXPECT_EQ(viewport.calls.back(), "resize 1280x800") << "close waits for the shell to go";
    }
    EXPECT_EQ(code, 7);
    EXPECT_EQ(viewport.calls.back(), "close");
    EXPECT_NE(viewport.currentAtClose, nullptr);
    ASSERT_EQ(viewport.frames.size(), 40u) << "no frame is drawn after quit";
    EXPECT_LT(fakeNow, 0x1000u);
    for (size_t i = 1; i < viewport.frames.size(); ++i) {
        const std::uint32_t gap = viewport.frames[i].timeMs - viewport.frames[i - 1].timeMs;
        EXPECT_EQ(gap % 10, 0u) << "frame " << i;
        EXPECT_FLOAT_EQ(viewport.frames[i].seconds, gap / 1000.0f) << "frame " << i;
    }
}

// What a user does with the demo, through the X server: a click away from the centre starts
// mouse look, three equal moves of a steady mouse, then keys ending with Escape. The press
// must be heard once (its recentre's echo changes no bit, so one Escape brings the cursor
// back), and every move must arrive, each followed by its echo.
TEST_F(WindowShellTest, ClickMovesAndKeysFromTheServerReachTheRecords) {
    if (std::system("command -v xdotool >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "xdotool is not installed";
    PlaceholderViewport viewport;
    int presses = 0, moves = 0;
    size_t pressAt = 0, releasedAt = 0;
    bool keysSent = false;
    viewport.onPointer = [&](PlaceholderViewport& v, const PointerState& p) {
        if ((p.flags & 0x0Eu) && (p.changed & PointerFlag::LeftButton)) { // as the demo does
            ++presses;
            pressAt = v.pointerEvents.size() - 1;
            v.host->setRelativePointer(true);
            v.host->hideCursor(true);
        }
        if (presses > 0 && !releasedAt && !(p.flags & PointerFlag::LeftButton))
            releasedAt = v.pointerEvents.size();
    };
    viewport.onDraw = [&](PlaceholderViewport& v, int frame) {
        const size_t sinceRelease = releasedAt ? v.pointerEvents.size() - releasedAt : 0;
        if (frame == 3)
            ASSERT_EQ(std::system("xdotool mousemove 100 100 click 1"), 0);
        else if (releasedAt && moves < 3 && sinceRelease == size_t(2 * moves))
            moves += std::system("xdotool mousemove 610 400") == 0;
        else if (moves == 3 && sinceRelease == 6 && !keysSent)
            keysSent = std::system("xdotool keydown w keydown F1 keyup F1 keyup w key Escape") == 0;
        else if (frame > 20000)
            v.host->quit(99);
    };
    WindowShell shell(&viewport, 1280, 800);
    ASSERT_TRUE(shell.created());
    ASSERT_EQ(shell.run(), 0) << "presses " << presses << ", moves " << moves;

    EXPECT_EQ(presses, 1) << "the recentre's echo repeated the press";
    EXPECT_EQ(shell.cursorCounter(), -1);
    ASSERT_GT(viewport.pointerEvents.size(), pressAt + 1);
    const PointerState& echo = viewport.pointerEvents[pressAt + 1];
    EXPECT_EQ(echo.changed, 0u);
    EXPECT_EQ(echo.flags, viewport.pointerEvents[pressAt].flags);
    ASSERT_EQ(viewport.pointerEvents.size(), releasedAt + 6) << "three moves, each with its echo";
    for (size_t i = releasedAt; i < releasedAt + 6; ++i) {
        EXPECT_FLOAT_EQ(viewport.pointerEvents[i].dx, -30 * 2.0f / 1280) << "event " << i;
        EXPECT_TRUE(viewport.pointerEvents[i].relative);
    }
    double x = 0, y = 0;
    glfwGetCursorPos(shell.nativeWindow(), &x, &y);
    EXPECT_EQ(std::pair(x, y), std::pair(640.0, 400.0)) << "recentred";
    EXPECT_FALSE(shell.pointers()->skipNextMove);

    using KeyDown = std::pair<std::uint32_t, int>; // the key, and whether it is down after
    std::vector<KeyDown> keys;
    for (const KeyState& k : viewport.keyEvents)
        keys.emplace_back(k.lastKey, k.pressed[k.lastKey]);
    EXPECT_EQ(keys,
              (std::vector<KeyDown>{
                  {'W', 1}, {KeyCode::F1, 1}, {KeyCode::F1, 0}, {'W', 0}, {KeyCode::Escape, 1}}));
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
                              {GLFW_KEY_F13, 0u},
                              {GLFW_KEY_UNKNOWN, 0u},
                              {GLFW_KEY_WORLD_1, 0u}})
        EXPECT_EQ(keyCodeFromVirtualKey(virtualKeyFromGlfw(glfw)), code) << "GLFW key " << glfw;
}
