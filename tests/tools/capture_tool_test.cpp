// The capture tool's own pieces: its command line, the input script player, PNG files and the
// image figures that tests rely on.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "tools/capture/capture_options.h"
#include "tools/capture/image_stats.h"
#include "tools/capture/input_script.h"
#include "tools/capture/png_writer.h"

namespace ombrel::capture {
namespace {

bool parse(std::vector<std::string> args, CaptureOptions& o, std::string& error) {
    return parseOptions(args, o, error);
}

TEST(CaptureOptions, ReadsEveryOption) {
    CaptureOptions o;
    std::string error;
    ASSERT_TRUE(parse({"--sector", "4", "--position", "1,-2.5,3", "--direction", "0,0,1",
                       "--frames", "30", "--script", "W:100", "--out", "x.png", "--every", "5",
                       "--size", "640x400", "--frame-ms", "0", "--quiet"},
                      o, error))
        << error;
    EXPECT_EQ(o.sector, 4);
    EXPECT_EQ(o.position, vec3(1, -2.5f, 3));
    EXPECT_TRUE(o.hasPosition && o.hasDirection);
    EXPECT_EQ(o.frames, 30);
    EXPECT_EQ(o.every, 5);
    EXPECT_EQ(o.width, 640);
    EXPECT_EQ(o.height, 400);
    EXPECT_EQ(o.frameMs, 0u);
    EXPECT_EQ(o.script.size(), 1u);
    EXPECT_EQ(o.out, "x.png");
    EXPECT_TRUE(o.quiet);
}

TEST(CaptureOptions, RejectsBadValuesWithTheirName) {
    const std::vector<std::vector<std::string>> bad = {
        {"--sector", "5"},
        {"--sector", "-1"},
        {"--sector", "x"},
        {"--position", "1,2"},
        {"--position", "1,2,3,4"},
        {"--position", "1,,3"},
        {"--direction", "0,0,0"},
        {"--position", "nan,0,0"},
        {"--frames", "0"},
        {"--frames", "12abc"},
        {"--size", "640"},
        {"--size", "0x400"},
        {"--script", "W"},
        {"--script", "Q+Shiftt:10"},
        {"--frame-ms", "-3"},
        {"--sector"},
        {"--bogus"},
        {"stray"},
    };
    for (const auto& args : bad) {
        CaptureOptions o;
        std::string error;
        EXPECT_FALSE(parse(args, o, error)) << args[0];
        EXPECT_FALSE(error.empty()) << args[0];
    }
    CaptureOptions o;
    std::string error;
    parse({"--sector", "9"}, o, error);
    EXPECT_NE(error.find("--sector"), std::string::npos) << error;
}

TEST(CaptureOptions, FrameCountCoversTheScriptAndNumberedNamesKeepTheExtension) {
    CaptureOptions o;
    std::string error;
    ASSERT_TRUE(parse({"--script", "W:2000,Space:100"}, o, error));
    EXPECT_GE(framesToRun(o) * 16, 2100); // the whole script, at 16 ms a frame
    o.frames = 3;
    EXPECT_EQ(framesToRun(o), 3);
    EXPECT_EQ(numberedPath("shots/a.png", 12), "shots/a_000012.png");
    EXPECT_EQ(numberedPath("dir.v2/shot", 7), "dir.v2/shot_000007.png");
}

TEST(InputScript, ParsesKeysChordsWaitsAndDrags) {
    std::vector<ScriptStep> steps;
    std::string error;
    ASSERT_TRUE(
        parseScript("w:2000, Space+D:100,wait:50,drag:0.5/-0.25:300,Escape:0", steps, error))
        << error;
    ASSERT_EQ(steps.size(), 5u);
    EXPECT_EQ(steps[0].keys, std::vector<int>{'W'});
    EXPECT_EQ(steps[1].keys, (std::vector<int>{32, 'D'}));
    EXPECT_EQ(steps[2].kind, ScriptStep::Kind::wait);
    EXPECT_EQ(steps[3].kind, ScriptStep::Kind::drag);
    EXPECT_FLOAT_EQ(steps[3].dy, -0.25f);
    EXPECT_EQ(steps[4].keys, std::vector<int>{27});
    EXPECT_TRUE(parseScript("", steps, error));
    EXPECT_TRUE(steps.empty());
    EXPECT_FALSE(parseScript("W:10,,S:10", steps, error));
    EXPECT_FALSE(parseScript("drag:1:10", steps, error));
    EXPECT_FALSE(parseScript("Shift:10", steps, error));
    EXPECT_NE(error.find("Shift"), std::string::npos);
}

using Kind = ScriptEvent::Kind;

TEST(ScriptPlayer, PressesAndReleasesOnTheDrawClockAndTapsInOneFrame) {
    std::vector<ScriptStep> steps;
    std::string error;
    ASSERT_TRUE(parseScript("W:32,S:16", steps, error));
    ScriptPlayer player(steps);
    EXPECT_EQ(player.duration(), 48u);
    auto e = player.advance(0);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].kind, Kind::keyDown);
    EXPECT_EQ(e[0].key, 'W');
    EXPECT_TRUE(player.advance(16).empty());
    e = player.advance(32);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].kind, Kind::keyUp);
    EXPECT_EQ(e[1].kind, Kind::keyDown);
    EXPECT_EQ(e[1].key, 'S');
    // A long stall runs every remaining step at once, still in order.
    e = player.advance(1000);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].kind, Kind::keyUp);
    EXPECT_TRUE(player.finished());
    EXPECT_TRUE(player.advance(2000).empty());

    // A zero-length tap presses and releases in one frame.
    ASSERT_TRUE(parseScript("wait:16,Escape:0", steps, error));
    ScriptPlayer tap(steps);
    EXPECT_TRUE(tap.advance(0).empty());
    e = tap.advance(16);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].kind, Kind::keyDown);
    EXPECT_EQ(e[1].kind, Kind::keyUp);
}

