// The two interfaces between the shell and the application: the viewport the shell drives and
// the host the application calls back into.
#pragma once

#include <cstdint>

namespace ombrel {

struct KeyState;
struct PointerState;

// Stands for the GL context the shell made current. The application only stores its address
// and passes it on to the objects that render.
class GraphicsContext {};

class IViewportHost {
public:
    // Ends the main loop at its next message phase; run() returns code. The first call wins.
    virtual void quit(int code) = 0;
    virtual void requestRedraw() = 0;
    // Mouse-look: the cursor is kept at the client centre and only its motion is reported.
    virtual void setRelativePointer(bool on) = 0;
    // Moves the cursor display counter down for hide, up for show; hidden while below 0.
    virtual void hideCursor(bool hide) = 0;
    virtual const PointerState* pointers() const = 0;
    virtual const KeyState* keys() const = 0;

protected:
    ~IViewportHost() = default;
};

// Implemented by the application. All calls come on the main thread, which owns the context.
class IViewport {
public:
    virtual ~IViewport() = default;
    virtual void init(IViewportHost* host, GraphicsContext* context) = 0;
    // Client size in pixels. Calls arrive before init as well, and may be 0 by 0.
    virtual void resize(int width, int height) = 0;
    virtual void pointerEvent(const PointerState* pointers) { (void)pointers; }
    virtual void keyEvent(const KeyState* keys) { (void)keys; }
    // timeMs: milliseconds since the loop started (wraps after 2^32); seconds: since the last
    // frame.
    virtual void draw(std::uint32_t timeMs, float seconds) = 0;
    virtual void close() = 0;
};

} // namespace ombrel
