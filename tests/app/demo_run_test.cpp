// The demo through the real window shell under a display (run under xvfb-run), driven by the
// capture driver: the colour buffer, the way out of the start room, and what each scene shows.
#include <gtest/gtest.h>

#include <GL/glew.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/nadirport.h"
#include "shell/window_shell.h"
#include "tests/support/gl_test_context.h"
#include "tools/capture/capture_driver.h"
#include "tools/capture/image_stats.h"

namespace ombrel::capture {
namespace {

// Small windows keep llvmpipe fast; the demo does not depend on the size.
constexpr int width = 320, height = 200;

class DemoRun : public ::testing::Test {
protected:
    void SetUp() override {
        if (test::displayMissing())
            GTEST_SKIP() << "no display: run under xvfb-run";
    }

    // Runs a fresh demo from a scene's arrival point through the shell, playing script at frameMs
    // a frame (frames 0: the script and four more); the demo and driver stay for inspection.
    int run(int sector, int frames, const char* script = "", std::uint32_t frameMs = 16) {
        CaptureSettings s;
        const Viewpoint v = arrivalPoint(sector);
        s.sector = sector;
        s.position = v.position;
        s.direction = v.direction;
        s.frameMs = frameMs;
        std::string error;
        EXPECT_TRUE(parseScript(script, s.script, error)) << error;
        s.frames = frames ? frames : int(ScriptPlayer(s.script).duration() / frameMs) + 4;
        demo = std::make_unique<Nadirport>(); // large: the whole world
        driver = std::make_unique<CaptureDriver>(*demo, s);
        driver->beforeFrame = beforeFrame;
        driver->afterFrame = afterFrame;
        WindowShell shell(driver.get(), width, height, driver->clock());
        driver->attach(&shell);
        return shell.run(); // the start failure code when no window opened
    }

    std::unique_ptr<Nadirport> demo;
    std::unique_ptr<CaptureDriver> driver;
    std::function<void(int)> beforeFrame;
    std::function<void(int, const Image*)> afterFrame;
};

// Before one frame the window is painted magenta with depth 0: the frame's points only show
// if the demo cleared depth, and magenta only survives if it left the colour alone.
TEST_F(DemoRun, ClearsOnlyDepthAndNeverTheColourBuffer) {
    beforeFrame = [](int frame) {
        if (frame != 8)
            return;
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        glClearColor(1, 0, 1, 1);
        glClearDepth(0.0);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        glClearDepth(1.0);
        glClearColor(0, 0, 0, 0); // a colour clear by the demo would not keep the magenta
    };
    ASSERT_EQ(run(World::start, 9), 0);
    const std::vector<uint8_t>& rgba = driver->lastFrame().rgba;
    double magenta = 0;
    for (size_t i = 0; i < rgba.size(); i += 4)
        magenta += rgba[i] == 255 && rgba[i + 1] == 0 && rgba[i + 2] == 255;
    magenta /= double(width) * height;
    EXPECT_LT(magenta, 0.7);   // depth was cleared, so points passed the test
    EXPECT_GT(magenta, 0.001); // uncovered pixels kept the old colour
}

// A player's way out of the start room: back to the tunnel wall, settle, turn left with the
// mouse, along the wall and down the tunnel, out in the warehouse at the knee's far end.
TEST_F(DemoRun, KeyScriptFliesFromTheStartRoomIntoTheWarehouse) {
    std::vector<int> path; // the scenes the viewer is in, frame by frame, without repeats
    afterFrame = [&](int, const Image*) {
        if (path.empty() || path.back() != demo->raymarcher.world.current)
            path.push_back(demo->raymarcher.world.current);
    };
    // Three physics steps per frame keep the run short; the steps themselves are the usual 16 ms.
    ASSERT_EQ(run(World::start, 0,
                  "S:1000,wait:1300,E:1200,drag:-1.5708/0:192,W:3100,W+E:1500,W+D:3000", 48),
              0);
    EXPECT_EQ(path, (std::vector<int>{World::start, World::warehouse}));
    const vec3 p = demo->flyer.body.position;
    EXPECT_GT(demo->raymarcher.world.currentSector().distance(p, 0.0f), 0.0f)
        << "inside the warehouse's walls at (" << p.x << ", " << p.y << ", " << p.z << ")";
}

// Each scene where the journey enters it, after the dozen frames a user sees first: drawn, lit,
// varied, unlike the others; the start room fills most of the window, the final sign is red.
TEST_F(DemoRun, EverySceneShowsFromItsArrivalPoint) {
    const struct {
        int sector;
        double coverage, luma, deviation, saturated;
    } table[] = {{World::start, 0.7, 50, 15, 0.02},
                 {World::warehouse, 0.5, 0, 8, 0},
                 {World::metaballs, 0.5, 0, 8, 0},
                 {World::endfall, 0.5, 0, 8, 0},
                 {World::landscape, 0.5, 0, 8, 0}};
    ImageStats stats[5];
    for (const auto& row : table) {
        SCOPED_TRACE("scene " + std::to_string(row.sector));
        ASSERT_EQ(run(row.sector, 12), 0);
        EXPECT_EQ(demo->raymarcher.world.current, row.sector);
        const ImageStats& st = stats[row.sector] = measure(driver->lastFrame());
        EXPECT_GT(st.coverage, row.coverage);
        EXPECT_GT(st.meanRed + st.meanGreen + st.meanBlue, 3 * 40.0);
        EXPECT_GT(0.299 * st.meanRed + 0.587 * st.meanGreen + 0.114 * st.meanBlue, row.luma);
        EXPECT_GT(st.lumaDeviation, row.deviation);
        EXPECT_GE(st.saturatedFraction, row.saturated);
    }
    for (int a = 0; a < 5; ++a)
        for (int b = a + 1; b < 5; ++b)
            EXPECT_GT(histogramDistance(stats[a], stats[b]), 0.15)
                << "scenes " << a << " and " << b << " look alike";
    EXPECT_GT(stats[World::endfall].meanRed, stats[World::endfall].meanBlue);
}

} // namespace
} // namespace ombrel::capture
