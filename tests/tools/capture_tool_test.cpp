// The capture tool: its command line, the input script player, PNG files, the image figures
// that tests rely on, and the executable as a user runs it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "tests/support/command.h"
#include "tools/capture/capture_options.h"
#include "tools/capture/image_stats.h"
#include "tools/capture/input_script.h"
#include "tools/capture/png_writer.h"

namespace ombrel::capture {
namespace {

using Kind = ScriptEvent::Kind;

TEST(CaptureOptions, ReadsEveryOptionAndRefusesBadValuesNamingTheOption) {
    CaptureOptions o;
    std::string error;
    ASSERT_TRUE(parseOptions({"--sector", "4", "--position", "1,-2.5,3", "--direction", "0,0,1",
                              "--frames", "30", "--script", "W:100", "--out", "x.png", "--every",
                              "5", "--size", "640x400", "--frame-ms", "0", "--quiet"},
                             o, error))
        << error;
    EXPECT_EQ(std::vector<int>({o.sector, o.frames, o.every, o.width, o.height, int(o.frameMs),
                                int(o.script.size()), o.hasPosition + o.hasDirection + o.quiet}),
              std::vector<int>({4, 30, 5, 640, 400, 0, 1, 3}));
    EXPECT_EQ(o.position, vec3(1, -2.5f, 3));
    EXPECT_EQ(o.out, "x.png");

    const std::vector<std::vector<std::string>> bad = {{"--sector", "5"},
                                                       {"--sector", "-1"},
                                                       {"--sector", "x"},
                                                       {"--position", "1,2"},
                                                       {"--position", "1,2,3,4"},
                                                       {"--position", "1,,3"},
                                                       {"--position", "nan,0,0"},
                                                       {"--direction", "0,0,0"},
                                                       {"--frames", "0"},
                                                       {"--frames", "12abc"},
                                                       {"--every", "-2"},
                                                       {"--size", "640"},
                                                       {"--size", "0x400"},
                                                       {"--size", "640x99999"},
                                                       {"--script", "W"},
                                                       {"--script", "W:10,,S:1"},
                                                       {"--script", "drag:1:10"},
                                                       {"--script", "Shift:10"},
                                                       {"--frame-ms", "-3"},
                                                       {"--out", ""},
                                                       {"--sector"},
                                                       {"--script", "W:600000000,S:400000001"},
                                                       {"--bogus"},
                                                       {"stray"}};
    for (const auto& args : bad) {
        error.clear();
        EXPECT_FALSE(parseOptions(args, o, error)) << args[0] << " " << args.back();
        EXPECT_NE(error.find(args[0]), std::string::npos) << error;
    }
}

TEST(InputScript, ParsesKeysChordsWaitsAndDrags) {
    std::vector<ScriptStep> s;
    std::string error;
    ASSERT_TRUE(parseScript("w:2000, Space+D+d:100,wait:50,drag:0.5/-0.25:300,Esc:0", s, error))
        << error;
    ASSERT_EQ(s.size(), 5u);
    EXPECT_EQ(s[0].keys, std::vector<int>{'W'});
    EXPECT_EQ(s[1].keys, (std::vector<int>{32, 'D'}));
    EXPECT_EQ(std::pair(s[2].kind, s[3].kind),
              std::pair(ScriptStep::Kind::wait, ScriptStep::Kind::drag));
    EXPECT_FLOAT_EQ(s[3].dy, -0.25f);
    EXPECT_EQ(s[4].keys, std::vector<int>{27});
    EXPECT_TRUE(parseScript(" ", s, error) && s.empty());
}

// Presses and releases on the draw clock; a long stall plays every remaining step in order; a
// zero-length tap presses and releases in one frame.
TEST(ScriptPlayer, PlaysKeysOnTheDrawClock) {
    std::vector<ScriptStep> steps;
    std::string error;
    ASSERT_TRUE(parseScript("W:32,S:16,wait:16,Escape:0", steps, error));
    ScriptPlayer player(steps);
    EXPECT_EQ(player.duration(), 64u);
    const struct {
        std::uint32_t ms;
        std::vector<std::pair<Kind, int>> events;
    } table[] = {{0, {{Kind::keyDown, 'W'}}},
                 {16, {}},
                 {32, {{Kind::keyUp, 'W'}, {Kind::keyDown, 'S'}}},
                 {1000, {{Kind::keyUp, 'S'}, {Kind::keyDown, 27}, {Kind::keyUp, 27}}},
                 {2000, {}}};
    for (const auto& row : table) {
        std::vector<std::pair<Kind, int>> events;
        for (const ScriptEvent& e : player.advance(row.ms))
            events.emplace_back(e.kind, e.key);
        EXPECT_EQ(events, row.events) << "at " << row.ms << " ms";
    }
}

TEST(ScriptPlayer, DragMotionAddsUpExactlyWhateverTheFrameTimes) {
    std::vector<ScriptStep> steps;
    std::string error;
    ASSERT_TRUE(parseScript("drag:0.7/-0.3:100", steps, error));
    ScriptPlayer player(steps);
    float dx = 0, dy = 0;
    std::vector<Kind> kinds;
    for (std::uint32_t t : {0u, 13u, 29u, 64u, 99u, 140u})
        for (const ScriptEvent& e : player.advance(t)) {
            if (kinds.empty() || kinds.back() != e.kind)
                kinds.push_back(e.kind);
            dx += e.dx;
            dy += e.dy;
        }
    EXPECT_EQ(kinds, (std::vector<Kind>{Kind::buttonDown, Kind::move, Kind::buttonUp}));
    EXPECT_NEAR(dx, 0.7f, 1e-6f);
    EXPECT_NEAR(dy, -0.3f, 1e-6f);
}

// Written and read back with rows in order; a flat picture's luma deviation is zero (the mean
// of squares less the squared mean is not quite); coverage and colour mix tell pictures apart.
TEST(CaptureImage, PngRoundTripAndFigures) {
    Image image;
    image.width = 2;
    image.height = 2;
    image.rgba = {201, 67, 13, 255, 201, 67, 13, 255, 0, 0, 0, 255, 0, 0, 0, 255};
    char path[] = "/tmp/nadirport_png_XXXXXX";
    close(mkstemp(path));
    std::string error;
    ASSERT_TRUE(writePng(path, image, error)) << error;
    Image back;
    ASSERT_TRUE(readPng(path, back, error)) << error;
    std::remove(path);
    EXPECT_EQ(std::pair(back.width, back.height), std::pair(2, 2));
    EXPECT_EQ(back.rgba, image.rgba) << "bottom row first";
    EXPECT_FALSE(writePng("/nonexistent-dir/x.png", image, error));
    EXPECT_NE(error.find("/nonexistent-dir/x.png"), std::string::npos);

    const ImageStats half = measure(image);
    EXPECT_EQ(half.coverage, 0.5);
    EXPECT_NEAR(half.lumaDeviation, 0.0, 1e-9);
    EXPECT_EQ(half.saturatedFraction, 1.0);
    std::fill(image.rgba.begin(), image.rgba.end(), 128);
    const ImageStats grey = measure(image);
    EXPECT_EQ(grey.saturatedFraction, 0.0);
    EXPECT_NEAR(histogramDistance(grey, half), 1.0, 1e-12);
}

// The executable refuses bad arguments and an unwritable screenshot folder before it runs, and
// writes the last frame and every K-th one of the scene asked for.
TEST(CaptureTool, RefusesBadArgumentsAndWritesTheScreenshots) {
    const std::string tool = CAPTURE_BINARY;
    const struct {
        const char* args;
        int code;
        const char* text;
    } table[] = {{"--sector 9", 2, "nadirport-capture: --sector must be 0 to 4"},
                 {"--out /nonexistent-dir/shot.png", 2, "cannot write /nonexistent-dir/shot.png"},
                 {"--help", 0, "--position X,Y,Z"}};
    std::string out;
    for (const auto& row : table) {
        EXPECT_EQ(test::runCommand(tool + " " + row.args, out), row.code) << row.args << out;
        EXPECT_NE(out.find(row.text), std::string::npos) << row.args << ": " << out;
    }
    if (!std::getenv("DISPLAY") || !*std::getenv("DISPLAY"))
        GTEST_SKIP() << "no display: run under xvfb-run";
    const std::string path = "/tmp/nadirport_capture_" + std::to_string(getpid()) + ".png";
    ASSERT_EQ(test::runCommand(tool + " --sector 1 --size 320x200 --frames 8 --script W:64 " +
                                   "--every 4 --out " + path,
                               out),
              0)
        << out;
    EXPECT_NE(out.find("scene 1, 8 frames"), std::string::npos) << out;
    EXPECT_NE(out.find("frame 8/8"), std::string::npos) << out; // progress line
    for (const std::string& file : {path, path.substr(0, path.size() - 4) + "_000004.png"}) {
        Image shot;
        std::string error;
        EXPECT_TRUE(readPng(file, shot, error)) << error;
        EXPECT_EQ(std::pair(shot.width, shot.height), std::pair(320, 200)) << file;
        EXPECT_GT(measure(shot).coverage, 0.5) << file;
        std::remove(file.c_str());
    }
    std::remove((path.substr(0, path.size() - 4) + "_000008.png").c_str());
}

} // namespace
} // namespace ombrel::capture
