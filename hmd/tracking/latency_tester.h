// The latency tester: its factory and description, which list it in every enumeration, and a
// minimal device object that holds its HID device open while it lives.
#pragma once

#include <cstdint>

#include "hmd/devices/device_manager.h"
#include "hmd/devices/hid_device_create_desc.h"

namespace Visor {

// Filled by QueryInfo with RecordType Type_LatencyTester.
struct LatencyTestInfo : DeviceInfoRecord {
    LatencyTestInfo() : DeviceInfoRecord(Type_LatencyTester) {}
    std::uint16_t VendorId = 0;
    std::uint16_t ProductId = 0;
    char SerialNumber[20] = {};
};

// Each manager has its own, so any number of managers may live at once.
class LatencyTestDeviceFactory : public DeviceFactory {
public:
    // Device thread, ListLock held: lists the latency testers present; reads no report.
    void EnumerateDevices(EnumerateVisitor& visitor) override;
    bool MatchIds(std::uint16_t vendorId, std::uint16_t productId) const override;
    bool ClaimHidDevice(DeviceManager* manager, const HidDeviceRecord& record) override;
};

class LatencyTestDeviceCreateDesc : public HIDDeviceCreateDesc {
public:
    LatencyTestDeviceCreateDesc(DeviceFactory* factory, const HidDeviceRecord& record)
        : HIDDeviceCreateDesc(factory, Type_LatencyTester, record) {}

    DeviceCreateDesc* Clone() const override;
    DeviceBase* MakeDevice() override;
    // Type_None or Type_LatencyTester records; texts too long for their field are cut between
    // characters.
    bool QueryInfo(DeviceInfoRecord* info) const override;
    using HIDDeviceCreateDesc::SameDevice;
    MatchResult SameDevice(const DeviceCreateDesc& other,
                           DeviceCreateDesc** candidate) const override;
};

class LatencyTestDevice : public DeviceBase {
public:
    DeviceKind GetType() const override { return Type_LatencyTester; }
};

} // namespace Visor
