// Motion scripts (text form, the motion they play, the tracker they drive) and the recording
// file format, without any device.
#include "tools/virtual_headset/motion_script.h"
#include "tools/virtual_headset/recorder.h"
#include "tools/virtual_headset/recording.h"
#include "tools/virtual_headset/virtual_tracker.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

namespace Visor::test {
namespace {

TEST(MotionScript, ParsesSegmentsAndNamesTheLineAndFaultOfBadInput) {
    struct Case {
        const char* Text;
        const char* Error; // null: parses
        double Value;      // good lines: the first segment's angle, rate or period
    } cases[] = {
        {"still 2s tilt 90deg axis 0 0 2", nullptr, M_PI / 2},
        {"# warm-up\n\nstill 500ms\nyaw 3s 30deg/s # turn", nullptr, 0},
        {"yaw 1.5s -0.5rad/s", nullptr, -0.5},
        {"nod 4s 15deg 1s\ngyro-bias 1 0 0 deg/s\ngyro-noise 0.1deg/s seed 7", nullptr,
         15 * M_PI / 180},
        {"", "the script has no segments", 0},
        {"still 1s\nspin 2s", "line 2: unknown segment 'spin'", 0},
        {"still 0s", "line 1: duration '0s' must be at least 1ms", 0},
        {"still 2", "line 1: '2' is not a duration", 0},
        {"yaw 2s 30", "line 1: '30' is not a rate (deg/s or rad/s)", 0},
        {"yaw 2s", "line 1: 'yaw' needs a rate", 0},
        {"nod 2s 10deg 1ms", "line 1: the nod period must be at least 2ms", 0},
        {"still 1s tilt 5deg axis 0 0 0", "line 1: the tilt axis has no length", 0},
        {"still 1s tilt 5deg axis 1 0", "line 1: the tilt axis needs three numbers", 0},
        {"still 1s tilt 5deg", "line 1: 'tilt' needs an axis", 0},
        {"\n\nyaw 1s 1rad/s extra", "line 3: unexpected 'extra' at the end of the line", 0},
        {"still 2h", "line 1: '2h' is not a duration (ms or s)", 0},
        {"still 5000s", "line 1: duration '5000s' must be at least 1ms and at most 1 hour", 0},
        {"gyro-noise -1deg/s", "line 1: the noise level cannot be negative", 0},
        {"gyro-bias 1 nan 0 deg/s", "line 1: 'gyro-bias' needs three numbers", 0},
    };
    for (const Case& c : cases) {
        MotionScript script;
        std::string error;
        const bool parsed = script.Parse(c.Text, &error);
        EXPECT_EQ(parsed, c.Error == nullptr) << c.Text << ": " << error;
        if (!parsed) {
            EXPECT_EQ(error.rfind(c.Error, 0), 0u) << c.Text << ": " << error;
            EXPECT_TRUE(script.Segments.empty());
            continue;
        }
        const MotionSegment& s = script.Segments[0];
        EXPECT_NEAR(s.TiltRad + s.RateRad + s.AmplitudeRad, c.Value, 1e-9) << c.Text;
    }
    MotionScript script;
    ASSERT_TRUE(script.Parse("still 2s tilt 10deg axis 0 0 2\nnod 4s 15deg 1s\n"
                             "gyro-bias 1 0 -2 deg/s",
                             nullptr));
    EXPECT_EQ(script.GetDurationMs(), 6000u);
    EXPECT_DOUBLE_EQ(script.Segments[0].Axis[2], 1.0);
    EXPECT_EQ(script.Segments[1].PeriodMs, 1000u);
    EXPECT_NEAR(script.GyroBias[2], -2 * M_PI / 180, 1e-12);
}

// Integrating the gyroscope in the head frame follows the true orientation, and the
// accelerometer reads gravity in the tracker's axes, through every kind of segment.
TEST(MotionScript, GyroscopeIntegratesToTheTruthAndGravityPointsUp) {
    MotionScript script;
    ASSERT_TRUE(script.Parse("still 100ms tilt 20deg axis 0 0 1\nyaw 500ms 90deg/s\n"
                             "nod 1s 30deg 400ms\nyaw 200ms -1rad/s\nstill 50ms",
                             nullptr));
    MotionPlayer player(script);
    MotionQuat integrated = player.GetStartOrientation(), truth;
    SensorSample sample;
    double worstAngle = 0, worstGravity = 0;
    std::vector<MotionQuat> truths;
    while (player.Next(&sample, &truth)) {
        const double w[3] = {sample.GyroX * 1e-4, sample.GyroY * 1e-4, sample.GyroZ * 1e-4};
        const double rate = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
        const double s = rate > 0 ? std::sin(rate * 0.0005) / rate : 0;
        integrated =
            MultiplyQuat(integrated, {w[0] * s, w[1] * s, w[2] * s, std::cos(rate * 0.0005)});
        worstAngle = std::max(worstAngle, AngleBetween(integrated, truth));
        // The accelerometer taken to the world frame.
        const MotionQuat a =
            MultiplyQuat(MultiplyQuat(truth, {sample.AccelX * 1e-4, sample.AccelY * 1e-4,
                                              sample.AccelZ * 1e-4, 0}),
                         {-truth.X, -truth.Y, -truth.Z, truth.W});
        worstGravity =
            std::max(worstGravity, std::fabs(a.X) + std::fabs(a.Y - 9.81) + std::fabs(a.Z));
        truths.push_back(truth);
    }
    ASSERT_EQ(truths.size(), 1850u);
    EXPECT_LT(worstAngle, 1e-3);
    EXPECT_LT(worstGravity, 1e-3);
    EXPECT_NEAR(AngleBetween(truths[99], player.GetStartOrientation()), 0, 1e-6);
    EXPECT_NEAR(AngleBetween(truths[599], truths[99]), M_PI / 4, 1e-6) << "90 deg/s for 0.5 s";
    EXPECT_NEAR(AngleBetween(truths[1599], truths[599]), 0, 1e-6) << "whole nod periods";
    EXPECT_NEAR(AngleBetween(truths[1499], truths[599]), 30 * M_PI / 180, 1e-6) << "a crest";
}

// The tracker takes one scripted sample per millisecond, streaming or not, and sends them in
// its reports with the counter wrapping and dropped reports missing.
TEST(MotionScript, DrivesTheTrackerSampleBySample) {
    MotionScript script;
    ASSERT_TRUE(script.Parse("nod 40ms 10deg 20ms\ngyro-bias 0.1 0.2 0.3 rad/s\n"
                             "gyro-noise 0.01rad/s seed 3",
                             nullptr));
    std::vector<SensorSample> expected;
    MotionPlayer reference(script);
    for (SensorSample s; reference.Next(&s, nullptr);)
        expected.push_back(s);
    ASSERT_EQ(expected.size(), 40u);

    VirtualTracker tracker;
    SensorConfigReport config = tracker.GetConfig();
    config.PacketInterval = 1;
    tracker.SetConfig(config);
    tracker.SetTimestamp(65530);
    auto player = std::make_shared<MotionPlayer>(script);
    tracker.SetSampleSource([player](SensorSample* s) {
        MotionQuat truth;
        return player->Next(s, &truth);
    });
    tracker.DropReports(1);
    EXPECT_EQ(tracker.Advance(44), 21u) << "22 reports built, one lost";
    std::uint8_t bytes[64];
    for (int report = 1; report < 22; ++report) {
        DecodedReport decoded;
        ASSERT_EQ(tracker.ReadInputReport(bytes, sizeof bytes), SensorReportSize);
        ASSERT_TRUE(DecodeSensorReport(&decoded, bytes, SensorReportSize));
        EXPECT_EQ(decoded.Report.Timestamp, std::uint16_t(65530 + 2 * report));
        for (int i = 0; i < 2; ++i) {
            const SensorSample got = decoded.Report.Samples[i];
            const SensorSample want =
                report * 2 + i < 40 ? expected[report * 2 + i] : SensorSample{0, 98100, 0, 0, 0, 0};
            EXPECT_EQ(std::make_tuple(got.AccelX, got.AccelY, got.AccelZ, got.GyroX, got.GyroY,
                                      got.GyroZ),
                      std::make_tuple(want.AccelX, want.AccelY, want.AccelZ, want.GyroX, want.GyroY,
                                      want.GyroZ))
                << "report " << report << " sample " << i;
        }
    }
}

Recording SampleRecording() {
    Recording r;
    r.Device = VirtualTracker::DefaultIdentity();
    r.Features = {
        {2, {2, 0, 0, 0x40, 1, 0x10, 0x27}}, {4, {}}, {9, std::vector<std::uint8_t>(56, 9)}};
    for (std::uint8_t i = 0; i < 20; ++i)
        r.Inputs.push_back({1000u * i / 3, std::vector<std::uint8_t>(62 - i % 2, i)});
    return r;
}

// The file the writer streams is the encoded recording, reads back whole, and every
// truncation or damage is refused with a reason.
TEST(Recording, RoundTripsAndRefusesDamagedFiles) {
    const Recording original = SampleRecording();
    std::vector<std::uint8_t> bytes;
    ASSERT_TRUE(EncodeRecording(original, &bytes));
    const std::string path = ::testing::TempDir() + "recording_test.rec";
    RecordingWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Open(path, original, &error)) << error;
    for (const Recording::Input& input : original.Inputs)
        ASSERT_TRUE(writer.Add(input.TimeUs, input.Bytes.data(), input.Bytes.size()));
    EXPECT_FALSE(writer.Add(0, bytes.data(), 1)) << "time going back";
    ASSERT_TRUE(writer.Finish(&error)) << error;
    Recording loaded;
    ASSERT_TRUE(LoadRecording(path, &loaded, &error)) << error;
    std::vector<std::uint8_t> again;
    ASSERT_TRUE(EncodeRecording(loaded, &again));
    EXPECT_EQ(again, bytes);
    EXPECT_EQ(loaded.Device.SerialNumber, "VT0000000001");
    ASSERT_EQ(loaded.FindFeature(9), &loaded.Features[2]);
    EXPECT_EQ(loaded.FindFeature(4), nullptr) << "not answered when recorded";
    std::remove(path.c_str());

