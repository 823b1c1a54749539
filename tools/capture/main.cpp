// nadirport-capture: runs the demo in a window for a number of frames with scripted input and
// writes PNG screenshots. Without a display it runs itself under xvfb-run.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/nadirport.h"
#include "shell/window_shell.h"
#include "tools/capture/capture_driver.h"
#include "tools/capture/capture_options.h"
#include "tools/capture/image_stats.h"
#include "tools/virtual_headset/virtual_headset_session.h"

#ifndef VISOR_UMOCKDEV_PRELOAD_PATH
#define VISOR_UMOCKDEV_PRELOAD_PATH ""
#endif

using namespace ombrel;
using namespace ombrel::capture;

namespace {

constexpr const char* reexecMark = "NADIRPORT_CAPTURE_IN_XVFB";

bool hasDisplay() {
    const char* d = std::getenv("DISPLAY");
    return d && *d;
}

// Runs this program again inside a virtual framebuffer big enough for the window. Returns only
// when that fails.
int runUnderXvfb(int argc, char** argv, const CaptureOptions& options) {
    if (std::getenv(reexecMark)) {
        std::fprintf(stderr, "nadirport-capture: xvfb-run started without a display\n");
        return 1;
    }
    setenv(reexecMark, "1", 1);
    const std::string screen = "-screen 0 " + std::to_string(options.width) + "x" +
                               std::to_string(options.height < 1024 ? 1024 : options.height) +
                               "x24";
    std::vector<char*> args = {const_cast<char*>("xvfb-run"), const_cast<char*>("-a"),
                               const_cast<char*>("-s"), const_cast<char*>(screen.c_str())};
    std::string self = "/proc/self/exe";
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n > 0) {
        path[n] = 0;
        self = path;
    }
    args.push_back(const_cast<char*>(self.c_str()));
    for (int i = 1; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    execvp("xvfb-run", args.data());
    std::fprintf(stderr,
                 "nadirport-capture: no display (DISPLAY is not set) and xvfb-run cannot be "
                 "started: %s; install xvfb and xauth, or run inside a desktop session\n",
                 std::strerror(errno));
    return 1;
}

// The folder the screenshots go to must take new files; checked before a long run, not after.
bool outputWritable(const std::string& out, std::string& error) {
    const size_t slash = out.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : out.substr(0, slash);
    if (access(folder.c_str(), W_OK | X_OK) == 0)
        return true;
    error = "cannot write " + out + ": " + folder + ": " + std::strerror(errno);
    return false;
}

bool scriptPressesEscape(const CaptureOptions& options) {
    for (const ScriptStep& s : options.script)
        for (int key : s.keys)
            if (key == 27)
                return true;
    return false;
}

} // namespace

