// The HID layer on hidraw against software devices on a umockdev bus: enumeration with USB
// strings, feature reports, streaming through the device thread's poll, unplug and replug,
// and the nodes that cannot be opened (too long reports, held by another, denied).
#include "hmd/devices/linux_device_manager.h"
#include "hmd/devices/linux_hid_device.h"
#include "hmd/devices/system.h"
#include "hmd/tracking/sensor_reports.h"
#include "tests/hmd/devices/thread_test_support.h"
#include "tests/support/hid_testbed.h"

#include <fcntl.h>
#include <functional>
#include <linux/capability.h>
#include <mutex>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

using namespace Visor;
using visor_test::Eventually;

// The sanitizers read these when they start, before the environment's options. The umockdev
// preload comes ahead of GCC's ASan runtime, which would refuse to start; umockdev's own
// uninstrumented code races, and it frees on the test thread strings its worker thread copied
// with no synchronisation TSan can see. Set here so that every way of running the binary
// gets them.
extern "C" const char* __asan_default_options() {
    return "verify_asan_link_order=0";
}
extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libumockdev.so.0\n";
}

namespace {

using Bytes = std::vector<std::uint8_t>;

// Runs a function on the device thread and returns once it ran.
struct CallOnThread : ThreadCommandImpl<CallOnThread> {
    explicit CallOnThread(const std::function<void()>* f)
        : ThreadCommandImpl<CallOnThread>(true), F(f) {}
    void Execute() const override { (*F)(); }
    const std::function<void()>* F;
};

// Accepts the headset's ids only, as the device kinds' factories do.
struct HeadsetLister : HIDEnumerateVisitor {
    bool MatchIds(std::uint16_t vendorId, std::uint16_t productId) override {
        return vendorId == 0x2833 || (vendorId == 0x0483 && productId == 0x5750);
    }
    void Visit(HIDDevice& device, const HidDeviceRecord& record) override {
        Records.push_back(record);
        // The temporary device answers feature requests during the visit.
        std::uint8_t config[SensorConfigReport::PacketSize] = {SensorReport_Config};
        ConfigsRead += device.GetFeature(config, sizeof config);
    }
    std::vector<HidDeviceRecord> Records;
    int ConfigsRead = 0;
};

struct ReportRecorder : HIDDevice::HIDHandler {
    void TakeInputReport(const std::uint8_t* data, std::uint32_t length) override {
        std::lock_guard<std::mutex> lock(M);
        Reports.emplace_back(data, data + length);
    }
    void OnDeviceStatus(DeviceStatusNotice notice) override {
        std::lock_guard<std::mutex> lock(M);
        Notices.push_back(notice);
    }
    std::size_t Count() {
        std::lock_guard<std::mutex> lock(M);
        return Reports.size();
    }
    std::mutex M;
    std::vector<Bytes> Reports;
    std::vector<DeviceStatusNotice> Notices;
};

// A vendor device with one unnumbered input report of inputLength bytes.
std::shared_ptr<VirtualHidDevice> MakeVendorDevice(std::uint8_t inputLength) {
    VirtualHidDevice::Identity identity;
    identity.VendorId = 0x2833;
    identity.ProductId = 0x0001;
    return std::make_shared<VirtualHidDevice>(
        identity, Bytes{0x06, 0x00, 0xFF, 0x09, 0x01,        0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF,
                        0x00, 0x75, 0x08, 0x95, inputLength, 0x09, 0x01, 0x81, 0x02, 0xC0});
}

class HidDeviceTest : public Visor::test::HidTestbedTest {
protected:
    void SetUp() override {
        HidTestbedTest::SetUp();
        if (IsSkipped())
            return;
        System::Init();
        Log::SetOutputSink(&HidDeviceTest::Capture, this);
        Manager = static_cast<Linux::DeviceManager*>(DeviceManager::Create());
        ASSERT_TRUE(Manager);
        Hid = Manager->GetHIDDeviceManager();
        ASSERT_TRUE(Hid);
    }
    void TearDown() override {
        // Every descriptor on the bus's nodes closes before the bus goes.
        if (Manager) {
            Close();
            Manager->Release();
            Thread::FinishAllThreads();
            Log::SetOutputSink(nullptr, nullptr);
            System::Destroy();
        }
        HidTestbedTest::TearDown();
    }

