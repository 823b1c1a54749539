// Tests of the orientation filter fed real body-frame messages: turns and their order, periodic
// normalisation, the rest gate, tilt removal; on real IMU recordings against their optical
// reference, fed as the tracker device converts raw counts and through the whole stack
// (software tracker, hidraw, device thread, tracker device); and the recording reader.
#include "hmd/devices/system.h"
#include "hmd/tracking/sensor_device.h"
#include "hmd/tracking/sensor_fusion.h"
#include "tests/hmd/devices/thread_test_support.h"
#include "tests/support/hid_testbed.h"
#include "tools/virtual_headset/broad_recording.h"

#include <memory>
#include <sstream>

using namespace Visor;

namespace {

const Vector3f Level(0, 9.81f, 0), Still(0, 0, 0);
const float HalfPi = 1.5707963f, Tilt = 0.5f;

struct SensorFusionTest : testing::Test {
    void Feed(Vector3f accel, Vector3f rate, int frames, float dt = 0.001f) {
        BodyFrameMessage m(nullptr);
        m.Acceleration[0] = accel.x, m.Acceleration[1] = accel.y, m.Acceleration[2] = accel.z;
        m.AngularRate[0] = rate.x, m.AngularRate[1] = rate.y, m.AngularRate[2] = rate.z;
        m.Duration = dt;
        for (int i = 0; i < frames; ++i)
            Fusion.GetHandler()->TakeMessage(m);
    }
    bool Is(Quatf b) const { // within about 0.1 degree
        const Quatf a = Fusion.ReadOrientation();
        return std::fabs(a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w) > 1 - 1e-6f;
    }
    SensorFusion Fusion;
};

bool Load(const char* file, BroadRecording* rec, std::string* error) {
    return LoadBroadRecording(std::string(VISOR_TESTDATA_DIR) + "/imu_broad/" + file, rec, error);
}

// Raw counts to a body frame as the tracker device converts them, one millisecond each.
void Replay(SensorFusion& fusion, const BroadRecording& rec, std::size_t first, std::size_t count,
            TiltErrorLog* log = nullptr) {
    BodyFrameMessage m(nullptr);
    m.Duration = 0.001f;
    for (std::size_t k = first; k < first + count; ++k) {
        const SensorSample& s = rec.Samples[k];
        const std::int32_t raw[6] = {s.AccelX, s.AccelY, s.AccelZ, s.GyroX, s.GyroY, s.GyroZ};
        for (int i = 0; i < 3; ++i)
            m.Acceleration[i] = float(raw[i]) * SensorCountScale,
            m.AngularRate[i] = float(raw[i + 3]) * SensorCountScale;
        fusion.GetHandler()->TakeMessage(m);
        if (log)
            log->Add(fusion.ReadOrientation(), rec.References[k]);
    }
}

} // namespace

TEST_F(SensorFusionTest, IntegratesTurnsInTheHeadFrameAndNormalisesEvery5000Steps) {
    Feed(Still, Vector3f(0, 1, 0), 1000);
    EXPECT_TRUE(Is(Quatf(0, std::sin(0.5f), 0, std::cos(0.5f))));
    Fusion.Reset(); // a quarter turn about X, then one about the head's Y: X * Y, not Y * X
    Feed(Still, Vector3f(HalfPi, 0, 0), 1000);
    Feed(Still, Vector3f(0, HalfPi, 0), 1000);
    EXPECT_TRUE(
        Is(Quatf::FromAxisAngle({1, 0, 0}, HalfPi) * Quatf::FromAxisAngle({0, 1, 0}, HalfPi)));
    Fusion.Reset(); // rounding shortens the quaternion by about 2e-5 per 1000 steps of this turn
    for (int steps : {4999, 5000}) {
        Feed(Still, Vector3f(3, -2, 5), steps - int(Fusion.GetStepCount()));
        EXPECT_EQ(std::fabs(Fusion.ReadOrientation().Length() - 1) > 1e-6f, steps == 4999);
    }
}

