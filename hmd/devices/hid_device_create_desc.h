// The description of a device found on the HID layer: the device kind's description plus the
// HID record it was found with, whose path and serial number identify the physical device.
#pragma once

#include "hmd/devices/device.h"
#include "hmd/devices/hid_device.h"

namespace Visor {

class HIDDeviceCreateDesc : public DeviceCreateDesc {
public:
    HIDDeviceCreateDesc(DeviceFactory* factory, DeviceKind type, const HidDeviceRecord& record)
        : DeviceCreateDesc(factory, type), HidDesc(record) {}

    bool SameDevice(const char* path) const override { return path && HidDesc.Path == path; }
    // The same physical device: a node keeps its path while plugged, and the serial number
    // tells apart two devices that took the same node in turn.
    bool MatchHidRecord(const HidDeviceRecord& record) const override {
        return HidDesc.Path == record.Path && HidDesc.SerialNumber == record.SerialNumber;
    }

    HidDeviceRecord HidDesc;

protected:
    HIDDeviceCreateDesc(const HIDDeviceCreateDesc& other) = default;
};

} // namespace Visor