    void OnThread(std::function<void()> f) {
        ASSERT_TRUE(Manager->QueueOf()->PushCommand(CallOnThread(&f)));
    }
    Linux::HIDDevice* Open(const std::string& path) {
        OnThread([&] { Device = static_cast<Linux::HIDDevice*>(Hid->Open(path.c_str())); });
        if (Device)
            OnThread([&] { Device->SetHandler(&Recorder); });
        return Device;
    }
    void Close() {
        if (Device)
            OnThread([&] { Device->Release(); });
        Device = nullptr;
    }
    std::vector<HidDeviceRecord> Enumerate() {
        HeadsetLister lister;
        OnThread([&] { EXPECT_TRUE(Hid->Enumerate(&lister)); });
        ConfigsRead = lister.ConfigsRead;
        return lister.Records;
    }
    bool Logged(const std::string& text) {
        std::lock_guard<std::mutex> lock(LogLock);
        return LogText.find(text) != std::string::npos;
    }
    int CountLogged(const std::string& text) {
        std::lock_guard<std::mutex> lock(LogLock);
        int n = 0;
        for (auto at = LogText.find(text); at != std::string::npos; at = LogText.find(text, at + 1))
            ++n;
        return n;
    }
    static void Capture(void* user, LogMessageType, const char* text) {
        auto* self = static_cast<HidDeviceTest*>(user);
        std::lock_guard<std::mutex> lock(self->LogLock);
        self->LogText += text;
    }

