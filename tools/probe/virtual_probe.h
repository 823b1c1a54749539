// The virtual headset behind visor_probe --virtual: a tracker that describes its display and a
// latency tester on the umockdev bus, the tracker moved by a motion script in real time. The tool
// runs itself again under umockdev's preload as VirtualHeadsetSession::RunUnderPreload does.
#pragma once

#include "tools/virtual_headset/motion_script.h"
#include "tools/virtual_headset/virtual_hid_bus.h"
#include "tools/virtual_headset/virtual_tracker.h"
#include "tools/virtual_headset/virtual_tracker_stream.h"

#include <memory>
#include <string>

namespace Visor {

// The motion the virtual tracker performs when no script is given: a slow turn.
const char* DefaultProbeScript();

// Threads: Start and Stop on one thread, the one that made bus.
class VirtualProbeHeadset {
public:
    VirtualProbeHeadset() = default;
    ~VirtualProbeHeadset() { Stop(); }
    VirtualProbeHeadset(const VirtualProbeHeadset&) = delete;
    VirtualProbeHeadset& operator=(const VirtualProbeHeadset&) = delete;

    // Adds the tracker and the latency tester to bus (which must outlive this object) and starts
    // the tracker's clock with script's samples. False with error when a device cannot be added.
    bool Start(VirtualHidBus* bus, const MotionScript& script, std::string* error);
    // Stops the clock; the devices stay on the bus.
    void Stop();

    const std::string& GetTrackerNode() const { return TrackerNode; }
    std::shared_ptr<VirtualTracker> GetTracker() const { return Tracker; }

private:
    std::shared_ptr<VirtualTracker> Tracker;
    VirtualTrackerStream Clock;
    std::string TrackerNode;
};

} // namespace Visor
