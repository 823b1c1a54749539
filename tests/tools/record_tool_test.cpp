// visor_record's work on the umockdev bus: a scripted tracker recorded through the HID layer,
// the recording played back through the bus, and the failures a person running it meets.
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
#include <map>

namespace Visor::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

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
    // Nods and turns at 500 reports a second.
    static void Drive(VirtualTracker& tracker) {
        MotionScript script;
        ASSERT_TRUE(script.Parse("nod 600ms 20deg 300ms\nyaw 3s 45deg/s", nullptr));
        auto player = std::make_shared<MotionPlayer>(script);
        tracker.SetSampleSource([player](SensorSample* s) { return player->Next(s, nullptr); });
        SensorConfigReport config = tracker.GetConfig();
        config.PacketInterval = 1;
        tracker.SetConfig(config);
    }
    bool Record(const char* device, const std::string& output, std::string* error) {
        RecordOptions options;
        options.Seconds = 1.2;
        options.Device = device;
        options.Output = output;
        return RunRecorder(options, nullptr, nullptr, &Summary, error);
    }

    std::string Path = ::testing::TempDir() + "record_tool_test.rec";
    RecordSummary Summary;
};

TEST_F(RecordTool, RecordsEveryReportInOrderAndPlaysThemBack) {
    auto tracker = std::make_shared<VirtualTracker>();
    Drive(*tracker);
    Testbed->AddDevice(MakeKeyboard());
    ASSERT_EQ(Testbed->AddDevice(tracker), "/dev/hidraw1");
    VirtualTrackerStream stream;
    ASSERT_TRUE(stream.Start(tracker));
    std::string error;
    ASSERT_TRUE(Record("", Path, &error)) << error;
    stream.Stop();
    Recording recording;
    ASSERT_TRUE(LoadRecording(Path, &recording, &error)) << error;
    EXPECT_EQ(Summary.Path, "/dev/hidraw1");
    EXPECT_EQ(Summary.Reports, recording.Inputs.size());
    EXPECT_GE(Summary.KeepAlives, 1u);
    EXPECT_EQ(tracker->GetKeepAliveCount(), Summary.KeepAlives);
    EXPECT_EQ(recording.Device.SerialNumber, "VT0000000001");
    ASSERT_EQ(recording.Features.size(), 3u);
    for (const Recording::Feature& feature : recording.Features) {
        std::uint8_t answer[SensorDisplayInfo::PacketSize] = {feature.ReportId};
        const int length = tracker->GetFeature(answer, sizeof answer);
        EXPECT_EQ(feature.Bytes, Bytes(answer, answer + std::max(length, 0)));
    }

    // The same script on a tracker of its own gives the report for every sample counter.
    VirtualTracker reference;
    Drive(reference);
    reference.Advance(5000);
    std::map<std::uint16_t, Bytes> sent;
    std::uint8_t buffer[96];
    DecodedReport decoded;
    for (int n; (n = reference.ReadInputReport(buffer, sizeof buffer)) > 0;)
        if (DecodeSensorReport(&decoded, buffer, n))
            sent[decoded.Report.Timestamp].assign(buffer, buffer + n);
    ASSERT_GT(recording.Inputs.size(), 100u);
    for (std::size_t i = 0; i < recording.Inputs.size(); ++i) {
        const Bytes& got = recording.Inputs[i].Bytes;
        ASSERT_TRUE(DecodeSensorReport(&decoded, got.data(), got.size())) << i;
        const std::uint16_t timestamp = decoded.Report.Timestamp;
        ASSERT_EQ(got, sent[timestamp]) << "report " << i;
        if (i > 0) {
            ASSERT_TRUE(DecodeSensorReport(&decoded, recording.Inputs[i - 1].Bytes.data(), 62));
            ASSERT_EQ(timestamp, decoded.Report.Timestamp + 2) << "none lost, in order: " << i;
        }
    }

    auto replay = std::make_shared<RecordedTracker>(recording);
    const std::string node = Testbed->AddDevice(replay);
    const int fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (const Recording::Feature& feature : recording.Features) {
        std::uint8_t answer[SensorDisplayInfo::PacketSize] = {feature.ReportId};
        const int length = ioctl(fd, HIDIOCGFEATURE(sizeof answer), answer);
        EXPECT_EQ(feature.Bytes, Bytes(answer, answer + std::max(length, 0)));
    }
    std::uint8_t keepAlive[] = {8, 0, 0, 0x10, 0x27};
    EXPECT_EQ(ioctl(fd, HIDIOCSFEATURE(sizeof keepAlive), keepAlive), 5);
    EXPECT_EQ(replay->GetKeepAliveCount(), 1u);
    const std::uint64_t halfMs = recording.Inputs.back().TimeUs / 2000;
    const auto firstHalf = std::count_if(recording.Inputs.begin(), recording.Inputs.end(),
                                         [&](const auto& in) { return in.TimeUs < halfMs * 1000; });
    EXPECT_EQ(replay->Advance(static_cast<unsigned>(halfMs)), static_cast<unsigned>(firstHalf));
    replay->Advance(static_cast<unsigned>(halfMs) + 2);
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
