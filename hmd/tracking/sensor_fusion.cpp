// The orientation filter: one step per body frame on the device thread, reads and resets from
// the application under the shared handler lock.
#include "hmd/tracking/sensor_fusion.h"

#include <cmath>

#include "hmd/tracking/sensor_device.h"

namespace Visor {

namespace {

// Gating and correction constants of the step; bounds are strict, so a value that meets one
// exactly takes the other branch.
constexpr float StandardGravity = 9.81f;
constexpr float RestAccelTolerance = 0.4f; // |alen - g| below it may be rest
constexpr float RestRateLimit = 0.1f;      // rad/s
constexpr std::int32_t RestFramesPerEstimate = 50;
constexpr float MinRecordedTilt = 0.05f;    // smaller estimates are not recorded
constexpr float MinCorrectedTilt = 0.01f;   // smaller tilts are left alone
constexpr float QuickCorrectionTilt = 0.4f; // larger ones are removed at once ...
constexpr float QuickCorrectionTime = 8.0f; // ... in the first seconds after a reset
constexpr std::uint32_t NormalizeEvery = 5000;

float Acos(float v) {
    return static_cast<float>(std::acos(static_cast<double>(v)));
}

} // namespace

Vector3f VectorHistory::Mean() const {
    Vector3f sum;
    for (std::int32_t i = 0; i < Size; ++i)
        sum = sum + Elements[i];
    return sum * (1.0f / static_cast<float>(Size));
}

SensorFusion::SensorFusion() : Handler(this) {}

SensorFusion::BodyFrameHandler::~BodyFrameHandler() {
    DetachFromDevices();
    // A delivery that started before the detach holds the lock until it returns.
    Mutex::Locker wait(Lock.GetMutex());
}

void SensorFusion::BodyFrameHandler::TakeMessage(const Message& message) {
    if (message.Type == BodyFrame)
        Fusion->Step(static_cast<const BodyFrameMessage&>(message));
}

bool SensorFusion::BodyFrameHandler::AcceptsType(MessageType type) const {
    return type == BodyFrame;
}

bool SensorFusion::AttachSensor(SensorDevice* sensor) {
    if (sensor) {
        MessageHandler* current = sensor->GetMessageTarget();
        if (current == &Handler) {
            Reset();
            return true;
        }
        if (current)
            return false;
    }
    // IsHandlerInstalled looks under the lock; the detach takes it again by itself.
    if (Handler.IsHandlerInstalled())
        Handler.DetachFromDevices();
    if (sensor)
        sensor->SetMessageTarget(&Handler);
    Reset();
    return true;
}

void SensorFusion::Reset() {
    Mutex::Locker lock(Handler.GetLock());
    Orientation = Quatf();
    UncorrectedOrientation = Quatf();
    StepCount = 0;
    ElapsedTime = 0;
}

Quatf SensorFusion::ReadOrientation() const {
    return Locked(Orientation);
}

void SensorFusion::Step(const BodyFrameMessage& frame) {
    const Vector3f accel(frame.Acceleration[0], frame.Acceleration[1], frame.Acceleration[2]);
    const Vector3f rate(frame.AngularRate[0], frame.AngularRate[1], frame.AngularRate[2]);

    StepTime = frame.Duration;
    const float rateLen = rate.Length();
    const float accelLen = accel.Length();
    const Vector3f accelWorld = Orientation.Rotate(accel);

    ++StepCount;
    ElapsedTime += StepTime;
    WorldAccelHistory.Add(accelWorld);

    // The turn happened in the head's own frame, so it multiplies on the right.
    if (rateLen > 0) {
        const float half = rateLen * StepTime * 0.5f;
        const float s = static_cast<float>(std::sin(static_cast<double>(half)));
        const float c = static_cast<float>(std::cos(static_cast<double>(half)));
        const Vector3f axis = rate / rateLen;
        Orientation = Orientation * Quatf(axis.x * s, axis.y * s, axis.z * s, c);
    }
    // Rounding drifts the length only slowly; renormalising every step would cost more.
    if (StepCount % NormalizeEvery == 0)
        Orientation.Normalize();
    UncorrectedOrientation = Orientation;

    if (!TiltCorrectionOn)
        return;

    if (std::fabs(accelLen - StandardGravity) < RestAccelTolerance && rateLen < RestRateLimit)
        ++TiltStableCount;
    else
        TiltStableCount = 0;

    if (TiltStableCount >= RestFramesPerEstimate) {
        TiltStableCount = 0;
        const Vector3f g = WorldAccelHistory.Mean();
        const Vector3f axis(g.z, 0, -g.x);
        const float axisLen = axis.Length();
        // Gravity straight along +Y (or -Y, or no gravity at all) names no axis to turn about:
        // the estimate is skipped and the recorded tilt kept. The test is also false for a
        // mean that is not a number.
        if (axisLen > 0) {
            const float angle = Acos(g.y / g.Length());
            if (angle > MinRecordedTilt) {
                TiltAngle = angle;
                TiltAxis = axis / axisLen;
            }
        }
    }

    if (TiltAngle > MinCorrectedTilt) {
        const Vector3f n = TiltAxis / TiltAxis.Length();
        // The tilt is measured in the world, so the correction multiplies on the left.
        if (TiltAngle > QuickCorrectionTilt && ElapsedTime < QuickCorrectionTime) {
            Orientation = Quatf::FromAxisAngle(n, -TiltAngle) * Orientation;
            TiltAngle = 0;
        } else {
            // Faster while the head turns, when an error is least visible.
            const float delta = Gain * TiltAngle * -0.005f * (5.0f * rateLen + 1.0f);
            Orientation = Quatf::FromAxisAngle(n, delta) * Orientation;
            TiltAngle += delta;
        }
    }
}

} // namespace Visor
