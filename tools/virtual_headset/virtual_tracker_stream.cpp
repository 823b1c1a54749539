// Real-time clock for the software tracker.
#include "tools/virtual_headset/virtual_tracker_stream.h"

#include <chrono>
#include <system_error>
#include <utility>

namespace Visor {

bool VirtualTrackerStream::Start(std::shared_ptr<VirtualTracker> tracker) {
    if (!tracker)
        return false;
    return Start(
        [tracker = std::move(tracker)](unsigned milliseconds) { tracker->Advance(milliseconds); });
}

bool VirtualTrackerStream::Start(std::function<void(unsigned milliseconds)> advance) {
    if (Thread.joinable() || !advance)
        return false;
    Stopping = false;
    try {
        Thread = std::thread(&VirtualTrackerStream::Run, this, std::move(advance));
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void VirtualTrackerStream::Stop() {
    if (!Thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(Lock);
        Stopping = true;
    }
    Wake.notify_all();
    Thread.join();
}

void VirtualTrackerStream::Run(const std::function<void(unsigned)>& advance) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    unsigned long long advanced = 0;
    std::unique_lock<std::mutex> lock(Lock);
    while (!Stopping) {
        // Counting from the start keeps the rate exact however late each wake-up is.
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        const unsigned long long due = static_cast<unsigned long long>(elapsed);
        if (due > advanced) {
            lock.unlock();
            advance(static_cast<unsigned>(due - advanced));
            lock.lock();
            advanced = due;
        }
        Wake.wait_until(lock, start + std::chrono::milliseconds(advanced + 1));
    }
}

} // namespace Visor
