// The demo through the real window shell under a display (run under xvfb-run): what the start
// room looks like, flying, braking, mouse look, Escape, the fixed-step clock, and each scene.
#include <gtest/gtest.h>

#include <GL/glew.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "app/nadirport.h"
#include "shell/window_shell.h"
#include "tools/capture/capture_driver.h"
#include "tools/capture/image_stats.h"

namespace ombrel::capture {
namespace {

// Small windows keep llvmpipe fast; the demo does not depend on the size.
constexpr int width = 320, height = 200;

struct RunResult {
    int code = -1;
    int cursorCounter = 0;
    bool relative = false;
};

class DemoRun : public ::testing::Test {
protected:
    void SetUp() override {
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display)
            GTEST_SKIP() << "no display: run under xvfb-run";
    }

    CaptureSettings at(int sector, vec3 position, vec3 direction, int frames) {
        CaptureSettings s;
        s.sector = sector;
        s.position = position;
        s.direction = direction;
        s.frames = frames;
        return s;
    }

    CaptureSettings arrival(int sector, int frames) {
        const Viewpoint v = arrivalPoint(sector);
        return at(sector, v.position, v.direction, frames);
    }

    static void setScript(CaptureSettings& s, const char* text) {
        std::string error;
        ASSERT_TRUE(parseScript(text, s.script, error)) << error;
    }

    std::unique_ptr<CaptureDriver> driver;

