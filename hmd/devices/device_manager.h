// The platform-neutral device manager: the device list with merging of reported devices, the
// factories, enumeration, device creation and release on the device thread, status messages.
#pragma once

#include <cstdint>

#include "hmd/devices/device.h"
#include "hmd/devices/thread_commands.h"

namespace Visor {

class HIDDeviceManager;

// The manager's own description: no factory, matches nothing and makes nothing.
class DeviceManagerCreateDesc : public DeviceCreateDesc {
public:
    DeviceManagerCreateDesc() : DeviceCreateDesc(nullptr, Type_Manager) {}
    DeviceCreateDesc* Clone() const override { return nullptr; }
    DeviceBase* MakeDevice() override { return nullptr; }
    bool QueryInfo(DeviceInfoRecord*) const override { return false; }
    MatchResult SameDevice(const DeviceCreateDesc&, DeviceCreateDesc**) const override {
        return NoMatch;
    }
};

class DeviceManagerImpl : public DeviceImpl<DeviceManager> {
public:
    DeviceManagerImpl();
    // After Shutdown: detaches the factories and gives back the own description.
    ~DeviceManagerImpl() override;

    // True for a Type_Manager or Type_None record; names the manager.
    bool QueryInfo(DeviceInfoRecord* info) const override;
    using DeviceManager::Enumerate;
    DescEnumerator Enumerate(const EnumerationFilter& filter) override;
    // Device thread (or ListLock held). Returns a handle on the existing description that is
    // the same device as desc (marked seen), else on a new copy appended to the list. Empty
    // when the copy cannot be made.
    DescHandle AddDevice(const DeviceCreateDesc& desc) override;

    // Fails without the own description; marks the manager as its description's device.
    bool Initialize(DeviceBase* parent) override;
    // Device thread, ListLock held: forgets the manager in the shared lock and unlinks every
    // description, deleting those no handle holds.
    void Shutdown() override;

    // The device thread's queue, or null when there is none. Any thread.
    virtual ThreadCommandQueue* QueueOf() = 0;
    // The device thread's id, 0 when there is none. Any thread.
    virtual std::uint32_t GetThreadId() const = 0;
    bool IsDeviceThread() const;
    // Where the HID device kinds find and open their devices; null on a platform without one.
    // Device thread.
    virtual HIDDeviceManager* GetHidManager() const { return nullptr; }

    ProfileManager* ProfileStore() const override { return Profiles.GetPtr(); }
    // Any thread, before the store is first asked for: the manager keeps store.
    void SetProfileStore(Ptr<ProfileManager> store);

    // Any thread: appends factory to the factories and attaches it. The caller keeps a
    // registered factory alive until the manager is destroyed; an adopted one is deleted with
    // the manager (a null one is ignored).
    void RegisterFactory(DeviceFactory* factory);
    void AdoptFactory(DeviceFactory* factory);
    // Device thread: asks each factory in order to claim the device of an arrival notice, until
    // one does; true when one did.
    bool ClaimHidDevice(const HidDeviceRecord& record);
    // Device thread: rescans every factory in registration order; devices no longer reported
    // are marked unseen and reported removed once.
    void ScanFactories();
    void EnumerateFactoryDevices(DeviceFactory* factory);
    // Any thread: the first description of type (any for Type_None) that is path.
    DescHandle FindByPath(const char* path, DeviceKind type);
    // Device thread: a DeviceAdded or DeviceRemoved message on desc to the manager's handler.
    void SendDeviceStatus(MessageType type, DeviceCreateDesc* desc);

    // Device thread: the live device of desc with one more reference, or a new one.
    DeviceBase* CreateDeviceOnThread(DeviceCreateDesc* desc, DeviceBase* parent);
    // Device thread: the posted last release of device.
    void ReleaseDeviceOnThread(DeviceBase* device);

    // Null only when the own description could not be allocated.
    Mutex* GetListLock() const;

protected:
    // Unlinks every description and forgets the manager; idempotent.
    void DetachDescriptions();

private:
    friend class DescEnumerator;
    List<DeviceCreateDesc> Devices;
    List<DeviceFactory> Factories;
    Ptr<ProfileManager> Profiles;
};

} // namespace Visor
