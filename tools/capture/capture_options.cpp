// Command-line parsing of the capture tool: strict, with a message naming the bad argument.
#include "tools/capture/capture_options.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "tools/virtual_headset/virtual_headset_session.h"
#include "world/world.h"

namespace ombrel::capture {

namespace {

bool parseInt(const std::string& text, long min, long max, long& value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 10);
    return errno == 0 && end == text.c_str() + text.size() && value >= min && value <= max;
}

bool parseVec3(const std::string& text, vec3& v) {
    float c[3];
    size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        const size_t end = text.find(',', start);
        if ((i < 2) == (end == std::string::npos))
            return false;
        const std::string part = text.substr(start, end == std::string::npos ? end : end - start);
        if (part.empty())
            return false;
        char* stop = nullptr;
        errno = 0;
        c[i] = std::strtof(part.c_str(), &stop);
        if (errno != 0 || stop != part.c_str() + part.size() || !std::isfinite(c[i]))
            return false;
        start = end + 1;
    }
    v = vec3(c[0], c[1], c[2]);
    return true;
}

} // namespace

const char* usage() {
    return "usage: nadirport-capture [options]\n"
           "  --sector N          scene to start in: 0 start room, 1 warehouse, 2 metaballs,\n"
           "                      3 final scene, 4 landscape (default 0)\n"
           "  --position X,Y,Z    start position in the scene (default: its arrival point)\n"
           "  --direction X,Y,Z   view direction (default: the arrival point's)\n"
           "  --frames N          frames to draw (default: script length + 8)\n"
           "  --script TEXT       input, e.g. \"W:2000,Space:100\", \"W+D:500\", \"wait:300\",\n"
           "                      \"drag:0.5/-0.1:400\" (left-button drag by normalised units;\n"
           "                      in mouse look one unit turns the view by one radian)\n"
           "  --out PATH.png      screenshot of the last frame (default nadirport.png)\n"
           "  --every K           also write every K-th frame as PATH_NNNNNN.png\n"
           "  --size WxH          window size (default 1280x800)\n"
           "  --frame-ms M        draw clock advances M ms per frame (default 16, deterministic);\n"
           "                      0 follows the real clock\n"
           "  --virtual-headset[=SCRIPT]\n"
           "                      run with a software headset (a tracker on a umockdev bus;\n"
           "                      the tool restarts itself under the umockdev preload) whose\n"
           "                      head moves as the motion script file says, in real time from\n"
           "                      the first frame; the run lasts at least until it ends. Default\n"
           "                      script: 0.5 s still, a 90 degree turn left over 9 s, 0.5 s "
           "still\n"
           "  --quiet             no progress lines\n"
           "Without a display the tool runs itself under xvfb-run.\n";
}

bool parseOptions(const std::vector<std::string>& args, CaptureOptions& o, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            o.help = true;
            continue;
        }
        if (a == "--quiet") {
            o.quiet = true;
            continue;
        }
        if (a == "--virtual-headset" || a.rfind("--virtual-headset=", 0) == 0) {
            o.virtualHeadset = true;
            o.headsetScriptPath = a.size() > 17 ? a.substr(18) : std::string();
            std::string why;
            const bool parsed =
                a.size() > 17
                    ? !o.headsetScriptPath.empty() &&
                          o.headsetScript.Load(o.headsetScriptPath, &why)
                    : o.headsetScript.Parse(Visor::VirtualHeadsetSession::DefaultScript(), &why);
            if (!parsed) {
                error = "--virtual-headset: " + (why.empty() ? "needs a script file after =" : why);
                return false;
            }
            continue;
        }
        if (a.rfind("--", 0) != 0) {
            error = "unexpected argument \"" + a + "\"";
            return false;
        }
        static const char* const valued[] = {"--sector", "--position", "--direction",
                                             "--frames", "--script",   "--out",
                                             "--every",  "--size",     "--frame-ms"};
        bool known = false;
        for (const char* name : valued)
            known = known || a == name;
        if (!known) {
            error = "unknown option \"" + a + "\"";
            return false;
        }
        if (i + 1 >= args.size()) {
            error = a + " needs a value";
            return false;
        }
        const std::string& v = args[++i];
        long n = 0;
        if (a == "--sector") {
            if (!parseInt(v, 0, World::sceneCount - 1, n)) {
                error = "--sector must be 0 to " + std::to_string(World::sceneCount - 1) +
                        ", got \"" + v + "\"";
                return false;
            }
            o.sector = int(n);
        } else if (a == "--position") {
            if (!parseVec3(v, o.position)) {
                error = "--position must be X,Y,Z, got \"" + v + "\"";
                return false;
            }
            o.hasPosition = true;
        } else if (a == "--direction") {
            if (!parseVec3(v, o.direction) || length(o.direction) < 1e-6f) {
                error = "--direction must be a non-zero X,Y,Z, got \"" + v + "\"";
                return false;
            }
            o.hasDirection = true;
        } else if (a == "--frames") {
            if (!parseInt(v, 1, 10000000, n)) {
                error = "--frames must be a positive count, got \"" + v + "\"";
                return false;
            }
            o.frames = int(n);
        } else if (a == "--script") {
            std::string why;
            if (!parseScript(v, o.script, why)) {
                error = "--script: " + why;
                return false;
            }
            o.scriptText = v;
        } else if (a == "--out") {
            if (v.empty()) {
                error = "--out needs a file name";
                return false;
            }
            o.out = v;
        } else if (a == "--every") {
            if (!parseInt(v, 1, 10000000, n)) {
                error = "--every must be a positive count, got \"" + v + "\"";
                return false;
            }
            o.every = int(n);
        } else if (a == "--size") {
            const size_t x = v.find('x');
            long w = 0, h = 0;
            if (x == std::string::npos || !parseInt(v.substr(0, x), 16, 8192, w) ||
                !parseInt(v.substr(x + 1), 16, 8192, h)) {
                error = "--size must be WxH with sides 16 to 8192, got \"" + v + "\"";
                return false;
            }
            o.width = int(w);
            o.height = int(h);
        } else if (a == "--frame-ms") {
            if (!parseInt(v, 0, 1000, n)) {
                error = "--frame-ms must be 0 to 1000, got \"" + v + "\"";
                return false;
            }
            o.frameMs = uint32_t(n);
        }
    }
    return true;
}

int framesToRun(const CaptureOptions& o) {
    if (o.frames > 0)
        return o.frames;
    uint32_t scriptMs = 0;
    for (const ScriptStep& s : o.script)
        scriptMs += s.ms;
    const uint32_t step = o.frameMs > 0 ? o.frameMs : 16;
    return int((scriptMs + step - 1) / step) + 8;
}

std::string numberedPath(const std::string& out, int frame) {
    char number[16];
    std::snprintf(number, sizeof number, "_%06d", frame);
    const size_t slash = out.find_last_of('/');
    const size_t dot = out.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return out + number + ".png";
    return out.substr(0, dot) + number + out.substr(dot);
}

} // namespace ombrel::capture
