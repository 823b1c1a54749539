// Drives a software tracker's clock (or any device's Advance) from the real one, so that its
// reports arrive at the configured rate while a program reads them.
//
// Threads: Start and Stop from one thread; the tracker is advanced on the stream's own thread.
#pragma once

#include "tools/virtual_headset/virtual_tracker.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace Visor {

class VirtualTrackerStream {
public:
    VirtualTrackerStream() = default;
    ~VirtualTrackerStream() { Stop(); }
    VirtualTrackerStream(const VirtualTrackerStream&) = delete;
    VirtualTrackerStream& operator=(const VirtualTrackerStream&) = delete;

    // Advances tracker by one millisecond per elapsed millisecond until Stop. False when a
    // stream is already running or the thread cannot start.
    bool Start(std::shared_ptr<VirtualTracker> tracker);
    // The same for any clock: advance is called with the milliseconds elapsed since its last
    // call (a replayed recording's Advance, say).
    bool Start(std::function<void(unsigned milliseconds)> advance);
    // Waits for the thread to end; the tracker keeps what it has queued.
    void Stop();
    bool IsRunning() const { return Thread.joinable(); }

private:
    void Run(const std::function<void(unsigned)>& advance);

    std::thread Thread;
    std::mutex Lock;
    std::condition_variable Wake;
    bool Stopping = false;
};

} // namespace Visor
