// The capture tool: its command line, the input script player, PNG files, the image figures
// that tests rely on, and the executable as a user runs it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
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
    EXPECT_EQ(std::vector<int>({o.sector, o.frames, o.every, o.width, int(o.frameMs), o.quiet}),
              std::vector<int>({4, 30, 5, 640, 0, 1}));
    EXPECT_EQ(o.position, vec3(1, -2.5f, 3));
    EXPECT_TRUE(o.hasDirection && o.out == "x.png" && o.script.size() == 1);

    // Rows split by "|": an option and its value ("--out=" an empty one), or what stands alone.
    std::istringstream table(
        "--sector 5|--sector -1|--sector x|--position 1,2|--position 1,2,3,4|--position 1,,3|"
        "--position nan,0,0|--direction 0,0,0|--frames 0|--frames 12abc|--every -2|"
        "--size 640|--size 0x400|--size 640x99999|--script W|--script W:10,,S:1|"
        "--script drag:1:10|--script Shift:10|--script W:600000000,S:400000001|--frame-ms -3|"
        "--out=|--sector|--bogus|stray");
    for (std::string text; std::getline(table, text, '|');) {
        const size_t split = text.find_first_of(" =");
        std::vector<std::string> args = {text.substr(0, split)};
        if (split != std::string::npos)
            args.push_back(text.substr(split + 1));
        error.clear();
        EXPECT_FALSE(parseOptions(args, o, error)) << text;
        EXPECT_NE(error.find(args[0]), std::string::npos) << text << ": " << error;
    }
}

// Key names in any case, chords without repeats, presses and releases on the draw clock; a
// long stall plays every remaining step in order, a zero-length tap presses and releases at once.
TEST(ScriptPlayer, PlaysKeysOnTheDrawClock) {
    std::vector<ScriptStep> steps;
    std::string error;
    ASSERT_TRUE(parseScript("w:32, S+s+Space:16,wait:16,Esc:0", steps, error)) << error;
    ScriptPlayer player(steps);
    std::ostringstream events; // when, + down or - up, which key (87 W, 83 S, 32 Space, 27 Esc)
    for (std::uint32_t ms : {0u, 16u, 31u, 32u, 1000u, 2000u})
        for (const ScriptEvent& e : player.advance(ms))
            events << ms << (e.kind == Kind::keyDown ? "+" : "-") << e.key << " ";
    EXPECT_EQ(events.str(), "0+87 32-87 32+83 32+32 1000-83 1000-32 1000+27 1000-27 ");
}

// A flat picture's luma deviation is zero (the mean of squares less the squared mean is not
// quite); coverage and colour mix tell pictures apart; an unwritable file is reported.
TEST(CaptureImage, FiguresAndWriteFailure) {
    Image image;
    image.width = image.height = 2;
    image.rgba = {201, 67, 13, 255, 201, 67, 13, 255, 0, 0, 0, 255, 0, 0, 0, 255};
    const ImageStats half = measure(image);
    EXPECT_EQ(half.coverage, 0.5);
    EXPECT_NEAR(half.lumaDeviation, 0.0, 1e-9);
    EXPECT_EQ(half.saturatedFraction, 1.0);
    std::string error;
    EXPECT_FALSE(writePng("/nonexistent-dir/x.png", image, error));
    EXPECT_NE(error.find("/nonexistent-dir/x.png"), std::string::npos);
    std::fill(image.rgba.begin(), image.rgba.end(), 128);
    const ImageStats grey = measure(image);
    EXPECT_EQ(grey.saturatedFraction, 0.0);
    EXPECT_NEAR(histogramDistance(grey, half), 1.0, 1e-12);
}

// Lens-warped stereo output is told by dark corners in each half; head turns and eye disparity
// by the signed sideways shift of a textured band.
TEST(CaptureImage, CornerBlacknessAndHorizontalShift) {
    const auto make = [](int offset, bool disc) {
        Image image{96, 48, std::vector<uint8_t>(size_t(96) * 48 * 4, 0)};
        for (int i = 0; i < 96 * 48; ++i) {
            const int x = i % 96, y = i / 96, cx = x % 48 - 24, cy = y - 24;
            if (!disc || cx * cx + cy * cy <= 22 * 22)
                std::fill_n(&image.rgba[size_t(i) * 4], 3,
                            uint8_t(40 + (unsigned((x - offset) * 7919 + y * 104729) >> 3) % 200));
        }
        return image;
    };
    const Image base = make(0, false), disc = make(0, true);
    EXPECT_EQ(cornerBlackness(disc, leftHalf(disc)) + cornerBlackness(disc, rightHalf(disc)), 2.0);
    EXPECT_EQ(cornerBlackness(base, rightHalf(base)), 0.0);
    for (int moved : {7, -5, 0}) {
        const HorizontalShift s =
            horizontalShift(base, {20, 0, 48, 48}, make(moved, false), {20, 0, 48, 48}, 12);
        EXPECT_EQ(s.pixels, moved);
        EXPECT_GT(s.correlation, 0.99) << moved;
    }
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
                 {"--virtual-headset=/nonexistent.motion", 2, "cannot read motion script"},
                 {"--help", 0, "--virtual-headset[=SCRIPT]"}};
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