    // Runs the demo object through the shell; the driver stays for inspection.
    RunResult run(Nadirport& demo, const CaptureSettings& settings,
                  void (*prepare)(CaptureDriver&) = nullptr) {
        driver = std::make_unique<CaptureDriver>(demo, settings);
        if (prepare)
            prepare(*driver);
        RunResult r;
        WindowShell shell(driver.get(), width, height, driver->clock());
        if (!shell.created()) {
            ADD_FAILURE() << "the shell could not open its window";
            return r;
        }
        driver->attach(&shell);
        r.code = shell.run();
        r.cursorCounter = shell.cursorCounter();
        r.relative = shell.pointers()->relative;
        return r;
    }
};

float horizontalSpeed(const Nadirport& demo) {
    const vec3& v = demo.flyer.body.velocity;
    return std::sqrt(v.x * v.x + v.z * v.z);
}

// Before one frame the window is painted magenta with depth 0: the frame's points only show
// if the demo cleared depth, and magenta only survives if it left the colour alone.
TEST_F(DemoRun, ClearsOnlyDepthAndNeverTheColourBuffer) {
    Nadirport demo;
    CaptureSettings s = arrival(World::start, 9);
    run(demo, s, [](CaptureDriver& d) {
        d.beforeFrame = [](int frame) {
            if (frame != 8)
                return;
            glBindFramebuffer(GL_FRAMEBUFFER, 0);
            glClearColor(1, 0, 1, 1);
            glClearDepth(0.0);
            glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
            glClearDepth(1.0);
        };
    });
    const Image& image = driver->lastFrame();
    ASSERT_FALSE(image.rgba.empty());
    size_t magenta = 0, drawn = 0;
    for (size_t i = 0; i < image.rgba.size(); i += 4) {
        const uint8_t* p = &image.rgba[i];
        if (p[0] == 255 && p[1] == 0 && p[2] == 255)
            ++magenta;
        else
            ++drawn;
    }
    const double total = double(width) * height;
    EXPECT_GT(drawn / total, 0.3);     // depth was cleared, so points passed the test
    EXPECT_GT(magenta / total, 0.001); // uncovered pixels kept the old colour
}

TEST_F(DemoRun, HoldingWFliesAlongTheViewAndTheClockStepsBy16) {
    Nadirport demo;
    // Facing +x, so that the flight is not along the default axis.
    CaptureSettings s = at(World::start, {0, 0, 0}, {1, 0, 0}, 50);
    setScript(s, "W:800");
    run(demo, s);
    const vec3 p = demo.flyer.body.position;
    EXPECT_GT(p.x, 1.5f);
    EXPECT_NEAR(p.z, 0.0f, 0.05f);
    EXPECT_LT(p.y, 0.0f); // gravity still acts
    // The simulation runs in whole 16 ms steps, at most one step behind the draw clock.
    EXPECT_EQ(demo.lastStepMs % 16, 0u);
    EXPECT_LE(driver->lastTimeMs() - demo.lastStepMs, 16u);
    EXPECT_GT(driver->lastTimeMs() - demo.lastStepMs, 0u);
}

TEST_F(DemoRun, HoldingEBrakesTheFlight) {
    Nadirport coasting, braking;
    CaptureSettings s = arrival(World::start, 70);
    setScript(s, "W:800,wait:300");
    run(coasting, s);
    setScript(s, "W:800,E:300");
    run(braking, s);
    const float free = horizontalSpeed(coasting), braked = horizontalSpeed(braking);
    EXPECT_GT(free, 3.0f);
    EXPECT_LT(braked, free * 0.4f);
    EXPECT_EQ(braking.flyer.body.damping, 10.0f); // released again at the end
}

TEST_F(DemoRun, LeftButtonDragTurnsTheView) {
    Nadirport demo;
    CaptureSettings s = arrival(World::start, 16);
    setScript(s, "drag:0.4/0:160");
    const RunResult r = run(demo, s);
    EXPECT_TRUE(demo.mouseLook);
    EXPECT_EQ(r.cursorCounter, -1);
    EXPECT_TRUE(r.relative);
    const vec3 f = demo.flyer.frame.forward;
    EXPECT_GT(f.x, 0.3f); // dragged right, looking right
    EXPECT_NEAR(f.y, 0.0f, 0.02f);
}

TEST_F(DemoRun, EscapeFirstLeavesMouseLookThenQuitsWithZero) {
    Nadirport demo;
    CaptureSettings s = arrival(World::start, 200);
    setScript(s, "drag:0.1/0:48,Escape:16,wait:64,Escape:16,wait:400");
    const RunResult r = run(demo, s);
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(driver->quitRequested());
    EXPECT_EQ(driver->quitCode(), 0);
    // The first Escape comes at 48 ms, the second at 128 ms: frames went on in between.
    EXPECT_GE(driver->quitFrame(), 8);
    EXPECT_LT(driver->framesDrawn(), 200);
    EXPECT_FALSE(demo.mouseLook);
    EXPECT_EQ(r.cursorCounter, 0);
    EXPECT_FALSE(r.relative);
}

// The way a player leaves the start room: from the demo's own start point, back towards the
// tunnel wall, settle on the floor, turn left with the mouse, along the wall to the tunnel's
// bend and down it. The body must come out in the warehouse, at the knee's far end.
TEST_F(DemoRun, KeyScriptFliesFromTheStartRoomIntoTheWarehouse) {
    Nadirport demo;
    CaptureSettings s = arrival(World::start, 0);
    setScript(s, "S:1000,wait:1300,E:1200,drag:-1.5708/0:192,W:3100,W+E:1500,W+D:3000");
    // Three physics steps per frame keep the run short; the steps themselves are the usual 16 ms.
    s.frameMs = 48;
    s.frames = int(ScriptPlayer(s.script).duration() / s.frameMs) + 4;
    // The scenes the viewer is in, frame by frame, without repeats.
    static Nadirport* flown;
    static std::vector<int> path;
    flown = &demo;
    path.clear();
    run(demo, s, [](CaptureDriver& d) {
        d.afterFrame = [](int, const Image*) {
            const int scene = flown->raymarcher.world.current;
            if (path.empty() || path.back() != scene)
                path.push_back(scene);
        };
    });
    EXPECT_EQ(path, (std::vector<int>{World::start, World::warehouse}));
    const vec3 p = demo.flyer.body.position;
    EXPECT_GT(demo.raymarcher.world.currentSector().distance(p, 0.0f), 0.0f)
        << "inside the warehouse's walls at (" << p.x << ", " << p.y << ", " << p.z << ")";
}

// Each scene from where the journey enters it: drawn, lit, varied, and unlike the others. The
// start room's frame is the one a user sees first, after a dozen frames.
TEST_F(DemoRun, EverySceneShowsFromItsArrivalPoint) {
    ImageStats stats[5];
    for (int sector = 0; sector < 5; ++sector) {
        Nadirport demo;
        ASSERT_EQ(run(demo, arrival(sector, 12)).code, 0);
        EXPECT_EQ(demo.raymarcher.world.current, sector);
        stats[sector] = measure(driver->lastFrame());
        const ImageStats& st = stats[sector];
        SCOPED_TRACE("scene " + std::to_string(sector));
        EXPECT_GT(st.coverage, 0.5);
        EXPECT_GT(st.meanRed + st.meanGreen + st.meanBlue, 3 * 40.0);
        EXPECT_GT(st.lumaDeviation, 8.0);
    }
    // The start room fills most of the window with lit points: walls, alcoves and the
    // coloured balls, not a flat fill.
    const ImageStats& start = stats[World::start];
    EXPECT_GT(start.coverage, 0.7);
    EXPECT_GT(0.299 * start.meanRed + 0.587 * start.meanGreen + 0.114 * start.meanBlue, 50.0);
    EXPECT_GT(start.lumaDeviation, 15.0);
    EXPECT_GT(start.saturatedFraction, 0.02);
    for (int a = 0; a < 5; ++a)
        for (int b = a + 1; b < 5; ++b)
            EXPECT_GT(histogramDistance(stats[a], stats[b]), 0.15)
                << "scenes " << a << " and " << b << " look alike";
    // The final scene's sign is red.
    EXPECT_GT(stats[World::endfall].meanRed, stats[World::endfall].meanBlue);
}

} // namespace
} // namespace ombrel::capture