TEST_F(SensorFusionTest, CountsRestOnlyInsideStrictBoundsAndSkipsAnEstimateWithoutAxis) {
    // |a| along Y, rate about X, stable count after 10 frames: |a| - g just under and just
    // over 0.4 on both sides, the rate just under and exactly at its bound.
    const float rows[][3] = {{9.81f, 0, 10},      {10.21f, 0, 10}, {10.210001f, 0, 0},
                             {9.4100008f, 0, 10}, {9.41f, 0, 0},   {9.81f, 0.0999f, 10},
                             {9.81f, 0.1f, 0}};
    for (const auto& row : rows) {
        Feed(Vector3f(1, 1, 1), Still, 1); // not rest
        Feed(Vector3f(0, row[0], 0), Vector3f(row[1], 0, 0), 10);
        EXPECT_EQ(Fusion.GetTiltStableCount(), int(row[2])) << "row " << &row - rows;
    }
    // Level rest cycles the count and records nothing; upside down the mean has zero x and z,
    // so no tilt axis, and the estimate is skipped instead of turning by a non-number.
    for (const Vector3f& gravity : {Level, Level * -1}) {
        Fusion.Reset();
        Feed(Vector3f(1, 1, 1), Still, 1);
        Feed(gravity, Still, 49);
        EXPECT_EQ(Fusion.GetTiltStableCount(), 49);
        Feed(gravity, Still, 52);
        EXPECT_TRUE(Fusion.GetTiltStableCount() == 1 && Fusion.GetTiltAngle() == 0 && Is(Quatf()));
    }
}

TEST_F(SensorFusionTest, RemovesATiltAtOnceEarlyThenGeometricallyAndKeepsItOverReset) {
    const Vector3f tilted(9.81f * std::sin(Tilt), 9.81f * std::cos(Tilt), 0);
    const auto tilt = [&] { // between up as the filter sees it and measured gravity
        const Vector3f g = Fusion.ReadOrientation().Rotate(tilted);
        return std::acos(std::fmin(1.0f, g.y / g.Length()));
    };
    Feed(tilted, Still, 50);
    EXPECT_TRUE(Fusion.GetTiltAngle() == 0 && tilt() < 1e-3f);

    Fusion.Reset(); // after 8 s each frame at rest takes 0.05 * 0.005 of what is left
    Feed(Still, Still, 1, 8.95f);
    Feed(tilted, Still, 50);
    EXPECT_NEAR(Fusion.GetTiltAngle(), Tilt * (1 - 2.5e-4f), 1e-4f);
    Feed(tilted, Still, 4000);
    EXPECT_NEAR(tilt(), Tilt * std::exp(-1.0f), 0.01f);

    const float left = Fusion.GetTiltAngle();
    Fusion.Reset();
    EXPECT_TRUE(Fusion.GetTiltAngle() == left && Fusion.GetStepCount() == 0);
    MessageHandler* handler = Fusion.GetHandler(); // other messages are ignored
    handler->TakeMessage(Message(DeviceAdded, nullptr));
    EXPECT_TRUE(Fusion.GetStepCount() == 0 && !handler->AcceptsType(DeviceAdded));
}

TEST(BroadRecording, ResamplesTo1kHzInTrackerAxesAndRefusesMalformedFiles) {
    const std::string head = "t_s,gyr_x,gyr_y,gyr_z,acc_x,acc_y,acc_z,opt_qw,opt_qx,opt_qy,"
                             "opt_qz,movement\n",
                      row = "0,0,0,0,0,1,0,1,0,0,0,0\n";
    std::istringstream good(head + row + "0.0035,0.35,0,0,0,1,0,nan,nan,nan,nan,1\r\n");
    BroadRecording r;
    std::string error;
    ASSERT_TRUE(ParseBroadRecording(good, &r, &error)) << error;
    ASSERT_EQ(r.Samples.size(), 4u);                                          // 0 .. 3 ms
    EXPECT_TRUE(r.Samples[1].GyroX == 1000 && r.Samples[1].AccelZ == -10000); // IMU +Y: -Z
    EXPECT_FALSE(r.References[0].Valid); // a neighbour has no reference
    for (const std::string& text :
         {std::string(), head, head + row, head + row + row, head + "0,0\n" + row,
          head + row + "1,0,0,0,0,0,0,1,0,0,0,0,0\n", head + "0,nan,0,0,0,0,0,1,0,0,0,0\n" + row,
          head + row + "1e9,0,0,0,0,0,0,1,0,0,0,0\n"}) {
        std::istringstream in(text);
        EXPECT_FALSE(ParseBroadRecording(in, &r, &error)) << text;
        EXPECT_TRUE(r.Samples.empty() && error.rfind("line ", 0) == 0) << error;
    }
}

