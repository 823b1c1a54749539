// The virtual headset's tools: motion scripts (text form, the motion they play, the tracker
// they drive), the recording format, and visor_record's work on the umockdev bus with the
// recording played back through it.
#include "hmd/devices/system.h"
#include "tests/support/hid_testbed.h"
#include "tools/virtual_headset/motion_script.h"
#include "tools/virtual_headset/recorded_tracker.h"
#include "tools/virtual_headset/recorder.h"
#include "tools/virtual_headset/virtual_tracker_stream.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <tuple>

namespace Visor::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Has the tracker play the script, one report a sample; the script back for reference players.
MotionScript Drive(VirtualTracker& tracker, const char* text) {
    MotionScript script;
    EXPECT_TRUE(script.Parse(text, nullptr)) << text;
    auto player = std::make_shared<MotionPlayer>(script);
    tracker.SetSampleSource([player](SensorSample* s) { return player->Next(s, nullptr); });
    SensorConfigReport config = tracker.GetConfig();
    config.PacketInterval = 1;
    tracker.SetConfig(config);
    return script;
}

TEST(MotionScript, ParsesSegmentsAndNamesTheLineAndFaultOfBadInput) {
    struct Case {
        const char* Text;
        const char* Error; // null: parses
        double Value;      // good lines: the first segment's angle or rate, plus the bias
    } cases[] = {
        {"still 2s tilt 90deg axis 0 0 2", nullptr, M_PI / 2},
        {"# warm-up\n\nstill 500ms\nyaw 3s 30deg/s # turn", nullptr, 0},
        {"yaw 1.5s -0.5rad/s", nullptr, -0.5},
        {"nod 4s 15deg 1s\ngyro-bias 1 0 0 deg/s\ngyro-noise 0.1deg/s seed 7", nullptr,
         16 * M_PI / 180},
        {"", "the script has no segments", 0},
        {"still 1s\nspin 2s", "line 2: unknown segment 'spin'", 0},
        {"still 2", "line 1: '2' is not a duration", 0},
        {"yaw 2s 30", "line 1: '30' is not a rate (deg/s or rad/s)", 0},
        {"nod 2s 10deg 1ms", "line 1: the nod period must be at least 2ms", 0},
        {"still 1s tilt 5deg axis 0 0 0", "line 1: the tilt axis has no length", 0},
        {"still 1s tilt 5deg axis 1 0", "line 1: the tilt axis needs three numbers", 0},
        {"\n\nyaw 1s 1rad/s extra", "line 3: unexpected 'extra' at the end of the line", 0},
        {"still 5000s", "line 1: duration '5000s' must be at least 1ms and at most 1 hour", 0},
        {"gyro-noise -1deg/s", "line 1: the noise level cannot be negative", 0},
        {"gyro-bias 1 nan 0 deg/s", "line 1: 'gyro-bias' needs three numbers", 0},
    };
    for (const Case& c : cases) {
        MotionScript script;
        std::string error;
        if (!script.Parse(c.Text, &error)) {
            EXPECT_TRUE(c.Error && error.rfind(c.Error, 0) == 0) << c.Text << ": " << error;
            EXPECT_TRUE(script.Segments.empty());
        } else {
            const MotionSegment& s = script.Segments[0];
            const double value = s.TiltRad + s.RateRad + s.AmplitudeRad + script.GyroBias[0];
            EXPECT_TRUE(!c.Error && std::fabs(value - c.Value) < 1e-9) << c.Text << ": " << value;
        }
    }
}

