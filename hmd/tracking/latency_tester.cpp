// The latency tester's factory, description and minimal device.
#include "hmd/tracking/latency_tester.h"

#include <cstring>

#include "hmd/devices/log.h"

namespace Visor {

namespace {

constexpr std::uint16_t LatencyTesterVendorId = 0x2833;
constexpr std::uint16_t LatencyTesterProductId = 0x0101;

class LatencyTestEnumerator : public HIDEnumerateVisitor {
public:
    LatencyTestEnumerator(LatencyTestDeviceFactory* factory,
                          DeviceFactory::EnumerateVisitor& visitor)
        : Factory(factory), Visitor(visitor) {}
    bool MatchIds(std::uint16_t vendorId, std::uint16_t productId) override {
        return Factory->MatchIds(vendorId, productId);
    }
    void Visit(HIDDevice& device, const HidDeviceRecord& record) override {
        (void)device;
        LatencyTestDeviceCreateDesc desc(Factory, record);
        Visitor.Visit(desc);
    }

private:
    LatencyTestDeviceFactory* Factory;
    DeviceFactory::EnumerateVisitor& Visitor;
};

// Holds the HID device open so no other program takes the tester while it is in use; its
// reports are not read.
class LatencyTestDeviceImpl : public DeviceImpl<LatencyTestDevice>, public HIDDevice::HIDHandler {
public:
    explicit LatencyTestDeviceImpl(DeviceCreateDesc* desc) : DeviceImpl<LatencyTestDevice>(desc) {}

    bool Initialize(DeviceBase* parent) override {
        (void)parent;
        const auto* desc = static_cast<const HIDDeviceCreateDesc*>(Desc.GetDesc());
        DeviceManagerImpl* manager = desc->Lock->Manager.load();
        HIDDeviceManager* hid = manager ? manager->GetHidManager() : nullptr;
        if (!hid)
            return false;
        Hid = Ptr<HIDDevice>::Adopt(hid->Open(desc->HidDesc.Path));
        if (!Hid)
            return false;
        Hid->SetHandler(this);
        TextToLog("Visor::LatencyTestDevice - initialized.\n");
        return true;
    }

    void Shutdown() override {
        if (!Hid)
            return;
        Hid->SetHandler(nullptr);
        Hid.Clear();
        TextToLog("Visor::LatencyTestDevice - Closed '%s'\n",
                  static_cast<const HIDDeviceCreateDesc*>(Desc.GetDesc())->HidDesc.Path.ToCStr());
    }

private:
    Ptr<HIDDevice> Hid;
};

} // namespace

void LatencyTestDeviceFactory::EnumerateDevices(EnumerateVisitor& visitor) {
    HIDDeviceManager* hid = Manager ? Manager->GetHidManager() : nullptr;
    if (!hid)
        return;
    LatencyTestEnumerator enumerator(this, visitor);
    hid->Enumerate(&enumerator);
}

bool LatencyTestDeviceFactory::MatchIds(std::uint16_t vendorId, std::uint16_t productId) const {
    return vendorId == LatencyTesterVendorId && productId == LatencyTesterProductId;
}

bool LatencyTestDeviceFactory::ClaimHidDevice(DeviceManager* manager,
                                              const HidDeviceRecord& record) {
    if (!manager || !MatchIds(record.VendorId, record.ProductId))
        return false;
    LatencyTestDeviceCreateDesc desc(this, record);
    return !manager->AddDevice(desc).IsEmpty();
}

DeviceCreateDesc* LatencyTestDeviceCreateDesc::Clone() const {
    return new LatencyTestDeviceCreateDesc(*this);
}

DeviceBase* LatencyTestDeviceCreateDesc::MakeDevice() {
    return new LatencyTestDeviceImpl(this);
}

bool LatencyTestDeviceCreateDesc::QueryInfo(DeviceInfoRecord* info) const {
    if (!info || (info->RecordType != Type_LatencyTester && info->RecordType != Type_None))
        return false;
    DeviceInfoRecord::SetName(info->Product, HidDesc.Product.ToCStr());
    DeviceInfoRecord::SetName(info->Manufacturer, HidDesc.Manufacturer.ToCStr());
    info->Type = Type_LatencyTester;
    info->Version = 0;
    if (info->RecordType == Type_LatencyTester) {
        auto* tester = static_cast<LatencyTestInfo*>(info);
        tester->VendorId = HidDesc.VendorId;
        tester->ProductId = HidDesc.ProductId;
        DeviceInfoRecord::SetName(tester->SerialNumber, HidDesc.SerialNumber.ToCStr());
    }
    return true;
}

DeviceCreateDesc::MatchResult
LatencyTestDeviceCreateDesc::SameDevice(const DeviceCreateDesc& other,
                                        DeviceCreateDesc** candidate) const {
    (void)candidate;
    if (other.Type != Type_LatencyTester || other.Factory != Factory)
        return NoMatch;
    const auto& desc = static_cast<const LatencyTestDeviceCreateDesc&>(other);
    return MatchHidRecord(desc.HidDesc) ? Matched : NoMatch;
}

} // namespace Visor
