// Pointer record: flag toggling, absolute positions at the corners, relative mode with its
// recentring and the swallowed move, and degenerate sizes.
#include "shell/input.h"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

using ombrel::CursorWarp;
using ombrel::InputMessage;
using ombrel::PointerState;

namespace {

// Field by field: the record has padding, so a byte comparison could differ on equal records.
void expectSameRecord(const PointerState& a, const PointerState& b) {
    EXPECT_EQ(a.time, b.time);
    EXPECT_EQ(a.deltaTime, b.deltaTime);
    EXPECT_EQ(a.scaleX, b.scaleX);
    EXPECT_EQ(a.scaleY, b.scaleY);
    EXPECT_EQ(a.offsetX, b.offsetX);
    EXPECT_EQ(a.offsetY, b.offsetY);
    EXPECT_EQ(a.flags, b.flags);
    EXPECT_EQ(a.changed, b.changed);
    EXPECT_EQ(a.x, b.x);
    EXPECT_EQ(a.y, b.y);
    EXPECT_EQ(a.dx, b.dx);
    EXPECT_EQ(a.dy, b.dy);
    EXPECT_EQ(a.width, b.width);
    EXPECT_EQ(a.height, b.height);
    EXPECT_EQ(a.centreX, b.centreX);
    EXPECT_EQ(a.centreY, b.centreY);
    EXPECT_EQ(a.relative, b.relative);
    EXPECT_EQ(a.skipNextMove, b.skipNextMove);
}

class PointerStateTest : public ::testing::Test {
protected:
    void SetUp() override { pointers.resize(1280, 800); }

    bool move(float px, float py, std::uint32_t now = 0) {
        return pointers.update(InputMessage::PointerMove, px, py, now);
    }
    bool press(std::uint32_t now = 0) {
        return pointers.update(InputMessage::LeftButtonDown, 0, 0, now);
    }
    bool release(std::uint32_t now = 0) {
        return pointers.update(InputMessage::LeftButtonUp, 0, 0, now);
    }

    // Records where the cursor is sent, as the platform layer would move it.
    static void recordWarp(void* user, int x, int y) {
        static_cast<std::vector<std::pair<int, int>>*>(user)->emplace_back(x, y);
    }
    CursorWarp warp() { return CursorWarp{&recordWarp, &warps}; }

    PointerState pointers;
    std::vector<std::pair<int, int>> warps;
};

} // namespace

TEST_F(PointerStateTest, FlagsAfterMovePressAndRelease) {
    ASSERT_TRUE(move(10, 10));
    EXPECT_EQ(pointers.flags, 0x11u);
    EXPECT_EQ(pointers.changed, 0u);

    ASSERT_TRUE(press());
    EXPECT_EQ(pointers.flags, 0x02u) << "press after a move clears bit 0 and sets bit 1";
    EXPECT_EQ(pointers.changed, 0x02u);

    ASSERT_TRUE(release());
    EXPECT_EQ(pointers.flags, 0x11u) << "release right after sets bit 0 again, clears bit 1";
    EXPECT_EQ(pointers.changed, 0x02u);

    ASSERT_TRUE(move(11, 10));
    EXPECT_EQ(pointers.flags, 0x01u);
    EXPECT_EQ(pointers.changed, 0x01u);
}

TEST_F(PointerStateTest, ButtonBitFollowsTheButtonAloneAndOtherMessagesAreNotReported) {
    ASSERT_TRUE(release()); // without a press: not held, yet a change
    EXPECT_EQ(pointers.flags & 0x02u, 0u);
    EXPECT_EQ(pointers.changed, 0x02u);
    ASSERT_TRUE(press());
    EXPECT_EQ(pointers.changed & 0x02u, 0x02u)
        << "the next press must read as the button going down";
    ASSERT_TRUE(move(5, 5));
    EXPECT_EQ(pointers.flags & 0x03u, 0x03u) << "a move with the button held keeps its bit";

    PointerState before = pointers;
    EXPECT_FALSE(pointers.update(InputMessage::Other, 1, 1, 5));
    EXPECT_FALSE(pointers.update(InputMessage::KeyDown, 1, 1, 5));
    expectSameRecord(before, pointers);
}

TEST_F(PointerStateTest, CornersMapToNormalisedEdgesInAbsoluteMode) {
    ASSERT_TRUE(move(0, 0));
    EXPECT_FLOAT_EQ(pointers.x, -1.0f);
    EXPECT_FLOAT_EQ(pointers.y, 1.0f);
    ASSERT_TRUE(move(1280, 800));
    EXPECT_FLOAT_EQ(pointers.x, 1.0f);
    EXPECT_FLOAT_EQ(pointers.y, -1.0f);
    EXPECT_FLOAT_EQ(pointers.dx, 2.0f);
    EXPECT_FLOAT_EQ(pointers.dy, -2.0f);
    ASSERT_TRUE(move(640, 400));
    EXPECT_FLOAT_EQ(pointers.x, 0.0f);
    EXPECT_FLOAT_EQ(pointers.y, 0.0f);
}

