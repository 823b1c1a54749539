// Process-wide tick clock of the HMD library: a 32-bit millisecond clock extended by a wrap
// count to 64-bit microsecond ticks.
#pragma once

#include <cstdint>

namespace Visor {

class Timer {
public:
    // Milliseconds of the 32-bit wrapping clock (the installed source, by default the
    // monotonic clock). Any thread.
    static std::uint32_t GetTimeMs();
    // (wraps * 2^32 + ms) * 1000: microseconds that never go backwards across a wrap of the
    // millisecond clock. Any thread; the wrap bookkeeping is under a process-wide lock.
    static std::uint64_t GetTicks();

    // Replaces the millisecond source (null restores the monotonic clock) and forgets the
    // wrap bookkeeping. For tests of the wrap; not for use while device threads run.
    using MsSource = std::uint32_t (*)();
    static void SetMsSource(MsSource source);

    // Called by library initialisation.
    static void InitializeTimerSystem();
};

} // namespace Visor
