// visor_probe: its command line, and its listing and stream run in-process on the virtual bus.
#include "hmd/devices/system.h"
#include "tests/support/hid_testbed.h"
#include "tools/probe/probe.h"
#include "tools/probe/virtual_probe.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <linux/capability.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace Visor::test {
namespace {

TEST(ProbeArguments, AreParsedOrRefusedWithAReason) {
    const std::pair<std::vector<const char*>, std::string> cases[] = {
        {{}, "list rate 10 seconds 0 virtual 0 ''"},
        {{"--stream", "--rate", "50", "--seconds=2.5"}, "stream rate 50 seconds 2.5 virtual 0 ''"},
        {{"--virtual", "--stream", "--rate=1000"}, "stream rate 1000 seconds 0 virtual 1 ''"},
        {{"--virtual=turn.txt"}, "list rate 10 seconds 0 virtual 1 'turn.txt'"},
        {{"-h"}, "help"},
        {{"--rate", "5"}, "--rate only applies with --stream"},
        {{"--seconds", "1"}, "--seconds only applies with --stream"},
        {{"--stream", "--rate", "0"}, "--rate needs lines per second above 0, at most 1000"},
        {{"--stream", "--rate", "2000"}, "--rate needs lines per second"},
        {{"--stream", "--rate"}, "--rate needs lines per second"},
        {{"--stream", "--seconds", "1s"}, "--seconds needs a number of seconds"},
        {{"--stream", "--seconds=-1"}, "--seconds needs a number of seconds"},
        {{"--virtual="}, "--virtual= needs a motion script file"},
        {{"--stream=yes"}, "--stream takes no value"},
        {{"--fast"}, "unknown option '--fast'"},
        {{"/dev/hidraw0"}, "unexpected argument '/dev/hidraw0'"},
    };
    for (const auto& [args, expected] : cases) {
        std::vector<const char*> argv = {"visor_probe"};
        argv.insert(argv.end(), args.begin(), args.end());
        ProbeOptions o;
        std::string got;
        if (ParseProbeOptions(static_cast<int>(argv.size()), argv.data(), &o, &got)) {
            got = o.Help ? "help"
                         : std::string(o.Stream ? "stream" : "list") + " rate " +
                               ::testing::PrintToString(o.RateHz) + " seconds " +
                               ::testing::PrintToString(o.Seconds) + " virtual " +
                               std::to_string(o.Virtual) + " '" + o.Script + "'";
        }
        EXPECT_EQ(got.rfind(expected, 0), 0u) << got;
    }
}

class ProbeTool : public HidTestbedTest {
protected:
    void SetUp() override {
        HidTestbedTest::SetUp();
        if (!IsSkipped())
            System::Init();
    }
    void TearDown() override {
        Headset.Stop();
        if (System::IsInitialized())
            System::Destroy();
        HidTestbedTest::TearDown();
    }
    // The virtual headset after a keyboard: keyboard hidraw0, tracker hidraw1, tester hidraw2.
    void AddHeadset(const char* script) {
        Testbed->AddDevice(MakeKeyboard());
        MotionScript motion;
        ASSERT_TRUE(motion.Parse(script, nullptr));
        std::string error;
        ASSERT_TRUE(Headset.Start(Testbed.get(), motion, &error)) << error;
    }
    // Runs f with an in-memory output file and returns what it wrote.
    template <class F> std::string Capture(F f) {
        char* text = nullptr;
        std::size_t size = 0;
        std::FILE* out = open_memstream(&text, &size);
        f(out);
        std::fclose(out);
        std::string captured(text, size);
        std::free(text);
        return captured;
    }
    VirtualProbeHeadset Headset;
};

TEST_F(ProbeTool, ListsTheHeadsetFromTrackerDataAndNotTheKeyboard) {
    ProbeStatus status = Probe_Failed;
    std::string out = Capture([&](std::FILE* f) { status = ProbeDevices(f); });
    EXPECT_EQ(status, Probe_NothingFound);
    EXPECT_NE(out.find("No headset device was found. Check that:\n"), std::string::npos) << out;

    AddHeadset(DefaultProbeScript());
    out = Capture([&](std::FILE* f) { status = ProbeDevices(f); });
    EXPECT_EQ(status, Probe_Found);
    for (const char* expected :
         {"Headset display: Visor One\n  Product:         Visor One\n",
          "  Resolution:      1280 x 800\n",
          "Tracker: /dev/hidraw1\n  Product:         Visor One Tracker\n"
          "  Manufacturer:    Visor VR\n  Vendor id:       0x2833\n"
          "  Product id:      0x0001\n"
          "  Serial number:   VT0000000001\n  Max ranges:      accelerometer ",
          "Latency tester: /dev/hidraw2\n", "  Opens:           yes\n",
          "Found 1 headset display, 1 tracker, 1 latency tester.\n"})
        EXPECT_NE(out.find(expected), std::string::npos) << expected << "\n---\n" << out;
    EXPECT_EQ(out.find("hidraw0"), std::string::npos) << out;
}

// Root opens any node, so denial drops the right to ignore file modes while the probe's device
// thread starts (it inherits this thread's capabilities).
TEST_F(ProbeTool, SaysWhyEachUnopenableNodeCannotBeOpened) {
    const struct Row {
        bool Deny;
        ProbeStatus Status;
        const char* Expected;
    } rows[] = {
        {true, Probe_Found, // the latency tester is still listed
         "Headset node that cannot be read: /dev/hidraw1\n  Reason:          permission denied: "
         "this user may not open the node. Install the udev rule "
         "hmd/devices/udev/70-visor-headset.rules and replug the headset (README.md, \"Headset "
         "access\").\n  Library said:    Error: Visor::Linux::HIDDevice - Cannot open "
         "'/dev/hidraw1': permission denied."},
        {false, Probe_Found,
         "  Opens:           no\n  Reason:          busy: another program holds it"},
    };
    AddHeadset("still 1s");
    const std::string trackerNode = Testbed->GetRootDir() + Headset.GetTrackerNode();
    for (const Row& row : rows) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct saved[2] = {}, dropped[2] = {};
        int holder = -1;
        if (row.Deny) {
            ASSERT_EQ(chmod(trackerNode.c_str(), 0), 0);
            ASSERT_EQ(syscall(SYS_capget, &header, saved), 0);
            std::copy(saved, saved + 2, dropped);
            dropped[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
            ASSERT_EQ(syscall(SYS_capset, &header, dropped), 0);
        } else {
            holder = open(Headset.GetTrackerNode().c_str(), O_RDWR | O_NONBLOCK);
            ASSERT_GE(holder, 0);
            ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
        }
        ProbeStatus status = Probe_Failed;
        const std::string out = Capture([&](std::FILE* f) { status = ProbeDevices(f); });
        if (row.Deny) {
            syscall(SYS_capset, &header, saved);
            chmod(trackerNode.c_str(), 0666);
        }
        if (holder >= 0)
            close(holder);
        EXPECT_EQ(status, row.Status) << out;
        EXPECT_NE(out.find(row.Expected), std::string::npos) << out;
        EXPECT_NE(out.find("cannot be opened by this user now"), std::string::npos) << out;
    }
}

TEST_F(ProbeTool, StreamsTheFusedTurnAtTheTrackersRate) {
    AddHeadset("yaw 60s 40deg/s");
    ProbeOptions options;
    options.Stream = true;
    options.Seconds = 0.5;
    StreamSummary summary;
    ProbeStatus status = Probe_Failed;
    const std::string out =
        Capture([&](std::FILE* f) { status = StreamOrientation(options, nullptr, f, &summary); });
    EXPECT_EQ(status, Probe_Found) << out;
    EXPECT_EQ(summary.TrackerRate, 500u) << out;
    EXPECT_GT(summary.FrameRate, 100) << out;
    EXPECT_GT(std::abs(summary.LastYawDeg - summary.FirstYawDeg), 5) << out;
    EXPECT_NE(out.find("opened through the headset display"), std::string::npos) << out;
    EXPECT_NE(out.find("Streamed 0.5 s: "), std::string::npos) << out;
}

} // namespace
} // namespace Visor::test