TEST(ScriptPlayer, DragMotionAddsUpExactlyWhateverTheFrameTimes) {
    std::vector<ScriptStep> steps;
    std::string error;
    ASSERT_TRUE(parseScript("drag:0.7/-0.3:100", steps, error));
    ScriptPlayer player(steps);
    float dx = 0, dy = 0;
    int downs = 0, ups = 0;
    for (std::uint32_t t : {0u, 13u, 29u, 64u, 99u, 140u})
        for (const ScriptEvent& e : player.advance(t)) {
            downs += e.kind == Kind::buttonDown;
            ups += e.kind == Kind::buttonUp;
            if (e.kind == Kind::move) {
                EXPECT_EQ(downs, 1);
                EXPECT_EQ(ups, 0);
                dx += e.dx;
                dy += e.dy;
            }
        }
    EXPECT_EQ(downs, 1);
    EXPECT_EQ(ups, 1);
    EXPECT_NEAR(dx, 0.7f, 1e-6f);
    EXPECT_NEAR(dy, -0.3f, 1e-6f);
}

TEST(Png, RoundTripKeepsPixelsAndRowOrderAndBadPathsAreReported) {
    Image image;
    image.width = 3;
    image.height = 2;
    image.rgba = {255, 0,  0,  255, 0,  255, 0,  255, 0,  0,  255, 255,  // bottom row
                  10,  20, 30, 255, 40, 50,  60, 255, 70, 80, 90,  255}; // top row
    char path[] = "/tmp/nadirport_png_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::string error;
    ASSERT_TRUE(writePng(path, image, error)) << error;
    Image back;
    ASSERT_TRUE(readPng(path, back, error)) << error;
    std::remove(path);
    EXPECT_EQ(back.width, 3);
    EXPECT_EQ(back.height, 2);
    EXPECT_EQ(back.rgba, image.rgba);

    EXPECT_FALSE(writePng("/nonexistent-dir/x.png", image, error));
    EXPECT_NE(error.find("/nonexistent-dir/x.png"), std::string::npos);
    EXPECT_FALSE(writePng("/tmp/never.png", Image(), error));
    EXPECT_FALSE(readPng("/nonexistent-dir/x.png", back, error));
}

TEST(ImageStats, TellBlackFlatAndColouredPicturesApart) {
    auto filled = [](uint8_t r, uint8_t g, uint8_t b) {
        Image i;
        i.width = 10;
        i.height = 10;
        for (int k = 0; k < 100; ++k)
            i.rgba.insert(i.rgba.end(), {r, g, b, 255});
        return i;
    };
    const ImageStats black = measure(filled(0, 0, 0));
    EXPECT_EQ(black.coverage, 0.0);
    const ImageStats grey = measure(filled(128, 128, 128));
    EXPECT_EQ(grey.coverage, 1.0);
    EXPECT_NEAR(grey.lumaDeviation, 0.0, 1e-9);
    EXPECT_EQ(grey.saturatedFraction, 0.0);
    const ImageStats red = measure(filled(220, 20, 20));
    EXPECT_EQ(red.saturatedFraction, 1.0);
    EXPECT_NEAR(histogramDistance(grey, grey), 0.0, 1e-12);
    EXPECT_NEAR(histogramDistance(grey, red), 1.0, 1e-12);
    Image half = filled(0, 0, 0);
    for (size_t k = 0; k < 200; ++k)
        half.rgba[k] = 255;
    const ImageStats h = measure(half);
    EXPECT_NEAR(h.coverage, 0.5, 1e-12);
}

} // namespace
} // namespace ombrel::capture
