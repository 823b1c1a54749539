// Monotonic millisecond clock for the loop and the input records.
#include "shell/loop_clock.h"

#include <time.h>

namespace ombrel {

std::uint32_t monotonicMilliseconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                       static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms); // truncation is the intended wrap
}

} // namespace ombrel
