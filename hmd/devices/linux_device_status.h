// Device arrival and removal on Linux: a udev monitor on the hidraw and drm subsystems, read
// in the device thread's poll, with recovery timers for HID arrivals nobody could take yet.
#pragma once

#include <cstdint>
#include <vector>

#include "hmd/devices/device_thread.h"
#include "hmd/devices/refcount.h"
#include "hmd/devices/visor_string.h"

struct udev;
struct udev_monitor;

namespace Visor {
namespace Linux {

// What reaches the device thread:
// - hidraw "add" / "remove": an arrival / removal with the node path (/dev/hidrawN), the path
//   the HID layer opens. An arrival that is not handled, or whose handling failed (a reopen
//   that failed), is offered again every retry interval, at most MaxRetries times; a new
//   notice for the same path replaces its timer. Removals are never offered again.
// - drm "add" / "change" / "remove": a display notice whose path is DisplayNoticePrefix plus
//   the drm device's name ("display:card0"); "remove" is a removal, the others arrivals. The
//   kernel reports connector changes on the card, so every drm event stands for the headset's
//   display: there is no telling from it which monitor came or went.
// - other actions ("bind", "unbind", a hidraw "change") are ignored.
class DeviceStatus : public DeviceStatusSource,
                     public DeviceThreadNotifier,
                     public NewOverrideBase {
public:
    static constexpr std::uint32_t DefaultRetryIntervalMs = 500;
    static constexpr std::uint32_t MaxRetries = 20;

    // retryIntervalMs: how long an unhandled arrival waits before it is offered again.
    explicit DeviceStatus(std::uint32_t retryIntervalMs = DefaultRetryIntervalMs);
    // Device thread, or any thread once the device thread has left its loop.
    ~DeviceStatus() override;

    // Device thread: opens the monitor and registers its descriptor and the timers' tick;
    // false (with a log line saying why) when udev offers no monitor.
    bool Initialize(DeviceThreadRegistry* thread) override;
    // Device thread: unregisters, closes the monitor and drops every timer.
    void ShutdownAndWait() override;

    // Device thread: the monitor is readable; takes every event waiting.
    void OnIoEvent(int fd) override;
    // Device thread: offers the arrivals whose timer is due again; answers the time to the
    // next one.
    std::uint64_t OnTick(std::uint64_t ticksMks) override;

    // Device thread: one event as the monitor reports it (any argument may be null).
    void TakeEvent(const char* subsystem, const char* action, const char* devnode,
                   const char* sysname);

    // Device thread: the monitor's descriptor (-1 before Initialize), and the timers running.
    int GetMonitorFd() const { return MonitorFd; }
    std::size_t GetRecoveryTimerCount() const { return Timers.size(); }

private:
    struct RecoveryTimer {
        std::uint32_t Id;
        String Path;
        std::uint32_t Retries;
        std::uint64_t DueMks;
    };

    // Passes a HID notice on and starts a timer for an arrival nobody took.
    void TakeHidNotice(DeviceStatusNotice notice, const char* path);
    // True when the notice was handled without error.
    bool PassOn(DeviceStatusNotice notice, const char* path);
    void KillTimers(const char* path);
    void CloseMonitor();

    DeviceThreadRegistry* Thread = nullptr;
    udev* Udev = nullptr;
    udev_monitor* Monitor = nullptr;
    int MonitorFd = -1;
    bool TickRegistered = false;
    std::uint64_t RetryIntervalMks;
    std::uint32_t LastTimerId = 0;
    std::vector<RecoveryTimer> Timers;
};

} // namespace Linux
} // namespace Visor
