// visor_probe's work, apart from its main so that tests can run it on the virtual bus: lists the
// headset's devices with the records the library reads from them and why a node cannot be
// opened, and streams a tracker's fused orientation.
//
// Threads: ProbeDevices and StreamOrientation block the calling thread; each starts and ends its
// own device manager and device thread. System::Init must have been called. They route the
// library's log into their own capture while they run.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

namespace Visor {

struct ProbeOptions {
    enum : unsigned { MaxSeconds = 24 * 3600 };
    bool Help = false;
    bool Stream = false;
    double RateHz = 10; // orientation lines per second
    double Seconds = 0; // 0: until interrupted
    bool Virtual = false;
    std::string Script; // motion script file for the virtual tracker; empty: a slow yaw
};

// Parses visor_probe's arguments (argv[0] is the program). False with error saying what is
// wrong.
bool ParseProbeOptions(int argc, const char* const* argv, ProbeOptions* options,
                       std::string* error);
const char* ProbeUsage();

// Exit statuses of the tool.
enum ProbeStatus { Probe_Found = 0, Probe_NothingFound = 1, Probe_Failed = 2 };

// Lists every device present (headset displays, trackers, latency testers) with its record, and
// each headset node that cannot be opened with the reason and its fix.
ProbeStatus ProbeDevices(std::FILE* out);

struct StreamSummary {
    double Seconds = 0;
    // Fusion steps: one per body frame, and a report carries every sample taken since the one
    // before, so frames come at the sensors' sampling rate rather than the report rate.
    unsigned Frames = 0;
    double FrameRate = 0;
    double FirstYawDeg = 0, LastYawDeg = 0;
    unsigned TrackerRate = 0; // what the tracker says it is set to
};

// Opens the first tracker (through the first headset display when there is one), fuses its
// frames and prints the orientation options.RateHz times a second until options.Seconds have
// passed (0: no limit) or stop becomes true. Errors go to out as well.
ProbeStatus StreamOrientation(const ProbeOptions& options, const std::atomic<bool>* stop,
                              std::FILE* out, StreamSummary* summary);

// Yaw (about +Y), pitch (about +X) and roll (about +Z) in degrees, applied in that order, of the
// unit quaternion (x, y, z, w).
void QuatToYawPitchRoll(float x, float y, float z, float w, double* yaw, double* pitch,
                        double* roll);

} // namespace Visor
