// The tracker device on the software HID bus, through the real device thread: listing, the
// opening sequence and axes, gap repair, keep-alive, range, a stopped device thread, unplugging.
#include "hmd/devices/linux_device_manager.h"
#include "hmd/devices/system.h"
#include "hmd/tracking/sensor_device_impl.h"
#include "hmd/tracking/sensor_fusion.h"
#include "tests/hmd/devices/thread_test_support.h"
#include "tests/support/hid_testbed.h"
#include "tools/virtual_headset/virtual_tracker_stream.h"

#include <cmath>
#include <cstdio>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using namespace Visor;
using visor_test::Eventually;

namespace {

// Frames as "milliseconds:accel X counts", status messages as + and -.
struct Collector : MessageHandler {
    void TakeMessage(const Message& m) override {
        std::lock_guard<std::mutex> lock(M);
        if (m.Type != BodyFrame) {
            Statuses += m.Type == DeviceAdded ? '+' : '-';
            return;
        }
        Last = static_cast<const BodyFrameMessage&>(m);
        char text[32];
        std::snprintf(text, sizeof text, "%g:%.0f ", Last.Duration * 1000,
                      Last.Acceleration[0] * 1e4f);
        Text += text;
        ++Count;
    }
    std::mutex M;
    std::string Text, Statuses;
    int Count = 0;
    BodyFrameMessage Last{nullptr};
};

// "timestamp/count ..." as reports whose samples have accel X = timestamp x 10 + index.
std::vector<SensorReport> Reports(const char* text) {
    std::vector<SensorReport> reports;
    std::istringstream in(text);
    for (int timestamp, count; in >> timestamp && in.ignore() >> count;) {
        SensorReport& r = reports.emplace_back();
        r.Timestamp = std::uint16_t(timestamp);
        r.SampleCount = std::uint8_t(count);
        for (int i = 0; i < 3 && i < count; ++i)
            r.Samples[i].AccelX = timestamp * 10 + i;
    }
    return reports;
}

class SensorDeviceTest : public Visor::test::HidTestbedTest {
protected:
    void SetUp() override {
        HidTestbedTest::SetUp();
        if (IsSkipped())
            return;
        System::Init();
        Manager = static_cast<Linux::DeviceManager*>(DeviceManager::Create());
        ASSERT_TRUE(Manager);
        Manager->SetMessageTarget(&ManagerMessages);
    }
    void TearDown() override {
        for (SensorDeviceImpl* d : Devices)
            d->Release();
        if (Manager) {
            Manager->Release();
            Thread::FinishAllThreads();
            System::Destroy();
        }
        HidTestbedTest::TearDown();
    }
    void RunOnThread() { OnThreadCall(); }
    void OnThread(std::function<void()> f) {
        OnThreadCall = std::move(f);
        ASSERT_TRUE(Manager->QueueOf()->PushCallAndWait(this, &SensorDeviceTest::RunOnThread));
    }
    // A tracker added to the bus and opened, reporting to Frames.
    SensorDeviceImpl* Open(std::shared_ptr<VirtualTracker> tracker) {
        Path = Testbed->AddDevice(tracker);
        Manager->Enumerate(Type_Sensor);
        DeviceBase* d = Manager->FindByPath(Path.c_str(), Type_Sensor).CreateDevice();
        if (d)
            d->SetMessageTarget(&Frames);
        return d ? Devices.emplace_back(static_cast<SensorDeviceImpl*>(d)) : nullptr;
    }
    template <class F> auto Locked(F f) {
        std::lock_guard<std::mutex> lock(Frames.M);
        return f();
    }
    // The frames the reports gave, handed to device on the device thread as the HID layer does.
    std::string Feed(SensorDeviceImpl* device, std::vector<SensorReport> reports) {
        OnThread([&] {
            for (SensorReport& r : reports) {
                std::uint8_t bytes[SensorReportSize];
                PackSensorReport(r, bytes, sizeof bytes);
                device->TakeInputReport(bytes, sizeof bytes);
            }
        });
        return Locked([&] { return std::exchange(Frames.Text, {}); });
    }

