// Tests of the orientation filter fed real body-frame messages: turns and their order, periodic
// normalisation, the rest gate, tilt removal, attaching, and reads while another thread delivers.
#include "hmd/tracking/sensor_device.h"
#include "hmd/tracking/sensor_fusion.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

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
    bool Is(Quatf b, float eps = 1e-4f) const {
        const Quatf a = Fusion.ReadOrientation();
        return std::fabs(a.x - b.x) < eps && std::fabs(a.y - b.y) < eps &&
               std::fabs(a.z - b.z) < eps && std::fabs(a.w - b.w) < eps;
    }
    SensorFusion Fusion;
};

// A tracker without a HID device: enough to carry a handler.
struct StubSensor : DeviceImpl<SensorDevice> {
    StubSensor() : DeviceImpl<SensorDevice>(nullptr) {}
    bool SetFeature(const std::uint8_t*, std::uint32_t) override { return false; }
    bool GetFeature(std::uint8_t*, std::uint32_t) override { return false; }
    bool SetFrame(CoordinateFrame) override { return false; }
    CoordinateFrame GetFrame() const override { return SensorAxes; }
    bool SetRate(unsigned) override { return false; }
    unsigned GetRate() const override { return 0; }
    bool SetRange(const SensorRange&, bool) override { return false; }
    void GetRange(SensorRange*) const override {}
};

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
}

TEST_F(SensorFusionTest, AttachesToOneFreeSensorAtATimeAndTakesOnlyBodyFrames) {
    StubSensor a, b;
    MessageHandler other;
    b.SetMessageTarget(&other);
    EXPECT_TRUE(!Fusion.AttachSensor(&b) && b.GetMessageTarget() == &other); // taken
    EXPECT_TRUE(Fusion.AttachSensor(&a));
    Feed(Level, Vector3f(0, 1, 0), 10);
    EXPECT_TRUE(Fusion.AttachSensor(&a)); // already ours: a reset only
    EXPECT_TRUE(Fusion.GetStepCount() == 0 && a.GetMessageTarget() == Fusion.GetHandler());
    b.SetMessageTarget(nullptr);
    EXPECT_TRUE(Fusion.AttachSensor(&b)); // moves: a is let go
    EXPECT_TRUE(a.GetMessageTarget() == nullptr && b.GetMessageTarget() == Fusion.GetHandler());
    EXPECT_TRUE(Fusion.AttachSensor(nullptr) && b.GetMessageTarget() == nullptr);

    MessageHandler* handler = Fusion.GetHandler();
    handler->TakeMessage(Message(DeviceAdded, nullptr));
    EXPECT_TRUE(Fusion.GetStepCount() == 0 && handler->AcceptsType(BodyFrame) &&
                !handler->AcceptsType(DeviceAdded));
}

TEST(SensorFusionThreads, ReadsWholeOrientationsWhileFramesArriveAndDetachesWhenDestroyed) {
    auto fusion = std::make_unique<SensorFusion>();
    HandlerLink link(nullptr); // a device's end, called as the device thread calls it
    link.SetHandler(fusion->GetHandler());
    std::atomic<bool> stop{false};
    std::atomic<unsigned> delivered{0};
    std::thread device([&] {
        BodyFrameMessage m(nullptr);
        m.AngularRate[1] = 3, m.Duration = 0.001f;
        while (!stop)
            link.Call(m), ++delivered;
    });
    bool whole = true;
    while (delivered < 20000) {
        const Quatf q = fusion->ReadOrientation(); // about Y only: (0, sin, 0, cos)
        whole = whole && q.x == 0 && q.z == 0 && std::fabs(q.y * q.y + q.w * q.w - 1) < 1e-4f;
    }
    fusion.reset(); // while the device thread keeps calling
    EXPECT_TRUE(whole);
    EXPECT_EQ(link.GetHandler(), nullptr);
    stop = true;
    device.join();
}
