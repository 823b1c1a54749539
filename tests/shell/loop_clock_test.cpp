// Frame timing of the main loop across the 32-bit millisecond wrap.
#include "shell/loop_clock.h"

#include <gtest/gtest.h>

using ombrel::LoopClock;

TEST(LoopClock, FirstFrameElapsedIsTimeLessTheStartReadGap) {
    LoopClock clock;
    clock.start(5000, 5002);
    auto frame = clock.tick(5016);
    EXPECT_EQ(frame.timeMs, 16u);
    EXPECT_FLOAT_EQ(frame.seconds, 0.014f);
}

TEST(LoopClock, ElapsedStaysRightWhenLoopTimeOrTheRawClockWraps) {
    LoopClock clock;
    clock.start(100, 100);
    auto before = clock.tick(100 + 0xFFFFFFF0u);
    EXPECT_EQ(before.timeMs, 0xFFFFFFF0u);
    auto after = clock.tick(100 + 0xFFFFFFF0u + 0x20u); // raw and loop time both wrap
    EXPECT_EQ(after.timeMs, 0x10u);
    EXPECT_FLOAT_EQ(after.seconds, 0.032f);

    LoopClock raw; // the raw clock wraps long before loop time does
    raw.start(0xFFFFFF00u, 0xFFFFFF00u);
    auto frame = raw.tick(0x00000010u);
    EXPECT_EQ(frame.timeMs, 0x110u);
    EXPECT_FLOAT_EQ(frame.seconds, 0.272f);
}
