// The virtual headset of visor_probe --virtual, and the tool's re-run under umockdev's preload.
#include "tools/probe/virtual_probe.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace Visor {

namespace {

// Set in the re-run's environment, so that a preload that does not take cannot loop.
const char* const RerunMarker = "VISOR_PROBE_UNDER_UMOCKDEV";

bool Fail(std::string* error, std::string what) {
    if (error)
        *error = std::move(what);
    return false;
}

} // namespace

const char* DefaultProbeScript() {
    return "# A slow turn to the left, for an hour.\n"
           "yaw 3600s 15deg/s\n";
}

bool VirtualProbeHeadset::Start(VirtualHidBus* bus, const MotionScript& script,
                                std::string* error) {
    Stop();
    if (!bus || !bus->IsValid())
        return Fail(error, "the virtual HID bus is not available (not under umockdev's preload)");
    // Its default display information describes the headset's panel, so the library finds a
    // headset display from the tracker alone.
    Tracker = std::make_shared<VirtualTracker>();
    auto player = std::make_shared<MotionPlayer>(script);
    Tracker->SetSampleSource([player](SensorSample* s) { return player->Next(s, nullptr); });
    TrackerNode = bus->AddDevice(Tracker);
    if (TrackerNode.empty())
        return Fail(error, "the virtual tracker cannot be added to the bus");
    if (bus->AddDevice(MakeVirtualLatencyTester()).empty())
        return Fail(error, "the virtual latency tester cannot be added to the bus");
    if (!Clock.Start(Tracker))
        return Fail(error, "the virtual tracker's clock cannot be started");
    return true;
}

void VirtualProbeHeadset::Stop() {
    Clock.Stop();
}

bool UnderUmockdevPreload() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "umockdev-preload");
}

bool RerunUnderUmockdevPreload(char** argv, const char* preloadPath, std::string* error) {
    if (std::getenv(RerunMarker))
        return Fail(error, "running again under umockdev's preload did not take effect "
                           "(LD_PRELOAD was dropped?)");
    if (!preloadPath || !*preloadPath || access(preloadPath, R_OK) != 0)
        return Fail(error, std::string("--virtual needs umockdev, whose preload library ") +
                               (preloadPath && *preloadPath ? "'" + std::string(preloadPath) + "' "
                                                            : std::string()) +
                               "is not installed (Debian and Ubuntu: apt install umockdev)");
    std::string preload = preloadPath;
    if (const char* earlier = std::getenv("LD_PRELOAD"); earlier && *earlier)
        preload += std::string(":") + earlier;
    if (setenv("LD_PRELOAD", preload.c_str(), 1) != 0 || setenv(RerunMarker, "1", 1) != 0)
        return Fail(error, std::string("cannot set the environment: ") + std::strerror(errno));
    execv("/proc/self/exe", argv);
    const int failed = errno;
    unsetenv(RerunMarker);
    return Fail(error, std::string("cannot run itself again under umockdev's preload: ") +
                           std::strerror(failed));
}

} // namespace Visor
