// Stand-in viewport: a clear colour per frame and Escape to quit.
#include "shell/placeholder_viewport.h"

#include "shell/input.h"

#include <GL/glew.h>

namespace ombrel {

void PlaceholderViewport::init(IViewportHost* host, GraphicsContext* /*context*/) {
    host_ = host;
}

void PlaceholderViewport::resize(int width, int height) {
    width_ = width;
    height_ = height;
}

void PlaceholderViewport::keyEvent(const KeyState* keys) {
    if (host_ && keys->pressed[KeyCode::Escape])
        host_->quit(0);
}

void PlaceholderViewport::draw(std::uint32_t /*timeMs*/, float /*seconds*/) {
    glViewport(0, 0, width_, height_);
    glClearColor(clearRed / 255.0f, clearGreen / 255.0f, clearBlue / 255.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
}

void PlaceholderViewport::close() {
    host_ = nullptr;
}

} // namespace ombrel
