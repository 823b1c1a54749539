// The device tree's shared pieces: the shared handler lock, handler links, description
// handles and enumerators, and the reference counting of devices.
#include "hmd/devices/device.h"

#include <cstring>
#include <mutex>
#include <new>

#include "hmd/devices/device_manager.h"

namespace Visor {

namespace {

// A plain mutex guards the shared lock's creation, since the lock itself may not exist yet;
// the lock lives in static storage, so creating it cannot fail.
std::mutex SharedUseLock;
unsigned SharedUses = 0;
alignas(Mutex) unsigned char SharedStorage[sizeof(Mutex)];
Mutex* SharedMutex = nullptr;

} // namespace

void DeviceInfoRecord::SetName(char* field, std::size_t size, const char* text) {
    std::size_t n = text ? std::strlen(text) : 0;
    if (n > size - 1) {
        n = size - 1;
        // Back off over continuation bytes to the start of the character that would be cut.
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
            --n;
    }
    if (n)
        std::memcpy(field, text, n);
    field[n] = '\0';
}

SharedHandlerLock::SharedHandlerLock() {
    std::lock_guard<std::mutex> lock(SharedUseLock);
    if (SharedUses++ == 0)
        SharedMutex = ::new (SharedStorage) Mutex(true);
    M = SharedMutex;
}

SharedHandlerLock::~SharedHandlerLock() {
    std::lock_guard<std::mutex> lock(SharedUseLock);
    if (--SharedUses == 0) {
        SharedMutex->~Mutex();
        SharedMutex = nullptr;
    }
}

unsigned SharedHandlerLock::UseCount() {
    std::lock_guard<std::mutex> lock(SharedUseLock);
    return SharedUses;
}

void HandlerLink::SetHandler(MessageHandler* handler) {
    Mutex::Locker lock(Lock.GetMutex());
    if (handler == Handler)
        return;
    RemoveNode();
    Handler = handler;
    if (handler)
        handler->Links.PushBack(this);
}

MessageHandler* HandlerLink::GetHandler() const {
    Mutex::Locker lock(Lock.GetMutex());
    return Handler;
}

void HandlerLink::Call(const Message& message) {
    Mutex::Locker lock(Lock.GetMutex());
    if (Handler)
        Handler->TakeMessage(message);
}

bool MessageHandler::IsHandlerInstalled() const {
    Mutex::Locker lock(Lock.GetMutex());
    return !Links.IsEmpty();
}

void MessageHandler::DetachFromDevices() {
    Mutex::Locker lock(Lock.GetMutex());
    while (HandlerLink* link = Links.PopFront())
        link->Handler = nullptr;
}

DeviceCreateDesc::~DeviceCreateDesc() {
    RemoveNode();
}

DescHandle::DescHandle(DeviceCreateDesc* desc) : Desc(desc) {
    if (Desc)
        Desc->Handles.fetch_add(1, std::memory_order_relaxed);
}

DescHandle& DescHandle::operator=(const DescHandle& other) {
    DescHandle copy(other);
    return *this = static_cast<DescHandle&&>(copy);
}

DescHandle& DescHandle::operator=(DescHandle&& other) noexcept {
    if (this != &other) {
        Clear();
        Desc = other.Desc;
        other.Desc = nullptr;
    }
    return *this;
}

void DescHandle::Clear() {
    DeviceCreateDesc* desc = Desc;
    Desc = nullptr;
    if (!desc)
        return;
    for (;;) {
        std::uint32_t n = desc->Handles.load(std::memory_order_acquire);
        if (n != 1) {
            if (desc->Handles.compare_exchange_weak(n, n - 1, std::memory_order_acq_rel))
                return;
            continue;
        }
        if (!desc->Lock) {
            // Not the manager's (a factory's own description): its owner deletes it.
            if (desc->Handles.compare_exchange_weak(n, 0, std::memory_order_acq_rel))
                return;
            continue;
        }
        // The last handle: the transition to 0 is made under ListLock, so that enumeration
        // taking a handle meanwhile wins over deletion.
        Ptr<DeviceManagerLock> lock(desc->Lock.GetPtr());
        Mutex::Locker locked(&lock->ListLock);
        if (!desc->Handles.compare_exchange_strong(n, 0, std::memory_order_acq_rel))
            continue;
        // A present device's description stays listed for the next enumeration.
        if (!lock->Manager.load() || !desc->Seen)
            delete desc;
        return;
    }
}

bool DescHandle::IsAvailable() const {
    if (!Desc || !Desc->Lock)
        return false;
    Mutex::Locker lock(&Desc->Lock->ListLock);
    return Desc->Seen;
}

bool DescHandle::IsCreated() const {
    if (!Desc || !Desc->Lock)
        return false;
    Mutex::Locker lock(&Desc->Lock->ListLock);
    return Desc->Device != nullptr;
}

DeviceBase* DescHandle::CreateDevice() {
    if (!Desc || !Desc->Lock)
        return nullptr;
    DeviceManagerImpl* manager;
    {
        Mutex::Locker lock(&Desc->Lock->ListLock);
        if (Desc->Device) {
            Desc->Device->AddRef();
            return Desc->Device;
        }
        manager = Desc->Lock->Manager.load();
        if (!manager)
            return nullptr;
        // Keeps the manager (and its device thread) for the creation below.
        manager->AddRef();
    }
    DeviceBase* device = nullptr;
    if (manager->IsDeviceThread()) {
        device = manager->CreateDeviceOnThread(Desc, nullptr);
    } else if (ThreadCommandQueue* queue = manager->QueueOf()) {
        queue->PushCallAndWaitResult(manager, &DeviceManagerImpl::CreateDeviceOnThread, &device,
                                     Desc, static_cast<DeviceBase*>(nullptr));
    }
    manager->Release();
    return device;
}

bool DescEnumerator::Next() {
    if (!Desc || Desc->Type == Type_None || !Desc->Lock)
        return false;
    Ptr<DeviceManagerLock> lock(Desc->Lock.GetPtr());
    Mutex::Locker locked(&lock->ListLock);
    DeviceManagerImpl* manager = lock->Manager.load();
    if (!manager || !Desc->IsLinked())
        return false;
    for (DeviceCreateDesc* d = manager->Devices.GetNext(Desc); d; d = manager->Devices.GetNext(d)) {
        if (Filter.Matches(*d)) {
            DescHandle::operator=(DescHandle(d));
            return true;
        }
    }
    Clear();
    return false;
}

void DeviceBase::AddRef() {
    GetCommon()->RefCount.fetch_add(1, std::memory_order_relaxed);
}

void DeviceBase::Release() {
    DeviceCommon* common = GetCommon();
    std::uint32_t n = common->RefCount.load(std::memory_order_acquire);
    while (n != 1) {
        if (common->RefCount.compare_exchange_weak(n, n - 1, std::memory_order_acq_rel))
            return;
    }
    // The last reference stays counted until the device thread decides, so that a reference
    // taken before the posted release runs keeps the device.
    auto* manager = static_cast<DeviceManagerImpl*>(GetManager());
    ThreadCommandQueue* queue = manager ? manager->QueueOf() : nullptr;
    if (queue && queue->PushCall(manager, &DeviceManagerImpl::ReleaseDeviceOnThread, this))
        return;
    // No device thread will run it (the manager never started one or has shut down).
    DeviceCommon::DestroyLast(this);
}

DeviceBase* DeviceBase::GetParent() const {
    return GetCommon()->Parent.GetPtr();
}

DeviceManager* DeviceBase::GetManager() const {
    DeviceCreateDesc* desc = GetCommon()->Desc.GetDesc();
    return desc && desc->Lock ? desc->Lock->Manager.load() : nullptr;
}

void DeviceBase::SetMessageTarget(MessageHandler* handler) {
    GetCommon()->HandlerRef.SetHandler(handler);
}

MessageHandler* DeviceBase::GetMessageTarget() const {
    return GetCommon()->HandlerRef.GetHandler();
}

DeviceKind DeviceBase::GetType() const {
    return GetCommon()->Desc.GetType();
}

bool DeviceBase::QueryInfo(DeviceInfoRecord* info) const {
    return GetCommon()->Desc.GetDeviceInfo(info);
}

void DeviceCommon::DestroyLast(DeviceBase* device) {
    DeviceCommon* common = device->GetCommon();
    DeviceCreateDesc* desc = common->Desc.GetDesc();
    Ptr<DeviceManagerLock> lock(desc ? desc->Lock.GetPtr() : nullptr);
    if (lock)
        lock->ListLock.Lock();
    bool last = false;
    std::uint32_t n = common->RefCount.load(std::memory_order_acquire);
    while (n != 0) {
        std::uint32_t next = n == 1 ? 0 : n - 1;
        if (common->RefCount.compare_exchange_weak(n, next, std::memory_order_acq_rel)) {
            last = next == 0;
            break;
        }
    }
    if (!last) {
        if (lock)
            lock->ListLock.Unlock();
        return;
    }
    DescHandle hold(common->Desc);
    if (desc && desc->Device == device)
        desc->Device = nullptr;
    common->Shutdown();
    // Dropped after the lock: the parent may be the manager, whose destruction takes it.
    Ptr<DeviceBase> parent(static_cast<Ptr<DeviceBase>&&>(common->Parent));
    delete device;
    if (lock)
        lock->ListLock.Unlock();
    hold.Clear();
    parent.Clear();
}

DeviceFactory::~DeviceFactory() {
    if (Manager)
        if (Mutex* lock = Manager->GetListLock()) {
            Mutex::Locker locked(lock);
            RemoveNode();
        }
}

} // namespace Visor
