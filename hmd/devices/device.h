// The device tree of the HMD library: device kinds and messages, message handlers and their
// shared lock, device descriptions with their handles, devices, factories and the manager face.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "hmd/devices/list.h"
#include "hmd/devices/refcount.h"
#include "hmd/devices/threads.h"

namespace Visor {

class DeviceBase;
class DeviceManager;
class DeviceManagerImpl;
class DeviceFactory;
class Message;
class MessageHandler;
class ProfileManager;
struct HidDeviceRecord;

enum DeviceKind : std::uint32_t {
    Type_None = 0, // matches any type in path searches
    Type_Manager = 1,
    Type_HMD = 2,
    Type_Sensor = 3,
    Type_LatencyTester = 4,
    Type_All = 0xFF, // wildcard in enumeration
};

// Device kinds add their own message values to this type (body frames, latency results).
enum MessageType : std::uint32_t {
    DeviceAdded = 0x100,
    DeviceRemoved = 0x101,
};

// Filled by QueryInfo. Device kinds extend it; RecordType says which record the caller passes.
struct DeviceInfoRecord {
    explicit DeviceInfoRecord(DeviceKind recordType = Type_None) : RecordType(recordType) {}
    // Copies text into a fixed field, always terminated. A text too long for it is cut before
    // the first UTF-8 character that does not fit whole, so no character arrives broken.
    template <std::size_t N> static void SetName(char (&field)[N], const char* text) {
        SetName(field, N, text);
    }
    static void SetName(char* field, std::size_t size, const char* text);

    DeviceKind RecordType;
    DeviceKind Type = Type_None;
    char Product[32] = {};
    char Manufacturer[32] = {};
    std::uint32_t Version = 0;
};

// One use of the process-wide recursive lock that guards every handler link and handler list.
// The first use creates the mutex and the last one destroys it; any thread.
class SharedHandlerLock {
public:
    SharedHandlerLock();
    ~SharedHandlerLock();
    SharedHandlerLock(const SharedHandlerLock&) = delete;
    SharedHandlerLock& operator=(const SharedHandlerLock&) = delete;

    Mutex* GetMutex() const { return M; }
    // Number of live uses (tests).
    static unsigned UseCount();

private:
    Mutex* M;
};

// A device's place in its handler's list. Guarded by the shared handler lock.
class HandlerLink : public ListNode<HandlerLink> {
public:
    explicit HandlerLink(DeviceBase* device) : Device(device) {}
    ~HandlerLink() { SetHandler(nullptr); }
    HandlerLink(const HandlerLink&) = delete;
    HandlerLink& operator=(const HandlerLink&) = delete;

    // Any thread.
    void SetHandler(MessageHandler* handler);
    MessageHandler* GetHandler() const;
    DeviceBase* GetDevice() const { return Device; }
    // Delivers message to the handler, if any, with the shared handler lock held.
    void Call(const Message& message);

private:
    friend class MessageHandler;
    SharedHandlerLock Lock;
    DeviceBase* Device;
    MessageHandler* Handler = nullptr;
};

// Receiver of device messages. TakeMessage runs on the device thread under the shared
// handler lock, so after DetachFromDevices (or SetMessageTarget(null)) returns, no call is
// running or will come. A derived handler detaches in its own destructor.
class MessageHandler {
public:
    MessageHandler() = default;
    virtual ~MessageHandler() { DetachFromDevices(); }
    MessageHandler(const MessageHandler&) = delete;
    MessageHandler& operator=(const MessageHandler&) = delete;

    virtual void TakeMessage(const Message& message) { (void)message; }
    virtual bool AcceptsType(MessageType type) const {
        (void)type;
        return true;
    }
    // Any thread.
    bool IsHandlerInstalled() const;
    void DetachFromDevices();

private:
    friend class HandlerLink;
    SharedHandlerLock Lock;
    List<HandlerLink> Links;
};

// The lock every description of one manager shares; it outlives the manager, so a surviving
// handle finds out the manager is gone (Manager null).
class DeviceManagerLock : public RefCountBase<DeviceManagerLock> {
public:
    Mutex ListLock;
    std::atomic<DeviceManagerImpl*> Manager{nullptr};
};

// What the manager knows of one physical device. Seen and Device are guarded by ListLock.
class DeviceCreateDesc : public ListNode<DeviceCreateDesc>, public NewOverrideBase {
public:
    enum MatchResult { NoMatch = 0, Matched = 1, Candidate = 2 };

    DeviceCreateDesc(DeviceFactory* factory, DeviceKind type) : Factory(factory), Type(type) {}
    // Unlinks itself when still listed (the caller holds ListLock then).
    virtual ~DeviceCreateDesc();
    DeviceCreateDesc& operator=(const DeviceCreateDesc&) = delete;

