// visor_record: records a tracker's reports to a file for later playback (see RECORDING.md).
#include "hmd/devices/system.h"
#include "tools/virtual_headset/recorder.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>

namespace {

std::atomic<bool> Interrupted{false};

extern "C" void OnInterrupt(int) {
    Interrupted = true;
}

} // namespace

int main(int argc, char** argv) {
    Visor::RecordOptions options;
    std::string error;
    if (!Visor::ParseRecordOptions(argc, argv, &options, &error)) {
        std::fprintf(stderr, "visor_record: %s\n\n%s", error.c_str(), Visor::RecordUsage());
        return 2;
    }
    if (options.Help) {
        std::fputs(Visor::RecordUsage(), stdout);
        return 0;
    }
    // Ctrl-C ends the recording early but still closes the file properly.
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    Visor::System::Init();
    Visor::RecordSummary summary;
    const bool recorded = Visor::RunRecorder(options, &Interrupted, stderr, &summary, &error);
    Visor::System::Destroy();
    if (!recorded) {
        std::fprintf(stderr, "visor_record: %s\n", error.c_str());
        return 1;
    }
    std::printf("Recorded %u reports from %s into %s%s\n", summary.Reports, summary.Path.c_str(),
                options.Output.c_str(),
                summary.ConnectionLost ? " (the connection was lost meanwhile)" : "");
    return 0;
}