    for (std::size_t length = 0; length < bytes.size(); ++length) {
        EXPECT_FALSE(ParseRecording(bytes.data(), length, &loaded, &error)) << length;
        EXPECT_FALSE(error.empty());
        EXPECT_TRUE(loaded.Inputs.empty() && loaded.Features.empty());
    }
    std::size_t firstInput = bytes.size() - 9; // the 'I' of the first input report
    for (const Recording::Input& input : original.Inputs)
        firstInput -= 11 + input.Bytes.size();
    const std::size_t lastInput = bytes.size() - 9 - 11 - original.Inputs.back().Bytes.size();
    struct Damage {
        std::size_t At;
        std::uint8_t Byte;
        const char* Error;
    } damages[] = {
        {0, 'X', "not a recording"},
        {8, 2, "version 2 is not supported"},
        {firstInput, 'Q', ": unknown record kind 81"},
        {firstInput + 9, 0, ": length 0 out of range"},
        {lastInput + 9, 0xFF, "input report 19 (offset"},      // longer than the file
        {firstInput + 73 + 2, 0xFF, "input report 2 (offset"}, // the one before is later
        {firstInput + 20, 0x55, "checksum mismatch"},
        {bytes.size() - 8, 21, "the end record counts 21 input reports, the file holds 20"},
    };
    for (const Damage& d : damages) {
        std::vector<std::uint8_t> damaged = bytes;
        damaged[d.At] = d.Byte;
        EXPECT_FALSE(ParseRecording(damaged.data(), damaged.size(), &loaded, &error)) << d.Error;
        EXPECT_NE(error.find(d.Error), std::string::npos) << error;
    }
    bytes.push_back(0);
    EXPECT_FALSE(ParseRecording(bytes.data(), bytes.size(), &loaded, &error));
    EXPECT_EQ(error, "bytes after the end record");
    EXPECT_FALSE(ParseRecording(nullptr, 100, &loaded, &error));
}

TEST(RecordTool, ArgumentsAreCheckedWithAReason) {
    struct Case {
        std::vector<const char*> Args;
        const char* Error; // null: accepted
        double Seconds;
        const char* Device;
    } cases[] = {
        {{"out.rec"}, nullptr, 10, ""},
        {{"--seconds", "1.5", "--device", "/dev/hidraw3", "out.rec"}, nullptr, 1.5, "/dev/hidraw3"},
        {{}, "no output file given", 0, ""},
        {{"--seconds", "0", "out.rec"}, "--seconds needs a number", 0, ""},
        {{"--seconds", "2x", "out.rec"}, "--seconds needs a number", 0, ""},
        {{"out.rec", "--seconds"}, "--seconds needs a number", 0, ""},
        {{"--device"}, "--device needs a path", 0, ""},
        {{"--fast", "out.rec"}, "unknown option '--fast'", 0, ""},
        {{"a.rec", "b.rec"}, "only one output file", 0, ""},
    };
    for (const Case& c : cases) {
        std::vector<const char*> argv = {"visor_record"};
        argv.insert(argv.end(), c.Args.begin(), c.Args.end());
        RecordOptions options;
        std::string error;
        const bool parsed =
            ParseRecordOptions(static_cast<int>(argv.size()), argv.data(), &options, &error);
        ASSERT_EQ(parsed, c.Error == nullptr) << error;
        if (!parsed) {
            EXPECT_EQ(error.rfind(c.Error, 0), 0u) << error;
            continue;
        }
        EXPECT_EQ(options.Seconds, c.Seconds);
        EXPECT_EQ(options.Device, c.Device);
        EXPECT_EQ(options.Output, "out.rec");
    }
}

} // namespace
} // namespace Visor::test
