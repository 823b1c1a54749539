// The device manager as the library offers it on Linux: the platform manager with the user
// profiles and the factories of every device kind the library knows, in their order.
#include "hmd/devices/linux_device_manager.h"
#include "hmd/support/profile.h"
#include "hmd/tracking/hmd_device.h"
#include "hmd/tracking/latency_tester.h"
#include "hmd/tracking/sensor_device_impl.h"

namespace Visor {

DeviceManager* DeviceManager::Create() {
    Linux::DeviceManager* manager = Linux::DeviceManager::CreateBare();
    if (!manager)
        return nullptr;
    manager->SetProfileStore(Ptr<ProfileManager>::Adopt(ProfileManager::Create()));
    // The tracker's factory comes first, so a headset is usually described by its tracker and
    // then matched with its monitor.
    auto* displays = new Linux::HMDDeviceFactory;
    manager->AdoptFactory(new SensorDeviceFactory(displays));
    manager->AdoptFactory(new LatencyTestDeviceFactory);
    manager->AdoptFactory(displays);
    return manager;
}

} // namespace Visor
