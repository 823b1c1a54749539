// The few operating-system services the portable parts of the device library need; each is
// implemented once in a posix_ or linux_ file.
#pragma once

#include <cstdint>

namespace Visor {
namespace Platform {

// Whether standard output is a terminal (the library log writes there, else to stderr).
bool StdoutIsTerminal();
// Monotonic millisecond clock truncated to 32 bits, so it wraps about every 49.7 days.
std::uint32_t MonotonicMs();
// Kernel id of the calling thread.
std::uint32_t CurrentThreadId();
void SleepMs(unsigned ms);

} // namespace Platform
} // namespace Visor
