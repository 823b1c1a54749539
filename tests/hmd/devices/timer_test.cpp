// Tick clock: microsecond ticks from the 32-bit millisecond clock across its wrap.
#include "hmd/devices/timer.h"

#include <gtest/gtest.h>

using namespace Visor;

namespace {

std::uint32_t fakeMs = 0;

TEST(TickClock, EachWrapOfTheMillisecondClockAddsTwoToThe32Milliseconds) {
    Timer::SetMsSource([] { return fakeMs; });
    const std::uint64_t wrap = std::uint64_t(1) << 32;
    struct Step {
        std::uint32_t Ms;
        std::uint64_t Ticks;
    } steps[] = {{0xFFFFFFF0u, 0xFFFFFFF0ull * 1000},
                 {5, (wrap + 5) * 1000},
                 {5, (wrap + 5) * 1000} /* the same reading is no wrap */,
                 {0xFFFF0000u, (wrap + 0xFFFF0000u) * 1000},
                 {0, 2 * wrap * 1000}};
    for (const Step& step : steps) {
        fakeMs = step.Ms;
        EXPECT_EQ(Timer::GetTicks(), step.Ticks) << step.Ms;
    }
    Timer::SetMsSource(nullptr);
}

} // namespace
