// End to end: the real nadirport and nadirport-capture executables as a user runs them. The
// demo gets keys and a click through xdotool on the display (run under xvfb-run); its window is
// read back from the X server.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tools/capture/image_stats.h"
#include "tools/capture/png_writer.h"

#ifndef NADIRPORT_BINARY
#error "NADIRPORT_BINARY must name the demo executable"
#endif
#ifndef CAPTURE_BINARY
#error "CAPTURE_BINARY must name the capture tool"
#endif

namespace ombrel::capture {
namespace {

using namespace std::chrono_literals;

bool hasDisplay() {
    const char* d = std::getenv("DISPLAY");
    return d && *d;
}

struct Child {
    pid_t pid = -1;
    std::string outputPath;
};

Child spawn(const std::vector<std::string>& args) {
    Child child;
    char path[] = "/tmp/nadirport_e2e_XXXXXX";
    const int fd = mkstemp(path);
    child.outputPath = path;
    child.pid = fork();
    if (child.pid == 0) {
        dup2(fd, 1);
        dup2(fd, 2);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fd);
    return child;
}

// Exit status after at most timeout, or -1 (the child is then killed).
int waitFor(Child& child, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (std::chrono::steady_clock::now() < end) {
        const pid_t r = waitpid(child.pid, &status, WNOHANG);
        if (r == child.pid) {
            child.pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(20ms);
    }
    return -1;
}

void kill(Child& child) {
    if (child.pid > 0) {
        ::kill(child.pid, SIGKILL);
        waitpid(child.pid, nullptr, 0);
        child.pid = -1;
    }
}

std::string output(const Child& child) {
    std::string text;
    if (FILE* f = std::fopen(child.outputPath.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            text.append(buffer, n);
        std::fclose(f);
    }
    return text;
}

int run(const std::vector<std::string>& args, std::string& text,
        std::chrono::milliseconds timeout = 60s) {
    Child child = spawn(args);
    const int code = waitFor(child, timeout);
    kill(child);
    text = output(child);
    std::remove(child.outputPath.c_str());
    return code;
}

int shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The top-left width by height of the screen, where the demo's window sits.
bool screenshot(int width, int height, Image& image) {
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return false;
    const Window root = DefaultRootWindow(display);
    XWindowAttributes attributes{};
    XGetWindowAttributes(display, root, &attributes);
    width = std::min(width, attributes.width);
    height = std::min(height, attributes.height);
    XImage* x = XGetImage(display, root, 0, 0, width, height, AllPlanes, ZPixmap);
    if (!x) {
        XCloseDisplay(display);
        return false;
    }
    image.width = width;
    image.height = height;
    image.rgba.resize(size_t(width) * height * 4);
    for (int y = 0; y < height; ++y)
        for (int px = 0; px < width; ++px) {
            const unsigned long p = XGetPixel(x, px, y);
            uint8_t* out = &image.rgba[(size_t(height - 1 - y) * width + px) * 4];
            // TrueColor at 24 bits: red, green and blue masks of 8 bits each.
            out[0] = uint8_t((p & x->red_mask) >> __builtin_ctzl(x->red_mask));
            out[1] = uint8_t((p & x->green_mask) >> __builtin_ctzl(x->green_mask));
            out[2] = uint8_t((p & x->blue_mask) >> __builtin_ctzl(x->blue_mask));
            out[3] = 255;
        }
    XDestroyImage(x);
    XCloseDisplay(display);
    return true;
}

TEST(CaptureTool, RejectsBadArgumentsWithExitCode2) {
    std::string text;
    EXPECT_EQ(run({CAPTURE_BINARY, "--sector", "9"}, text), 2);
    EXPECT_NE(text.find("--sector must be 0 to 4"), std::string::npos) << text;
    // An unwritable screenshot path is refused before the run, not after it.
    EXPECT_EQ(run({CAPTURE_BINARY, "--out", "/nonexistent-dir/shot.png"}, text), 2);
    EXPECT_NE(text.find("cannot write /nonexistent-dir/shot.png"), std::string::npos) << text;
    EXPECT_EQ(run({CAPTURE_BINARY, "--help"}, text), 0);
    EXPECT_NE(text.find("--position"), std::string::npos);
}

TEST(CaptureTool, WritesAScreenshotOfTheRequestedScene) {
    if (!hasDisplay())
        GTEST_SKIP() << "no display: run under xvfb-run";
    char path[] = "/tmp/nadirport_capture_XXXXXX.png";
    const int fd = mkstemps(path, 4);
    ASSERT_GE(fd, 0);
    close(fd);
    std::string text;
    ASSERT_EQ(run({CAPTURE_BINARY, "--sector", "1", "--size", "320x200", "--frames", "8",
                   "--script", "W:64", "--every", "4", "--out", path},
                  text),
              0)
        << text;
    EXPECT_NE(text.find("scene 1, 8 frames"), std::string::npos) << text;
    EXPECT_NE(text.find("frame 8/8"), std::string::npos) << text; // progress line
    Image image;
    std::string error;
    ASSERT_TRUE(readPng(path, image, error)) << error;
    EXPECT_EQ(image.width, 320);
    EXPECT_EQ(image.height, 200);
    EXPECT_GT(measure(image).coverage, 0.5);
    std::remove(path);
    const std::string base = std::string(path).substr(0, std::string(path).size() - 4);
    for (const char* n : {"_000004.png", "_000008.png"}) {
        Image numbered;
        EXPECT_TRUE(readPng(base + n, numbered, error)) << error;
        std::remove((base + n).c_str());
    }
}

// The demo as a user meets it: it opens, flies on W, shows the start room, takes the mouse on a
// click, gives it back on Escape and quits with 0 on a second Escape.
TEST(Nadirport, RunsFliesAndQuitsOnEscape) {
    if (!hasDisplay())
        GTEST_SKIP() << "no display: run under xvfb-run";
    if (shell("command -v xdotool >/dev/null") != 0)
        GTEST_SKIP() << "xdotool is not installed";
    Child demo = spawn({NADIRPORT_BINARY});
    const std::string pid = std::to_string(demo.pid);
    const int found =
        shell("timeout 30 xdotool search --sync --onlyvisible --pid " + pid + " >/dev/null 2>&1");
    if (found != 0) {
        kill(demo);
        FAIL() << "no window appeared: " << output(demo);
    }
    std::this_thread::sleep_for(1500ms); // shaders built, a few frames drawn
    shell("xdotool search --onlyvisible --pid " + pid +
          " | head -n 1 | xargs -r xdotool windowfocus --sync 2>/dev/null");
    EXPECT_EQ(shell("xdotool keydown w sleep 0.4 keyup w"), 0);
    std::this_thread::sleep_for(500ms);

    // A loaded machine may still be building the scene programs: look again for a while.
    Image image;
    ImageStats stats;
    for (int i = 0; i < 120; ++i) {
        ASSERT_TRUE(screenshot(1280, 800, image));
        stats = measure(image);
        if (stats.coverage > 0.6 && stats.lumaDeviation > 10.0)
            break;
        std::this_thread::sleep_for(250ms);
    }
    EXPECT_GT(stats.coverage, 0.6) << "the start room should fill the window";
    EXPECT_GT(stats.lumaDeviation, 10.0);

    EXPECT_EQ(shell("xdotool mousemove 640 400 click 1"), 0); // mouse look
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(shell("xdotool key Escape"), 0); // leaves mouse look only
    EXPECT_EQ(waitFor(demo, 1000ms), -1) << "the first Escape must not quit in mouse look";
    EXPECT_EQ(shell("xdotool key Escape"), 0);
    const int code = waitFor(demo, 20s);
    const std::string log = output(demo);
    kill(demo);
    std::remove(demo.outputPath.c_str());
    EXPECT_EQ(code, 0) << log;
}

} // namespace
} // namespace ombrel::capture
