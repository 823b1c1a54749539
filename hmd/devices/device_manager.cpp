// The platform-neutral device manager: device list, merging, factories, enumeration and the
// device-thread side of device creation and release.
#include "hmd/devices/device_manager.h"

#include "hmd/devices/log.h"
// Only the counted base of the profile store is used here, so no link to the support library.
#include "hmd/support/profile.h"

namespace Visor {

namespace {

// The manager's own description with the lock all its descriptions will share; null when
// either cannot be allocated (Initialize then fails).
DeviceCreateDesc* NewManagerDesc() {
    auto* desc = new DeviceManagerCreateDesc;
    if (!desc)
        return nullptr;
    desc->Lock = Ptr<DeviceManagerLock>::Adopt(new DeviceManagerLock);
    if (!desc->Lock) {
        delete desc;
        return nullptr;
    }
    return desc;
}

class FactoryEnumerateVisitor : public DeviceFactory::EnumerateVisitor {
public:
    explicit FactoryEnumerateVisitor(DeviceManagerImpl* manager) : Manager(manager) {}
    void Visit(const DeviceCreateDesc& desc) override { Manager->AddDevice(desc); }

private:
    DeviceManagerImpl* Manager;
};

} // namespace

DeviceManagerImpl::DeviceManagerImpl() : DeviceImpl<DeviceManager>(NewManagerDesc()) {
    if (DeviceCreateDesc* desc = Desc.GetDesc())
        desc->Lock->Manager.store(this);
}

DeviceManagerImpl::~DeviceManagerImpl() {
    DetachDescriptions();
    if (Mutex* lock = GetListLock()) {
        Mutex::Locker locked(lock);
        while (DeviceFactory* factory = Factories.PopFront()) {
            factory->Detach();
            if (factory->OwnedByManager)
                delete factory;
        }
    }
    // DeviceCommon then gives back the own description, deleted since Manager is null.
}

Mutex* DeviceManagerImpl::GetListLock() const {
    DeviceCreateDesc* desc = Desc.GetDesc();
    return desc ? &desc->Lock->ListLock : nullptr;
}

bool DeviceManagerImpl::IsDeviceThread() const {
    std::uint32_t id = GetThreadId();
    return id != 0 && id == Thread::GetCurrentThreadId();
}

bool DeviceManagerImpl::QueryInfo(DeviceInfoRecord* info) const {
    if (!info || (info->RecordType != Type_Manager && info->RecordType != Type_None))
        return false;
    info->Type = Type_Manager;
    info->Version = 0;
    DeviceInfoRecord::SetName(info->Product, "DeviceManager");
    DeviceInfoRecord::SetName(info->Manufacturer, "Visor Labs, Inc.");
    return true;
}

bool DeviceManagerImpl::Initialize(DeviceBase* parent) {
    (void)parent;
    Mutex* lock = GetListLock();
    if (!lock)
        return false;
    Mutex::Locker locked(lock);
    Desc.GetDesc()->Device = this;
    return true;
}

void DeviceManagerImpl::Shutdown() {
    DetachDescriptions();
}

void DeviceManagerImpl::DetachDescriptions() {
    Mutex* lock = GetListLock();
    if (!lock)
        return;
    Mutex::Locker locked(lock);
    Desc.GetDesc()->Lock->Manager.store(nullptr);
    // Held descriptions die at their last handle, which now finds no manager.
    while (DeviceCreateDesc* desc = Devices.PopFront()) {
        desc->Seen = false;
        if (desc->Handles.load(std::memory_order_acquire) == 0)
            delete desc;
    }
}

void DeviceManagerImpl::SetProfileStore(Ptr<ProfileManager> store) {
    Profiles = static_cast<Ptr<ProfileManager>&&>(store);
}

void DeviceManagerImpl::RegisterFactory(DeviceFactory* factory) {
    Mutex* lock = GetListLock();
    if (!lock || !factory)
        return;
    Mutex::Locker locked(lock);
    Factories.PushBack(factory);
    factory->Attach(this);
}

void DeviceManagerImpl::AdoptFactory(DeviceFactory* factory) {
    if (!factory)
        return;
    if (!GetListLock()) {
        delete factory;
        return;
    }
    factory->OwnedByManager = true;
    RegisterFactory(factory);
}

bool DeviceManagerImpl::ClaimHidDevice(const HidDeviceRecord& record) {
    Mutex* lock = GetListLock();
    if (!lock)
        return false;
    Mutex::Locker locked(lock);
    for (DeviceFactory* f = Factories.GetFirst(); f; f = Factories.GetNext(f))
        if (f->ClaimHidDevice(this, record))
            return true;
    return false;
}

DescEnumerator DeviceManagerImpl::Enumerate(const EnumerationFilter& filter) {
    if (IsDeviceThread())
        ScanFactories();
    else if (ThreadCommandQueue* queue = QueueOf())
        queue->PushCallAndWait(this, &DeviceManagerImpl::ScanFactories); // refused: use the list
    Mutex* lock = GetListLock();
    if (!lock)
        return DescEnumerator();
    Mutex::Locker locked(lock);
    DeviceCreateDesc* first = Devices.GetFirst();
    if (!first)
        return DescEnumerator(nullptr, EnumerationFilter{Type_None, true});
    DescEnumerator e(first, filter);
    if (!filter.Matches(*first))
        e.Next();
    return e;
}

void DeviceManagerImpl::ScanFactories() {
    Mutex* lock = GetListLock();
    if (!lock)
        return;
    Mutex::Locker locked(lock);
    for (DeviceCreateDesc* d = Devices.GetFirst(); d; d = Devices.GetNext(d)) {
        d->SeenBeforeScan = d->Seen;
        d->Seen = false;
    }
    for (DeviceFactory* f = Factories.GetFirst(); f; f = Factories.GetNext(f))
        EnumerateFactoryDevices(f);
    // A handle on the current description keeps it listed while its message is handled: a
    // handler that gives back handles may delete unseen descriptions.
    DescHandle current(Devices.GetFirst());
    while (DeviceCreateDesc* d = current.GetDesc()) {
        // Reported once, when it goes; a device that stays away is not removed again.
        if (d->SeenBeforeScan && !d->Seen)
            SendDeviceStatus(DeviceRemoved, d);
        current = DescHandle(Devices.GetNext(d));
    }
}

void DeviceManagerImpl::EnumerateFactoryDevices(DeviceFactory* factory) {
    FactoryEnumerateVisitor visitor(this);
    factory->EnumerateDevices(visitor);
}

DescHandle DeviceManagerImpl::AddDevice(const DeviceCreateDesc& reported) {
    Mutex* lock = GetListLock();
    if (!lock)
        return DescHandle();
    Mutex::Locker locked(lock);
    DeviceCreateDesc* candidate = nullptr;
    for (DeviceCreateDesc* d = Devices.GetFirst(); d; d = Devices.GetNext(d)) {
        if (d->SameDevice(reported, &candidate) == DeviceCreateDesc::Matched) {
            d->Seen = true;
            DescHandle handle(d);
            if (!d->Device)
                SendDeviceStatus(DeviceAdded, d);
            return handle;
        }
    }
    // Only a description of this list may take the reported device over.
    if (candidate && candidate->IsLinked() &&
        candidate->Lock.GetPtr() == Desc.GetDesc()->Lock.GetPtr()) {
        bool isNew = false;
        if (candidate->AcceptCandidate(reported, &isNew)) {
            candidate->Seen = true;
            DescHandle handle(candidate);
            if (!candidate->Device || isNew)
                SendDeviceStatus(DeviceAdded, candidate);
            return handle;
        }
    }
    DeviceCreateDesc* copy = reported.Clone();
    if (!copy) {
        ErrorToLog("Visor::DeviceManager - out of memory; a reported device is not listed.");
        return DescHandle();
    }
    copy->Lock = Desc.GetDesc()->Lock;
    copy->Seen = true;
    Devices.PushBack(copy);
    DescHandle handle(copy);
    SendDeviceStatus(DeviceAdded, copy);
    return handle;
}

DescHandle DeviceManagerImpl::FindByPath(const char* path, DeviceKind type) {
    Mutex* lock = GetListLock();
    if (!lock || !path)
        return DescHandle();
    Mutex::Locker locked(lock);
    for (DeviceCreateDesc* d = Devices.GetFirst(); d; d = Devices.GetNext(d))
        if ((type == Type_None || d->Type == type) && d->SameDevice(path))
            return DescHandle(d);
    return DescHandle();
}

void DeviceManagerImpl::SendDeviceStatus(MessageType type, DeviceCreateDesc* desc) {
    Mutex* lock = GetListLock();
    if (!lock || !desc)
        return;
    // Lock order: ListLock, then the shared handler lock (taken by Call).
    Mutex::Locker locked(lock);
    DeviceStatusMessage message(type, this, DescHandle(desc));
    HandlerRef.Call(message);
}

DeviceBase* DeviceManagerImpl::CreateDeviceOnThread(DeviceCreateDesc* desc, DeviceBase* parent) {
    Mutex* lock = GetListLock();
    if (!lock || !desc)
        return nullptr;
    // Declared before the lock so that a failed device's parent is released after it.
    Ptr<DeviceBase> failedParent;
    Mutex::Locker locked(lock);
    if (desc->Device) {
        desc->Device->AddRef();
        return desc->Device;
    }
    // A description of another manager, or this one has shut down.
    if (desc->Lock.GetPtr() != Desc.GetDesc()->Lock.GetPtr() || !desc->Lock->Manager.load())
        return nullptr;
    DeviceBase* device = desc->MakeDevice();
    if (!device)
        return nullptr;
    DeviceCommon* common = device->GetCommon();
    common->Parent = Ptr<DeviceBase>(parent ? parent : this);
    if (!common->Initialize(common->Parent.GetPtr())) {
        failedParent = static_cast<Ptr<DeviceBase>&&>(common->Parent);
        delete device;
        return nullptr;
    }
    desc->Device = device;
    return device;
}

void DeviceManagerImpl::ReleaseDeviceOnThread(DeviceBase* device) {
    // May destroy this manager: nothing touches it afterwards.
    DeviceCommon::DestroyLast(device);
}

} // namespace Visor
