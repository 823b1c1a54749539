// The tracker device on the software HID bus, through the real device thread: listing, the
// opening sequence, axes, gap repair, keep-alive, range, a stopped device thread, unplugging.
#include "hmd/devices/linux_device_manager.h"
#include "hmd/devices/system.h"
#include "hmd/tracking/sensor_device_impl.h"
#include "tests/hmd/devices/thread_test_support.h"
#include "tests/support/hid_testbed.h"
#include "tools/virtual_headset/virtual_tracker_stream.h"

#include <cmath>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

using namespace Visor;
using visor_test::Eventually;

namespace {

struct CallOnThread : ThreadCommandImpl<CallOnThread> {
    explicit CallOnThread(const std::function<void()>* f)
        : ThreadCommandImpl<CallOnThread>(true), F(f) {}
    void Execute() const override { (*F)(); }
    const std::function<void()>* F;
};

constexpr std::int16_t FenceTemperature = 12345;

// Frames as "duration:accel X counts", up to a fence sample; status messages as +/-.
struct Collector : MessageHandler {
    void TakeMessage(const Message& m) override {
        std::lock_guard<std::mutex> lock(M);
        if (m.Type != BodyFrame) {
            Statuses += m.Type == DeviceAdded ? "+" : "-";
            return;
        }
        const auto& f = static_cast<const BodyFrameMessage&>(m);
        Fenced = Fenced || std::lround(f.Temperature * 100) == FenceTemperature;
        if (!Fenced) {
            Text += std::to_string(f.Duration).substr(0, 5) + ":" +
                    std::to_string(std::lround(f.Acceleration[0] * 10000)) + " ";
            Last = f;
        }
        ++Count;
    }
    std::mutex M;
    std::string Text, Statuses;
    bool Fenced = false;
    int Count = 0;
    BodyFrameMessage Last{nullptr};
};

// A status source may announce a change the test announces too.
std::string Squeezed(const std::string& s) {
    std::string out;
    for (char c : s)
        if (out.empty() || out.back() != c)
            out += c;
    return out;
}

SensorReport Report(int timestamp, int count) {
    SensorReport r;
    r.Timestamp = std::uint16_t(timestamp);
    r.SampleCount = std::uint8_t(count);
    for (int i = 0; i < 3 && i < count; ++i)
        r.Samples[i].AccelX = timestamp * 10 + i;
    return r;
}

class SensorDeviceTest : public Visor::test::HidTestbedTest {
protected:
    void SetUp() override {
        HidTestbedTest::SetUp();
        if (IsSkipped())
            return;
        System::Init();
        Log::SetOutputSink(
            [](void* self, LogMessageType, const char* text) {
                auto* t = static_cast<SensorDeviceTest*>(self);
                std::lock_guard<std::mutex> lock(t->Frames.M);
                t->LogText += text;
            },
            this);
        Manager = static_cast<Linux::DeviceManager*>(DeviceManager::Create());
        ASSERT_TRUE(Manager);
        Manager->SetMessageTarget(&ManagerMessages);
    }
    void TearDown() override {
        if (Manager) {
            for (SensorDeviceImpl* d : Devices)
                d->Release();
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
    // A tracker added to the bus and opened, reporting to Frames.
    SensorDeviceImpl* Open(std::shared_ptr<VirtualTracker> tracker) {
        Path = Testbed->AddDevice(tracker);
        Manager->Enumerate(Type_Sensor);
        auto* d = static_cast<SensorDeviceImpl*>(
            Manager->FindByPath(Path.c_str(), Type_Sensor).CreateDevice());
        if (d) {
            Devices.push_back(d);
            d->SetMessageTarget(&Frames);
        }
        return d;
    }
    // What a device-status source would hand the device thread for Path.
    void Notify(DeviceStatusNotice notice) {
        OnThread([&] {
            Manager->GetHIDDeviceManager()->GetThread()->TakeMessage(notice, Path.c_str());
        });
    }
    int Logged(const std::string& text) {
        std::lock_guard<std::mutex> lock(Frames.M);
        int n = 0;
        for (auto at = LogText.find(text); at != std::string::npos; at = LogText.find(text, at + 1))
            ++n;
        return n;
    }
    // Queues the reports and a fence; the frames they gave.
    std::string Feed(VirtualTracker& t, std::vector<SensorReport> reports) {
        reports.push_back(Report(reports.back().Timestamp + 300, 1));
        reports.back().Temperature = FenceTemperature;
        for (const SensorReport& r : reports) {
            std::uint8_t bytes[SensorReportSize];
            PackSensorReport(r, bytes, sizeof bytes);
            t.QueueInputReport(bytes, sizeof bytes);
        }
        EXPECT_TRUE(Eventually([&] {
            std::lock_guard<std::mutex> lock(Frames.M);
            return Frames.Fenced;
        }));
        std::lock_guard<std::mutex> lock(Frames.M);
        std::string text = Frames.Text;
        Frames.Text.clear();
        Frames.Fenced = false;
        return text;
    }

    Linux::DeviceManager* Manager = nullptr;
    std::vector<SensorDeviceImpl*> Devices;
    Collector Frames, ManagerMessages;
    std::string Path, LogText;
};

TEST_F(SensorDeviceTest, BothIdPairsAreListedWithTheirRecordsAndClaimedOnArrival) {
    VirtualHidDevice::Identity alt = VirtualTracker::DefaultIdentity();
    alt.VendorId = VirtualTracker::AltVendorId;
    alt.ProductId = VirtualTracker::AltProductId;
    alt.SerialNumber = "VT0000000000000000\xC3\xA9"; // é would end at byte 20
    Testbed->AddDevice(Visor::test::MakeKeyboard());
    Testbed->AddDevice(std::make_shared<VirtualTracker>());
    Testbed->AddDevice(MakeVirtualLatencyTester());
    std::string text;
    for (DescEnumerator e = Manager->Enumerate(Type_Sensor); !e.IsEmpty(); e.Next()) {
        TrackerInfo info;
        DeviceInfoRecord hmd(Type_HMD);
        EXPECT_TRUE(e.GetDeviceInfo(&info) && !e.GetDeviceInfo(&hmd));
        char line[160];
        std::snprintf(line, sizeof line, "%d %04x:%04x %s|%s|%s %g %g %g; ", info.Type,
                      info.VendorId, info.ProductId, info.Manufacturer, info.Product,
                      info.SerialNumber, info.MaxRanges.MaxAccel, info.MaxRanges.MaxRotation,
                      info.MaxRanges.MaxField);
        text += line;
    }
    const char* first = "3 2833:0001 Visor VR|Visor One Tracker|VT0000000001 156.96 34.9066 2.5; ";
    EXPECT_EQ(text, first);
    Path = Testbed->AddDevice(std::make_shared<VirtualTracker>(alt));
    bool claimed = false, keyboard = true;
    OnThread([&] {
        HidDeviceRecord record;
        Manager->GetHIDDeviceManager()->ReadHidRecord(Path.c_str(), &record);
        claimed = Manager->ClaimHidDevice(record);
        Manager->GetHIDDeviceManager()->ReadHidRecord("/dev/hidraw0", &record);
        keyboard = Manager->ClaimHidDevice(record);
    });
    EXPECT_TRUE(claimed && !keyboard);
    TrackerInfo info;
    EXPECT_TRUE(Manager->FindByPath(Path.c_str(), Type_Sensor).GetDeviceInfo(&info));
    EXPECT_EQ(info.VendorId, 0x0483);
    EXPECT_STREQ(info.SerialNumber, "VT0000000000000000");
}

// A tracker that describes a display sits in a headset and is asked for headset axes; one that
// ignores the sensor-axes bit has its samples turned into sensor axes by the host.
TEST_F(SensorDeviceTest, OpeningConfiguresTheTrackerAndSamplesArriveInTheRequestedAxes) {
    struct Row {
        std::uint8_t DisplayFormat;
        bool Ignores;
        SensorDevice::CoordinateFrame Frame;
        bool BitSet;
        float Accel[3], Mag[3];
    } rows[] = {
        {2, false, SensorDevice::HeadsetAxes, false, {1, 2, 3}, {1, 3, 2}},
        {0, false, SensorDevice::SensorAxes, true, {1, 2, 3}, {1, 3, 2}},
        {0, true, SensorDevice::SensorAxes, false, {1, 3, -2}, {1, 2, -3}},
    };
    for (const Row& row : rows) {
        auto tracker = std::make_shared<VirtualTracker>();
        SensorDisplayInfo display = tracker->GetDisplayInfo();
        display.DisplayFormat = row.DisplayFormat;
        tracker->SetDisplayInfo(display);
        tracker->SetIgnoresSensorCoordinates(row.Ignores);
        SensorDeviceImpl* device = Open(tracker);
        ASSERT_TRUE(device);
        EXPECT_EQ(device->GetFrame(), row.Frame);
        EXPECT_EQ(tracker->GetConfig().HasSensorCoordinates(), row.BitSet);
        EXPECT_EQ(tracker->GetConfig().PacketInterval, 1);
        EXPECT_EQ(device->GetRate(), 500u);
        EXPECT_TRUE(Eventually([&] { return tracker->GetKeepAliveCount() >= 2; }))
            << "one when opened, one at the first tick";
        SensorRange range;
        device->GetRange(&range);
        EXPECT_FLOAT_EQ(range.MaxAccel, 4 * 9.81f) << "as the tracker held it";
        SensorReport raw = Report(1, 1);
        raw.Samples[0] = {1, 2, 3, 1, 2, 3};
        raw.MagX = 1, raw.MagY = 2, raw.MagZ = 3;
        Feed(*tracker, {raw});
        for (int i = 0; i < 3; ++i) {
            EXPECT_FLOAT_EQ(Frames.Last.Acceleration[i], row.Accel[i] * 0.0001f);
            EXPECT_FLOAT_EQ(Frames.Last.AngularRate[i], row.Accel[i] * 0.0001f);
            EXPECT_FLOAT_EQ(Frames.Last.MagField[i], row.Mag[i] * 0.0001f);
        }
    }
    EXPECT_EQ(Logged("Visor::SensorDevice initialized.\n"), 3);
}

TEST_F(SensorDeviceTest, SamplesNoReportCarriedAreStoodInForByThePreviousOne) {
    auto tracker = std::make_shared<VirtualTracker>();
    SensorDeviceImpl* device = Open(tracker);
    ASSERT_TRUE(device);
    struct Row {
        std::vector<SensorReport> Reports;
        const char* Frames;
    } rows[] = {
        {{Report(100, 2), Report(105, 2)},
         "0.001:1000 0.001:1001 0.003:1001 0.001:1050 0.001:1051 "},
        {{Report(65534, 2), Report(1, 2)},
         "0.001:655340 0.001:655341 0.001:655341 0.001:10 0.001:11 "},
        {{Report(40000, 1), Report(40003, 1)}, "0.001:400000 0.002:400000 0.001:400030 "},
        {{Report(1000, 1), Report(1254, 1)}, "0.001:10000 0.253:10000 0.001:12540 "},
        {{Report(1000, 1), Report(1255, 1)}, "0.001:10000 0.001:12550 "},
        {{Report(10, 3), Report(13, 3), Report(15, 3)},
         "0.001:100 0.001:101 0.001:102 0.001:130 0.001:131 0.001:132 0.001:150 0.001:151 "
         "0.001:152 "},
        {{Report(10, 7)}, "0.005:100 0.001:101 0.001:102 "},
        {{Report(10, 2), Report(12, 0), Report(20, 1)}, "0.001:100 0.001:101 0.008:0 0.001:200 "},
    };
    for (const Row& row : rows) {
        device->SetMessageTarget(&Frames); // a new sequence: no gap before its first report
        EXPECT_EQ(Feed(*tracker, row.Reports), row.Frames);
    }
    // The tracker's own stream: a lost report shows as a step of 4 after a report of 2.
    SensorSample samples[6];
    for (int i = 0; i < 6; ++i)
        samples[i].AccelX = i + 1;
    tracker->QueueSamples(samples, 6);
    tracker->SetTimestamp(500);
    device->SetMessageTarget(&Frames);
    tracker->Advance(2);
    tracker->DropReports(1);
    tracker->Advance(4);
    EXPECT_EQ(Feed(*tracker, {Report(506, 1)}),
              "0.001:1 0.001:2 0.002:2 0.001:5 0.001:6 0.001:5060 ");
    // Without a handler an empty report leaves nothing to read before the first sample.
    device->SetMessageTarget(nullptr);
    std::uint8_t empty[SensorReportSize];
    PackSensorReport(Report(7, 0), empty, sizeof empty);
    OnThread([&] { device->TakeInputReport(empty, sizeof empty); });
}

TEST_F(SensorDeviceTest, KeepAlivesGoOutEveryThreeSecondsOfTicks) {
    auto tracker = std::make_shared<VirtualTracker>();
    SensorDeviceImpl* device = Open(tracker);
    ASSERT_TRUE(device);
    const std::uint64_t base = 1ull << 50; // after every tick the device thread gave
    struct Row {
        std::uint64_t AtMs, WaitMs;
        unsigned Sent;
    } rows[] = {{0, 3000, 1},    {1200, 1800, 1}, {2999, 1, 1},    {3100, 3000, 2}, {6050, 50, 2},
                {6100, 3000, 3}, {9000, 100, 3},  {9200, 3000, 4}, {10000, 2200, 4}};
    OnThread([&] {
        unsigned before = tracker->GetKeepAliveCount();
        for (const Row& row : rows) {
            EXPECT_EQ(device->OnTick(base + row.AtMs * 1000), row.WaitMs * 1000) << row.AtMs;
            EXPECT_EQ(tracker->GetKeepAliveCount() - before, row.Sent) << row.AtMs;
        }
    });
}

TEST_F(SensorDeviceTest, RangeIsWrittenAsTheNextStepAndSettersFailOnceTheThreadStopped) {
    auto tracker = std::make_shared<VirtualTracker>();
    SensorDeviceImpl* device = Open(tracker);
    ASSERT_TRUE(device);
    struct Row {
        SensorRange Request;
        bool Wait;
        unsigned Accel, Gyro, Mag;
    } rows[] = {{{20, 10, 1}, true, 2, 1000, 1300}, {{200, 0, 2.5f}, false, 16, 250, 2500}};
    for (const Row& row : rows) {
        EXPECT_TRUE(device->SetRange(row.Request, row.Wait));
        SensorRange read;
        EXPECT_TRUE(Eventually([&] {
            device->GetRange(&read);
            return read.MaxAccel == row.Accel * 9.81f;
        }));
        EXPECT_FLOAT_EQ(read.MaxRotation, row.Gyro * DegreeToRadFactor);
        EXPECT_FLOAT_EQ(read.MaxField, row.Mag * 0.001f);
        SensorRangeReport held = tracker->GetRange();
        EXPECT_EQ((std::vector<unsigned>{held.AccelScale, held.GyroScale, held.MagScale}),
                  (std::vector<unsigned>{row.Accel, row.Gyro, row.Mag}));
    }
    Manager->QueueOf()->RequestExit(true);
    Thread::FinishAllThreads();
    std::uint8_t config[SensorConfigReport::PacketSize] = {SensorReport_Config};
    EXPECT_FALSE(device->SetFrame(SensorDevice::SensorAxes) || device->SetRate(1000) ||
                 device->SetRange({}, true) || device->SetRange({}, false) ||
                 device->SetFeature(config, sizeof config) ||
                 device->GetFeature(config, sizeof config) || device->GetRate() != 0);
}

TEST_F(SensorDeviceTest, UnplugWhileStreamingIsReportedAndSamplesResumeAfterReplug) {
    auto tracker = std::make_shared<VirtualTracker>();
    SensorDeviceImpl* device = Open(tracker);
    ASSERT_TRUE(device);
    auto count = [&] {
        std::lock_guard<std::mutex> lock(Frames.M);
        return Frames.Count;
    };
    VirtualTrackerStream stream;
    ASSERT_TRUE(stream.Start(tracker));
    ASSERT_TRUE(Eventually([&] { return count() > 50; }));
    ASSERT_TRUE(Testbed->Unplug(Path));
    ASSERT_TRUE(Eventually([&] { return Logged("Lost connection to '/dev/hidraw0'") == 1; }));
    Notify(DeviceStatus_Removed);
    ASSERT_TRUE(Testbed->Replug(Path));
    Notify(DeviceStatus_Added);
    EXPECT_EQ(Logged("Reopened device '/dev/hidraw0'"), 1);
    const int before = count();
    EXPECT_TRUE(Eventually([&] { return count() > before + 50; }));
    stream.Stop();
    std::lock_guard<std::mutex> lock(Frames.M);
    EXPECT_EQ(Squeezed(Frames.Statuses), "-+");
    EXPECT_EQ(Squeezed(ManagerMessages.Statuses), "+-+");
}

} // namespace
