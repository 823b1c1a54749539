// POSIX services of the device library: terminal check, monotonic clock, thread id, sleep.
#include "hmd/devices/platform.h"

#include <ctime>
#include <sys/syscall.h>
#include <unistd.h>

namespace Visor {
namespace Platform {

bool StdoutIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

std::uint32_t MonotonicMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    std::uint64_t ms = std::uint64_t(ts.tv_sec) * 1000u + std::uint64_t(ts.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

std::uint32_t CurrentThreadId() {
    // Asked on every lock and unlock of a library mutex, so the system call is made once per
    // thread (the library does not fork).
    static thread_local const auto id = static_cast<std::uint32_t>(syscall(SYS_gettid));
    return id;
}

void SleepMs(unsigned ms) {
    timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = long(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0) {
    }
}

} // namespace Platform
} // namespace Visor
