// The common part of the device kinds that own one HID device: the device tree's DeviceImpl
// joined with the HID handler, and feature reports reached from any thread through commands.
#pragma once

#include <cstdint>
#include <cstring>

#include "hmd/devices/device_manager.h"
#include "hmd/devices/hid_device.h"
#include "hmd/devices/hid_device_create_desc.h"

namespace Visor {

template <class B> class HIDDeviceImpl : public DeviceImpl<B>, public HIDDevice::HIDHandler {
public:
    // A feature report travelling inside a command.
    struct WriteData {
        enum { BufferSize = 64 };
        std::uint8_t Buffer[BufferSize] = {};
        std::uint32_t Size = 0;
    };

    explicit HIDDeviceImpl(DeviceCreateDesc* desc) : DeviceImpl<B>(desc) {}

    // Any thread; the report is exchanged on the device thread, and the caller waits for it.
    // False when the device thread takes no more commands, when the device is closed, or when
    // the device refused the report. SetFeature refuses reports longer than WriteData holds.
    bool SetFeature(const std::uint8_t* data, std::uint32_t length) override {
        if (!data || length == 0 || length > WriteData::BufferSize)
            return false;
        WriteData copy;
        std::memcpy(copy.Buffer, data, length);
        copy.Size = length;
        ThreadCommandQueue* queue = GetQueue();
        bool result = false;
        return queue &&
               queue->PushCallAndWaitResult(this, &HIDDeviceImpl::SetFeatureOnThread, &result,
                                            copy) &&
               result;
    }
    bool GetFeature(std::uint8_t* data, std::uint32_t length) override {
        if (!data || length == 0)
            return false;
        ThreadCommandQueue* queue = GetQueue();
        bool result = false;
        return queue &&
               queue->PushCallAndWaitResult(this, &HIDDeviceImpl::GetFeatureOnThread, &result, data,
                                            length) &&
               result;
    }

protected:
    // The device thread's queue, or null once the manager is gone.
    ThreadCommandQueue* GetQueue() const {
        auto* manager = static_cast<DeviceManagerImpl*>(this->GetManager());
        return manager ? manager->QueueOf() : nullptr;
    }
    const HIDDeviceCreateDesc* GetHidDesc() const {
        return static_cast<const HIDDeviceCreateDesc*>(this->Desc.GetDesc());
    }
    // The lock every description of the manager shares; null for a description no manager
    // listed.
    Mutex* GetListLock() const {
        DeviceCreateDesc* desc = this->Desc.GetDesc();
        return desc && desc->Lock ? &desc->Lock->ListLock : nullptr;
    }

    // Device thread: opens the description's HID device, reports to this handler and takes
    // parent as Parent. False when the device cannot be opened (the HID layer logs why).
    bool OpenHid(DeviceBase* parent) {
        DeviceManagerImpl* manager = static_cast<DeviceManagerImpl*>(this->GetManager());
        HIDDeviceManager* hid = manager ? manager->GetHidManager() : nullptr;
        if (!hid)
            return false;
        Ptr<HIDDevice> device = Ptr<HIDDevice>::Adopt(hid->Open(GetHidDesc()->HidDesc.Path));
        if (!device)
            return false;
        Hid = static_cast<Ptr<HIDDevice>&&>(device);
        Hid->SetHandler(this);
        this->Parent = Ptr<DeviceBase>(parent);
        return true;
    }

    // Device thread.
    bool SetFeatureOnThread(const WriteData& data) {
        return Hid && Hid->SetFeature(data.Buffer, data.Size);
    }
    bool GetFeatureOnThread(std::uint8_t* data, std::uint32_t length) {
        return Hid && Hid->GetFeature(data, length);
    }

    // Null before Initialize and after Shutdown; changed on the device thread only.
    Ptr<HIDDevice> Hid;
};

} // namespace Visor
