// Tick clock: wrap counting over the 32-bit millisecond source.
#include "hmd/devices/timer.h"

#include <atomic>
#include <mutex>

#include "hmd/devices/platform.h"

namespace Visor {

namespace {

std::atomic<Timer::MsSource> msSource{nullptr};

struct TickState {
    std::mutex Lock;
    std::uint32_t LastMs = 0;
    std::uint64_t Wraps = 0;
    bool HaveReading = false;
};

// Never destroyed: the device thread may read the clock while the process exits.
TickState& State() {
    static TickState* state = new TickState;
    return *state;
}

} // namespace

std::uint32_t Timer::GetTimeMs() {
    MsSource source = msSource.load(std::memory_order_acquire);
    return source ? source() : Platform::MonotonicMs();
}

std::uint64_t Timer::GetTicks() {
    TickState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    // Read under the lock so concurrent readers cannot record readings out of order, which
    // would count a false wrap.
    std::uint32_t ms = GetTimeMs();
    if (s.HaveReading && s.LastMs > ms)
        ++s.Wraps;
    s.LastMs = ms;
    s.HaveReading = true;
    return ((s.Wraps << 32) + ms) * 1000u;
}

void Timer::SetMsSource(MsSource source) {
    TickState& s = State();
    std::lock_guard<std::mutex> guard(s.Lock);
    msSource.store(source, std::memory_order_release);
    s.LastMs = 0;
    s.Wraps = 0;
    s.HaveReading = false;
}

void Timer::InitializeTimerSystem() {
    State();
}

} // namespace Visor
