// Linux device manager: device thread start and shutdown, and manager creation.
#include "hmd/devices/linux_device_manager.h"

#include "hmd/devices/log.h"
#include "hmd/devices/system.h"

namespace Visor {
namespace Linux {

bool DeviceManager::Initialize(DeviceBase* parent) {
    if (!GetListLock())
        return false;
    DeviceThread = Ptr<DeviceManagerThread>::Adopt(new DeviceManagerThread(this));
    if (!DeviceThread)
        return false;
    // Without it the thread still runs; devices are then found only by enumeration.
    if ((Status = new DeviceStatus(StatusRetryIntervalMs)))
        DeviceThread->AdoptStatusSource(Status);
    // Made before the thread starts, which reads it for every arrival, and only once the library
    // allocator is installed, like every object the device thread frees. Without it the manager
    // still runs; it just finds no HID device.
    if (Allocator::GetInstance()) {
        HidDeviceManager =
            Ptr<HIDDeviceManager>::Adopt(new HIDDeviceManager(this, DeviceThread.GetPtr()));
        if (HidDeviceManager && !HidDeviceManager->Initialize())
            HidDeviceManager.Clear();
    }
    if (!DeviceThread->Start(Thread::Running)) {
        Status = nullptr;
        HidDeviceManager.Clear();
        DeviceThread.Clear();
        return false;
    }
    if (!DeviceManagerImpl::Initialize(parent))
        return false;
    TextToLog("Visor::DeviceManager - initialized.\n");
    return true;
}

void DeviceManager::Shutdown() {
    // A manager whose device thread never started was never announced either.
    if (DeviceThread) {
        TextToLog("Visor::DeviceManager - shutting down.\n");
        if (HidDeviceManager) {
            HidDeviceManager->Shutdown();
            HidDeviceManager.Clear();
        }
        // Outstanding handles see the manager gone before the thread is told to end.
        Desc.GetDesc()->Lock->Manager.store(nullptr);
        DeviceThread->RequestExit(false);
        DeviceThread->DetachManager();
        DeviceThread.Clear();
        Status = nullptr;
    }
    DeviceManagerImpl::Shutdown();
}

DeviceManager* DeviceManager::CreateBare(std::uint32_t statusRetryIntervalMs) {
    if (!System::IsInitialized())
        return nullptr;
    auto* manager = new DeviceManager;
    if (!manager)
        return nullptr;
    manager->StatusRetryIntervalMs = statusRetryIntervalMs;
    if (!manager->Initialize(nullptr)) {
        // No device thread runs to take the posted release, so it is destroyed right here.
        manager->Release();
        return nullptr;
    }
    return manager;
}

} // namespace Linux
} // namespace Visor
