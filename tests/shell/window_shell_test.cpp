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

std::uint32_t fakeNow = 0;
std::uint32_t steppingClock() {
    return fakeNow += 10;
}

} // namespace

// Start-up order and place, the cursor counter, a loop that ends at the first quit code with each
// frame timed across the raw clock's wrap, and close with the context still current.
TEST(WindowShell, OpensRunsUntilTheFirstQuitAndClosesInOrder) {
    if (test::displayMissing())
        GTEST_SKIP() << "no display: run under xvfb-run";
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
        EXPECT_EQ(viewport.calls,
                  (std::vector<std::string>{"resize 1280x800", "init", "resize 1280x800"}));
        EXPECT_EQ(viewport.currentAtInit, shell.nativeWindow());
        EXPECT_EQ(viewport.host, &shell);
        int x = -1, y = -1, w = 0, h = 0;
        glfwGetWindowPos(shell.nativeWindow(), &x, &y);
        glfwGetFramebufferSize(shell.nativeWindow(), &w, &h);
        EXPECT_EQ(std::pair(x, y), std::pair(0, 0));
        EXPECT_EQ(std::pair(w, h), std::pair(1280, 800));

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
        EXPECT_FLOAT_EQ(viewport.frames[i].seconds, gap / 1000.0f) << "frame " << i;
    }
}

// Through the X server: a click away from the centre starts mouse look (heard once, so one Escape
// shows the cursor again), four equal moves all arrive, each with its echo (the last after a
// recentre that moved nothing, so there is no echo to swallow in its place), then keys.
TEST(WindowShell, ClickMovesAndKeysFromTheServerReachTheRecords) {
    if (test::displayMissing() || std::system("command -v xdotool >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs a display (run under xvfb-run) and xdotool";
    PlaceholderViewport viewport;
    int presses = 0, moves = 0;
    size_t releasedAt = 0;
    bool keysSent = false;
    viewport.onPointer = [&](PlaceholderViewport& v, const PointerState& p) {
        if ((p.flags & 0x0Eu) && (p.changed & PointerFlag::LeftButton)) { // as the demo does
            ++presses;
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
        else if (releasedAt && moves < 4 && sinceRelease == size_t(2 * moves)) {
            if (moves == 3) // with the cursor at the centre: a recentre that moves nothing
                v.host->setRelativePointer(true);
            moves += std::system("xdotool mousemove 610 400") == 0;
        } else if (moves == 4 && sinceRelease == 8 && !keysSent)
            keysSent = std::system("xdotool keydown w keydown F1 keyup F1 keyup w key Escape") == 0;
        else if (frame > 20000)
            v.host->quit(99);
    };
    WindowShell shell(&viewport, 1280, 800);
    ASSERT_TRUE(shell.created());
    ASSERT_EQ(shell.run(), 0) << "presses " << presses << ", moves " << moves;

    EXPECT_EQ(presses, 1) << "the recentre's echo repeated the press";
    EXPECT_EQ(shell.cursorCounter(), -1);
    ASSERT_EQ(viewport.pointerEvents.size(), releasedAt + 8) << "four moves, each with its echo";
    for (size_t i = releasedAt; i < releasedAt + 8; ++i)
        EXPECT_FLOAT_EQ(viewport.pointerEvents[i].dx, -30 * 2.0f / 1280) << "event " << i;
    double x = 0, y = 0;
    glfwGetCursorPos(shell.nativeWindow(), &x, &y);
    EXPECT_EQ(std::pair(x, y), std::pair(640.0, 400.0)) << "recentred";

    using KeyDown = std::pair<std::uint32_t, int>; // the key, and whether it is down after
    std::vector<KeyDown> keys;
    for (const KeyState& k : viewport.keyEvents)
        keys.emplace_back(k.lastKey, k.pressed[k.lastKey]);
    EXPECT_EQ(keys,
              (std::vector<KeyDown>{
                  {'W', 1}, {KeyCode::F1, 1}, {KeyCode::F1, 0}, {'W', 0}, {KeyCode::Escape, 1}}));
}

// Both sides of a modifier share one key; keys without a row reach no code.
TEST(GlfwKeys, TranslateToTheVirtualKeysTheRecordKnows) {
    for (auto [glfw, code] : {std::pair{GLFW_KEY_W, std::uint32_t('W')},
                              {GLFW_KEY_0, '0'},
                              {GLFW_KEY_ESCAPE, KeyCode::Escape},
                              {GLFW_KEY_F12, KeyCode::F12},
                              {GLFW_KEY_RIGHT_SHIFT, KeyCode::Shift},
                              {GLFW_KEY_KP_ENTER, KeyCode::Enter},
                              {GLFW_KEY_KP_5, 0u},
                              {GLFW_KEY_UNKNOWN, 0u}})
        EXPECT_EQ(keyCodeFromVirtualKey(virtualKeyFromGlfw(glfw)), code) << "GLFW key " << glfw;
}
