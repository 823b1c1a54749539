// Tick clock: microsecond ticks from the 32-bit millisecond clock across its wrap.
#include "hmd/devices/timer.h"

#include <gtest/gtest.h>

using namespace Visor;

namespace {

std::uint32_t fakeMs = 0;
std::uint32_t FakeClock() {
    return fakeMs;
}

class TickClock : public ::testing::Test {
protected:
    void SetUp() override { Timer::SetMsSource(&FakeClock); }
    void TearDown() override { Timer::SetMsSource(nullptr); }
};

TEST_F(TickClock, WrapAddsTwoToThe32Milliseconds) {
    fakeMs = 0xFFFFFFF0u;
    std::uint64_t before = Timer::GetTicks();
    EXPECT_EQ(before, std::uint64_t(0xFFFFFFF0u) * 1000u);
    fakeMs = 5;
    std::uint64_t after = Timer::GetTicks();
    EXPECT_EQ(after, ((std::uint64_t(1) << 32) + 5) * 1000u);
    EXPECT_EQ(after - before, 21u * 1000u);
    // Same reading again: no second wrap.
    EXPECT_EQ(Timer::GetTicks(), after);
    fakeMs = 0xFFFF0000u;
    EXPECT_EQ(Timer::GetTicks(), ((std::uint64_t(1) << 32) + 0xFFFF0000u) * 1000u);
    fakeMs = 0; // goes back once more: a second wrap
    EXPECT_EQ(Timer::GetTicks(), (std::uint64_t(2) << 32) * 1000u);
}

} // namespace
