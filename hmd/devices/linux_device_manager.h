// The device manager on Linux: owns the device thread the platform-neutral manager posts its
// work to, and the HID layer's manager.
#pragma once

#include <cstdint>

#include "hmd/devices/device_manager.h"
#include "hmd/devices/linux_device_manager_thread.h"
#include "hmd/devices/linux_device_status.h"
#include "hmd/devices/linux_hid_device.h"

namespace Visor {
namespace Linux {

class DeviceManager : public DeviceManagerImpl {
public:
    // Application thread: a manager with its device thread running but no factories and no
    // profile store, one reference for the caller; null before System::Init or when the device
    // thread cannot be started. Visor::DeviceManager::Create adds what the library offers.
    // statusRetryIntervalMs: how often a HID arrival nobody took is offered again.
    static DeviceManager*
    CreateBare(std::uint32_t statusRetryIntervalMs = DeviceStatus::DefaultRetryIntervalMs);

    // Application thread: starts the device thread, which hears of devices plugged in and
    // pulled out through a udev monitor; false when it cannot be made or started.
    bool Initialize(DeviceBase* parent) override;
    // Device thread (or the releasing thread when no device thread was started): ends the
    // device thread behind the commands already queued and forgets every description.
    void Shutdown() override;

    ThreadCommandQueue* QueueOf() override { return DeviceThread.GetPtr(); }
    std::uint32_t GetThreadId() const override {
        return DeviceThread ? DeviceThread->GetThreadId() : 0;
    }
    // The HID layer's manager, null when it could not be made. Use it on the device thread.
    HIDDeviceManager* GetHIDDeviceManager() const { return HidDeviceManager.GetPtr(); }
    Visor::HIDDeviceManager* GetHidManager() const override { return HidDeviceManager.GetPtr(); }
    // The device thread's source of arrival and removal notices (owned by that thread), null
    // when none could be made. Use it on the device thread.
    DeviceStatus* GetDeviceStatus() const { return Status; }

private:
    Ptr<DeviceManagerThread> DeviceThread;
    Ptr<HIDDeviceManager> HidDeviceManager;
    DeviceStatus* Status = nullptr;
    std::uint32_t StatusRetryIntervalMs = DeviceStatus::DefaultRetryIntervalMs;
};

} // namespace Linux
} // namespace Visor
