// Pointer record: the flag rules over event sequences, absolute positions, relative mode with
// its recentring and echo, and degenerate sizes.
#include "shell/input.h"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

using ombrel::CursorWarp;
using ombrel::InputMessage;
using ombrel::PointerState;

namespace {

class PointerStateTest : public ::testing::Test {
protected:
    void SetUp() override { pointers.resize(1280, 800); }

    bool move(float px, float py, std::uint32_t now = 0) {
        return pointers.update(InputMessage::PointerMove, px, py, now);
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

// Events: m move, d left button down, u up, o another message (not reported), l mouse look
// switched on (not an event: its recentre arms the echo). Flags and changed bits after each.
TEST_F(PointerStateTest, FlagRulesOverEventSequences) {
    const struct {
        const char* name;
        const char* events;
        std::vector<std::uint32_t> flags, changed;
    } table[] = {
        {"move, press, release, move", "mdum", {0x11, 0x02, 0x11, 0x01}, {0, 2, 2, 1}},
        {"a release without a press changes the bit, as does the next press",
         "ud",
         {0x11, 0x02},
         {2, 2}},
        {"a move while held keeps the button bit", "dm", {0x13, 0x03}, {2, 1}},
        {"other messages change nothing", "moo", {0x11, 0x11, 0x11}, {0, 0, 0}},
        {"the echo of the recentre a press started changes no bit",
         "mdlm",
         {0x11, 0x02, 0x02, 0x02},
         {0, 2, 2, 0}},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        pointers = PointerState();
        pointers.resize(1280, 800);
        for (size_t i = 0; row.events[i]; ++i) {
            const char e = row.events[i];
            const InputMessage message = e == 'm'   ? InputMessage::PointerMove
                                         : e == 'd' ? InputMessage::LeftButtonDown
                                         : e == 'u' ? InputMessage::LeftButtonUp
                                                    : InputMessage::Other;
            if (e == 'l')
                pointers.setRelative(true, warp());
            else
                EXPECT_EQ(pointers.update(message, 640, 400, 0), e != 'o') << "event " << i;
            EXPECT_EQ(pointers.flags, row.flags[i]) << "event " << i;
            EXPECT_EQ(pointers.changed, row.changed[i]) << "event " << i;
        }
    }
}

TEST_F(PointerStateTest, AbsolutePositionsMapCornersToTheNormalisedEdges) {
    const struct {
        float px, py, x, y;
    } table[] = {{0, 0, -1, 1}, {1280, 800, 1, -1}, {640, 400, 0, 0}, {1280, 0, 1, 1}};
    float lastX = 0, lastY = 0;
    for (const auto& row : table) {
        SCOPED_TRACE(testing::Message() << "pixel " << row.px << ", " << row.py);
        ASSERT_TRUE(move(row.px, row.py));
        EXPECT_FLOAT_EQ(pointers.x, row.x);
        EXPECT_FLOAT_EQ(pointers.y, row.y);
        EXPECT_FLOAT_EQ(pointers.dx, row.x - lastX);
        EXPECT_FLOAT_EQ(pointers.dy, row.y - lastY);
        lastX = row.x;
        lastY = row.y;
    }
}

TEST_F(PointerStateTest, RelativeMoveIsReportedThenRepeatedByItsEcho) {
    pointers.setRelative(true, warp());
    ASSERT_EQ(warps, (std::vector<std::pair<int, int>>{{640, 400}}));
    ASSERT_TRUE(move(640, 400)); // echo of switching on
    ASSERT_TRUE(move(656, 392, 0xFFFFFFF0u));
    const float dx = 16 * 2.0f / 1280, dy = -8 * -2.0f / 800;
    EXPECT_FLOAT_EQ(pointers.dx, dx);
    EXPECT_FLOAT_EQ(pointers.dy, dy);
    EXPECT_EQ(warps.size(), 2u) << "every relative move puts the cursor back";
    ASSERT_TRUE(move(640, 400, 0xFFFFFFF1u)); // its echo repeats it
    EXPECT_FLOAT_EQ(pointers.dx, dx);
    EXPECT_EQ(pointers.time, 0xFFFFFFF0u);
    // Motion accumulates without bound; times run on across the clock's wrap.
    ASSERT_TRUE(move(656, 392, 0x10u));
    EXPECT_FLOAT_EQ(pointers.x, 2 * dx);
    EXPECT_FLOAT_EQ(pointers.y, 2 * dy);
    EXPECT_EQ(pointers.deltaTime, 0x20u);
    pointers.setRelative(false, warp());
    EXPECT_EQ(warps.size(), 3u) << "switching off leaves the cursor where it is";
}

// Resize to nothing (a minimised window) and back: positions stay finite in both modes, and
// nothing of the empty spell lingers. An odd size recentres on a whole pixel, so no drift.
TEST_F(PointerStateTest, EmptyAndOddSizesGiveFinitePositionsAndNoDrift) {
    pointers.resize(0, 0);
    for (bool relative : {true, false}) {
        pointers.setRelative(relative, warp());
        ASSERT_TRUE(move(3, 7));
        ASSERT_TRUE(move(9, 2));
        for (float v : {pointers.x, pointers.y, pointers.dx, pointers.dy})
            EXPECT_TRUE(std::isfinite(v)) << (relative ? "relative" : "absolute");
    }
    pointers.resize(1280, 800);
    ASSERT_TRUE(move(1280, 0));
    ASSERT_TRUE(move(0, 800));
    EXPECT_EQ(std::pair(pointers.x, pointers.dy), std::pair(-1.0f, -2.0f));

    pointers.resize(1281, 801);
    pointers.setRelative(true, warp());
    ASSERT_EQ(warps.back(), std::make_pair(640, 400));
    ASSERT_TRUE(move(640, 400)); // echo
    ASSERT_TRUE(move(640, 400)); // a cursor left where it was put has not moved
    EXPECT_EQ(std::pair(pointers.dx, pointers.dy), std::pair(0.0f, 0.0f));
}
