// A whole software headset for one program: a umockdev HID bus carrying a tracker whose motion
// follows a script in real time, so that the device stack finds a head-mounted display and its
// orientation turns as scripted. For tools (the capture tool runs the demo with it) and tests.
//
// The process must run under the umockdev preload (see virtual_hid_bus.h). A tool calls
// RunUnderPreload first, which starts the program again with the preload when it is missing; a
// test registered with visor_add_umockdev_test already runs under it and opens a session
// in-process. Open the session before anything creates a device manager (the bus must come
// before any udev monitor), and close it after every device on it is released.
//
// Threads: Open, StartMotion and Close on one thread; the motion plays on the stream's thread.
#pragma once

#include "tools/virtual_headset/motion_script.h"
#include "tools/virtual_headset/virtual_hid_bus.h"
#include "tools/virtual_headset/virtual_tracker.h"
#include "tools/virtual_headset/virtual_tracker_stream.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace Visor {

class VirtualHeadsetSession {
public:
    // The script used when none is given: half a second still, then a slow turn to the left
    // (10 degrees per second about world up) for 9 seconds, then still.
    static const char* DefaultScript();

    // Environment variable set on the program started again under the preload, so that a
    // preload that did not take effect fails instead of starting it over and over.
    static const char* ReexecMarker();

    // Whether LD_PRELOAD names the umockdev preload.
    static bool IsUnderPreload();

    // Returns true when the process already runs under the preload. Otherwise starts this
    // program again (/proc/self/exe with argv) with preloadPath prepended to LD_PRELOAD and the
    // sanitizer options the preload needs, and returns false with error filled only when that
    // cannot be done: the library is missing, the program was already started again, or exec
    // failed.
    static bool RunUnderPreload(char** argv, const std::string& preloadPath, std::string* error);

    VirtualHeadsetSession() = default;
    ~VirtualHeadsetSession() { Close(); }
    VirtualHeadsetSession(const VirtualHeadsetSession&) = delete;
    VirtualHeadsetSession& operator=(const VirtualHeadsetSession&) = delete;

    // Makes the bus and plugs in a tracker that describes its screen, which makes the headset
    // known without a monitor. The tracker rests at the script's start until StartMotion. False
    // with error when not under the preload, or already open.
    bool Open(const MotionScript& script, std::string* error);
    // Plays the script in real time from now; after its end the head holds its last pose.
    bool StartMotion();
    // Stops the motion and removes the bus. Every device on it must be closed by now.
    void Close();

    bool IsOpen() const { return Bus != nullptr; }
    // The script's length, and how much of it has played so far.
    std::uint64_t GetScriptMs() const { return ScriptMs; }
    std::uint64_t GetPlayedMs() const { return PlayedMs.load(); }
    bool IsMotionOver() const { return PlayedMs.load() >= ScriptMs; }

    VirtualHidBus* GetBus() { return Bus.get(); }
    std::shared_ptr<VirtualTracker> GetTracker() { return Tracker; }
    const std::string& GetTrackerNode() const { return TrackerNode; }

private:
    std::unique_ptr<VirtualHidBus> Bus;
    std::shared_ptr<VirtualTracker> Tracker;
    std::string TrackerNode;
    std::unique_ptr<MotionPlayer> Player;
    VirtualTrackerStream Stream;
    std::uint64_t ScriptMs = 0;
    std::atomic<std::uint64_t> PlayedMs{0};
};

} // namespace Visor
