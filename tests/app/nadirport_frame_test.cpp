// The frame order of the viewport against a real GL context, with the draw clock in the test's
// hands: when fixed physics steps run, catching up after a stall, and the portal check that
// follows the steps.
#include "app/nadirport.h"

#include <gtest/gtest.h>

#include "shell/input.h"
#include "tests/support/gl_test_context.h"

namespace ombrel {
namespace {

struct QuietHost : IViewportHost {
    void quit(int) override {}
    void requestRedraw() override { ++redraws; }
    void setRelativePointer(bool) override {}
    void hideCursor(bool) override {}
    const PointerState* pointers() const override { return &pointer; }
    const KeyState* keys() const override { return &keyState; }

    PointerState pointer;
    KeyState keyState;
    int redraws = 0;
};

class NadirportFrame : public ::testing::Test {
protected:
    void SetUp() override {
        OMBREL_REQUIRE_GL();
        demo.init(&host, &context);
        demo.resize(64, 64);
    }
    void TearDown() override { demo.close(); }

    QuietHost host;
    GraphicsContext context;
    Nadirport demo;
};

TEST_F(NadirportFrame, StepsOnlyWhenMoreThanOneStepBehindAndAlwaysTracesAndDraws) {
    demo.draw(16, 0.016f); // exactly one step of draw clock: not yet
    EXPECT_EQ(demo.lastStepMs, 0u);
    EXPECT_EQ(demo.flyer.body.position, vec3(0, 0, 0));
    EXPECT_EQ(demo.raymarcher.tile, 1);
    EXPECT_EQ(host.redraws, 1);

    demo.draw(17, 0.001f);
    EXPECT_EQ(demo.lastStepMs, 16u);
    EXPECT_LT(demo.flyer.body.position.y, 0.0f); // one step of gravity
    const vec3 afterOne = demo.flyer.body.position;

    demo.draw(32, 0.015f);
    EXPECT_EQ(demo.lastStepMs, 16u);
    EXPECT_EQ(demo.flyer.body.position, afterOne);
    EXPECT_EQ(demo.raymarcher.tile, 3);
    EXPECT_EQ(host.redraws, 3);
}

// A stall of 100 s is caught up in one frame, every step of it: the body has fallen to the
// floor of the start room and come to rest there.
TEST_F(NadirportFrame, CatchesUpAfterAStallWithNoLimitOnSteps) {
    demo.draw(100000, 100.0f);
    EXPECT_EQ(demo.lastStepMs, 99984u);
    EXPECT_NEAR(demo.flyer.body.position.y, -14.0f, 0.05f);
    EXPECT_LT(length(demo.flyer.body.velocity), 0.01f);
    EXPECT_EQ(demo.raymarcher.tile, 1); // still one trace per frame
}

// The check after the steps moves the viewer even when no step ran: standing in the start
// room's tunnel exit, the first frame arrives in the warehouse, shifted by the anchors' offset.
TEST_F(NadirportFrame, PortalCheckRunsEvenWithoutAStep) {
    demo.placeViewer(World::start, {-33, -14, -8}, {0, 0, -1});
    demo.draw(0, 0.0f);
    EXPECT_EQ(demo.lastStepMs, 0u);
    EXPECT_EQ(demo.raymarcher.world.current, World::warehouse);
    const vec3 p = demo.flyer.body.position;
    EXPECT_NEAR(p.x, -33 + 54, 1e-4f);
    EXPECT_NEAR(p.y, -14 + 14, 1e-4f);
    EXPECT_NEAR(p.z, -8 + 28, 1e-4f);
    // The view follows the body in the same frame.
    EXPECT_NEAR(demo.flyer.frame.translation.x, -p.x, 1e-4f);
}

} // namespace
} // namespace ombrel
