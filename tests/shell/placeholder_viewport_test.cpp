// The nadirport executable's stand-in viewport: its clear colour and Escape.
#include "shell/input.h"
#include "shell/placeholder_viewport.h"
#include "tests/support/gl_test_context.h"

#include <gtest/gtest.h>

namespace {

class CountingHost : public ombrel::IViewportHost {
public:
    void quit(int code) override { quits.push_back(code); }
    void requestRedraw() override {}
    void setRelativePointer(bool) override {}
    void hideCursor(bool) override {}
    const ombrel::PointerState* pointers() const override { return &pointerState; }
    const ombrel::KeyState* keys() const override { return &keyState; }

    std::vector<int> quits;
    ombrel::PointerState pointerState;
    ombrel::KeyState keyState;
};

} // namespace

TEST(PlaceholderViewport, QuitsWithZeroOnEscapeOnly) {
    CountingHost host;
    ombrel::GraphicsContext context;
    ombrel::PlaceholderViewport viewport;
    viewport.init(&host, &context);
    ombrel::KeyState keys;
    ASSERT_TRUE(keys.update(ombrel::InputMessage::KeyDown, 'Q', false, 1));
    viewport.keyEvent(&keys);
    EXPECT_TRUE(host.quits.empty());
    ASSERT_TRUE(keys.update(ombrel::InputMessage::KeyDown, 0x1B, false, 2));
    viewport.keyEvent(&keys);
    ASSERT_EQ(host.quits.size(), 1u);
    EXPECT_EQ(host.quits[0], 0);
}

TEST(PlaceholderViewport, ClearsTheWholeWindowToItsColour) {
    OMBREL_REQUIRE_GL();
    ombrel::PlaceholderViewport viewport;
    viewport.resize(64, 64);
    viewport.draw(0, 0.0f);
    for (auto [x, y] : {std::pair{0, 0}, std::pair{63, 63}, std::pair{31, 17}}) {
        auto p = ombrel::test::readPixel(x, y);
        EXPECT_EQ(p.r, ombrel::PlaceholderViewport::clearRed);
        EXPECT_EQ(p.g, ombrel::PlaceholderViewport::clearGreen);
        EXPECT_EQ(p.b, ombrel::PlaceholderViewport::clearBlue);
    }
}
