// The virtual headset of visor_probe --virtual.
#include "tools/probe/virtual_probe.h"

namespace Visor {

namespace {

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

} // namespace Visor