int main(int argc, char** argv) {
    CaptureOptions options;
    std::string error;
    if (!parseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "nadirport-capture: %s\n(run with --help for the options)\n",
                     error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(usage(), stdout);
        return 0;
    }
    if (!outputWritable(options.out, error)) {
        std::fprintf(stderr, "nadirport-capture: %s\n", error.c_str());
        return 2;
    }
    if (!hasDisplay())
        return runUnderXvfb(argc, argv, options);
    // The headset's bus comes before the demo's init makes the device manager; it is declared
    // before the demo so that it goes after the demo has released its devices.
    Visor::VirtualHeadsetSession headset;
    if (options.virtualHeadset) {
        // Under xvfb-run only this program gets the preload, not the X server.
        if (!Visor::VirtualHeadsetSession::RunUnderPreload(argv, VISOR_UMOCKDEV_PRELOAD_PATH,
                                                           &error) ||
            !headset.Open(options.headsetScript, &error)) {
            std::fprintf(stderr, "nadirport-capture: --virtual-headset: %s\n", error.c_str());
            return 1;
        }
    }

    CaptureSettings settings;
    settings.sector = options.sector;
    const Viewpoint arrival = arrivalPoint(options.sector);
    settings.position = options.hasPosition ? options.position : arrival.position;
    settings.direction = options.hasDirection  ? options.direction
                         : options.hasPosition ? vec3(0, 0, -1)
                                               : arrival.direction;
    settings.frames = framesToRun(options);
    settings.frameMs = options.frameMs;
    settings.script = options.script;
    settings.every = options.every;
    settings.out = options.out;
    settings.progress = !options.quiet;
    if (headset.IsOpen())
        settings.keepRunning = [&headset] { return !headset.IsMotionOver(); };

    // The demo object is large (the world and its scenes); it lives for the whole run.
    auto demo = std::make_unique<Nadirport>();
    CaptureDriver driver(*demo, settings);
    // When the script may quit the demo, every frame is read back so the last one is kept.
    driver.grabEveryFrame = scriptPressesEscape(options);
    // The head starts moving with the first frame; whether the rig drew in stereo is noted
    // while it runs (closing the demo releases the rig).
    bool stereo = false;
    if (headset.IsOpen()) {
        driver.beforeFrame = [&headset](int frame) {
            if (frame == 0)
                headset.StartMotion();
        };
        driver.afterFrame = [&stereo, &demo](int, const Image*) {
            stereo = stereo || demo->stereoRig.displayOpen();
        };
    }
    int code = 0;
    {
        WindowShell shell(&driver, options.width, options.height, driver.clock());
        if (!shell.created()) {
            std::fprintf(stderr, "nadirport-capture: cannot open the window (see the log line "
                                 "above)\n");
            return 1;
        }
        driver.attach(&shell);
        if (!options.quiet)
            std::fprintf(stderr,
                         "nadirport-capture: scene %d at (%.2f, %.2f, %.2f) looking (%.2f, "
                         "%.2f, %.2f), %d frames%s\n",
                         settings.sector, settings.position.x, settings.position.y,
                         settings.position.z, settings.direction.x, settings.direction.y,
                         settings.direction.z, settings.frames,
                         settings.frameMs
                             ? (", " + std::to_string(settings.frameMs) + " ms per frame").c_str()
                             : ", real clock");
        code = shell.run();
    }
    for (const std::string& e : driver.errors())
        std::fprintf(stderr, "nadirport-capture: %s\n", e.c_str());

    const Image& last = driver.lastFrame();
    if (last.rgba.empty()) {
        std::fprintf(stderr, "nadirport-capture: no frame was drawn, nothing written\n");
        return 1;
    }
    if (!writePng(options.out, last, error)) {
        std::fprintf(stderr, "nadirport-capture: %s\n", error.c_str());
        return 1;
    }
    const ImageStats stats = measure(last);
    std::printf("%s: %dx%d, scene %d, %d frames, coverage %.1f%%, mean colour (%.0f, %.0f, "
                "%.0f), luma deviation %.1f%s\n",
                options.out.c_str(), last.width, last.height, demo->raymarcher.world.current,
                driver.framesDrawn(), stats.coverage * 100.0, stats.meanRed, stats.meanGreen,
                stats.meanBlue, stats.lumaDeviation,
                driver.quitRequested() ? ", the demo quit" : "");
    if (headset.IsOpen()) {
        std::printf("virtual headset: tracker %s, motion %llu of %llu ms played, %u keep-alives, "
                    "%s output\n",
                    headset.GetTrackerNode().c_str(),
                    static_cast<unsigned long long>(headset.GetPlayedMs()),
                    static_cast<unsigned long long>(headset.GetScriptMs()),
                    headset.GetTracker()->GetKeepAliveCount(), stereo ? "stereo" : "mono");
        // What tells a lens-warped stereo frame: dark corners in both halves, and eyes that see
        // the same scene from apart (content moving left from the left eye to the right one).
        const HorizontalShift eyes =
            horizontalShift(last, middleColumns(leftHalf(last)), last,
                            middleColumns(rightHalf(last)), last.width / 8);
        std::printf("halves: dark corners %.0f%% and %.0f%%, eye disparity %d px (correlation "
                    "%.2f)\n",
                    cornerBlackness(last, leftHalf(last)) * 100.0,
                    cornerBlackness(last, rightHalf(last)) * 100.0, eyes.pixels, eyes.correlation);
    }
    return driver.errors().empty() ? code : 1;
}