    // A new heap copy, unlinked, with no handles; null when memory runs out.
    virtual DeviceCreateDesc* Clone() const = 0;
    // A new, uninitialised device for this description; null when none can be made.
    virtual DeviceBase* MakeDevice() = 0;
    virtual bool QueryInfo(DeviceInfoRecord* info) const = 0;
    virtual bool SameDevice(const char* path) const {
        (void)path;
        return false;
    }
    // Matched, or Candidate after storing this description in *candidate, or NoMatch.
    virtual MatchResult SameDevice(const DeviceCreateDesc& other,
                                   DeviceCreateDesc** candidate) const = 0;
    // Takes over other's identity; *isNew says the device is a different one.
    virtual bool AcceptCandidate(const DeviceCreateDesc& other, bool* isNew) {
        (void)other;
        (void)isNew;
        return false;
    }
    // Whether record, announced by an arrival, is this description's physical device.
    virtual bool MatchHidRecord(const HidDeviceRecord& record) const {
        (void)record;
        return false;
    }

    DeviceFactory* Factory;
    DeviceKind Type;
    Ptr<DeviceManagerLock> Lock;
    std::atomic<std::uint32_t> Handles{0};
    DeviceBase* Device = nullptr;
    bool Seen = true;

protected:
    // For Clone: the copy is unlinked, held by nobody and has no device.
    DeviceCreateDesc(const DeviceCreateDesc& other)
        : ListNode<DeviceCreateDesc>(other), NewOverrideBase(other), Factory(other.Factory),
          Type(other.Type), Lock(other.Lock) {
        pPrev = pNext = nullptr;
    }

private:
    friend class DeviceManagerImpl;
    bool SeenBeforeScan = false;
};

// A counted hold on a description. A held description stays alive; the last handle deletes a
// description whose device left or whose manager shut down. Any thread; one handle object is
// not shared between threads.
class DescHandle {
public:
    DescHandle() = default;
    // Takes a handle on desc; a description no handle holds yet must be taken under ListLock.
    explicit DescHandle(DeviceCreateDesc* desc);
    DescHandle(const DescHandle& other) : DescHandle(other.Desc) {}
    DescHandle(DescHandle&& other) noexcept : Desc(other.Desc) { other.Desc = nullptr; }
    DescHandle& operator=(const DescHandle& other);
    DescHandle& operator=(DescHandle&& other) noexcept;
    ~DescHandle() { Clear(); }

    void Clear();
    DeviceCreateDesc* GetDesc() const { return Desc; }
    bool IsEmpty() const { return Desc == nullptr; }
    DeviceKind GetType() const { return Desc ? Desc->Type : Type_None; }
    // Whether the latest enumeration saw the device / a live device exists.
    bool IsAvailable() const;
    bool IsCreated() const;
    bool GetDeviceInfo(DeviceInfoRecord* info) const { return Desc && Desc->QueryInfo(info); }

    // Any thread but inside a handler: the live device with one more reference, else a new one
    // made on the device thread. Null when empty, the manager is gone or creation fails.
    DeviceBase* CreateDevice();

protected:
    DeviceCreateDesc* Desc = nullptr;
};

struct EnumerationFilter {
    DeviceKind WantedType = Type_All;
    bool PresentOnly = true;
    bool Matches(const DeviceCreateDesc& desc) const {
        return (WantedType == Type_All || desc.Type == WantedType) && (desc.Seen || !PresentOnly);
    }
};

// A handle positioned on a description matching its filter.
class DescEnumerator : public DescHandle {
public:
    DescEnumerator() = default;
    DescEnumerator(DeviceCreateDesc* desc, const EnumerationFilter& filter)
        : DescHandle(desc), Filter(filter) {}
    // Moves to the next matching description; false (and empty) at the end, false and
    // unchanged when the description left the list or the manager shut down.
    bool Next();
    const EnumerationFilter& GetFilter() const { return Filter; }

private:
    EnumerationFilter Filter;
};

class DeviceCommon;

// Public face of every device. Devices are made and destroyed on the device thread; the last
// Release posts the destruction there.
class DeviceBase : public NewOverrideBase {
public:
    DeviceBase() = default;
    DeviceBase(const DeviceBase&) = delete;
    DeviceBase& operator=(const DeviceBase&) = delete;
    virtual ~DeviceBase() = default;

