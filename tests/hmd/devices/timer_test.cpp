// Tick clock: microsecond ticks from the 32-bit millisecond clock across its wraps.
#include "hmd/devices/timer.h"

#include <gtest/gtest.h>

namespace {

std::uint32_t fakeMs = 0;

TEST(TickClock, EachStepBackOfTheMillisecondClockIsOneWrapOfTwoToThe32Milliseconds) {
    Visor::Timer::SetMsSource([] { return fakeMs; });
    const std::uint64_t wrap = 1ull << 32;
    // {reading, ticks in milliseconds}: a repeated reading is no wrap.
    std::uint64_t steps[][2] = {{0xFFFFFFF0u, 0xFFFFFFF0u},
                                {5, wrap + 5},
                                {5, wrap + 5},
                                {0xFFFF0000u, wrap + 0xFFFF0000u},
                                {0, 2 * wrap}};
    for (auto& step : steps) {
        fakeMs = std::uint32_t(step[0]);
        EXPECT_EQ(Visor::Timer::GetTicks(), step[1] * 1000) << step[0];
    }
    Visor::Timer::SetMsSource(nullptr);
}

} // namespace
