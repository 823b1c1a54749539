// The demo through the real window shell under a display (run under xvfb-run), driven by the
// capture driver: the colour buffer, the way out of the start room, and what each scene shows.
#include <gtest/gtest.h>

#include <GL/glew.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/nadirport.h"
#include "shell/window_shell.h"
#include "tools/capture/capture_driver.h"
#include "tools/capture/image_stats.h"

namespace ombrel::capture {
namespace {

// Small windows keep llvmpipe fast; the demo does not depend on the size.
constexpr int width = 320, height = 200;

class DemoRun : public ::testing::Test {
protected:
    void SetUp() override {
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display)
            GTEST_SKIP() << "no display: run under xvfb-run";
    }

    // Settings for a run from a scene's arrival point.
    static CaptureSettings at(int sector, int frames, const char* script = "") {
        CaptureSettings s;
        const Viewpoint v = arrivalPoint(sector);
        s.sector = sector;
        s.position = v.position;
        s.direction = v.direction;
        s.frames = frames;
        std::string error;
        EXPECT_TRUE(parseScript(script, s.script, error)) << error;
        return s;
    }

    // Runs the demo through the shell; the driver stays for inspection. Returns the quit code.
    int run(const CaptureSettings& settings) {
        driver = std::make_unique<CaptureDriver>(*demo, settings);
        driver->beforeFrame = beforeFrame;
        driver->afterFrame = afterFrame;
        WindowShell shell(driver.get(), width, height, driver->clock());
        if (!shell.created()) {
            ADD_FAILURE() << "the shell could not open its window";
            return -1;
        }
        driver->attach(&shell);
        return shell.run();
    }

    std::unique_ptr<Nadirport> demo = std::make_unique<Nadirport>(); // large: the whole world
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
    };
    run(at(World::start, 9));
    const Image& image = driver->lastFrame();
    ASSERT_FALSE(image.rgba.empty());
    size_t magenta = 0;
    for (size_t i = 0; i < image.rgba.size(); i += 4)
        magenta += image.rgba[i] == 255 && image.rgba[i + 1] == 0 && image.rgba[i + 2] == 255;
    const double total = double(width) * height;
    EXPECT_GT(1.0 - magenta / total, 0.3); // depth was cleared, so points passed the test
    EXPECT_GT(magenta / total, 0.001);     // uncovered pixels kept the old colour
}

// The way a player leaves the start room: from the demo's own start point, back towards the
// tunnel wall, settle on the floor, turn left with the mouse, along the wall to the tunnel's
// bend and down it. The body must come out in the warehouse, at the knee's far end.
TEST_F(DemoRun, KeyScriptFliesFromTheStartRoomIntoTheWarehouse) {
    CaptureSettings s =
        at(World::start, 0, "S:1000,wait:1300,E:1200,drag:-1.5708/0:192,W:3100,W+E:1500,W+D:3000");
    // Three physics steps per frame keep the run short; the steps themselves are the usual 16 ms.
    s.frameMs = 48;
    s.frames = int(ScriptPlayer(s.script).duration() / s.frameMs) + 4;
    std::vector<int> path; // the scenes the viewer is in, frame by frame, without repeats
    afterFrame = [&](int, const Image*) {
        if (path.empty() || path.back() != demo->raymarcher.world.current)
            path.push_back(demo->raymarcher.world.current);
    };
    run(s);
    EXPECT_EQ(path, (std::vector<int>{World::start, World::warehouse}));
    const vec3 p = demo->flyer.body.position;
    EXPECT_GT(demo->raymarcher.world.currentSector().distance(p, 0.0f), 0.0f)
        << "inside the warehouse's walls at (" << p.x << ", " << p.y << ", " << p.z << ")";
}

// Each scene from where the journey enters it, after the dozen frames a user sees first:
// drawn, lit, varied, and unlike the others. The start room fills most of the window with
// walls, alcoves and coloured balls; the final scene's sign is red.
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
        demo = std::make_unique<Nadirport>();
        ASSERT_EQ(run(at(row.sector, 12)), 0);
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
