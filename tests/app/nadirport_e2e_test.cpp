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

#ifndef NADIRPORT_BINARY
#error "NADIRPORT_BINARY must name the demo executable"
#endif

namespace {

using namespace std::chrono_literals;
using ombrel::test::runCommand;

bool hasDisplay() {
    const char* d = std::getenv("DISPLAY");
    return d && *d;
}

// The demo running in the background; what it prints goes to the test's output.
class Demo {
public:
    Demo() : pid_(fork()) {
        if (pid_ == 0) {
            execl(NADIRPORT_BINARY, NADIRPORT_BINARY, static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~Demo() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    // Its window once mapped (a loaded machine builds shaders slowly), or 0.
    unsigned long window() const {
        std::string ids;
        const std::string pid = std::to_string(pid_);
        if (runCommand("xdotool search --sync --onlyvisible --pid " + pid, ids, 30) != 0)
            return 0;
        return std::strtoul(ids.c_str(), nullptr, 10);
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

private:
    pid_t pid_;
};

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

class NadirportRun : public ::testing::Test {
protected:
    void SetUp() override {
        if (!hasDisplay())
            GTEST_SKIP() << "no display: run under xvfb-run";
        if (std::system("command -v xdotool >/dev/null") != 0)
            GTEST_SKIP() << "xdotool is not installed";
        window = demo.window();
        ASSERT_NE(window, 0u) << "no window appeared";
    }

    Demo demo;
    unsigned long window = 0;
};

} // namespace

TEST(NadirportStart, FailsWithOneClearLineAndTheStartFailureCode) {
    const struct {
        const char* name;
        const char* environment;
        const char* line;
        bool alone; // Mesa may add its own lines about the missing driver
    } table[] = {
        {"no display", "env -u DISPLAY -u WAYLAND_DISPLAY",
         "WindowShell: cannot open a window: no X display (DISPLAY is not set); run under "
         "xvfb-run or from a desktop session\n",
         true},
        // Mesa finds no driver there, so no context can be made.
        {"no GL driver", "env LIBGL_DRIVERS_PATH=/nonexistent",
         "WindowShell: cannot create an OpenGL 2.1 context (", false},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        if (!hasDisplay() && std::string(row.name) != "no display")
            continue;
        std::string out;
        EXPECT_EQ(runCommand(std::string(row.environment) + " " + NADIRPORT_BINARY, out, 60), 2)
            << out;
        EXPECT_NE(out.find(row.line), std::string::npos) << out;
        if (row.alone) {
            EXPECT_EQ(out, row.line);
        }
    }
}

// The first Escape in mouse look only gives the mouse back; the second quits with 0.
TEST_F(NadirportRun, EscapeLeavesMouseLookThenQuitsWithZero) {
    std::string out;
    runCommand("xdotool windowfocus --sync " + std::to_string(window), out, 5);
    ASSERT_EQ(runCommand("xdotool mousemove 640 400 click 1 sleep 0.3 key Escape", out), 0);
    EXPECT_EQ(demo.exitWithin(1500ms), -1) << "the first Escape must not quit in mouse look";
    ASSERT_EQ(runCommand("xdotool key Escape", out), 0);
    EXPECT_EQ(demo.exitWithin(30s), 0);
}

TEST_F(NadirportRun, CloseRequestQuitsWithZero) {
    ASSERT_TRUE(requestClose(window));
    EXPECT_EQ(demo.exitWithin(30s), 0);
}