// The filter holds about 2 degrees at rest (estimates under 0.05 rad are not recorded) and 4 to
// 5 while moving; without tilt correction the gyroscope's bias alone gives a median of 9 to 12.
// The per-window curve goes to the test log.
TEST(BroadRecording, FilterKeepsTiltCloseToTheOpticalReference) {
    for (const char* file : {"02_undisturbed_slow_rotation_B_first70s.csv",
                             "07_undisturbed_fast_rotation_B_first60s.csv"}) {
        BroadRecording rec;
        std::string error;
        if (!Load(file, &rec, &error))
            GTEST_SKIP() << error;
        SensorFusion fusion;
        TiltErrorLog log;
        Replay(fusion, rec, 0, rec.Samples.size(), &log);
        std::printf("%s: ", file);
        log.Print(stdout);
        const TiltErrorLog::Summary moving = log.Moving();
        EXPECT_TRUE(moving.Count > 10000 && moving.Median < 6.5f && moving.Max < 12) << file;
    }
}

// Open on the device thread, then the stack is left to deliver on its own.
struct SensorFusionStackTest : test::HidTestbedTest {
    void SetUp() override {
        HidTestbedTest::SetUp();
        if (IsSkipped())
            return;
        System::Init();
        Manager = DeviceManager::Create();
        ASSERT_TRUE(Manager);
    }
    void TearDown() override {
        if (Manager) {
            if (Sensor)
                Sensor->Release();
            Manager->Release();
            Thread::FinishAllThreads();
            System::Destroy();
        }
        HidTestbedTest::TearDown();
    }
    DeviceManager* Manager = nullptr;
    DeviceBase* Sensor = nullptr;
};

// Six seconds of fast turns arrive two samples a report; a lost, repeated or misconverted
// sample would leave the two filters apart. Attaching and destruction on a real tracker.
TEST_F(SensorFusionStackTest, RecordedTurnsThroughTheTrackerDeviceMatchTheDirectReplay) {
    BroadRecording rec;
    std::string error;
    if (!Load("07_undisturbed_fast_rotation_B_first60s.csv", &rec, &error))
        GTEST_SKIP() << error;
    const std::size_t first = 30000, count = 6000; // within the tracker's first keep-alive
    auto tracker = std::make_shared<VirtualTracker>();
    Testbed->AddDevice(tracker);
    Sensor = Manager->Enumerate(Type_Sensor).CreateDevice();
    auto* sensor = static_cast<SensorDevice*>(Sensor);
    ASSERT_TRUE(sensor);
    auto viaDevice = std::make_unique<SensorFusion>();
    SensorFusion direct;
    EXPECT_TRUE(direct.AttachSensor(sensor) && direct.AttachSensor(nullptr));     // null detaches
    EXPECT_TRUE(viaDevice->AttachSensor(sensor) && !direct.AttachSensor(sensor)); // taken
    tracker->QueueSamples(&rec.Samples[first], count);
    tracker->Advance(count);
    EXPECT_TRUE(visor_test::Eventually([&] { return viaDevice->GetStepCount() >= count; }));
    Replay(direct, rec, first, count);
    const Quatf a = viaDevice->ReadOrientation(), b = direct.ReadOrientation();
    EXPECT_TRUE(viaDevice->GetStepCount() == count && a.x == b.x && a.y == b.y && a.z == b.z &&
                a.w == b.w);
    EXPECT_TRUE(viaDevice->AttachSensor(sensor) && viaDevice->GetStepCount() == 0); // a reset
    tracker->Advance(2000); // destroyed while the device thread delivers: detached at once
    viaDevice.reset();
    EXPECT_EQ(sensor->GetMessageTarget(), nullptr);
}
