// Linux device-status source: udev monitor events sorted into HID and display notices, and the
// recovery timers of unhandled HID arrivals, run from the device thread's tick.
#include "hmd/devices/linux_device_status.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <libudev.h>

#include "hmd/devices/log.h"
#include "hmd/devices/timer.h"

namespace Visor {
namespace Linux {

namespace {

// What a tick notifier answers when it has nothing due.
constexpr std::uint64_t NothingDueMks = 1000000000ull;

bool Is(const char* text, const char* expected) {
    return text && std::strcmp(text, expected) == 0;
}

} // namespace

DeviceStatus::DeviceStatus(std::uint32_t retryIntervalMs)
    : RetryIntervalMks(std::uint64_t(retryIntervalMs) * 1000u) {}

DeviceStatus::~DeviceStatus() {
    CloseMonitor();
}

bool DeviceStatus::Initialize(DeviceThreadRegistry* thread) {
    if (!thread || Thread)
        return false;
    const char* failed = nullptr;
    errno = 0;
    Udev = udev_new();
    if (!Udev)
        failed = "no udev context";
    else if (!(Monitor = udev_monitor_new_from_netlink(Udev, "udev")))
        failed = "no netlink monitor";
    else if (udev_monitor_filter_add_match_subsystem_devtype(Monitor, "hidraw", nullptr) < 0 ||
             udev_monitor_filter_add_match_subsystem_devtype(Monitor, "drm", nullptr) < 0)
        failed = "its subsystem filter was refused";
    else if (udev_monitor_enable_receiving(Monitor) < 0)
        failed = "it cannot receive";
    else if ((MonitorFd = udev_monitor_get_fd(Monitor)) < 0)
        failed = "it has no descriptor";
    if (failed) {
        // errno of the call that failed, when it set one.
        int error = errno;
        TextToLog("Visor::Linux::DeviceStatus - cannot open the udev monitor for hidraw and drm "
                  "(%s, %s); devices plugged in or pulled out later go unnoticed.\n",
                  failed, error ? std::strerror(error) : "no error code");
        CloseMonitor();
        return false;
    }
    Thread = thread;
    Thread->AddIoEvent(this, MonitorFd);
    TickRegistered = Thread->AddTickNotifier(this);
    return true;
}

void DeviceStatus::ShutdownAndWait() {
    if (Thread) {
        if (MonitorFd >= 0)
            Thread->RemoveIoEvent(this, MonitorFd);
        if (TickRegistered)
            Thread->RemoveTickNotifier(this);
    }
    TickRegistered = false;
    Thread = nullptr;
    CloseMonitor();
}

void DeviceStatus::CloseMonitor() {
    Timers.clear();
    if (Monitor)
        udev_monitor_unref(Monitor);
    if (Udev)
        udev_unref(Udev);
    Monitor = nullptr;
    Udev = nullptr;
    MonitorFd = -1;
}

void DeviceStatus::OnIoEvent(int fd) {
    if (fd != MonitorFd || !Monitor)
        return;
    // The descriptor is non-blocking: null once the queue is empty. Bounded, so that a storm of
    // events cannot keep the device thread from its commands; the rest wakes the next poll.
    for (int i = 0; i < 64; ++i) {
        udev_device* d = udev_monitor_receive_device(Monitor);
        if (!d)
            return;
        TakeEvent(udev_device_get_subsystem(d), udev_device_get_action(d),
                  udev_device_get_devnode(d), udev_device_get_sysname(d));
        udev_device_unref(d);
    }
}

void DeviceStatus::TakeEvent(const char* subsystem, const char* action, const char* devnode,
                             const char* sysname) {
    bool added = Is(action, "add");
    bool removed = Is(action, "remove");
    if (Is(subsystem, "hidraw")) {
        if ((added || removed) && devnode && *devnode)
            TakeHidNotice(added ? DeviceStatus_Added : DeviceStatus_Removed, devnode);
    } else if (Is(subsystem, "drm")) {
        if (!added && !removed && !Is(action, "change"))
            return;
        StringBuffer path;
        // Display notices are never retried: the enumeration they start sees what is there.
        if (Thread && path.AppendString(DisplayNoticePrefix) &&
            path.AppendString(sysname ? sysname : ""))
            Thread->TakeMessage(removed ? DeviceStatus_Removed : DeviceStatus_Added,
                                path.GetData());
    }
}

void DeviceStatus::TakeHidNotice(DeviceStatusNotice notice, const char* path) {
    // Whatever came before for this path is outdated by this notice.
    KillTimers(path);
    if (PassOn(notice, path) || notice != DeviceStatus_Added)
        return;
    // The device may not be ready yet (its node unreadable, its reopen failed): try again.
    if (++LastTimerId == 0xFFFFFFFFu)
        LastTimerId = 0;
    Timers.push_back(
        RecoveryTimer{LastTimerId, String(path), 0, Timer::GetTicks() + RetryIntervalMks});
}

bool DeviceStatus::PassOn(DeviceStatusNotice notice, const char* path) {
    if (!Thread)
        return true;
    bool handled = false;
    bool ok = Thread->TakeMessage(notice, path, &handled);
    return ok && handled;
}

void DeviceStatus::KillTimers(const char* path) {
    Timers.erase(std::remove_if(Timers.begin(), Timers.end(),
                                [path](const RecoveryTimer& t) { return t.Path == path; }),
                 Timers.end());
}

std::uint64_t DeviceStatus::OnTick(std::uint64_t ticksMks) {
    // Offering an arrival may add, replace or drop timers (and shut the source down), so the
    // due one is looked up by id after each offer.
    for (;;) {
        auto due = std::find_if(Timers.begin(), Timers.end(), [ticksMks](const RecoveryTimer& t) {
            return t.DueMks <= ticksMks;
        });
        if (due == Timers.end())
            break;
        std::uint32_t id = due->Id;
        String path = due->Path;
        due->DueMks = ticksMks + RetryIntervalMks;
        bool taken = PassOn(DeviceStatus_Added, path.ToCStr());
        auto t = std::find_if(Timers.begin(), Timers.end(),
                              [id](const RecoveryTimer& r) { return r.Id == id; });
        if (t == Timers.end())
            continue;
        if (taken || ++t->Retries >= MaxRetries) {
            if (!taken)
                TextToLog("Visor::Linux::DeviceStatus - no device kind took '%s' after %u "
                          "retries.\n",
                          path.ToCStr(), unsigned(MaxRetries));
            Timers.erase(t);
        }
    }
    std::uint64_t next = NothingDueMks;
    for (const RecoveryTimer& t : Timers)
        next = std::min(next, t.DueMks > ticksMks ? t.DueMks - ticksMks : 0);
    return next;
}

} // namespace Linux
} // namespace Visor