    Linux::DeviceManager* Manager = nullptr;
    Linux::HIDDeviceManager* Hid = nullptr;
    Linux::HIDDevice* Device = nullptr;
    ReportRecorder Recorder;
    int ConfigsRead = 0;
    std::mutex LogLock;
    std::string LogText;
};

TEST(HidDeviceString, KeepsTextSafeToPrintAndCutsWholeCharacters) {
    std::string longText(300, 'x');
    std::string longWide;
    for (int i = 0; i < 200; ++i)
        longWide += "\xC3\xA9"; // two-byte character
    struct Row {
        const char* In;
        std::string Out;
    } rows[] = {
        {nullptr, ""},
        {"Visor One", "Visor One"},
        {"na\xC3\xAFve \xE2\x82\xAC", "na\xC3\xAFve \xE2\x82\xAC"},
        {"bad\nline\x1B[2J", "bad?line?[2J"},
        {"\xFFlone\x80 \xC3", "?lone? ?"},
        {"\xE0\x80\xAF over \xED\xA0\x80", "??? over ???"}, // overlong form, surrogate
        {longText.c_str(), std::string(MaxHidStringChars, 'x')},
    };
    for (const Row& row : rows)
        EXPECT_EQ(std::string(MakeHidDeviceString(row.In).ToCStr()), row.Out)
            << (row.In ? row.In : "null");
    std::string cut = MakeHidDeviceString(longWide.c_str()).ToCStr();
    EXPECT_EQ(cut, longWide.substr(0, MaxHidStringChars * 2));
}

TEST_F(HidDeviceTest, EnumerationListsHeadsetDevicesWithTheirStringsAndSkipsOthers) {
    auto keyboard = Visor::test::MakeKeyboard();
    VirtualHidDevice::Identity alt = VirtualTracker::DefaultIdentity();
    alt.VendorId = VirtualTracker::AltVendorId;
    alt.ProductId = VirtualTracker::AltProductId;
    alt.VersionNumber = 0x0213;
    alt.SerialNumber.clear();
    alt.Product = "Tracker\t" + std::string(250, 'p');
    ASSERT_EQ(Testbed->AddDevice(keyboard), "/dev/hidraw0");
    ASSERT_EQ(Testbed->AddDevice(std::make_shared<VirtualTracker>()), "/dev/hidraw1");
    ASSERT_EQ(Testbed->AddDevice(MakeVirtualLatencyTester()), "/dev/hidraw2");
    ASSERT_EQ(Testbed->AddDevice(std::make_shared<VirtualTracker>(alt)), "/dev/hidraw3");

    struct Row {
        const char* Path;
        std::uint16_t Vendor, Product, Version;
        const char *Manufacturer, *ProductName, *Serial;
    } rows[] = {
        {"/dev/hidraw1", 0x2833, 0x0001, 0x0100, "Visor VR", "Visor One Tracker", "VT0000000001"},
        {"/dev/hidraw2", 0x2833, 0x0101, 0x0100, "Visor VR", "Visor Latency Tester",
         "VL0000000001"},
        {"/dev/hidraw3", 0x0483, 0x5750, 0x0213, "Visor VR", nullptr, ""},
    };
    std::vector<HidDeviceRecord> records = Enumerate();
    ASSERT_EQ(records.size(), std::size(rows));
    for (std::size_t i = 0; i < records.size(); ++i) {
        const HidDeviceRecord& r = records[i];
        const Row& row = rows[i];
        SCOPED_TRACE(row.Path);
        EXPECT_EQ(std::string(r.Path.ToCStr()), row.Path);
        EXPECT_EQ(r.VendorId, row.Vendor);
        EXPECT_EQ(r.ProductId, row.Product);
        EXPECT_EQ(r.VersionNumber, row.Version);
        EXPECT_EQ(r.UsagePage, 0xFF00);
        EXPECT_EQ(r.Usage, 1);
        EXPECT_EQ(std::string(r.Manufacturer.ToCStr()), row.Manufacturer);
        EXPECT_EQ(std::string(r.SerialNumber.ToCStr()), row.Serial);
        if (row.ProductName) {
            EXPECT_EQ(std::string(r.Product.ToCStr()), row.ProductName);
        }
    }
    EXPECT_EQ(std::string(records[2].Product.ToCStr()),
              ("Tracker?" + std::string(250, 'p')).substr(0, MaxHidStringChars));
    EXPECT_EQ(ConfigsRead, 2) << "both trackers answer report 2; the latency tester has none";
}

TEST_F(HidDeviceTest, FeatureReportsReachTheDeviceAndFailOnceItIsGone) {
    auto tracker = std::make_shared<VirtualTracker>();
    std::string path = Testbed->AddDevice(tracker);
    ASSERT_TRUE(Open(path));
    EXPECT_TRUE(Logged("Visor::Linux::HIDDevice - Opened '/dev/hidraw0'\n                    "
                       "Manufacturer:'Visor VR'  Product:'Visor One Tracker'  "
                       "Serial#:'VT0000000001'\n"));

    SensorConfigReport config;
    config.SetReportRate(250);
    config.KeepAliveIntervalMs = 3000;
    std::uint8_t out[SensorConfigReport::PacketSize];
    ASSERT_TRUE(config.Pack(out, sizeof out));
    std::uint8_t in[SensorConfigReport::PacketSize] = {SensorReport_Config};
    bool set = false, got = false, tooLong = true;
    OnThread([&] {
        set = Device->SetFeature(out, sizeof out);
        got = Device->GetFeature(in, sizeof in);
        static std::uint8_t huge[1 << 14] = {SensorReport_Config};
        tooLong = Device->GetFeature(huge, sizeof huge);
    });
    EXPECT_TRUE(set && got);
    EXPECT_FALSE(tooLong) << "a length the ioctl number cannot carry";
    EXPECT_EQ(tracker->GetConfig().PacketInterval, config.PacketInterval);
    SensorConfigReport back;
    ASSERT_TRUE(back.Unpack(in, sizeof in));
    EXPECT_EQ(back.KeepAliveIntervalMs, 3000);

    ASSERT_TRUE(Testbed->Unplug(path));
    OnThread([&] {
        Device->OnIoEvent(-1); // a stray wake for another descriptor reads nothing
        set = Device->SetFeature(out, sizeof out);
    });
    EXPECT_FALSE(set) << "the device answers ENODEV";
}

TEST_F(HidDeviceTest, ReportsStreamUntilUnplugAndResumeWhenTheSamePathReturns) {
    auto tracker = std::make_shared<VirtualTracker>();
    std::string path = Testbed->AddDevice(tracker);
    ASSERT_TRUE(Open(path));
    auto report = [](std::uint8_t fill) {
        Bytes r(62, fill);
        r[0] = SensorReport_Sensors;
        return r;
    };
    auto queue = [&](std::uint8_t first, std::uint8_t count) {
        for (std::uint8_t i = 0; i < count; ++i)
            ASSERT_TRUE(tracker->QueueInputReport(report(first + i).data(), 62));
    };
    queue(10, 200); // more than one wake takes
    ASSERT_TRUE(Eventually([&] { return Recorder.Count() == 200; }));
    for (std::size_t i = 0; i < 200; ++i)
        ASSERT_EQ(Recorder.Reports[i], report(std::uint8_t(10 + i))) << "in order, whole: " << i;

    // The bus's removal deletes the node file; the same FIFO goes back after replug, so that
    // the bus's wake-up tokens still reach the reader.
    std::string node = Testbed->GetRootDir() + path, kept = node + ".kept";
    ASSERT_EQ(link(node.c_str(), kept.c_str()), 0);
    ASSERT_TRUE(Testbed->Unplug(path));
    ASSERT_TRUE(Eventually([&] { return Logged("Lost connection to '/dev/hidraw0'\n"); }));
    bool handled = true, error = true;
    OnThread([&] {
        EXPECT_FALSE(Device->IsOpen());
        handled = Device->OnDeviceStatus(DeviceStatus_Added, "/dev/hidraw1", &error);
    });
    EXPECT_FALSE(handled) << "another path's notice is left to the next notifier";

    ASSERT_TRUE(Testbed->Replug(path));
    if (access(node.c_str(), F_OK) != 0) {
        ASSERT_EQ(link(kept.c_str(), node.c_str()), 0);
    }
    unlink(kept.c_str());
    bool accepted = false;
    OnThread([&] { accepted = Hid->GetThread()->TakeMessage(DeviceStatus_Added, path.c_str()); });
    EXPECT_TRUE(accepted);
    EXPECT_TRUE(Logged("Visor::Linux::HIDDevice - Reopened device '/dev/hidraw0'\n"));
    queue(1, 3);
    EXPECT_TRUE(Eventually([&] { return Recorder.Count() == 203; }));
    std::lock_guard<std::mutex> lock(Recorder.M);
    EXPECT_EQ(Recorder.Notices, std::vector<DeviceStatusNotice>{DeviceStatus_Added});
}

TEST_F(HidDeviceTest, NodesThatCannotBeUsedAreNotOpened) {
    struct Row {
        const char* Case;
        std::shared_ptr<VirtualHidDevice> Device;
        bool Opens;
        const char* Logged;
    } rows[] = {
        {"96-byte input", MakeVendorDevice(96), true, "Opened"},
        {"97-byte input", MakeVendorDevice(97), false,
         "Failed to open HIDDevice: '/dev/hidraw1' (its input reports are longer than 96 "
         "bytes)\n"},
        {"unterminated descriptor",
         std::make_shared<VirtualHidDevice>(VirtualHidDevice::Identity{},
                                            Bytes{0x06, 0x00, 0xFF, 0xA1, 0x01}),
         false, "Failed to open HIDDevice: '/dev/hidraw2' (its report descriptor cannot be read)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Case);
        std::string path = Testbed->AddDevice(row.Device);
        EXPECT_EQ(Open(path) != nullptr, row.Opens);
        EXPECT_TRUE(Logged(row.Logged));
        Close();
    }
}

TEST_F(HidDeviceTest, NodeHeldByAnotherOpenGetsItsOwnLine) {
    std::string path = Testbed->AddDevice(std::make_shared<VirtualTracker>());
    int other = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_FALSE(Open(path));
    EXPECT_TRUE(Logged("Error: Visor::Linux::HIDDevice - Cannot open '/dev/hidraw0': another "
                       "program holds it"));
    close(other);
    EXPECT_TRUE(Open(path)) << "free again";
}

// Root opens any node, so the device thread gives up its right to ignore file modes.
TEST_F(HidDeviceTest, DeniedNodeIsReportedOnceWithItsFix) {
    std::string path = Testbed->AddDevice(std::make_shared<VirtualTracker>());
    ASSERT_EQ(chmod((Testbed->GetRootDir() + path).c_str(), 0), 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved[2] = {}, dropped[2] = {};
    std::size_t listed = 1;
    OnThread([&] {
        ASSERT_EQ(syscall(SYS_capget, &header, saved), 0);
        dropped[0] = saved[0];
        dropped[1] = saved[1];
        dropped[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        ASSERT_EQ(syscall(SYS_capset, &header, dropped), 0);
        HeadsetLister lister;
        Hid->Enumerate(&lister);
        Hid->Enumerate(&lister);
        listed = lister.Records.size();
        syscall(SYS_capset, &header, saved);
    });
    EXPECT_EQ(listed, 0u);
    EXPECT_EQ(CountLogged("Error: Visor::Linux::HIDDevice - Cannot open '/dev/hidraw0': "
                          "permission denied. Install the udev rule "
                          "hmd/devices/udev/70-visor-headset.rules"),
              1);
}

} // namespace
