// What the device thread offers devices on every platform: the notifier interface devices
// implement, the registrations they make, and the source of device arrival and removal.
#pragma once

#include <cstdint>

namespace Visor {

// Device-status notices handed to the device thread (arrival 0, removal 1).
enum DeviceStatusNotice : unsigned { DeviceStatus_Added = 0, DeviceStatus_Removed = 1 };

// The path of a notice about the headset's display (a monitor came, went or changed) starts
// with this; the rest names where the system saw it. Other paths are HID device paths.
constexpr char DisplayNoticePrefix[] = "display:";
inline bool IsDisplayNotice(const char* path) {
    if (!path)
        return false;
    for (const char* p = DisplayNoticePrefix; *p; ++p, ++path)
        if (*path != *p)
            return false;
    return true;
}

// Implemented by device objects; every call comes on the device thread.
class DeviceThreadNotifier {
public:
    virtual ~DeviceThreadNotifier() = default;
    // handle, registered by this notifier, is ready (or reports an error or hang-up).
    virtual void OnIoEvent(int handle) { (void)handle; }
    // Returns the microseconds until the notifier next wants to be called.
    virtual std::uint64_t OnTick(std::uint64_t ticksMks) {
        (void)ticksMks;
        return 1000000000ull;
    }
    // True when it handled the notice; sets *error when handling it failed.
    virtual bool OnDeviceStatus(DeviceStatusNotice notice, const char* path, bool* error) {
        (void)notice;
        (void)path;
        (void)error;
        return false;
    }
};

// The device thread's registrations. Device thread only: the arrays have no lock.
class DeviceThreadRegistry {
public:
    // handle is what the platform's wait takes (a file descriptor on POSIX). Removal keeps
    // the order of the remaining entries and is false when nothing matched.
    virtual bool AddIoEvent(DeviceThreadNotifier* notifier, int handle) = 0;
    virtual bool RemoveIoEvent(DeviceThreadNotifier* notifier, int handle) = 0;
    virtual bool AddTickNotifier(DeviceThreadNotifier* notifier) = 0;
    virtual bool RemoveTickNotifier(DeviceThreadNotifier* notifier) = 0;
    virtual bool AddStatusNotifier(DeviceThreadNotifier* notifier) = 0;
    virtual bool RemoveStatusNotifier(DeviceThreadNotifier* notifier) = 0;
    // A device-status notice from the status source. Status notifiers are asked in
    // registration order; false when a device reported an error handling it. handled (may be
    // null) tells whether anyone took the notice.
    virtual bool TakeMessage(DeviceStatusNotice notice, const char* path,
                             bool* handled = nullptr) = 0;

protected:
    ~DeviceThreadRegistry() = default;
};

// What carries device arrival and removal to the device thread. Initialize runs on the
// device thread when its loop starts and may register handles; ShutdownAndWait runs there
// when the loop ends, only after a successful Initialize.
class DeviceStatusSource {
public:
    virtual ~DeviceStatusSource() = default;
    virtual bool Initialize(DeviceThreadRegistry* thread) = 0;
    virtual void ShutdownAndWait() = 0;
};

} // namespace Visor
