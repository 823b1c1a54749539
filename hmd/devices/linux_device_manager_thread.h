// The device thread of the HMD library on Linux: runs queued commands and sleeps in one
// poll() over the command eventfd and the descriptors of open devices, waking for the
// nearest tick deadline.
#pragma once

#include <cstdint>
#include <vector>

#include "hmd/devices/thread_commands.h"
#include "hmd/devices/threads.h"

namespace Visor {

class DeviceManagerImpl;

namespace Linux {

class DeviceManagerThread;

// Device-status notices handed to the device thread (arrival 0, removal 1).
enum DeviceStatusNotice : unsigned { DeviceStatus_Added = 0, DeviceStatus_Removed = 1 };

// What carries device arrival and removal to the device thread (a udev monitor on Linux).
// Initialize runs on the device thread when its loop starts and may register descriptors
// with AddIoEvent; ShutdownAndWait runs there when the loop ends.
class DeviceStatusSource {
public:
    virtual ~DeviceStatusSource() = default;
    virtual bool Initialize(DeviceManagerThread* thread) = 0;
    virtual void ShutdownAndWait() = 0;
};

class DeviceManagerThread : public Thread, public ThreadCommandQueue {
public:
    // Implemented by device objects; every call comes on the device thread.
    class Notifier {
    public:
        virtual ~Notifier() = default;
        // fd, registered by this notifier, is readable (or reports an error or hang-up).
        virtual void OnIoEvent(int fd) { (void)fd; }
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

    static constexpr std::uint32_t InfiniteTimeout = 0xFFFFFFFFu;

    // The command eventfd is created here; the thread is started with Start().
    explicit DeviceManagerThread(DeviceManagerImpl* manager = nullptr);
    ~DeviceManagerThread() override;

    // False when the command event could not be created; Start then refuses too.
    bool IsValid() const { return CommandEvent >= 0; }
    bool Start(ThreadState initialState = Running) override;
    int Run() override;

    // Command event: set exactly while commands are waiting.
    void OnQueueFilled() override;
    void OnQueueDrained() override;
    // Whether the command eventfd is readable now (for diagnostics and tests).
    bool IsCommandEventSet() const;

    // Device-thread only. Removal keeps the order of the remaining entries.
    bool AddIoEvent(Notifier* notifier, int fd);
    bool RemoveIoEvent(Notifier* notifier, int fd);
    bool AddTickNotifier(Notifier* notifier);
    bool RemoveTickNotifier(Notifier* notifier);
    bool AddStatusNotifier(Notifier* notifier);
    bool RemoveStatusNotifier(Notifier* notifier);

    // Device-thread only: reads the tick clock, calls every tick notifier and returns the
    // smallest answer in milliseconds, or InfiniteTimeout when none is registered.
    std::uint32_t ComputeTickTimeout();
    // Microseconds answered by a tick notifier as a poll timeout in milliseconds. Answers
    // beyond the 32-bit range saturate instead of wrapping to a short timeout.
    static std::uint32_t TickAnswerToTimeoutMs(std::uint64_t answerMks);

    // Before Start: the source of device-status notices (not owned).
    void SetStatusSource(DeviceStatusSource* source) { StatusSource = source; }
    // Device thread: a device-status notice from the status source. Status notifiers are
    // asked in registration order; unclaimed notices go to OnUnclaimedDeviceStatus. False
    // when a device reported an error handling it.
    bool TakeMessage(DeviceStatusNotice notice, const char* path);

    // The manager's shutdown detaches itself here before dropping the thread.
    void DetachManager();
    Mutex* GetManagerLock() { return &ManagerLock; }
    DeviceManagerImpl* GetManagerLocked() { return Manager; }

protected:
    // Arrivals nobody claimed (new devices for the factories, the headset display). The
    // device manager layer fills this in; the default claims nothing.
    virtual bool OnUnclaimedDeviceStatus(DeviceStatusNotice notice, const char* path) {
        (void)notice;
        (void)path;
        return false;
    }

private:
    int CommandEvent = -1;
    std::vector<int> WaitHandles;
    std::vector<Notifier*> WaitNotifiers;
    std::vector<Notifier*> TickNotifiers;
    std::vector<Notifier*> StatusNotifiers;
    DeviceStatusSource* StatusSource = nullptr;
    Mutex ManagerLock;
    DeviceManagerImpl* Manager;
};

} // namespace Linux
} // namespace Visor