TEST_F(PointerStateTest, TimesAcrossClockWrap) {
    ASSERT_TRUE(move(1, 1, 0xFFFFFFFEu));
    ASSERT_TRUE(press(3));
    EXPECT_EQ(pointers.time, 3u);
    EXPECT_EQ(pointers.deltaTime, 5u);
}

TEST_F(PointerStateTest, ZeroSizeKeepsPositionsFinite) {
    pointers.resize(0, 0);
    ASSERT_TRUE(move(3, 7));
    EXPECT_TRUE(std::isfinite(pointers.x) && std::isfinite(pointers.y));
    EXPECT_TRUE(std::isfinite(pointers.dx) && std::isfinite(pointers.dy));

    pointers.setRelative(true, warp());
    ASSERT_TRUE(move(3, 7)); // the recentre echo
    ASSERT_TRUE(move(9, 2));
    EXPECT_EQ(pointers.dx, 0.0f);
    EXPECT_EQ(pointers.dy, 0.0f);
    EXPECT_TRUE(std::isfinite(pointers.x) && std::isfinite(pointers.y));

    // Once the window has a size again, nothing of the empty spell lingers.
    ASSERT_TRUE(move(0, 0)); // the recentre echo
    pointers.setRelative(false, warp());
    pointers.resize(1280, 800);
    ASSERT_TRUE(move(1280, 0));
    ASSERT_TRUE(move(0, 800));
    EXPECT_FLOAT_EQ(pointers.x, -1.0f);
    EXPECT_FLOAT_EQ(pointers.y, -1.0f);
    EXPECT_FLOAT_EQ(pointers.dx, -2.0f);
    EXPECT_FLOAT_EQ(pointers.dy, -2.0f);
}

TEST_F(PointerStateTest, SwitchingRelativeOnRecentresAndOffDoesNot) {
    pointers.setRelative(true, warp());
    ASSERT_EQ(warps.size(), 1u);
    EXPECT_EQ(warps[0], std::make_pair(640, 400));
    EXPECT_TRUE(pointers.skipNextMove);

    ASSERT_TRUE(move(640, 400)); // echo of the recentre
    pointers.setRelative(false, warp());
    EXPECT_EQ(warps.size(), 1u);
    EXPECT_FALSE(pointers.skipNextMove);
}

TEST_F(PointerStateTest, OneRelativeMoveIsReportedTwice) {
    pointers.setRelative(true, warp());
    ASSERT_TRUE(move(640, 400)); // echo of switching on
    warps.clear();

    ASSERT_TRUE(move(656, 392, 100));
    const float dx = 16 * 2.0f / 1280;
    const float dy = -8 * -2.0f / 800;
    EXPECT_FLOAT_EQ(pointers.dx, dx);
    EXPECT_FLOAT_EQ(pointers.dy, dy);
    ASSERT_EQ(warps.size(), 1u) << "every relative move puts the cursor back";
    EXPECT_EQ(warps[0], std::make_pair(640, 400));
    PointerState first = pointers;
    first.skipNextMove = false;
    first.changed = 0;

    // The move that recentring causes: reported as a repeat of the real one that changes no bit.
    ASSERT_TRUE(move(640, 400, 101));
    expectSameRecord(first, pointers);
    EXPECT_EQ(warps.size(), 1u);

    // Motion accumulates into the position without bound in this mode.
    ASSERT_TRUE(move(656, 392, 120));
    EXPECT_FLOAT_EQ(pointers.x, 2 * dx);
    EXPECT_FLOAT_EQ(pointers.y, 2 * dy);
    EXPECT_EQ(pointers.time, 120u);
    EXPECT_EQ(pointers.deltaTime, 20u);
}

TEST_F(PointerStateTest, OddSizeRelativeModeHasNoDriftAndNeedsNoWarp) {
    pointers.resize(1281, 801);
    pointers.setRelative(true, warp());
    ASSERT_EQ(warps.back(), std::make_pair(640, 400));
    ASSERT_TRUE(move(640, 400)); // echo
    // A cursor that stays where it was put reports no motion.
    ASSERT_TRUE(move(640, 400));
    EXPECT_EQ(pointers.dx, 0.0f);
    EXPECT_EQ(pointers.dy, 0.0f);

    // Without a way to move the cursor the next move is still taken as the echo.
    pointers.setRelative(true, CursorWarp{});
    EXPECT_TRUE(pointers.skipNextMove);
    EXPECT_TRUE(move(1, 1));
    EXPECT_FALSE(pointers.skipNextMove);
}

TEST_F(PointerStateTest, EchoOfThePressThatStartsMouseLookIsNoSecondPress) {
    ASSERT_TRUE(move(100, 100));
    ASSERT_TRUE(press());
    EXPECT_EQ(pointers.changed, 0x02u);
    pointers.setRelative(true, warp()); // what the demo does on the press
    ASSERT_TRUE(move(640, 400));        // the recentre's echo
    EXPECT_EQ(pointers.flags & 0x02u, 0x02u) << "the button is still down";
    EXPECT_EQ(pointers.changed, 0u) << "but it did not go down again";
}
