// End to end: the nadirport executable as a user runs it on the test display (xvfb-run), driven
// by xdotool: one clear line when it cannot start, mouse look and Escape, and a close request.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/support/command.h"
#include "tests/support/gl_test_context.h"

#ifndef NADIRPORT_BINARY
#error "NADIRPORT_BINARY must name the demo executable"
#endif

namespace {

using namespace std::chrono_literals;
using ombrel::test::runCommand;

// What a window manager sends when the user closes the window.
bool requestClose(unsigned long window) {
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return false;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    const bool sent = XSendEvent(display, window, False, NoEventMask, &event) != 0;
    XCloseDisplay(display);
    return sent;
}

// The demo running in the background (what it prints goes to the test's output) and its
// window once mapped; a loaded machine builds shaders slowly.
class NadirportRun : public ::testing::Test {
protected:
    void SetUp() override {
        if (ombrel::test::displayMissing() || std::system("command -v xdotool >/dev/null") != 0)
            GTEST_SKIP() << "needs a display (run under xvfb-run) and xdotool";
        pid_ = fork();
        if (pid_ == 0) {
            execl(NADIRPORT_BINARY, NADIRPORT_BINARY, static_cast<char*>(nullptr));
            _exit(127);
        }
        std::string ids;
        runCommand("xdotool search --sync --onlyvisible --pid " + std::to_string(pid_), ids, 30);
        window = std::strtoul(ids.c_str(), nullptr, 10);
        ASSERT_NE(window, 0u) << "no window appeared";
    }
    void TearDown() override {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    // Exit status within timeout, else -1 with the demo still running.
    int exitWithin(std::chrono::milliseconds timeout) {
        for (auto end = std::chrono::steady_clock::now() + timeout;
             std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(20ms)) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
        }
        return -1;
    }

    unsigned long window = 0;

private:
    pid_t pid_ = -1;
};

} // namespace

TEST(NadirportStart, FailsWithOneClearLineAndTheStartFailureCode) {
    const std::string demo = NADIRPORT_BINARY;
    std::string out;
    EXPECT_EQ(runCommand("env -u DISPLAY -u WAYLAND_DISPLAY " + demo, out), 2);
    EXPECT_EQ(out,
              "WindowShell: cannot open a window: no X display (DISPLAY is not set); run under "
              "xvfb-run or from a desktop session\n");
    if (ombrel::test::displayMissing())
        GTEST_SKIP() << "a missing GL driver shows on a display only";
    EXPECT_EQ(runCommand("env LIBGL_DRIVERS_PATH=/nonexistent " + demo, out), 2) << out;
    // Mesa adds its own lines about the driver it cannot find.
    EXPECT_NE(out.find("WindowShell: cannot create an OpenGL 2.1 context ("), std::string::npos)
        << out;
}

// The first Escape in mouse look only gives the mouse back; the second quits with 0.
TEST_F(NadirportRun, EscapeLeavesMouseLookThenQuitsWithZero) {
    std::string out;
    runCommand("xdotool windowfocus --sync " + std::to_string(window), out, 5);
    ASSERT_EQ(runCommand("xdotool mousemove 640 400 click 1 sleep 0.3 key Escape", out), 0);
    EXPECT_EQ(exitWithin(1500ms), -1) << "the first Escape must not quit in mouse look";
    ASSERT_EQ(runCommand("xdotool key Escape", out), 0);
    EXPECT_EQ(exitWithin(30s), 0);
}

TEST_F(NadirportRun, CloseRequestQuitsWithZero) {
    ASSERT_TRUE(requestClose(window));
    EXPECT_EQ(exitWithin(30s), 0);
}
