// Tick clock: microsecond ticks from the 32-bit millisecond clock across its wraps.
#include "hmd/devices/timer.h"

#include <gtest/gtest.h>

namespace {

std::uint32_t fakeMs = 0;

TEST(TickClock, EachStepBackOfTheMillisecondClockIsOneWrapOfTwoToThe32Milliseconds) {
    Visor::Timer::SetMsSource([] { return fakeMs; });
    const std::uint64_t wrap = 1ull << 32;
    struct {
        std::uint32_t Ms;
        std::uint64_t Ticks; // in milliseconds
    } steps[] = {{0xFFFFFFF0u, 0xFFFFFFF0u},
                 {5, wrap + 5},
                 {5, wrap + 5},
                 {0xFFFF0000u, wrap + 0xFFFF0000u},
                 {0, 2 * wrap}};
    for (const auto& step : steps) {
        fakeMs = step.Ms;
        EXPECT_EQ(Visor::Timer::GetTicks(), step.Ticks * 1000) << step.Ms;
    }
    Visor::Timer::SetMsSource(nullptr);
}

} // namespace
