// Head orientation from the tracker's body frames: gyroscope integration into a quaternion with
// a slow, gated tilt correction toward gravity. Heading is not corrected.
//
// Threads: frames arrive on the device thread through the embedded handler, under the shared
// handler lock; ReadOrientation, Reset and AttachSensor may be called from any other thread and
// take the same lock.
#pragma once

#include <cstdint>

#include "hmd/devices/device.h"
#include "hmd/tracking/quat.h"

namespace Visor {

class SensorDevice;
class BodyFrameMessage;

// A ring of the latest Size vectors (Size at most Capacity).
class VectorHistory {
public:
    enum { Capacity = 100 };

    explicit VectorHistory(std::int32_t size) : Size(size) {}

    void Add(const Vector3f& v) {
        LastIndex = (LastIndex == Size - 1) ? 0 : LastIndex + 1;
        Elements[LastIndex] = v;
    }
    // Slots never written count as zero vectors, so an early mean reads short.
    Vector3f Mean() const;

private:
    std::int32_t LastIndex = -1;
    std::int32_t Size;
    Vector3f Elements[Capacity];
};

class SensorFusion {
public:
    SensorFusion();
    SensorFusion(const SensorFusion&) = delete;
    SensorFusion& operator=(const SensorFusion&) = delete;

    // Makes this filter the handler of sensor and resets it. A sensor already reporting to this
    // filter only resets it; one reporting to another handler is refused (false, nothing
    // changed). Any earlier sensor is detached first. A null sensor detaches every sensor and
    // resets. Not from inside a message handler of another thread's device.
    bool AttachSensor(SensorDevice* sensor);
    // Orientation back to the identity and the step count and time to zero; the tilt estimate
    // and the gravity history are kept, so a known tilt is still removed afterwards.
    void Reset();
    // The corrected orientation, rotating the tracker's axes into the world (+Y up).
    Quatf ReadOrientation() const;

    // The receiver to attach to a sensor, or to deliver frames to directly.
    MessageHandler* GetHandler() { return &Handler; }

    // Inspection for tests and tools; any thread, under the same lock.
    std::uint32_t GetStepCount() const { return Locked(StepCount); }
    float GetElapsedTime() const { return Locked(ElapsedTime); }
    Quatf GetUncorrectedOrientation() const { return Locked(UncorrectedOrientation); }
    std::int32_t GetTiltStableCount() const { return Locked(TiltStableCount); }
    float GetTiltAngle() const { return Locked(TiltAngle); }
    Vector3f GetTiltAxis() const { return Locked(TiltAxis); }

private:
    class BodyFrameHandler : public MessageHandler {
    public:
        explicit BodyFrameHandler(SensorFusion* fusion) : Fusion(fusion) {}
        ~BodyFrameHandler() override;
        BodyFrameHandler(const BodyFrameHandler&) = delete;
        BodyFrameHandler& operator=(const BodyFrameHandler&) = delete;

        void TakeMessage(const Message& message) override;
        bool AcceptsType(MessageType type) const override;
        Mutex* GetLock() const { return Lock.GetMutex(); }

    private:
        SensorFusion* Fusion;
        SharedHandlerLock Lock; // the base keeps its own use private
    };

    template <class T> T Locked(const T& field) const {
        Mutex::Locker lock(Handler.GetLock());
        return field;
    }
    // One fusion step; the caller holds the shared handler lock.
    void Step(const BodyFrameMessage& frame);

    Quatf Orientation;
    Quatf UncorrectedOrientation;
    std::uint32_t StepCount = 0;
    float ElapsedTime = 0;
    float StepTime = 0;
    float Gain = 0.05f;
    bool TiltCorrectionOn = true;
    VectorHistory WorldAccelHistory{20};
    std::int32_t TiltStableCount = 0;
    float TiltAngle = 0;
    Vector3f TiltAxis{0, 1, 0};
    // Last, so that it is destroyed first: its destructor waits out a delivery in progress,
    // which still uses every other field.
    BodyFrameHandler Handler;
};

} // namespace Visor
