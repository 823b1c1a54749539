// The HID layer on hidraw against software devices on a umockdev bus: enumeration with USB
// strings, feature reports, streaming through the device thread's poll, unplug and replug,
// and the nodes that cannot be opened (too long reports, held by another, denied).
#include "hmd/devices/linux_device_manager.h"
#include "hmd/devices/system.h"
#include "hmd/tracking/sensor_reports.h"
#include "tests/hmd/devices/thread_test_support.h"
#include "tests/support/hid_testbed.h"

#include <cstdio>
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

namespace {

using Bytes = std::vector<std::uint8_t>;

struct CallOnThread : ThreadCommandImpl<CallOnThread> {
    explicit CallOnThread(const std::function<void()>* f)
        : ThreadCommandImpl<CallOnThread>(true), F(f) {}
    void Execute() const override { (*F)(); }
    const std::function<void()>* F;
};

// One line per record, to compare whole records at once.
std::string Describe(const HidDeviceRecord& r) {
    char ids[48];
    std::snprintf(ids, sizeof ids, " %04x:%04x v%04x %04x/%x ", r.VendorId, r.ProductId,
                  r.VersionNumber, r.UsagePage, r.Usage);
    return r.Path.ToCStr() + std::string(ids) + r.Manufacturer.ToCStr() + "|" + r.Product.ToCStr() +
           "|" + r.SerialNumber.ToCStr();
}

// Accepts the headset's ids, as the device kinds' factories do.
struct HeadsetLister : HIDEnumerateVisitor {
    bool MatchIds(std::uint16_t vendorId, std::uint16_t productId) override {
        return vendorId == 0x2833 || (vendorId == 0x0483 && productId == 0x5750);
    }
    void Visit(HIDDevice& device, const HidDeviceRecord& record) override {
        Listed.push_back(Describe(record));
        std::uint8_t config[SensorConfigReport::PacketSize] = {SensorReport_Config};
        ConfigsRead += device.GetFeature(config, sizeof config);
    }
    std::vector<std::string> Listed;
    int ConfigsRead = 0;
};

struct ReportRecorder : HIDDevice::HIDHandler {
    void TakeInputReport(const std::uint8_t* data, std::uint32_t length) override {
        std::lock_guard<std::mutex> lock(M);
        Reports.emplace_back(data, data + length);
    }
    std::size_t Count() {
        std::lock_guard<std::mutex> lock(M);
        return Reports.size();
    }
    std::mutex M;
    std::vector<Bytes> Reports;
};

class HidDeviceTest : public Visor::test::HidTestbedTest {
protected:
    void SetUp() override {
        HidTestbedTest::SetUp();
        if (IsSkipped())
            return;
        System::Init();
        Log::SetOutputSink(&HidDeviceTest::Capture, this);
        Manager = Linux::DeviceManager::CreateBare();
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
        OnThread([&] {
            if ((Device = static_cast<Linux::HIDDevice*>(Hid->Open(path.c_str()))))
                Device->SetHandler(&Recorder);
        });
        return Device;
    }
    void Close() {
        if (Device)
            OnThread([&] { Device->Release(); });
        Device = nullptr;
    }
    int Logged(const std::string& text) {
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
    std::mutex LogLock;
    std::string LogText;
};

TEST_F(HidDeviceTest, EnumerationListsHeadsetDevicesWithTheirStringsAndSkipsOthers) {
    VirtualHidDevice::Identity alt = VirtualTracker::DefaultIdentity();
    alt.VendorId = VirtualTracker::AltVendorId;
    alt.ProductId = VirtualTracker::AltProductId;
    alt.VersionNumber = 0x0213;
    alt.SerialNumber.clear();
    std::string wide;
    for (int i = 0; i < 200; ++i)
        wide += "\xC3\xA9"; // two bytes, one character
    // A device string stays printable and is cut after whole characters.
    alt.Product = "Trac\n\xFF\xED\xA0\x80" + wide;
    Testbed->AddDevice(Visor::test::MakeKeyboard());
    Testbed->AddDevice(std::make_shared<VirtualTracker>());
    Testbed->AddDevice(MakeVirtualLatencyTester());
    Testbed->AddDevice(std::make_shared<VirtualTracker>(alt));

    HeadsetLister lister;
    HidDeviceRecord read;
    bool readable = false, missing = true;
    OnThread([&] {
        EXPECT_TRUE(Hid->Enumerate(&lister));
        readable = Hid->ReadHidRecord("/dev/hidraw3", &read);
        missing = Hid->ReadHidRecord("/dev/hidraw9", &read);
    });
    std::vector<std::string> expected = {
        "/dev/hidraw1 2833:0001 v0100 ff00/1 Visor VR|Visor One Tracker|VT0000000001",
        "/dev/hidraw2 2833:0101 v0100 ff00/1 Visor VR|Visor Latency Tester|VL0000000001",
        "/dev/hidraw3 0483:5750 v0213 ff00/1 Visor VR|Trac?????" +
            wide.substr(0, (MaxHidStringChars - 9) * 2) + "|",
    };
    EXPECT_EQ(lister.Listed, expected);
    EXPECT_EQ(lister.ConfigsRead, 2) << "both trackers answer report 2, the latency tester not";
    EXPECT_TRUE(readable && !missing);
    EXPECT_EQ(Describe(read), expected[2]);
}

TEST_F(HidDeviceTest, FeatureReportsReachTheDeviceAndFailOnceItIsGone) {
    auto tracker = std::make_shared<VirtualTracker>();
    std::string path = Testbed->AddDevice(tracker);
    ASSERT_TRUE(Open(path));
    EXPECT_EQ(Logged("Visor::Linux::HIDDevice - Opened '/dev/hidraw0'\n                    "
                     "Manufacturer:'Visor VR'  Product:'Visor One Tracker'  "
                     "Serial#:'VT0000000001'\n"),
              1);
    SensorConfigReport config, back;
    config.SetReportRate(250);
    config.KeepAliveIntervalMs = 3000;
    std::uint8_t out[SensorConfigReport::PacketSize];
    std::uint8_t in[SensorConfigReport::PacketSize] = {SensorReport_Config};
    ASSERT_TRUE(config.Pack(out, sizeof out));
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
    EXPECT_TRUE(back.Unpack(in, sizeof in) && back.KeepAliveIntervalMs == 3000);

    ASSERT_TRUE(Testbed->Unplug(path));
    OnThread([&] { set = Device->SetFeature(out, sizeof out); });
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

    ASSERT_TRUE(Testbed->Unplug(path));
    ASSERT_TRUE(Eventually([&] { return Logged("Lost connection to '/dev/hidraw0'\n") == 1; }));
    bool other = true, accepted = false;
    OnThread([&] {
        EXPECT_FALSE(Device->IsOpen());
        other = Device->OnDeviceStatus(DeviceStatus_Added, "/dev/hidraw1", &accepted);
    });
    EXPECT_FALSE(other) << "another path's notice is left to the next notifier";
    ASSERT_TRUE(Testbed->Replug(path));
    OnThread([&] { accepted = Hid->GetThread()->TakeMessage(DeviceStatus_Added, path.c_str()); });
    EXPECT_TRUE(accepted);
    EXPECT_EQ(Logged("Visor::Linux::HIDDevice - Reopened device '/dev/hidraw0'\n"), 1);
    queue(1, 3);
    EXPECT_TRUE(Eventually([&] { return Recorder.Count() == 203; }));
}

TEST_F(HidDeviceTest, NodesThatCannotBeUsedAreNotOpened) {
    // A vendor device with one unnumbered input report of the given length.
    auto vendor = [](std::uint8_t inputLength) {
        return std::make_shared<VirtualHidDevice>(VirtualHidDevice::Identity{},
                                                  Bytes{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,
                                                        0x75, 0x08, 0x95, inputLength, 0x09, 0x01,
                                                        0x81, 0x02, 0xC0});
    };
    struct Row {
        std::shared_ptr<VirtualHidDevice> Device;
        bool HeldElsewhere, Opens;
        const char* Logged;
    } rows[] = {
        {vendor(96), false, true, "Opened '/dev/hidraw0'"},
        {vendor(97), false, false,
         "Failed to open HIDDevice: '/dev/hidraw1' (its input reports are longer than 96 "
         "bytes)\n"},
        {std::make_shared<VirtualHidDevice>(VirtualHidDevice::Identity{},
                                            Bytes{0x06, 0x00, 0xFF, 0xA1, 0x01}),
         false, false,
         "Failed to open HIDDevice: '/dev/hidraw2' (its report descriptor cannot be read)\n"},
        {std::make_shared<VirtualTracker>(), true, false,
         "Error: Visor::Linux::HIDDevice - Cannot open '/dev/hidraw3': another program holds "
         "it"},
    };
    for (const Row& row : rows) {
        std::string path = Testbed->AddDevice(row.Device);
        int holder = row.HeldElsewhere ? open(path.c_str(), O_RDWR | O_NONBLOCK) : -1;
        if (holder >= 0) {
            EXPECT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
        }
        EXPECT_EQ(Open(path) != nullptr, row.Opens) << path;
        EXPECT_EQ(Logged(row.Logged), 1) << path;
        Close();
        if (holder >= 0)
            close(holder);
    }
}

// Root opens any node, so the device thread gives up its right to ignore file modes.
TEST_F(HidDeviceTest, DeniedNodeIsReportedOnceWithItsFix) {
    std::string path = Testbed->AddDevice(std::make_shared<VirtualTracker>());
    ASSERT_EQ(chmod((Testbed->GetRootDir() + path).c_str(), 0), 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved[2] = {}, dropped[2] = {};
    HeadsetLister lister;
    OnThread([&] {
        ASSERT_EQ(syscall(SYS_capget, &header, saved), 0);
        dropped[0] = saved[0];
        dropped[1] = saved[1];
        dropped[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        ASSERT_EQ(syscall(SYS_capset, &header, dropped), 0);
        Hid->Enumerate(&lister);
        Hid->Enumerate(&lister);
        syscall(SYS_capset, &header, saved);
    });
    EXPECT_TRUE(lister.Listed.empty());
    EXPECT_EQ(Logged("Error: Visor::Linux::HIDDevice - Cannot open '/dev/hidraw0': permission "
                     "denied. Install the udev rule hmd/devices/udev/70-visor-headset.rules"),
              1);
}

} // namespace
