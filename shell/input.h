// Keyboard and pointer records that the shell hands to the viewport. Portable: the platform
// layer translates its window events into the message kinds below and feeds the updates.
#pragma once

#include <cstdint>

namespace ombrel {

// Message kinds the records understand; the values follow the desktop message numbers the
// records were first written against, which keeps logs and tests readable.
enum class InputMessage : std::uint32_t {
    Other = 0,
    KeyDown = 0x0100,
    KeyUp = 0x0101,
    PointerMove = 0x0200,
    LeftButtonDown = 0x0201,
    LeftButtonUp = 0x0202,
};

// Virtual-key codes: the platform layer maps its own key identifiers to these.
namespace VirtualKey {
enum : std::uint32_t {
    Tab = 0x09,
    Enter = 0x0D,
    Shift = 0x10,
    Control = 0x11,
    Alt = 0x12,
    Escape = 0x1B,
    Space = 0x20,
    Left = 0x25,
    Up = 0x26,
    Right = 0x27,
    Down = 0x28,
    Delete = 0x2E,
    Digit0 = 0x30, // through 0x39
    A = 0x41,      // through 0x5A
    Numpad0 = 0x60,
    Multiply = 0x6A,
    Add = 0x6B,
    Subtract = 0x6D,
    Decimal = 0x6E,
    Divide = 0x6F,
    F1 = 0x70, // through F24 at 0x87
    LeftShift = 0xA0,
    RightShift = 0xA1,
    LeftControl = 0xA2,
    RightControl = 0xA3,
    LeftAlt = 0xA4,
    RightAlt = 0xA5,
    Minus = 0xBD,
    Period = 0xBE,
    Slash = 0xBF,
    TableSize = 255, // codes 0 to 254 translate; 255 and above are outside the table
};
} // namespace VirtualKey

// Key codes the application sees: ASCII for letters, digits and space; own codes for the rest.
// Some keys share a code (F1 and Control, F3 and Shift, F4 and right Alt, F5 and right Control,
// F7 and right Shift); the application only tests codes that are unique.
namespace KeyCode {
enum : std::uint32_t {
    None = 0,
    Tab = 9,
    Enter = 13,
    Escape = 27,
    Space = 32,
    Left = 37,
    Up = 38,
    Right = 39,
    Down = 40,
    Minus = 45,
    Period = 46,
    Slash = 47,
    Digit0 = 48,
    A = 65,
    Delete = 127,
    Alt = 129,
    Control = 130,
    F1 = 130,
    Shift = 132,
    RightAlt = 133,
    RightControl = 134,
    RightShift = 136,
    F12 = 141,
};
} // namespace KeyCode

// KeyCode for a virtual-key code; 0 for codes without a row and for codes outside the table.
std::uint32_t keyCodeFromVirtualKey(std::uint32_t virtualKey);

struct KeyState {
    std::uint32_t time = 0;      // clock value of the last accepted key event
    std::uint32_t deltaTime = 0; // milliseconds between the last two accepted key events
    std::uint32_t lastKey = 0;   // KeyCode of the last accepted key event
    std::uint8_t pressed[256] = {};

    // Applies one key message. autoRepeat marks a key-down of a key that is already held.
    // Returns whether the viewport is to hear about it.
    bool update(InputMessage message, std::uint32_t virtualKey, bool autoRepeat, std::uint32_t now);
};

namespace PointerFlag {
enum : std::uint32_t {
    Moved = 0x01,      // set by every move
    LeftButton = 0x02, // left button down
    // 0x04 and 0x08: other buttons, never set by this shell
    Toggle = 0x10, // flips on every pointer event
};
} // namespace PointerFlag

// Moves the system cursor to a point of the client area; supplied by the platform layer.
struct CursorWarp {
    void (*move)(void* window, int x, int y) = nullptr;
    void* window = nullptr;
};

struct PointerState {
    std::uint32_t time = 0;         // clock value of the last reported pointer event
    std::uint32_t deltaTime = 0;    // milliseconds between the last two reported events
    float scaleX = 0, scaleY = 0;   // window pixels to normalised units
    float offsetX = 0, offsetY = 0; // normalised position of pixel (0, 0)
    std::uint32_t flags = 0;        // PointerFlag bits
    std::uint32_t changed = 0;      // bits the last event's own set or toggle changed
    float x = 0, y = 0; // -1 at the left edge to +1 at the right; +1 at the top to -1 at the bottom
    float dx = 0, dy = 0; // motion of the last move
    CursorWarp window;    // how to recentre the cursor; stored when relative mode is switched
    int width = 0, height = 0;
    float centreX = 0, centreY = 0; // where recentring puts the cursor (integer halves)
    bool relative = false;          // mouse-look mode: report motion, keep the cursor centred
    bool skipNextMove = false;      // the next move is the echo of a recentre

    // New client size. A zero or negative dimension maps every position on that axis to its
    // edge with no motion, instead of the infinite scale (and NaN positions) a division would give.
    void resize(int newWidth, int newHeight);

    // Relative mode on recentres the cursor at once; off leaves the cursor where it is.
    void setRelative(bool on, CursorWarp warp);

    // Puts the cursor at the client centre and arms the swallowing of the move that causes.
    void recentre();

    // Applies one pointer message at client pixel (px, py). Returns whether the viewport is
    // to hear about it; only moves and the left button are reported.
    bool update(InputMessage message, float px, float py, std::uint32_t now);
};

} // namespace ombrel
