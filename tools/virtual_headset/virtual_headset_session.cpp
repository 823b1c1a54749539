// The software headset session: the preload check and restart, and the bus with its scripted
// tracker.
#include "tools/virtual_headset/virtual_headset_session.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace Visor {

namespace {

void SetError(std::string* error, const std::string& text) {
    if (error)
        *error = text;
}

// Appends an option to a sanitizer's option variable, keeping what the user set.
void AddOption(const char* variable, const char* option) {
    const char* old = std::getenv(variable);
    std::string value = old && *old ? std::string(old) + ":" + option : std::string(option);
    setenv(variable, value.c_str(), 1);
}

} // namespace

const char* VirtualHeadsetSession::DefaultScript() {
    return "still 500ms\n"
           "yaw 9s 10deg/s\n"
           "still 500ms\n";
}

const char* VirtualHeadsetSession::ReexecMarker() {
    return "VISOR_VIRTUAL_HEADSET_REEXEC";
}

bool VirtualHeadsetSession::IsUnderPreload() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "umockdev-preload");
}

bool VirtualHeadsetSession::RunUnderPreload(char** argv, const std::string& preloadPath,
                                            std::string* error) {
    if (IsUnderPreload())
        return true;
    if (std::getenv(ReexecMarker())) {
        SetError(error, "started again with LD_PRELOAD=" + preloadPath +
                            " but the preload is not in effect");
        return false;
    }
    if (preloadPath.empty() || access(preloadPath.c_str(), R_OK) != 0) {
        SetError(error, "the umockdev preload library " +
                            (preloadPath.empty()
                                 ? std::string("was not found at build time")
                                 : preloadPath + " cannot be read: " + std::strerror(errno)) +
                            "; install umockdev (libumockdev-preload.so.0)");
        return false;
    }
    const char* old = std::getenv("LD_PRELOAD");
    const std::string preload = old && *old ? preloadPath + ":" + old : preloadPath;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv(ReexecMarker(), "1", 1);
    // The preload comes before an AddressSanitizer runtime, which would refuse to start; and
    // umockdev's own code is not instrumented for ThreadSanitizer.
    AddOption("ASAN_OPTIONS", "verify_asan_link_order=0");
    AddOption("TSAN_OPTIONS", "ignore_noninstrumented_modules=1");
    execv("/proc/self/exe", argv);
    SetError(error, std::string("cannot start /proc/self/exe again: ") + std::strerror(errno));
    return false;
}

bool VirtualHeadsetSession::Open(const MotionScript& script, std::string* error) {
    if (Bus) {
        SetError(error, "the virtual headset is already open");
        return false;
    }
    auto bus = std::make_unique<VirtualHidBus>();
    if (!bus->IsValid()) {
        SetError(error, "the virtual headset needs the umockdev preload (LD_PRELOAD=" +
                            std::string("libumockdev-preload.so.0)"));
        return false;
    }
    auto tracker = std::make_shared<VirtualTracker>();
    const std::string node = bus->AddDevice(tracker);
    if (node.empty()) {
        SetError(error, "the virtual tracker could not be added to the bus");
        return false;
    }
    Bus = std::move(bus);
    Tracker = std::move(tracker);
    TrackerNode = node;
    ScriptMs = script.GetDurationMs();
    PlayedMs = 0;
    Player = std::make_unique<MotionPlayer>(script);
    return true;
}

bool VirtualHeadsetSession::StartMotion() {
    if (!Tracker || Stream.IsRunning())
        return false;
    MotionPlayer* player = Player.get();
    std::atomic<std::uint64_t>* played = &PlayedMs;
    // Past the script's end the head holds still where the script left it.
    auto last = std::make_shared<SensorSample>();
    bool started = false;
    Tracker->SetSampleSource([player, played, last, started](SensorSample* sample) mutable {
        if (player->Next(sample, nullptr)) {
            *last = *sample;
            started = true;
            played->store(player->GetElapsedMs());
            return true;
        }
        *sample = *last;
        sample->GyroX = sample->GyroY = sample->GyroZ = 0;
        return started;
    });
    return Stream.Start(Tracker);
}

void VirtualHeadsetSession::Close() {
    Stream.Stop();
    if (Tracker)
        Tracker->SetSampleSource(nullptr);
    Bus.reset();
    Tracker.reset();
    TrackerNode.clear();
    Player.reset();
}

} // namespace Visor
