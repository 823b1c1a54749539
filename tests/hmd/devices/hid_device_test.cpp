// The HID layer on hidraw against software devices on a umockdev bus: enumeration with USB
// strings, feature reports, streaming through the device thread's poll, unplug and replug,
// and the nodes that cannot be opened (too long reports, held by another, denied).
#include "hmd/devices/linux_device_manager.h"
#include "hmd/devices/system.h"
#include "hmd/tracking/sensor_reports.h"
#include "tests/hmd/devices/thread_test_support.h"
#include "tests/support/hid_testbed.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <linux/capability.h>
#include <mutex>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace Visor;
using visor_test::Eventually;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Runs *f on the device thread; without wait the pusher goes on (to hold the thread, say).
struct CallOnThread : ThreadCommandImpl<CallOnThread> {
    explicit CallOnThread(const std::function<void()>* f, bool wait = true)
        : ThreadCommandImpl<CallOnThread>(wait), F(f) {}
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
    void OnDeviceStatus(DeviceStatusNotice notice) override {
        ++(notice == DeviceStatus_Added ? Arrivals : Removals);
    }
    std::atomic<int> Arrivals{0}, Removals{0};
    std::size_t Count() {
        std::lock_guard<std::mutex> lock(M);
        return Reports.size();
    }
    std::mutex M;
    std::vector<Bytes> Reports;
};

// Counts what the manager asks of it; claims an arrival from its ClaimOn-th offer (0: never).
struct CountingFactory : DeviceFactory {
    void EnumerateDevices(EnumerateVisitor&) override { ++Scans; }
    bool ClaimHidDevice(DeviceManager*, const HidDeviceRecord&) override {
        int n = ++Offers;
        return ClaimOn > 0 && n >= ClaimOn;
    }
    std::atomic<int> Offers{0}, Scans{0}, ClaimOn{0};
};

