// Key record: the translation table, auto-repeat, shared codes and codes outside the table.
#include "shell/input.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>

using ombrel::InputMessage;
using ombrel::keyCodeFromVirtualKey;
using ombrel::KeyState;

namespace {

// Every row of the table, written out independently of the implementation's loops.
std::map<std::uint32_t, std::uint32_t> expectedTable() {
    std::map<std::uint32_t, std::uint32_t> rows = {
        {0x09, 9},   {0x0D, 13},  {0x10, 132}, {0x11, 130}, {0x12, 129}, {0x1B, 27},  {0x20, 32},
        {0x25, 37},  {0x26, 38},  {0x27, 39},  {0x28, 40},  {0x2E, 127}, {0xA0, 132}, {0xA1, 136},
        {0xA2, 130}, {0xA3, 134}, {0xA4, 129}, {0xA5, 133}, {0xBD, 45},  {0xBE, 46},  {0xBF, 47},
    };
    for (std::uint32_t d = 0; d < 10; ++d)
        rows[0x30 + d] = '0' + d;
    for (std::uint32_t c = 0; c < 26; ++c)
        rows[0x41 + c] = 'A' + c;
    for (std::uint32_t f = 0; f < 12; ++f)
        rows[0x70 + f] = 130 + f;
    return rows;
}

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

TEST(KeyTable, TranslatesEveryRowAndNothingElse) {
    auto rows = expectedTable();
    for (std::uint32_t vk = 0; vk < 0x200; ++vk) {
        auto row = rows.find(vk);
        std::uint32_t expected = row == rows.end() ? 0 : row->second;
        EXPECT_EQ(keyCodeFromVirtualKey(vk), expected) << "virtual key 0x" << std::hex << vk;
    }
    EXPECT_EQ(keyCodeFromVirtualKey(0xFFFFFFFFu), 0u);
}

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
}

TEST_F(KeyStateTest, FlagOnlyMarksRepeatOnKeyDown) {
    EXPECT_TRUE(down('E', 5));
    // A release never counts as a repeat, whatever the caller says.
    EXPECT_TRUE(keys.update(InputMessage::KeyUp, 'E', true, 6));
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

TEST_F(KeyStateTest, CodesOutsideOrWithoutRowsTouchNothing) {
    ASSERT_TRUE(down('A', 100));
    KeyState before = keys;
    for (std::uint32_t vk : {255u, 256u, 0x60u /* keypad 0 */, 0u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(down(vk, 200)) << vk;
        EXPECT_FALSE(up(vk, 200)) << vk;
    }
    EXPECT_EQ(std::memcmp(&before, &keys, sizeof keys), 0);
}

TEST_F(KeyStateTest, OtherMessagesAreNotKeys) {
    EXPECT_FALSE(keys.update(InputMessage::PointerMove, 'A', false, 1));
    EXPECT_FALSE(keys.update(InputMessage::LeftButtonDown, 'A', false, 1));
    EXPECT_EQ(keys.pressed['A'], 0);
}

TEST_F(KeyStateTest, DeltaTimeSurvivesClockWrap) {
    ASSERT_TRUE(down('S', 0xFFFFFFF0u));
    ASSERT_TRUE(up('S', 0x10u));
    EXPECT_EQ(keys.deltaTime, 0x20u);
}
