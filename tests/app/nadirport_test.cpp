// The demo's viewport with a recording host in place of the shell: input logic, projection and
// scene placement without GL, the frame's fixed steps with a GL context (Escape runs through the
// real executable end to end); and the point-cloud pass the frame draws with.
#include "app/nadirport.h"

#include <gtest/gtest.h>

#include <cmath>

#include "render/texture.h"
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
    ASSERT_TRUE(host.keyState.update(InputMessage::KeyDown, 'W', false, 1));
    demo.keyEvent(&host.keyState);
    pointer(InputMessage::PointerMove, 700, 300);
    EXPECT_EQ(host.quits + host.relativeOn, 0);
    EXPECT_NEAR(demo.flyer.frame.forward.x, 0.0f, 1e-6f);

    pointer(InputMessage::LeftButtonDown);
    EXPECT_TRUE(demo.mouseLook);
    // A move 200 px right of the centre is 0.5 units to the right.
    pointer(InputMessage::PointerMove, 600, 300);
    EXPECT_NEAR(demo.flyer.frame.forward.x, std::sin(0.5f), 1e-4f);
    EXPECT_NEAR(demo.flyer.frame.forward.y, 0.0f, 1e-4f);

    pointer(InputMessage::LeftButtonUp);
    pointer(InputMessage::LeftButtonDown);
    EXPECT_EQ(host.relativeOn, 2);
    EXPECT_EQ(host.cursorCounter, -2);
}

TEST_F(NadirportInput, EmptyWindowKeepsTheLastProjection) {
    demo.resize(1280, 800);
    const mat4 wide = demo.monoCamera.projection;
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
    EXPECT_EQ(demo.raymarcher.world.current, World::endfall);
    EXPECT_EQ(demo.flyer.body.velocity, vec3(0, 0, 0));
    EXPECT_LT(length((demo.flyer.frame.view * vec4(1, 1, 3, 1)).xyz() - vec3(0, 0, -1)), 1e-4f);
    test::LogCapture log;
    for (int scene : {7, -1, 5}) {
        demo.placeViewer(scene, {9, 9, 9}, {0, 0, 1});
        EXPECT_EQ(demo.raymarcher.world.current, World::endfall) << scene;
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

// No step with exactly one step pending, one past it, every step of a 100 s stall at once (the
// body rests on the start room's floor); each frame traces a tile and asks for the next frame.
TEST_F(NadirportFrame, StepsOnlyWhenMoreThanOneStepBehindAndCatchesUpWithoutLimit) {
    const struct {
        std::uint32_t timeMs, lastStepMs;
        bool fell;
    } frames[] = {{16, 0, false}, {17, 16, true}, {32, 16, false}, {100032, 100016, true}};
    for (int i = 0; i < 4; ++i) {
        const float y = demo.flyer.body.position.y;
        demo.draw(frames[i].timeMs, 0.016f);
        EXPECT_EQ(demo.lastStepMs, frames[i].lastStepMs) << "frame at " << frames[i].timeMs;
        EXPECT_EQ(demo.flyer.body.position.y < y, frames[i].fell) << frames[i].timeMs;
        EXPECT_EQ(demo.raymarcher.tile, (i + 1) % 4);
        EXPECT_EQ(host.redraws, i + 1);
    }
    EXPECT_NEAR(demo.flyer.body.position.y, -14.0f, 0.05f);
    EXPECT_LT(length(demo.flyer.body.velocity), 0.01f);
}

Ref<Texture> texture(int format, const void* texels) {
    Ref<Texture> t = new Texture();
    t->setup(TextureMeta(2, 1, format));
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, 2, 1, GL_RGBA,
                    format == TextureRGBA32F ? GL_FLOAT : GL_UNSIGNED_BYTE, texels);
    return t;
}

// A near point in front of a far one drawn after it, both at the centre: sized by factor over
// depth (20 and 10 pixels across), cut round, in the traced colour with alpha 1.
TEST(PointCloud, DrawsRoundDepthTestedPointsSizedByDepthInTheTracedColour) {
    OMBREL_REQUIRE_GL();
    const float positions[8] = {0.0f, 0.0f, 0.2f, 2.0f, 0.0f, 0.0f, 0.5f, 10.0f};
    const unsigned char colours[8] = {200, 40, 90, 0, 20, 30, 250, 0};
    Ref<Texture> p = texture(TextureRGBA32F, positions), c = texture(TextureRGBA8, colours);
    glDisable(GL_DEPTH_TEST); // setup must turn on what the points need
    glDisable(GL_VERTEX_PROGRAM_POINT_SIZE);
    PointCloud cloud;
    cloud.setup(nullptr, p.get(), c.get());
    ASSERT_TRUE(cloud.batch);
    EXPECT_EQ(cloud.batch->count, 2);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glViewport(0, 0, 64, 64);
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    cloud.draw(mat4::identity());
    const struct {
        int dx, dy, r, g, b, a;
    } table[] = {{0, 0, 200, 40, 90, 255}, // the near point wins the depth test
                 {8, 0, 20, 30, 250, 255}, // only the far point reaches 8 pixels out
                 {12, 0, 0, 0, 0, 0},      // outside both
                 {8, 8, 0, 0, 0, 0}};      // a corner of the far point's square sprite
    for (const auto& row : table) {
        const test::Rgba8 pixel = test::readPixel(32 + row.dx, 32 + row.dy);
        SCOPED_TRACE(testing::Message() << "pixel +" << row.dx << ",+" << row.dy);
        EXPECT_NEAR(pixel.r, row.r, 2);
        EXPECT_NEAR(pixel.g, row.g, 2);
        EXPECT_NEAR(pixel.b, row.b, 2);
        EXPECT_EQ(pixel.a, row.a);
    }
    // Released, it draws nothing and raises no GL error.
    cloud.release();
    cloud.draw(mat4::identity());
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

} // namespace
} // namespace ombrel
