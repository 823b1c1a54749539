// The device thread of the HMD library on Linux: runs queued commands and sleeps in one
// poll() over the command eventfd and the descriptors of open devices, waking for the
// nearest tick deadline. The platform-neutral interfaces are in device_thread.h.
#pragma once

#include <cstdint>
#include <vector>

#include "hmd/devices/device_thread.h"
#include "hmd/devices/thread_commands.h"
#include "hmd/devices/threads.h"

namespace Visor {

class DeviceManagerImpl;

namespace Linux {

class DeviceManagerThread : public Thread, public ThreadCommandQueue, public DeviceThreadRegistry {
public:
    using Notifier = DeviceThreadNotifier;

    static constexpr std::uint32_t InfiniteTimeout = 0xFFFFFFFFu;

    // Owner's thread: creates the command eventfd; the thread is started with Start().
    explicit DeviceManagerThread(DeviceManagerImpl* manager = nullptr);
    // Whoever drops the last reference (the device thread itself after its run, usually):
    // waits until no pusher is inside a push, then closes the eventfd.
    ~DeviceManagerThread() override;

    // Any thread. False when the command event could not be created; Start then refuses too.
    bool IsValid() const { return CommandEvent >= 0; }
    // Owner's thread.
    bool Start(ThreadState initialState = Running) override;
    // The device thread's loop. Pushes made on the device thread run at once (PostCommand).
    int Run() override;

    // Command event: set exactly while commands are waiting. Called under the queue lock,
    // on the pushing thread and on the device thread.
    void OnQueueFilled() override;
    void OnQueueDrained() override;
    // Any thread: whether the command eventfd is readable now (diagnostics and tests).
    bool IsCommandEventSet() const;

    // Device thread only. A handle is a file descriptor polled for input.
    bool AddIoEvent(Notifier* notifier, int fd) override;
    bool RemoveIoEvent(Notifier* notifier, int fd) override;
    bool AddTickNotifier(Notifier* notifier) override;
    bool RemoveTickNotifier(Notifier* notifier) override;
    bool AddStatusNotifier(Notifier* notifier) override;
    bool RemoveStatusNotifier(Notifier* notifier) override;

    // Device thread only: reads the tick clock, calls every tick notifier and returns the
    // smallest answer in milliseconds, or InfiniteTimeout when none is registered.
    std::uint32_t ComputeTickTimeout();
    // Any thread: microseconds answered by a tick notifier as a poll timeout in milliseconds.
    // Answers beyond the 32-bit range saturate instead of wrapping to a short timeout.
    static std::uint32_t TickAnswerToTimeoutMs(std::uint64_t answerMks);

    // Owner's thread, before Start: the source of device-status notices, not owned; the
    // caller keeps it until the thread has left its loop.
    void SetStatusSource(DeviceStatusSource* source) { StatusSource = source; }
    // Owner's thread, before Start: the same, and the thread deletes it when it is destroyed.
    void AdoptStatusSource(DeviceStatusSource* source) {
        StatusSource = source;
        OwnedStatusSource = source;
    }
    // Device thread: open devices are asked first; unclaimed notices go on to
    // OnUnclaimedDeviceStatus.
    bool TakeMessage(DeviceStatusNotice notice, const char* path, bool* handled = nullptr) override;

    // Any thread: the manager's shutdown detaches itself here before dropping the thread.
    void DetachManager();
    // Any thread; read the manager only while holding the lock.
    Mutex* GetManagerLock() { return &ManagerLock; }
    DeviceManagerImpl* GetManagerLocked() { return Manager; }

protected:
    // Device thread: a notice no open device took. A HID arrival is offered to the manager's
    // factories (read from the node, then claimed by the first that wants it); a display
    // notice re-runs the manager's HMD enumeration, so that the headset's arrival and removal
    // reach the application. Nothing once the manager has detached.
    virtual bool OnUnclaimedDeviceStatus(DeviceStatusNotice notice, const char* path);

private:
    int CommandEvent = -1;
    std::vector<int> WaitHandles;
    std::vector<Notifier*> WaitNotifiers;
    std::vector<Notifier*> TickNotifiers;
    std::vector<Notifier*> StatusNotifiers;
    DeviceStatusSource* StatusSource = nullptr;
    DeviceStatusSource* OwnedStatusSource = nullptr;
    // Set when a tick notifier is added or removed; a round of ticks that saw it is redone.
    bool TickNotifiersChanged = false;
    Mutex ManagerLock;
    DeviceManagerImpl* Manager;
};

} // namespace Linux
} // namespace Visor
