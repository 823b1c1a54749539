// The headset's inertial tracker as a device of the device tree: its body-frame messages, its
// info record, and the operations a caller has on an open tracker.
#pragma once

#include <cstdint>

#include "hmd/devices/device.h"
#include "hmd/devices/hid_device.h"
#include "hmd/tracking/sensor_reports.h"

namespace Visor {

// Message type of the tracker's samples.
constexpr MessageType BodyFrame = static_cast<MessageType>(0x300);

class SensorDevice;

// One sample in physical units and the host's chosen axes. Sent on the device thread under the
// shared handler lock; Device is the sending tracker, not owned.
class BodyFrameMessage : public Message {
public:
    explicit BodyFrameMessage(DeviceBase* device) : Message(BodyFrame, device) {}

    float Acceleration[3] = {0, 0, 0}; // metres per second squared
    float AngularRate[3] = {0, 0, 0};  // radians per second
    float MagField[3] = {0, 0, 0};     // the magnetometer's field unit
    float Temperature = 0;             // degrees
    float Duration = 0;                // seconds this sample stands for
};

// Filled by QueryInfo with RecordType Type_Sensor.
struct TrackerInfo : DeviceInfoRecord {
    TrackerInfo() : DeviceInfoRecord(Type_Sensor) {}
    std::uint16_t VendorId = 0;
    std::uint16_t ProductId = 0;
    SensorRange MaxRanges;
    char SerialNumber[20] = {};
};

// An open tracker. Setters and getters may be called from any thread but a message handler's;
// the work runs on the device thread.
class SensorDevice : public HIDDeviceBase, public DeviceBase {
public:
    enum CoordinateFrame : std::uint32_t { SensorAxes = 0, HeadsetAxes = 1 };

    DeviceKind GetType() const override { return Type_Sensor; }

    // Axes the samples are delivered in; true when the command ran.
    virtual bool SetFrame(CoordinateFrame frame) = 0;
    virtual CoordinateFrame GetFrame() const = 0;
    // Reports per second (0 asks for 500, above 1000 gives 1000); true when the command ran.
    virtual bool SetRate(unsigned rate) = 0;
    // Reads the tracker's configuration; 0 when it cannot be read.
    virtual unsigned GetRate() const = 0;
    // Picks the smallest supported range covering range. With wait, true when the tracker took
    // it; without, true when the command was queued.
    virtual bool SetRange(const SensorRange& range, bool wait = false) = 0;
    // The range last read from or written to the tracker.
    virtual void GetRange(SensorRange* range) const = 0;
};

} // namespace Visor