// Integrating the gyroscope in the head frame follows the true orientation, and the
// accelerometer reads gravity in the tracker's axes, through every kind of segment.
TEST(MotionScript, GyroscopeIntegratesToTheTruthAndGravityPointsUp) {
    MotionScript script;
    ASSERT_TRUE(script.Parse("still 100ms tilt 20deg axis 0 0 3\nyaw 500ms 90deg/s\n"
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

// The tracker takes one scripted sample per millisecond, saturated at its range, and sends them
// in its reports with the counter wrapping and dropped reports missing, then goes back to its
// steady motion.
TEST(MotionScript, DrivesTheTrackerSampleBySample) {
    VirtualTracker tracker;
    MotionPlayer reference(Drive(tracker, "nod 40ms 10deg 20ms\ngyro-bias 0.1 0.2 0.3 rad/s\n"
                                          "gyro-noise 0.01rad/s seed 3"));
    tracker.SetTimestamp(65530);
    tracker.DropReports(1);
    EXPECT_EQ(tracker.Advance(44), 21u) << "22 reports built, one lost";
    std::uint8_t bytes[64];
    for (SensorSample lost; reference.GetElapsedMs() < 2;) // the first report's
        reference.Next(&lost, nullptr);
    for (int report = 1; report < 22; ++report) {
        DecodedReport decoded;
        ASSERT_EQ(tracker.ReadInputReport(bytes, sizeof bytes), SensorReportSize);
        ASSERT_TRUE(DecodeSensorReport(&decoded, bytes, SensorReportSize));
        EXPECT_EQ(decoded.Report.Timestamp, std::uint16_t(65530 + 2 * report));
        for (int i = 0; i < 2; ++i) {
            const SensorSample got = decoded.Report.Samples[i];
            SensorSample want = {0, 98100, 0, 0, 0, 0}; // still, once the script is over
            EXPECT_EQ(reference.Next(&want, nullptr), report < 20);
            for (std::int32_t* rate : {&want.GyroX, &want.GyroY, &want.GyroZ})
                *rate = std::clamp(*rate, -349066, 349066); // the nod peaks above 2000 deg/s
            EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0)
                << "report " << report << " sample " << i;
        }
    }
}

// The file the writer streams is the encoded recording, reads back whole, and every
// truncation or damage is refused with a reason.
TEST(Recording, RoundTripsAndRefusesDamagedFiles) {
    Recording original;
    original.Device = VirtualTracker::DefaultIdentity();
    original.Features = {
        {2, {2, 0, 0, 0x40, 1, 0x10, 0x27}}, {4, {}}, {9, std::vector<std::uint8_t>(56, 9)}};
    for (std::uint8_t i = 0; i < 20; ++i)
        original.Inputs.push_back({1000u * i / 3, std::vector<std::uint8_t>(62 - i % 2, i)});
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
    const std::tuple<std::size_t, std::uint8_t, const char*> damages[] = {
        {0, 'X', "not a recording"},
        {8, 2, "version 2 is not supported"},
        {firstInput, 'Q', ": unknown record kind 81"},
        {firstInput + 9, 0, ": length 0 out of range"},
        {lastInput + 9, 0xFF, "input report 19 (offset"},      // longer than the file
        {firstInput + 73 + 2, 0xFF, "input report 2 (offset"}, // the one before is later
        {firstInput + 20, 0x55, "checksum mismatch"},
        {bytes.size() - 8, 21, "the end record counts 21 input reports, the file holds 20"},
    };
    for (const auto& [at, byte, what] : damages) {
        std::vector<std::uint8_t> damaged = bytes;
        damaged[at] = byte;
        EXPECT_FALSE(ParseRecording(damaged.data(), damaged.size(), &loaded, &error)) << what;
        EXPECT_NE(error.find(what), std::string::npos) << error;
    }
    bytes.push_back(0);
    EXPECT_FALSE(ParseRecording(bytes.data(), bytes.size(), &loaded, &error));
    EXPECT_EQ(error, "bytes after the end record");
    EXPECT_FALSE(ParseRecording(nullptr, 100, &loaded, &error));
}

TEST(RecordArguments, AreCheckedWithAReason) {
    const std::pair<std::vector<const char*>, std::string> cases[] = {
        {{"out.rec"}, "10 s of '' into out.rec"},
        {{"--seconds", "1.5", "--device", "/dev/hidraw3", "o"}, "1.5 s of '/dev/hidraw3' into o"},
        {{}, "no output file given"},
        {{"--seconds", "0", "out.rec"}, "--seconds needs a number"},
        {{"out.rec", "--seconds"}, "--seconds needs a number"},
        {{"--device"}, "--device needs a path"},
        {{"--fast", "out.rec"}, "unknown option '--fast'"},
        {{"a.rec", "b.rec"}, "only one output file"},
    };
    for (const auto& [args, expected] : cases) {
        std::vector<const char*> argv = {"visor_record"};
        argv.insert(argv.end(), args.begin(), args.end());
        RecordOptions o;
        std::string got;
        if (ParseRecordOptions(static_cast<int>(argv.size()), argv.data(), &o, &got))
            got = ::testing::PrintToString(o.Seconds) + " s of '" + o.Device + "' into " + o.Output;
        EXPECT_EQ(got.rfind(expected, 0), 0u) << got;
    }
}

class RecordTool : public HidTestbedTest {
protected:
    void SetUp() override {
        HidTestbedTest::SetUp();
        if (!IsSkipped())
            System::Init();
    }
    void TearDown() override {
        if (System::IsInitialized())
            System::Destroy();
        std::remove(Path.c_str());
        HidTestbedTest::TearDown();
    }
    static constexpr const char* Nods = "nod 600ms 20deg 300ms\nyaw 3s 45deg/s";
    bool Record(const char* device, const std::string& output, std::string* error) {
        const RecordOptions options{3.5, device, output, false};
        return RunRecorder(options, nullptr, nullptr, &Summary, error);
    }

    std::string Path = ::testing::TempDir() + "record_tool_test.rec";
    RecordSummary Summary;
};

TEST_F(RecordTool, RecordsEveryReportInOrderAndPlaysThemBack) {
    auto tracker = std::make_shared<VirtualTracker>();
    Drive(*tracker, Nods);
    Testbed->AddDevice(MakeKeyboard());
    Testbed->AddDevice(tracker);
    VirtualTrackerStream stream;
    ASSERT_TRUE(stream.Start(tracker));
    std::string error;
    ASSERT_TRUE(Record("", Path, &error)) << error;
    stream.Stop();
    Recording recording;
    ASSERT_TRUE(LoadRecording(Path, &recording, &error)) << error;
    // Keep-alives at the start and 3 s later.
    EXPECT_EQ(std::make_tuple(Summary.Path, std::size_t(Summary.Reports), Summary.KeepAlives,
                              tracker->GetKeepAliveCount(), recording.Device.SerialNumber),
              std::make_tuple(std::string("/dev/hidraw1"), recording.Inputs.size(), 2u, 2u,
                              std::string("VT0000000001")));
    // Each feature answer as recorded, asked of a device (-1 when refused).
    auto expectFeatures = [&](const std::function<int(std::uint8_t*, std::size_t)>& ask) {
        ASSERT_EQ(recording.Features.size(), 3u);
        for (const Recording::Feature& feature : recording.Features) {
            std::uint8_t answer[SensorDisplayInfo::PacketSize] = {feature.ReportId};
            EXPECT_EQ(feature.Bytes, Bytes(answer, answer + std::max(ask(answer, 56), 0)));
        }
    };
    expectFeatures([&](std::uint8_t* b, std::size_t n) { return tracker->GetFeature(b, n); });

    // The same script on a tracker of its own gives the report for every sample counter.
    VirtualTracker reference;
    Drive(reference, Nods);
    reference.Advance(5000);
    std::map<std::uint16_t, Bytes> sent;
    std::uint8_t buffer[96];
    DecodedReport decoded;
    for (int n; (n = reference.ReadInputReport(buffer, sizeof buffer)) > 0;)
        if (DecodeSensorReport(&decoded, buffer, n))
            sent[decoded.Report.Timestamp].assign(buffer, buffer + n);
    ASSERT_GT(recording.Inputs.size(), 100u);
    for (std::size_t i = 0, previous = 0; i < recording.Inputs.size(); ++i) {
        const Bytes& got = recording.Inputs[i].Bytes;
        ASSERT_TRUE(DecodeSensorReport(&decoded, got.data(), got.size())) << i;
        ASSERT_EQ(got, sent[decoded.Report.Timestamp]) << "report " << i;
        ASSERT_TRUE(i == 0 || decoded.Report.Timestamp == std::uint16_t(previous + 2))
            << "none lost, in order: " << i;
        previous = decoded.Report.Timestamp;
    }

    auto replay = std::make_shared<RecordedTracker>(recording);
    const int fd = open(Testbed->AddDevice(replay).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    expectFeatures([&](std::uint8_t* b, std::size_t) { return ioctl(fd, HIDIOCGFEATURE(56), b); });
    std::uint8_t keepAlive[] = {8, 0, 0, 0x10, 0x27};
    EXPECT_EQ(ioctl(fd, HIDIOCSFEATURE(sizeof keepAlive), keepAlive), 5);
    EXPECT_EQ(replay->GetKeepAliveCount(), 1u);
    const unsigned halfMs = unsigned(recording.Inputs.back().TimeUs / 2000);
    EXPECT_EQ(
        replay->Advance(halfMs),
        unsigned(std::count_if(recording.Inputs.begin(), recording.Inputs.end(),
                               [&](const auto& in) { return in.TimeUs < halfMs * 1000ull; })));
    replay->Advance(halfMs + 2);
    EXPECT_TRUE(replay->IsFinished());
    for (const Recording::Input& input : recording.Inputs) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        ASSERT_EQ(Bytes(buffer, buffer + std::max<ssize_t>(n, 0)), input.Bytes);
    }
    EXPECT_EQ(read(fd, buffer, sizeof buffer), -1);
    EXPECT_EQ(errno, EAGAIN);
    close(fd);
}

// Root opens any node, so denial drops the right to ignore file modes while the recorder's
// device thread starts (it inherits the recording thread's capabilities).
TEST_F(RecordTool, SaysWhyNothingCanBeRecorded) {
    struct Row {
        bool AddDevices, Deny;
        const char* Device;
        std::string Output, Error;
    } rows[] = {
        {false, false, "", Path, "no tracker found (USB ids 2833:0001 or 0483:5750)"},
        {true, false, "/dev/hidraw0", Path, "no tracker at /dev/hidraw0"},
        {false, false, "", "/nonexistent/x.rec", "cannot create '/nonexistent/x.rec'"},
        {false, true, "", Path,
         "no tracker could be opened: permission denied. Give your user "
         "access to the headset as README.md, section \"Headset access\""},
    };
    for (const Row& row : rows) {
        if (row.AddDevices) {
            Testbed->AddDevice(MakeKeyboard());
            Testbed->AddDevice(std::make_shared<VirtualTracker>());
        }
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct saved[2] = {}, dropped[2] = {};
        if (row.Deny) {
            ASSERT_EQ(chmod((Testbed->GetRootDir() + "/dev/hidraw1").c_str(), 0), 0);
            ASSERT_EQ(syscall(SYS_capget, &header, saved), 0);
            std::copy(saved, saved + 2, dropped);
            dropped[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
            ASSERT_EQ(syscall(SYS_capset, &header, dropped), 0);
        }
        std::string error;
        EXPECT_FALSE(Record(row.Device, row.Output, &error));
        EXPECT_EQ(error.rfind(row.Error, 0), 0u) << error;
        if (row.Deny)
            syscall(SYS_capset, &header, saved);
    }
}

} // namespace
} // namespace Visor::test
