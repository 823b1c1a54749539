// The viewport's input logic and projection, without a window: a recording host stands in for
// the shell.
#include "app/nadirport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "shell/input.h"

namespace ombrel {
namespace {

struct RecordingHost : IViewportHost {
    void quit(int code) override {
        ++quits;
        quitCode = code;
    }
    void requestRedraw() override { ++redraws; }
    // Switches the record as the shell does. The cursor of this host never moves, so a
    // recentre has no echo: each pointer event below reaches the viewport once.
    void setRelativePointer(bool on) override {
        (on ? relativeOn : relativeOff)++;
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
    int quits = 0, quitCode = -1, redraws = 0, relativeOn = 0, relativeOff = 0;
    int cursorCounter = 0;
};

class NadirportInput : public ::testing::Test {
protected:
    void SetUp() override {
        // No GL: only the host is needed for input.
        demo.host = &host;
        host.pointer.resize(800, 600);
    }

    void key(std::uint32_t virtualKey, bool down) {
        if (host.keyState.update(down ? InputMessage::KeyDown : InputMessage::KeyUp, virtualKey,
                                 false, ++now))
            demo.keyEvent(&host.keyState);
    }
    void pointer(InputMessage message, float px, float py) {
        if (host.pointer.update(message, px, py, ++now))
            demo.pointerEvent(&host.pointer);
    }
    void press() { pointer(InputMessage::LeftButtonDown, 400, 300); }

    Nadirport demo;
    RecordingHost host;
    std::uint32_t now = 0;
};

// Escape itself, with and without mouse look, is run through the real shell in the demo test.
TEST_F(NadirportInput, OtherKeysNeitherQuitNorTouchThePointer) {
    key('W', true);
    key('W', false);
    key(VirtualKey::Space, true);
    EXPECT_EQ(host.quits, 0);
    EXPECT_EQ(host.relativeOn + host.relativeOff, 0);
}

// Each press hides the cursor once more, so the counter says how many Escapes bring it back.
TEST_F(NadirportInput, EveryPressStartsMouseLookAndHidesTheCursor) {
    press();
    EXPECT_TRUE(demo.mouseLook);
    EXPECT_EQ(host.relativeOn, 1);
    EXPECT_EQ(host.cursorCounter, -1);
    pointer(InputMessage::LeftButtonUp, 400, 300);
    press();
    EXPECT_EQ(host.relativeOn, 2);
    EXPECT_EQ(host.cursorCounter, -2);
}

TEST_F(NadirportInput, MovesTurnTheViewOnlyInMouseLook) {
    pointer(InputMessage::PointerMove, 700, 300);
    EXPECT_NEAR(demo.flyer.frame.forward.x, 0.0f, 1e-6f);
    press();
    // Relative mode: a move 200 px right of the centre is 0.5 units to the right.
    pointer(InputMessage::PointerMove, 600, 300);
    EXPECT_NEAR(demo.flyer.frame.forward.x, std::sin(0.5f), 1e-4f);
    EXPECT_NEAR(demo.flyer.frame.forward.y, 0.0f, 1e-4f);
    // Up on the screen looks up.
    pointer(InputMessage::PointerMove, 400, 200);
    EXPECT_GT(demo.flyer.frame.forward.y, 0.2f);
}

TEST_F(NadirportInput, ProjectionFollowsTheAspectAndStaysFiniteForAnEmptyWindow) {
    demo.resize(1280, 800);
    const mat4 first = demo.monoCamera.projection;
    EXPECT_FLOAT_EQ(demo.monoCamera.aspect, 1.6f);
    demo.resize(640, 400);
    EXPECT_EQ(std::memcmp(first.m, demo.monoCamera.projection.m, sizeof first.m), 0);
    demo.resize(800, 800);
    EXPECT_FLOAT_EQ(demo.monoCamera.aspect, 1.0f);
    EXPECT_NE(first, demo.monoCamera.projection);

    demo.resize(1280, 800);
    demo.resize(0, 0);
    demo.resize(1280, 0);
    EXPECT_EQ(demo.windowWidth, 1280);
    EXPECT_EQ(demo.windowHeight, 0);
    for (float v : demo.monoCamera.projection.m)
        EXPECT_TRUE(std::isfinite(v));
    EXPECT_FLOAT_EQ(demo.monoCamera.aspect, 1.6f);
}

TEST_F(NadirportInput, PlaceViewerEntersTheSceneAndRejectsUnknownOnes) {
    demo.placeViewer(3, {1, 2, 3}, {0, 0, 1});
    EXPECT_EQ(demo.raymarcher.world.current, 3);
    EXPECT_EQ(demo.flyer.body.position, vec3(1, 2, 3));
    demo.placeViewer(7, {9, 9, 9}, {0, 0, 1});
    EXPECT_EQ(demo.raymarcher.world.current, 3);
    EXPECT_EQ(demo.flyer.body.position, vec3(1, 2, 3));
}

TEST(ArrivalPoints, LieInFreeSpaceOfTheirScenes) {
    Nadirport demo;
    World& world = demo.raymarcher.world;
    for (int s = 0; s < world.sectorCount(); ++s) {
        const Viewpoint v = arrivalPoint(s);
        // Clear of the collision surface by more than the body's radius.
        EXPECT_GT(world.sector(s).distance(v.position, 0.0f), 2.0f) << "scene " << s;
        EXPECT_LT(world.sector(s).findExit(v.position), 0) << "scene " << s;
        EXPECT_GT(length(v.direction), 0.5f);
    }
}

} // namespace
} // namespace ombrel