class HidDeviceTest : public Visor::test::HidTestbedTest {
protected:
    void SetUp() override {
        HidTestbedTest::SetUp();
        if (IsSkipped())
            return;
        System::Init();
        Log::SetOutputSink(&HidDeviceTest::Capture, this);
        Manager = Linux::DeviceManager::CreateBare(RetryMs);
        ASSERT_TRUE(Manager);
        Hid = Manager->GetHIDDeviceManager();
        ASSERT_TRUE(Hid);
        Status = Manager->GetDeviceStatus();
        ASSERT_TRUE(Status) << "the udev monitor opens on the testbed";
        Manager->RegisterFactory(&Factory);
    }
    void TearDown() override {
        // Every descriptor on the bus's nodes closes before the bus goes.
        if (Hid) {
            if (Manager)
                Close(), Manager->Release();
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

    static constexpr std::uint32_t RetryMs = 20;
    CountingFactory Factory; // outlives the manager
    Event Gate;              // Hold keeps the device thread until it opens
    std::function<void()> Hold = [this] { Gate.Wait(); };
    Linux::DeviceManager* Manager = nullptr;
    Linux::HIDDeviceManager* Hid = nullptr;
    Linux::DeviceStatus* Status = nullptr;
    Linux::HIDDevice* Device = nullptr;
    ReportRecorder Recorder;
    std::mutex LogLock;
    std::string LogText;
};

// A device string stays printable and is cut after whole characters. A denied node is said
// once, with its fix: root opens any node, so the device thread gives up that right here.
TEST_F(HidDeviceTest, EnumerationListsHeadsetDevicesWithTheirStringsAndSkipsOthers) {
    VirtualHidDevice::Identity alt = VirtualTracker::DefaultIdentity();
    alt.VendorId = VirtualTracker::AltVendorId;
    alt.ProductId = VirtualTracker::AltProductId;
    alt.VersionNumber = 0x0213;
    alt.SerialNumber.clear();
    std::string wide;
    for (int i = 0; i < 200; ++i)
        wide += "\xC3\xA9"; // two bytes, one character
    alt.Product = "Trac\n\xFF\xED\xA0\x80" + wide;
    Testbed->AddDevice(Visor::test::MakeKeyboard());
    Testbed->AddDevice(std::make_shared<VirtualTracker>());
    Testbed->AddDevice(MakeVirtualLatencyTester());
    Testbed->AddDevice(std::make_shared<VirtualTracker>(alt));
    std::string denied = Testbed->AddDevice(std::make_shared<VirtualTracker>());
    ASSERT_EQ(chmod((Testbed->GetRootDir() + denied).c_str(), 0), 0);

    HeadsetLister lister, again;
    HidDeviceRecord read;
    bool readable = false, missing = true;
    OnThread([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct saved[2] = {}, dropped[2] = {};
        ASSERT_EQ(syscall(SYS_capget, &header, saved), 0);
        std::copy(saved, saved + 2, dropped);
        dropped[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        ASSERT_EQ(syscall(SYS_capset, &header, dropped), 0);
        EXPECT_TRUE(Hid->Enumerate(&lister) && Hid->Enumerate(&again));
        syscall(SYS_capset, &header, saved);
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
    EXPECT_EQ(Logged("Error: Visor::Linux::HIDDevice - Cannot open '/dev/hidraw4': permission "
                     "denied. Install the udev rule hmd/devices/udev/70-visor-headset.rules"),
              1);
}

// Feature reports reach the device, input reports stream whole and in order until an unplug
// (after which features fail) and resume when the same path returns.
TEST_F(HidDeviceTest, AnOpenTrackerTakesFeaturesAndStreamsUntilUnplugAndAfterReplug) {
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
        tooLong = Device->GetFeature(huge, sizeof huge); // a length the ioctl cannot carry
    });
    EXPECT_TRUE(set && got && !tooLong);
    EXPECT_EQ(tracker->GetConfig().PacketInterval, config.PacketInterval);
    EXPECT_TRUE(back.Unpack(in, sizeof in) && back.KeepAliveIntervalMs == 3000);

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

    bool unplugged = false;
    OnThread([&] { // the device thread hears of it only once this returns
        unplugged = Testbed->Unplug(path);
        set = Device->SetFeature(out, sizeof out);
    });
    ASSERT_TRUE(unplugged);
    EXPECT_FALSE(set) << "the device answers ENODEV";
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

// The virtual bus's unplug takes about 0.1 s (four uevents). The AddressSanitizer build, which
// would show a leak or a use after free, runs the full thousand cycles (about 100 s); the others
// keep a run near 30 s.
#if defined(__SANITIZE_THREAD__)
constexpr int HotPlugCycles = 60;
#elif defined(__SANITIZE_ADDRESS__)
constexpr int HotPlugCycles = 1000;
#else
constexpr int HotPlugCycles = 250;
#endif
enum Staging { UeventsFirst, ReadFailureFirst, AsItComes };

// The uevents alone bring an unplugged device back, whether the device thread hears of the
// removal before its read fails (it was busy through unplug and replug) or after (the monitor
// paused), and no factory is offered the arrival of a path an open device owns.
TEST_F(HidDeviceTest, UnpluggedDeviceIsReopenedByItsUeventsInEitherOrder) {
    auto tracker = std::make_shared<VirtualTracker>();
    std::string path = Testbed->AddDevice(tracker);
    // The node's own arrival has run its course, so the device hears only of the cycles.
    ASSERT_TRUE(Eventually([&] { return Factory.Offers == 21; }));
    ASSERT_TRUE(Open(path));
    auto openFds = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
    std::size_t cycle = 0;
    long fds = 0;
    for (Staging how : {UeventsFirst, ReadFailureFirst, AsItComes}) {
        for (int i = 0; i < (how == AsItComes ? HotPlugCycles : 3); ++i, ++cycle) {
            if (how == UeventsFirst)
                Manager->QueueOf()->PushCommand(CallOnThread(&Hold, false));
            if (how == ReadFailureFirst)
                OnThread([&] { Hid->GetThread()->RemoveIoEvent(Status, Status->GetMonitorFd()); });
            ASSERT_TRUE(Testbed->Unplug(path));
            ASSERT_TRUE(how != ReadFailureFirst ||
                        Eventually([&] { return Logged("Lost connection") == int(cycle + 1); }));
            ASSERT_TRUE(Testbed->Replug(path));
            if (how == ReadFailureFirst)
                OnThread([&] { Hid->GetThread()->AddIoEvent(Status, Status->GetMonitorFd()); });
            Gate.Set();
            ASSERT_TRUE(Eventually([&] { return Recorder.Arrivals == int(cycle + 1); })) << cycle;
            Gate.Reset();
            ASSERT_TRUE(tracker->QueueInputReport(Bytes(62, SensorReport_Sensors).data(), 62));
            ASSERT_TRUE(Eventually([&] { return Recorder.Count() == cycle + 1; })) << cycle;
            if (cycle == 0) // no descriptor leaks from here on
                fds = openFds();
        }
    }
    EXPECT_EQ(openFds(), fds);
    EXPECT_EQ(Recorder.Removals, int(cycle));
    EXPECT_EQ(Logged("Visor::Linux::HIDDevice - Lost connection to '/dev/hidraw0'\n"), int(cycle));
    EXPECT_EQ(Logged("Visor::Linux::HIDDevice - Reopened device '/dev/hidraw0'\n"), int(cycle));
    EXPECT_EQ(Factory.Offers, 21);
}

// An arrival nobody took is offered to the factories again every interval until one claims
// it or 20 retries have failed; a second arrival of the same path replaces its timer. A display
// event runs one HMD enumeration. Once the manager has shut down, notices reach no factory.
TEST_F(HidDeviceTest, FactoriesHearOfUnclaimedArrivalsAndDisplaysUntilShutdown) {
    struct Row {
        int ClaimOn, ExtraArrivals, Offers;
        bool GivenUp;
    } rows[] = {{3, 0, 3, false}, {0, 1, 22, true}, {0, 0, 21, true}};
    std::string path;
    for (const Row& row : rows) {
        Factory.Offers = 0;
        Factory.ClaimOn = row.ClaimOn;
        path = Testbed->AddDevice(Visor::test::MakeKeyboard());
        for (int i = 0; i < row.ExtraArrivals; ++i)
            OnThread([&] { Status->TakeEvent("hidraw", "add", path.c_str(), nullptr); });
        ASSERT_TRUE(Eventually([&] { return Factory.Offers == row.Offers; })) << path;
        OnThread([&] { EXPECT_EQ(Status->GetRecoveryTimerCount(), 0u) << path; });
        EXPECT_EQ(Logged("no device kind took '" + path + "' after 20 retries"), row.GivenUp);
    }
    int scans = Factory.Scans, runs = 0;
    Factory.ClaimOn = 1; // claims at once: no timer outlives the manager
    std::function<void()> notices = [&] {
        for (const char* action : {"change", "bind"}) // a driver binding is no display change
            Status->TakeEvent("drm", action, nullptr, "card0-HDMI-A-1");
        Status->TakeEvent("hidraw", "add", path.c_str(), nullptr);
        ++runs;
    };
    OnThread(notices);
    EXPECT_EQ(Factory.Scans, scans + 1);
    EXPECT_EQ(Factory.Offers, 22);
    ThreadCommandQueue* queue = Manager->QueueOf();
    ASSERT_TRUE(queue->PushCommand(CallOnThread(&Hold, false)));
    std::exchange(Manager, nullptr)->Release(); // its shutdown runs behind the hold
    ASSERT_TRUE(queue->PushCommand(CallOnThread(&notices, false)));
    Gate.Set();
    Thread::FinishAllThreads();
    EXPECT_EQ(runs, 2) << "the late notices ran";
    EXPECT_EQ(Factory.Scans, scans + 1);
    EXPECT_EQ(Factory.Offers, 22);
}

} // namespace
