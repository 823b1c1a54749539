// Stand-in viewport for the nadirport executable until the application drives it: clears the
// window to one distinctive colour every frame and quits with 0 on Escape.
#pragma once

#include "shell/viewport.h"

namespace ombrel {

class PlaceholderViewport final : public IViewport {
public:
    // The clear colour as 8-bit RGB, so that a screenshot can be checked against it.
    static constexpr unsigned char clearRed = 51, clearGreen = 153, clearBlue = 102;

    void init(IViewportHost* host, GraphicsContext* context) override;
    void resize(int width, int height) override;
    void keyEvent(const KeyState* keys) override;
    void draw(std::uint32_t timeMs, float seconds) override;
    void close() override;

private:
    IViewportHost* host_ = nullptr;
    int width_ = 0, height_ = 0;
};

} // namespace ombrel
