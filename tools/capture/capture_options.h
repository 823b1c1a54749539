// Command line of the capture tool.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "render/math.h"
#include "tools/capture/input_script.h"
#include "tools/virtual_headset/motion_script.h"

namespace ombrel::capture {

struct CaptureOptions {
    int sector = 0;           // scene to start in, 0..4
    bool hasPosition = false; // else the scene's arrival point
    vec3 position;
    bool hasDirection = false; // else the arrival point's direction
    vec3 direction;
    int frames = 0; // 0: enough for the script plus a full refresh of the samples
    std::vector<ScriptStep> script;
    std::string scriptText;
    std::string out = "nadirport.png";
    int every = 0; // also write every K-th frame (0: only the last)
    int width = 1280, height = 800;
    uint32_t frameMs = 16;         // fixed draw-clock step per frame; 0 follows the shell's clock
    bool virtualHeadset = false;   // run with a software headset on a umockdev bus
    std::string headsetScriptPath; // its motion script file; empty: the default script
    Visor::MotionScript headsetScript; // parsed
    bool quiet = false;
    bool help = false;
};

// Parses argv (without argv[0]). On failure returns false with a one-line reason.
bool parseOptions(const std::vector<std::string>& args, CaptureOptions& options,
                  std::string& error);

// Usage text for --help and after errors.
const char* usage();

// Frames a run draws at least: the explicit count, else the script length at the fixed step
// plus eight frames (two full refreshes of the traced samples). With a virtual headset the run
// also lasts until its motion script has played.
int framesToRun(const CaptureOptions& options);

// Path of frame `frame` when every K-th frame is written: "shot.png" -> "shot_000120.png".
std::string numberedPath(const std::string& out, int frame);

} // namespace ombrel::capture
