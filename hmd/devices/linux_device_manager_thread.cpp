// Linux device thread: command eventfd, registration arrays and the poll() run loop.
#include "hmd/devices/linux_device_manager_thread.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "hmd/devices/device_manager.h"
#include "hmd/devices/hid_device.h"
#include "hmd/devices/log.h"
#include "hmd/devices/timer.h"

namespace Visor {
namespace Linux {

namespace {

template <class T> bool RemoveFirst(std::vector<T>& v, const T& value) {
    auto it = std::find(v.begin(), v.end(), value);
    if (it == v.end())
        return false;
    v.erase(it);
    if (v.empty())
        std::vector<T>().swap(v);
    return true;
}

} // namespace

DeviceManagerThread::DeviceManagerThread(DeviceManagerImpl* manager)
    : Thread(32768, -1), Manager(manager) {
    CommandEvent = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (CommandEvent < 0)
        ErrorToLog("Visor::DeviceManagerThread - cannot create the command eventfd (%s); no "
                   "device can be used. If the process ran out of file descriptors, raise its "
                   "limit (ulimit -n).",
                   std::strerror(errno));
    // Entry 0 is the command event and has no notifier.
    WaitHandles.push_back(CommandEvent);
    WaitNotifiers.push_back(nullptr);
}

DeviceManagerThread::~DeviceManagerThread() {
    // First, so that no push still inside reaches OnQueueFilled with the eventfd closed.
    CloseQueue();
    delete OwnedStatusSource;
    WaitHandles.clear();
    WaitNotifiers.clear();
    if (CommandEvent >= 0)
        close(CommandEvent);
}

bool DeviceManagerThread::Start(ThreadState initialState) {
    return IsValid() && Thread::Start(initialState);
}

void DeviceManagerThread::OnQueueFilled() {
    std::uint64_t one = 1;
    // The counter only needs to be non-zero; a full counter (EAGAIN) is already set.
    while (write(CommandEvent, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void DeviceManagerThread::OnQueueDrained() {
    std::uint64_t value;
    // One read returns and zeroes the whole counter.
    while (read(CommandEvent, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

bool DeviceManagerThread::IsCommandEventSet() const {
    pollfd p{CommandEvent, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

bool DeviceManagerThread::AddIoEvent(Notifier* notifier, int fd) {
    WaitHandles.push_back(fd);
    WaitNotifiers.push_back(notifier);
    return true;
}

bool DeviceManagerThread::RemoveIoEvent(Notifier* notifier, int fd) {
    // Entry 0 (the command event) is never removed here.
    for (std::size_t i = 1; i < WaitHandles.size(); ++i) {
        if (WaitHandles[i] == fd && WaitNotifiers[i] == notifier) {
            WaitHandles.erase(WaitHandles.begin() + long(i));
            WaitNotifiers.erase(WaitNotifiers.begin() + long(i));
            return true;
        }
    }
    return false;
}

bool DeviceManagerThread::AddTickNotifier(Notifier* notifier) {
    TickNotifiers.push_back(notifier);
    TickNotifiersChanged = true;
    return true;
}

bool DeviceManagerThread::RemoveTickNotifier(Notifier* notifier) {
    TickNotifiersChanged = true;
    return RemoveFirst(TickNotifiers, notifier);
}

bool DeviceManagerThread::AddStatusNotifier(Notifier* notifier) {
    StatusNotifiers.push_back(notifier);
    return true;
}

bool DeviceManagerThread::RemoveStatusNotifier(Notifier* notifier) {
    return RemoveFirst(StatusNotifiers, notifier);
}

std::uint32_t DeviceManagerThread::TickAnswerToTimeoutMs(std::uint64_t answerMks) {
    std::uint64_t ms = answerMks / 1000u;
    return ms >= InfiniteTimeout ? InfiniteTimeout - 1 : static_cast<std::uint32_t>(ms);
}

std::uint32_t DeviceManagerThread::ComputeTickTimeout() {
    std::uint32_t timeout = InfiniteTimeout;
    if (TickNotifiers.empty())
        return timeout;
    std::uint64_t ticks = Timer::GetTicks();
    TickNotifiersChanged = false;
    // Index loop: a notifier may unregister itself, or devices, from its OnTick (a recovery
    // timer that opens or drops a device).
    for (std::size_t i = 0; i < TickNotifiers.size(); ++i)
        timeout = std::min(timeout, TickAnswerToTimeoutMs(TickNotifiers[i]->OnTick(ticks)));
    // A removal may have moved a notifier past the index before it was asked: ask again at
    // once rather than sleep past its deadline.
    return TickNotifiersChanged ? 0 : timeout;
}

bool DeviceManagerThread::TakeMessage(DeviceStatusNotice notice, const char* path,
                                      bool* handledOut) {
    bool error = false;
    bool handled = false;
    for (std::size_t i = 0; i < StatusNotifiers.size() && !handled; ++i)
        handled = StatusNotifiers[i]->OnDeviceStatus(notice, path, &error);
    if (!handled && path)
        handled = OnUnclaimedDeviceStatus(notice, path);
    if (handledOut)
        *handledOut = handled;
    return !error;
}

bool DeviceManagerThread::OnUnclaimedDeviceStatus(DeviceStatusNotice notice, const char* path) {
    bool display = IsDisplayNotice(path);
    if (!display && notice != DeviceStatus_Added)
        return false;
    // A reference rather than the lock across the work: the factories run under ListLock,
    // and the manager's shutdown takes ManagerLock while holding ListLock.
    DeviceManagerImpl* manager = nullptr;
    {
        Mutex::Locker lock(&ManagerLock);
        manager = Manager;
        if (manager)
            manager->AddRef();
    }
    if (!manager)
        return false;
    bool handled = false;
    if (display) {
        // On this thread the enumeration rescans every factory, which reports the headset's
        // arrival or removal to the application.
        manager->Enumerate(Type_HMD, true);
    } else if (HIDDeviceManager* hid = manager->GetHidManager()) {
        HidDeviceRecord record;
        handled = hid->ReadHidRecord(path, &record) && manager->ClaimHidDevice(record);
    }
    manager->Release();
    return handled;
}

void DeviceManagerThread::DetachManager() {
    Mutex::Locker lock(&ManagerLock);
    Manager = nullptr;
}

int DeviceManagerThread::Run() {
    SetThreadName("Visor::DeviceManagerThread");
    SetConsumerThread(GetThreadId());
    TextToLog("Visor::DeviceManagerThread - running (ThreadId=0x%X).\n", GetThreadId());

    bool statusReady = false;
    if (StatusSource) {
        statusReady = StatusSource->Initialize(this);
        if (!statusReady)
            TextToLog("Visor::DeviceManagerThread - no device-status notices: devices are found "
                      "only when enumerated.\n");
    }

    ThreadCommand::PopBuffer command;
    std::vector<pollfd> fds;
    while (!IsExitDone()) {
        if (TakeCommand(&command)) {
            command.Execute();
            continue;
        }
        // An exit requested here on a full ring ends the loop once the ring is drained.
        if (IsExitDone())
            break;
        // Sleep until a command, device I/O or the nearest tick deadline. Timeouts and I/O
        // go back to the ticks without popping; a set command event (or a failed poll) goes
        // back to the queue.
        for (;;) {
            std::uint32_t timeout = ComputeTickTimeout();
            fds.resize(WaitHandles.size());
            for (std::size_t i = 0; i < WaitHandles.size(); ++i)
                fds[i] = pollfd{WaitHandles[i], POLLIN, 0};
            int pollTimeout =
                timeout == InfiniteTimeout ? -1 : int(std::min<std::uint32_t>(timeout, INT_MAX));
            int n = poll(fds.data(), fds.size(), pollTimeout);
            if (n < 0 || fds[0].revents != 0)
                break;
            if (n == 0)
                continue;
            for (std::size_t i = 1; i < fds.size(); ++i) {
                if (fds[i].revents == 0)
                    continue;
                if (WaitNotifiers[i])
                    WaitNotifiers[i]->OnIoEvent(WaitHandles[i]);
                break;
            }
        }
    }

    if (statusReady)
        StatusSource->ShutdownAndWait();
    TextToLog("Visor::DeviceManagerThread - exiting (ThreadId=0x%X).\n", GetThreadId());
    command.Clear();
    // The kernel may hand this id to a new thread, which must not count as the consumer.
    SetConsumerThread(0);
    return 0;
}

} // namespace Linux
} // namespace Visor
