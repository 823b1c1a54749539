// Keyboard and pointer records: the key translation table and the update rules.
#include "shell/input.h"

namespace ombrel {

namespace {

struct KeyTable {
    std::uint8_t codes[VirtualKey::TableSize] = {};

    constexpr KeyTable() {
        codes[VirtualKey::Tab] = KeyCode::Tab;
        codes[VirtualKey::Enter] = KeyCode::Enter;
        codes[VirtualKey::Shift] = KeyCode::Shift;
        codes[VirtualKey::Control] = KeyCode::Control;
        codes[VirtualKey::Alt] = KeyCode::Alt;
        codes[VirtualKey::Escape] = KeyCode::Escape;
        codes[VirtualKey::Space] = KeyCode::Space;
        for (std::uint32_t k = VirtualKey::Left; k <= VirtualKey::Down; ++k)
            codes[k] = static_cast<std::uint8_t>(k);
        codes[VirtualKey::Delete] = KeyCode::Delete;
        for (std::uint32_t k = 0; k < 10; ++k)
            codes[VirtualKey::Digit0 + k] = static_cast<std::uint8_t>(KeyCode::Digit0 + k);
        for (std::uint32_t k = 0; k < 26; ++k)
            codes[VirtualKey::A + k] = static_cast<std::uint8_t>(KeyCode::A + k);
        for (std::uint32_t k = 0; k < 12; ++k)
            codes[VirtualKey::F1 + k] = static_cast<std::uint8_t>(KeyCode::F1 + k);
        codes[VirtualKey::LeftShift] = KeyCode::Shift;
        codes[VirtualKey::RightShift] = KeyCode::RightShift;
        codes[VirtualKey::LeftControl] = KeyCode::Control;
        codes[VirtualKey::RightControl] = KeyCode::RightControl;
        codes[VirtualKey::LeftAlt] = KeyCode::Alt;
        codes[VirtualKey::RightAlt] = KeyCode::RightAlt;
        codes[VirtualKey::Minus] = KeyCode::Minus;
        codes[VirtualKey::Period] = KeyCode::Period;
        codes[VirtualKey::Slash] = KeyCode::Slash;
    }
};

constexpr KeyTable keyTable;

} // namespace

std::uint32_t keyCodeFromVirtualKey(std::uint32_t virtualKey) {
    if (virtualKey >= VirtualKey::TableSize)
        return KeyCode::None;
    return keyTable.codes[virtualKey];
}

bool KeyState::update(InputMessage message, std::uint32_t virtualKey, bool autoRepeat,
                      std::uint32_t now) {
    if (message != InputMessage::KeyDown && message != InputMessage::KeyUp)
        return false;
    if (message == InputMessage::KeyDown && autoRepeat)
        return false;
    std::uint32_t code = keyCodeFromVirtualKey(virtualKey);
    if (code == KeyCode::None)
        return false;
    pressed[code] = message == InputMessage::KeyDown ? 1 : 0;
    deltaTime = now - time;
    lastKey = code;
    time = now;
    return true;
}

void PointerState::resize(int newWidth, int newHeight) {
    width = newWidth;
    height = newHeight;
    scaleX = newWidth > 0 ? 2.0f / static_cast<float>(newWidth) : 0.0f;
    scaleY = newHeight > 0 ? -2.0f / static_cast<float>(newHeight) : 0.0f;
    // 1 - scaleX * width, which is -1 for every usable width.
    offsetX = -1.0f;
    offsetY = 1.0f;
    // The pixel that recentring puts the cursor on. For an odd size the exact centre lies
    // between pixels, and measuring motion from it would drift the view half a pixel per move.
    centreX = static_cast<float>(newWidth / 2);
    centreY = static_cast<float>(newHeight / 2);
}

void PointerState::setRelative(bool on, CursorWarp warp) {
    relative = on;
    window = warp;
    if (on)
        recentre();
}

void PointerState::recentre() {
    // Armed before the warp: a platform whose warp turns out to move nothing (the cursor was
    // already there) disarms it, since no move will follow to be swallowed.
    skipNextMove = true;
    if (window.move)
        window.move(window.window, width / 2, height / 2);
}

bool PointerState::update(InputMessage message, float px, float py, std::uint32_t now) {
    switch (message) {
    case InputMessage::PointerMove: {
        if (skipNextMove) {
            // The echo of our own recentre. Reporting it anyway is deliberate: the viewport
            // hears the previous event (flags, position, motion) a second time, which the
            // mouse-look gains were tuned against. The echo itself changes no bit, though: a
            // button press that switched mouse look on must not read as a second press.
            skipNextMove = false;
            changed = 0;
            return true;
        }
        flags ^= PointerFlag::Moved | PointerFlag::Toggle;
        if (relative) {
            dx = scaleX * (px - centreX);
            dy = scaleY * (py - centreY);
            x += dx;
            y += dy;
        } else {
            float nx = offsetX + scaleX * px;
            float ny = offsetY + scaleY * py;
            dx = nx - x;
            dy = ny - y;
            x = nx;
            y = ny;
        }
        std::uint32_t old = flags;
        flags = old | PointerFlag::Moved;
        changed = old ^ flags;
        deltaTime = now - time;
        time = now;
        if (relative)
            recentre();
        return true;
    }
    case InputMessage::LeftButtonDown: {
        flags ^= PointerFlag::Moved | PointerFlag::Toggle;
        std::uint32_t old = flags;
        flags = old | PointerFlag::LeftButton;
        changed = old ^ flags;
        deltaTime = now - time;
        time = now;
        return true;
    }
    case InputMessage::LeftButtonUp: {
        flags ^= PointerFlag::Moved | PointerFlag::Toggle;
        // Clear rather than toggle: a release whose press went elsewhere (pressed outside the
        // window, or before it existed) must not leave the button reported as held.
        flags &= ~static_cast<std::uint32_t>(PointerFlag::LeftButton);
        changed = PointerFlag::LeftButton;
        deltaTime = now - time;
        time = now;
        return true;
    }
    default:
        return false;
    }
}

} // namespace ombrel
