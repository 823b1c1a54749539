// Input records. Keys: auto-repeat, shared codes, the clock's wrap, and keys or messages the
// record drops. Pointer: the flag rules over event sequences, absolute positions and an empty
// window. (Relative moves, their recentring and echoes run through the real shell.)
#include "shell/input.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

using ombrel::CursorWarp;
using ombrel::InputMessage;
using ombrel::KeyState;
using ombrel::PointerState;

namespace {

class PointerStateTest : public ::testing::Test {
protected:
    void SetUp() override { pointers.resize(1280, 800); }

    bool move(float px, float py) { return pointers.update(InputMessage::PointerMove, px, py, 0); }

    PointerState pointers;
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
                pointers.setRelative(true, CursorWarp{});
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

// Resize to nothing (a minimised window) and back: positions stay finite in both modes, and
// nothing of the empty spell lingers.
TEST_F(PointerStateTest, EmptySizeGivesFinitePositions) {
    pointers.resize(0, 0);
    for (bool relative : {true, false}) {
        pointers.setRelative(relative, CursorWarp{});
        ASSERT_TRUE(move(3, 7));
        ASSERT_TRUE(move(9, 2));
        for (float v : {pointers.x, pointers.y, pointers.dx, pointers.dy})
            EXPECT_TRUE(std::isfinite(v)) << (relative ? "relative" : "absolute");
    }
    pointers.resize(1280, 800);
    ASSERT_TRUE(move(1280, 0));
    ASSERT_TRUE(move(0, 800));
    EXPECT_EQ(std::pair(pointers.x, pointers.dy), std::pair(-1.0f, -2.0f));
}

TEST(KeyState, UpdateRulesOverKeySequences) {
    constexpr InputMessage Down = InputMessage::KeyDown, Up = InputMessage::KeyUp;
    const struct {
        const char* name;
        InputMessage message;
        std::uint32_t virtualKey;
        bool repeat, reported;
        std::uint32_t now, code, pressed, deltaTime; // the entry for code after the step
    } table[] = {
        {"press", Down, 'W', false, true, 1000, 'W', 1, 1000},
        {"its repeats are dropped", Down, 'W', true, false, 1030, 'W', 1, 1000},
        {"a release is never a repeat", Up, 'W', true, true, 1400, 'W', 0, 400},
        {"F1 and Control share one entry", Down, 0x70, false, true, ~0u - 15, 130, 1, ~0u - 1415},
        {"the clock wraps", Up, 0x11, false, true, 0x10, 130, 0, 0x20},
        {"keypad 0 has no row", Down, 0x60, false, false, 9, 130, 0, 0x20},
        {"past the table", Down, 255, false, false, 9, 130, 0, 0x20},
        {"far past the table", Up, 0xFFFFFFFFu, false, false, 9, 130, 0, 0x20},
        {"not a key message", InputMessage::PointerMove, 'B', false, false, 9, 'B', 0, 0x20},
    };
    KeyState keys;
    for (const auto& s : table) {
        SCOPED_TRACE(s.name);
        KeyState before = keys;
        EXPECT_EQ(keys.update(s.message, s.virtualKey, s.repeat, s.now), s.reported);
        EXPECT_EQ(keys.pressed[s.code], s.pressed);
        EXPECT_EQ(keys.deltaTime, s.deltaTime);
        if (!s.reported) {
            EXPECT_EQ(std::memcmp(&before, &keys, sizeof keys), 0) << "a dropped event changed it";
        } else {
            EXPECT_EQ(keys.lastKey, s.code);
        }
    }
}
