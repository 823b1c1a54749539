// Key record: auto-repeat, shared codes and codes outside the table. (The translation of the
// window system's keys into the table is checked in the window shell test.)
#include "shell/input.h"

#include <gtest/gtest.h>

#include <cstring>

using ombrel::InputMessage;
using ombrel::KeyState;

namespace {

class KeyStateTest : public ::testing::Test {
protected:
    bool down(std::uint32_t vk, std::uint32_t now, bool repeat = false) {
        return keys.update(InputMessage::KeyDown, vk, repeat, now);
    }
    bool up(std::uint32_t vk, std::uint32_t now) {
        return keys.update(InputMessage::KeyUp, vk, false, now);
    }
    KeyState keys;
};

} // namespace

TEST_F(KeyStateTest, HeldKeyGivesOneEventDownAndOneUpIgnoringRepeats) {
    EXPECT_TRUE(down('W', 1000));
    EXPECT_EQ(keys.pressed['W'], 1);
    for (std::uint32_t t = 1030; t < 1300; t += 30)
        EXPECT_FALSE(down('W', t, /*repeat=*/true));
    EXPECT_EQ(keys.time, 1000u) << "repeats must not touch the record";
    EXPECT_TRUE(up('W', 1400));
    EXPECT_EQ(keys.pressed['W'], 0);
    EXPECT_EQ(keys.deltaTime, 400u);
    EXPECT_EQ(keys.lastKey, static_cast<std::uint32_t>('W'));
    // A release never counts as a repeat, whatever the caller says.
    EXPECT_TRUE(down('E', 1500));
    EXPECT_TRUE(keys.update(InputMessage::KeyUp, 'E', true, 1600));
    EXPECT_EQ(keys.pressed['E'], 0);
}

TEST_F(KeyStateTest, SharedCodeIsOneEntry) {
    EXPECT_TRUE(down(0x70, 10)); // F1
    EXPECT_EQ(keys.pressed[130], 1);
    EXPECT_TRUE(up(0x11, 20)); // Control shares 130
    EXPECT_EQ(keys.pressed[130], 0);
    EXPECT_EQ(keys.lastKey, 130u);

    EXPECT_TRUE(down(0x76, 30)); // F7 and right Shift share 136
    EXPECT_TRUE(up(0xA1, 40));
    EXPECT_EQ(keys.pressed[136], 0);
}

TEST_F(KeyStateTest, CodesOutsideOrWithoutRowsAndOtherMessagesTouchNothing) {
    ASSERT_TRUE(down('A', 100));
    KeyState before = keys;
    for (std::uint32_t vk : {255u, 256u, 0x60u /* keypad 0 */, 0u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(down(vk, 200)) << vk;
        EXPECT_FALSE(up(vk, 200)) << vk;
    }
    EXPECT_FALSE(keys.update(InputMessage::PointerMove, 'B', false, 1));
    EXPECT_FALSE(keys.update(InputMessage::LeftButtonDown, 'B', false, 1));
    EXPECT_EQ(std::memcmp(&before, &keys, sizeof keys), 0);
}

TEST_F(KeyStateTest, DeltaTimeSurvivesClockWrap) {
    ASSERT_TRUE(down('S', 0xFFFFFFF0u));
    ASSERT_TRUE(up('S', 0x10u));
    EXPECT_EQ(keys.deltaTime, 0x20u);
}