    Linux::DeviceManager* Manager = nullptr;
    std::vector<SensorDeviceImpl*> Devices;
    Collector Frames, ManagerMessages;
    std::string Path;
    std::function<void()> OnThreadCall;
};

// A tracker that describes a display sits in a headset and is asked for headset axes; one that
// ignores the sensor-axes bit has its samples turned into sensor axes by the host. Both id pairs
// are listed, with records for trackers only.
TEST_F(SensorDeviceTest, OpeningConfiguresTheTrackerAndSamplesArriveInTheRequestedAxes) {
    struct Row {
        bool AltIds;
        std::uint8_t DisplayFormat;
        bool Ignores, SensorAxes, BitSet;
        float Accel[3], Mag[3];
    } rows[] = {{false, 2, false, false, false, {1, 2, 3}, {1, 3, 2}},
                {true, 0, false, true, true, {1, 2, 3}, {1, 3, 2}},
                {false, 0, true, true, false, {1, 3, -2}, {1, 2, -3}}};
    Testbed->AddDevice(Visor::test::MakeKeyboard());
    for (const Row& row : rows) {
        VirtualHidDevice::Identity id = VirtualTracker::DefaultIdentity();
        if (row.AltIds) {
            id.VendorId = VirtualTracker::AltVendorId, id.ProductId = VirtualTracker::AltProductId;
            id.SerialNumber = "VT0000000000000000\xC3\xA9"; // é would end at byte 20
        }
        auto tracker = std::make_shared<VirtualTracker>(id);
        SensorDisplayInfo display = tracker->GetDisplayInfo();
        display.DisplayFormat = row.DisplayFormat;
        tracker->SetDisplayInfo(display);
        tracker->SetIgnoresSensorCoordinates(row.Ignores);
        SensorDeviceImpl* device = Open(tracker);
        ASSERT_TRUE(device);
        EXPECT_EQ(device->GetFrame() == SensorDevice::SensorAxes, row.SensorAxes);
        EXPECT_EQ(tracker->GetConfig().HasSensorCoordinates(), row.BitSet);
        EXPECT_EQ(tracker->GetConfig().PacketInterval, 1);
        EXPECT_EQ(device->GetRate(), 500u);
        EXPECT_TRUE(Eventually([&] { return tracker->GetKeepAliveCount() >= 2; }))
            << "one when opened, one at the first tick";
        SensorRange range;
        device->GetRange(&range);
        EXPECT_FLOAT_EQ(range.MaxAccel, 4 * 9.81f) << "as the tracker held it";
        std::vector<SensorReport> raw = Reports("1/1");
        raw[0].Samples[0] = {1, 2, 3, 1, 2, 3};
        raw[0].MagX = 1, raw[0].MagY = 2, raw[0].MagZ = 3;
        Feed(device, raw);
        for (int i = 0; i < 3; ++i) {
            EXPECT_FLOAT_EQ(Frames.Last.Acceleration[i], row.Accel[i] * 0.0001f);
            EXPECT_FLOAT_EQ(Frames.Last.AngularRate[i], row.Accel[i] * 0.0001f);
            EXPECT_FLOAT_EQ(Frames.Last.MagField[i], row.Mag[i] * 0.0001f);
        }
    }
    std::string text;
    for (DescEnumerator e = Manager->Enumerate(Type_Sensor); !e.IsEmpty(); e.Next()) {
        TrackerInfo info;
        DeviceInfoRecord hmd(Type_HMD);
        EXPECT_TRUE(e.GetDeviceInfo(&info) && !e.GetDeviceInfo(&hmd));
        char line[96];
        std::snprintf(line, sizeof line, "%d %04x:%04x %s %g %g %g; ", info.Type, info.VendorId,
                      info.ProductId, info.SerialNumber, info.MaxRanges.MaxAccel,
                      info.MaxRanges.MaxRotation, info.MaxRanges.MaxField);
        text += line;
    }
    EXPECT_EQ(text, "3 2833:0001 VT0000000001 156.96 34.9066 2.5; 3 0483:5750 VT0000000000000000 "
                    "156.96 34.9066 2.5; 3 2833:0001 VT0000000001 156.96 34.9066 2.5; ");
}

TEST_F(SensorDeviceTest, SamplesNoReportCarriedAreStoodInForByThePreviousOne) {
    SensorDeviceImpl* device = Open(std::make_shared<VirtualTracker>());
    ASSERT_TRUE(device);
    const char* rows[][2] = {
        {"100/2 105/2", "1:1000 1:1001 3:1001 1:1050 1:1051 "},
        {"65534/2 1/2", "1:655340 1:655341 1:655341 1:10 1:11 "},
        {"40000/1 40003/1", "1:400000 2:400000 1:400030 "},
        {"1000/1 1254/1", "1:10000 253:10000 1:12540 "},
        {"1000/1 1255/1", "1:10000 1:12550 "},
        {"10/3 12/1", "1:100 1:101 1:102 1:120 "},
        {"10/7", "5:100 1:101 1:102 "},
        {"10/2 12/0 20/1", "1:100 1:101 8:0 1:200 "},
    };
    for (auto& row : rows) {
        device->SetMessageTarget(&Frames); // a new sequence: no gap before its first report
        EXPECT_EQ(Feed(device, Reports(row[0])), row[1]) << row[0];
    }
    device->SetMessageTarget(nullptr);
    EXPECT_EQ(Feed(device, Reports("7/0")), "") << "nothing to keep, no sample -1 read";
}

TEST_F(SensorDeviceTest, KeepAliveRangeAndSettersOnceTheDeviceThreadStopped) {
    auto tracker = std::make_shared<VirtualTracker>();
    SensorDeviceImpl* device = Open(tracker);
    ASSERT_TRUE(device);
    const std::uint64_t base = 1ull << 50; // after every tick the device thread gave
    const unsigned ticks[][3] = {{0, 3000, 1},    {1200, 1800, 1}, {2999, 1, 1},
                                 {3100, 3000, 2}, {6050, 50, 2},   {6100, 3000, 3},
                                 {9000, 100, 3},  {9200, 3000, 4}, {10000, 2200, 4}};
    OnThread([&] {
        unsigned before = tracker->GetKeepAliveCount();
        for (auto& t : ticks) {
            EXPECT_EQ(device->OnTick(base + t[0] * 1000ull), t[1] * 1000ull) << t[0] << " ms";
            EXPECT_EQ(tracker->GetKeepAliveCount() - before, t[2]) << t[0] << " ms";
        }
    });

    struct Row {
        SensorRange Request;
        bool Wait;
        unsigned Scales[3];
    } rows[] = {{{20, 10, 1}, true, {2, 1000, 1300}}, {{200, 0, 2.5f}, false, {16, 250, 2500}}};
    for (const Row& row : rows) {
        EXPECT_TRUE(device->SetRange(row.Request, row.Wait));
        SensorRange read;
        EXPECT_TRUE(Eventually([&] {
            device->GetRange(&read);
            return read.MaxAccel == row.Scales[0] * 9.81f;
        }));
        EXPECT_FLOAT_EQ(read.MaxRotation, row.Scales[1] * DegreeToRadFactor);
        EXPECT_FLOAT_EQ(read.MaxField, row.Scales[2] * 0.001f);
        SensorRangeReport held = tracker->GetRange();
        EXPECT_EQ((std::vector<unsigned>{held.AccelScale, held.GyroScale, held.MagScale}),
                  (std::vector<unsigned>(row.Scales, row.Scales + 3)));
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
    ASSERT_TRUE(Open(tracker));
    auto count = [&] { return Locked([&] { return Frames.Count; }); };
    VirtualTrackerStream stream;
    ASSERT_TRUE(stream.Start(tracker));
    ASSERT_TRUE(Eventually([&] { return count() > 50; }));
    for (Collector* c : {&Frames, &ManagerMessages}) { // from here on, after the arrival
        std::lock_guard<std::mutex> lock(c->M);
        c->Statuses.clear();
    }
    // The device thread's status monitor sees the node go and come back.
    ASSERT_TRUE(Testbed->Unplug(Path));
    ASSERT_TRUE(Eventually([&] { return Locked([&] { return Frames.Statuses == "-"; }); }));
    ASSERT_TRUE(Testbed->Replug(Path));
    // The reopened device delivers the reports it finds waiting before the arrival message.
    EXPECT_TRUE(Eventually([&] { return Locked([&] { return Frames.Statuses == "-+"; }); }));
    const int before = count();
    EXPECT_TRUE(Eventually([&] { return count() > before + 50; }));
    stream.Stop();
    std::lock_guard<std::mutex> lock(ManagerMessages.M);
    EXPECT_EQ(ManagerMessages.Statuses, "-+");
}

TEST_F(SensorDeviceTest, TheFilterOnTheStreamingDeviceTurnsAtTheTrackersRate) {
    auto tracker = std::make_shared<VirtualTracker>();
    VirtualTracker::Motion motion = VirtualTracker::Still();
    motion.Rate[1] = 0.5f; // about +Y, which stays up in headset axes
    tracker->SetMotion(motion);
    SensorDeviceImpl* device = Open(tracker);
    ASSERT_TRUE(device);
    device->SetMessageTarget(nullptr);
    SensorFusion fusion;
    ASSERT_TRUE(fusion.AttachSensor(device));
    VirtualTrackerStream stream;
    ASSERT_TRUE(stream.Start(tracker));
    EXPECT_TRUE(Eventually([&] { return fusion.GetElapsedTime() > 1; }));
    stream.Stop();
    SharedHandlerLock frames; // no frame between the two reads
    Mutex::Locker lock(frames.GetMutex());
    const Quatf q = fusion.ReadOrientation();
    EXPECT_NEAR(2 * std::atan2(q.y, q.w), 0.5f * fusion.GetElapsedTime(), 0.002f);
    EXPECT_LT(std::abs(q.x) + std::abs(q.z), 1e-3f);
}

} // namespace
