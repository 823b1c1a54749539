// Frame timing of the main loop, kept apart from the clock source so that the 32-bit
// millisecond wrap can be tested without waiting 49 days.
#pragma once

#include <cstdint>

namespace ombrel {

// A millisecond clock truncated to 32 bits; the shell's default is monotonic.
using MillisecondClock = std::uint32_t (*)();
std::uint32_t monotonicMilliseconds();

struct FrameTime {
    std::uint32_t timeMs; // since the loop started
    float seconds;        // since the previous frame
};

class LoopClock {
public:
    // Two successive clock reads at loop start; the first frame's elapsed time is their
    // difference subtracted from the first frame's time.
    void start(std::uint32_t first, std::uint32_t second) {
        start_ = first;
        previous_ = second - first;
    }

    // Unsigned subtraction keeps both values right across the wrap of the raw clock.
    FrameTime tick(std::uint32_t raw) {
        std::uint32_t now = raw - start_;
        std::uint32_t elapsed = now - previous_;
        previous_ = now;
        return {now, static_cast<float>(elapsed) / 1000.0f};
    }

private:
    std::uint32_t start_ = 0;
    std::uint32_t previous_ = 0;
};

} // namespace ombrel