    // Any thread.
    virtual void AddRef();
    virtual void Release();
    virtual DeviceBase* GetParent() const;
    virtual DeviceManager* GetManager() const;
    virtual void SetMessageTarget(MessageHandler* handler);
    virtual MessageHandler* GetMessageTarget() const;
    virtual DeviceKind GetType() const;
    virtual bool QueryInfo(DeviceInfoRecord* info) const;
    virtual DeviceCommon* GetCommon() const = 0;
};

// State every device shares.
class DeviceCommon {
public:
    DeviceCommon(DeviceCreateDesc* desc, DeviceBase* device) : Desc(desc), HandlerRef(device) {}
    DeviceCommon(const DeviceCommon&) = delete;
    DeviceCommon& operator=(const DeviceCommon&) = delete;
    virtual ~DeviceCommon() = default;

    // Device thread. Parent is already set when Initialize runs.
    virtual bool Initialize(DeviceBase* parent) {
        (void)parent;
        return true;
    }
    virtual void Shutdown() {}

    // Drops the last reference of device: Shutdown and delete, unless a reference was taken
    // since the release was posted. The device thread, or the releasing thread when there is
    // no device thread to post to.
    static void DestroyLast(DeviceBase* device);

    std::atomic<std::uint32_t> RefCount{1};
    DescHandle Desc;
    Ptr<DeviceBase> Parent;
    HandlerLink HandlerRef;
};

template <class B> class DeviceImpl : public B, public DeviceCommon {
public:
    explicit DeviceImpl(DeviceCreateDesc* desc) : DeviceCommon(desc, this) {}
    DeviceCommon* GetCommon() const override { return const_cast<DeviceImpl*>(this); }
};

// One per device kind; reports the devices of its kind present now. Called on the device thread
// with ListLock held.
class DeviceFactory : public ListNode<DeviceFactory>, public NewOverrideBase {
public:
    class EnumerateVisitor {
    public:
        virtual void Visit(const DeviceCreateDesc& desc) = 0;

    protected:
        ~EnumerateVisitor() = default;
    };

    DeviceFactory() = default;
    DeviceFactory(const DeviceFactory&) = delete;
    DeviceFactory& operator=(const DeviceFactory&) = delete;
    // A factory destroyed while registered leaves its manager's list first.
    virtual ~DeviceFactory();

    virtual bool Attach(DeviceManagerImpl* manager) {
        Manager = manager;
        return true;
    }
    virtual void Detach() { Manager = nullptr; }
    virtual void EnumerateDevices(EnumerateVisitor& visitor) = 0;
    virtual bool MatchIds(std::uint16_t vendorId, std::uint16_t productId) const {
        (void)vendorId;
        (void)productId;
        return false;
    }
    // Device thread, ListLock held: adds the device of an arrival notice to manager's list when
    // it is of this factory's kind; true when the manager took it.
    virtual bool ClaimHidDevice(DeviceManager* manager, const HidDeviceRecord& record) {
        (void)manager;
        (void)record;
        return false;
    }
    DeviceManagerImpl* GetManagerImpl() const { return Manager; }

protected:
    DeviceManagerImpl* Manager = nullptr;

private:
    friend class DeviceManagerImpl;
    bool OwnedByManager = false;
};

class DeviceManager : public DeviceBase {
public:
    // Application thread. A new manager with its device thread running and the platform's
    // factories registered, one reference for the caller; null before System::Init or when
    // the device thread cannot be started.
    static DeviceManager* Create();

    DeviceManager* GetManager() const override { return const_cast<DeviceManager*>(this); }
    DeviceKind GetType() const override { return Type_Manager; }

    // Any thread but inside a handler: rescans the factories on the device thread, then returns
    // an enumerator on the first description matching filter, or an empty one.
    virtual DescEnumerator Enumerate(const EnumerationFilter& filter) = 0;
    DescEnumerator Enumerate(DeviceKind type, bool presentOnly = true) {
        return Enumerate(EnumerationFilter{type, presentOnly});
    }
    // Device thread: merges desc into the device list (see DeviceManagerImpl).
    virtual DescHandle AddDevice(const DeviceCreateDesc& desc) = 0;
    // The user profiles, without a reference for the caller; null when none could be loaded.
    virtual ProfileManager* ProfileStore() const = 0;
};

// Carried by device messages; Device is the sender, not owned.
class Message {
public:
    Message(MessageType type, DeviceBase* device) : Type(type), Device(device) {}
    MessageType Type;
    DeviceBase* Device;
};

class DeviceStatusMessage : public Message {
public:
    DeviceStatusMessage(MessageType type, DeviceBase* device, const DescHandle& handle)
        : Message(type, device), Handle(handle) {}
    DescHandle Handle;
};

} // namespace Visor
