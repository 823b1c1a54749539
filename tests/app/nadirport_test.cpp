// The demo's viewport with a recording host in place of the shell: input logic, projection and
// scene placement without GL, the frame's fixed steps with a GL context. (Escape runs through
// the real executable in the end-to-end test.)
#include "app/nadirport.h"

#include <gtest/gtest.h>

#include <cmath>

#include "shell/input.h"
#include "tests/support/gl_test_context.h"
#include "tests/support/log_capture.h"

namespace ombrel {
namespace {

struct RecordingHost : IViewportHost {
    void quit(int) override { ++quits; }
    void requestRedraw() override { ++redraws; }
    // Switches the record as the shell does. The cursor of this host never moves, so a
    // recentre has no echo: each pointer event below reaches the viewport once.
    void setRelativePointer(bool on) override {
        relativeOn += on;
        pointer.setRelative(on, CursorWarp{&RecordingHost::cursorStays, this});
    }
    static void cursorStays(void* self, int, int) {
        static_cast<RecordingHost*>(self)->pointer.skipNextMove = false;
    }
    void hideCursor(bool hide) override { cursorCounter += hide ? -1 : 1; }
    const PointerState* pointers() const override { return &pointer; }
    const KeyState* keys() const override { return &keyState; }

    PointerState pointer;
    KeyState keyState;
    int quits = 0, relativeOn = 0, cursorCounter = 0, redraws = 0;
};

class NadirportInput : public ::testing::Test {
protected:
    void SetUp() override {
        demo.host = &host; // no GL: only the host is needed for input
        host.pointer.resize(800, 600);
    }
    void key(std::uint32_t virtualKey, bool down) {
        if (host.keyState.update(down ? InputMessage::KeyDown : InputMessage::KeyUp, virtualKey,
                                 false, ++now))
            demo.keyEvent(&host.keyState);
    }
    void pointer(InputMessage message, float px = 400, float py = 300) {
        if (host.pointer.update(message, px, py, ++now))
            demo.pointerEvent(&host.pointer);
    }

    Nadirport demo;
    RecordingHost host;
    std::uint32_t now = 0;
};

// Each press hides the cursor once more, so the counter says how many Escapes bring it back;
// moves turn the view only in mouse look, and other keys touch neither quit nor pointer.
TEST_F(NadirportInput, PressesStartMouseLookAndOnlyThenMovesTurnTheView) {
    key('W', true);
    key('W', false);
    key(VirtualKey::Space, true);
    pointer(InputMessage::PointerMove, 700, 300);
    EXPECT_EQ(host.quits + host.relativeOn, 0);
    EXPECT_NEAR(demo.flyer.frame.forward.x, 0.0f, 1e-6f);

    pointer(InputMessage::LeftButtonDown);
    EXPECT_TRUE(demo.mouseLook);
    // A move 200 px right of the centre is 0.5 units to the right.
    pointer(InputMessage::PointerMove, 600, 300);
    EXPECT_NEAR(demo.flyer.frame.forward.x, std::sin(0.5f), 1e-4f);
    EXPECT_NEAR(demo.flyer.frame.forward.y, 0.0f, 1e-4f);
    pointer(InputMessage::PointerMove, 400, 200); // up on the screen looks up
    EXPECT_GT(demo.flyer.frame.forward.y, 0.2f);

    pointer(InputMessage::LeftButtonUp);
    pointer(InputMessage::LeftButtonDown);
    EXPECT_EQ(host.relativeOn, 2);
    EXPECT_EQ(host.cursorCounter, -2);
}

TEST_F(NadirportInput, EmptyWindowKeepsTheLastProjection) {
    demo.resize(1280, 800);
    const mat4 wide = demo.monoCamera.projection;
    demo.resize(800, 800);
    EXPECT_FLOAT_EQ(demo.monoCamera.aspect, 1.0f);
    demo.resize(1280, 800);
    for (auto [w, h] : {std::pair{0, 0}, {1280, 0}, {0, 800}}) {
        demo.resize(w, h);
        EXPECT_EQ(demo.windowHeight, h);
        EXPECT_EQ(demo.monoCamera.projection, wide) << w << "x" << h;
        for (float v : demo.monoCamera.projection.m)
            EXPECT_TRUE(std::isfinite(v)) << w << "x" << h;
    }
}

// A view straight down still has a defined frame, with the body at the eye; unknown scenes are
// refused with a log line.
TEST_F(NadirportInput, PlaceViewerEntersTheSceneAtRestAndRefusesUnknownOnes) {
    demo.flyer.body.velocity = {1, 2, 3};
    demo.placeViewer(3, {1, 2, 3}, {0, -5, 0});
    EXPECT_EQ(demo.raymarcher.world.current, 3);
    EXPECT_EQ(demo.flyer.body.velocity, vec3(0, 0, 0));
    EXPECT_LT(length((demo.flyer.frame.view * vec4(1, 1, 3, 1)).xyz() - vec3(0, 0, -1)), 1e-4f);
    test::LogCapture log;
    for (int scene : {7, -1, 5}) {
        demo.placeViewer(scene, {9, 9, 9}, {0, 0, 1});
        EXPECT_EQ(demo.raymarcher.world.current, 3) << scene;
        EXPECT_EQ(demo.flyer.body.position, vec3(1, 2, 3)) << scene;
    }
    ASSERT_EQ(log.lines().size(), 3u);
    EXPECT_EQ(log.lines()[0], "Nadirport: no scene 7 (there are 5); the viewer stays in scene 3");
}

class NadirportFrame : public NadirportInput {
protected:
    void SetUp() override {
        OMBREL_REQUIRE_GL();
        demo.init(&host, &context);
    }
    void TearDown() override { demo.close(); }

    GraphicsContext context;
};

// Draw clock against the steps that run: none with exactly one step pending, one past it; each
// frame traces one tile and asks for the next frame whether a step ran or not.
TEST_F(NadirportFrame, StepsOnlyWhenMoreThanOneStepBehindAndAlwaysTracesAndDraws) {
    const struct {
        std::uint32_t timeMs, lastStepMs;
        bool fell;
    } frames[] = {{16, 0, false}, {17, 16, true}, {32, 16, false}};
    vec3 before = demo.flyer.body.position;
    for (int i = 0; i < 3; ++i) {
        demo.draw(frames[i].timeMs, 0.016f);
        EXPECT_EQ(demo.lastStepMs, frames[i].lastStepMs) << "frame at " << frames[i].timeMs;
        EXPECT_EQ(demo.flyer.body.position.y < before.y, frames[i].fell) << frames[i].timeMs;
        EXPECT_EQ(demo.raymarcher.tile, i + 1);
        EXPECT_EQ(host.redraws, i + 1);
        before = demo.flyer.body.position;
    }
}

// A stall of 100 s is caught up in one frame, every step of it: the body has fallen to the
// floor of the start room and come to rest there.
TEST_F(NadirportFrame, CatchesUpAfterAStallWithNoLimitOnSteps) {
    demo.draw(100000, 100.0f);
    EXPECT_EQ(demo.lastStepMs, 99984u);
    EXPECT_NEAR(demo.flyer.body.position.y, -14.0f, 0.05f);
    EXPECT_LT(length(demo.flyer.body.velocity), 0.01f);
}

} // namespace
} // namespace ombrel
