// Key record: auto-repeat, shared codes, the clock's wrap, and keys or messages it drops. (The
// window system's keys into the table are checked with the window shell.)
#include "shell/input.h"

#include <gtest/gtest.h>

#include <cstring>

using ombrel::InputMessage;
using ombrel::KeyState;

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
        {"F1 shares Control's entry", Down, 0x70, false, true, 1410, 130, 1, 10},
        {"Control releases it", Up, 0x11, false, true, 1420, 130, 0, 10},
        {"F7 shares right Shift's entry", Down, 0x76, false, true, ~0u - 15, 136, 1, ~0u - 1435},
        {"across the clock's wrap", Up, 0xA1, false, true, 0x10, 136, 0, 0x20},
        {"keypad 0 has no row", Down, 0x60, false, false, 9, 136, 0, 0x20},
        {"past the table", Down, 255, false, false, 9, 136, 0, 0x20},
        {"far past the table", Up, 0xFFFFFFFFu, false, false, 9, 136, 0, 0x20},
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
