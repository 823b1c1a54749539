// The HID layer's portable face: the identity of one HID device, the manager that lists and
// opens them, an open device with its feature reports, and the handler its reports go to.
#pragma once

#include <cstdint>

#include "hmd/devices/device_thread.h"
#include "hmd/devices/refcount.h"
#include "hmd/devices/visor_string.h"

namespace Visor {

class HIDDevice;

// One HID device's identity. Strings are UTF-8; one the device does not supply stays empty.
struct HidDeviceRecord {
    std::uint16_t VendorId = 0;
    std::uint16_t ProductId = 0;
    std::uint16_t VersionNumber = 0;
    std::uint16_t Usage = 0; // of the top-level collection
    std::uint16_t UsagePage = 0;
    String Path; // the platform's device path; identity for matching and status notices
    String Manufacturer;
    String Product;
    String SerialNumber;
};

// The most characters a device string keeps: what the device's string request can carry.
constexpr std::size_t MaxHidStringChars = 195;

// A device-supplied text made safe to keep and print: invalid UTF-8 bytes and control
// characters become '?', and the text is cut after MaxHidStringChars characters, never inside
// one. Null gives an empty string. Any thread.
String MakeHidDeviceString(const char* text);

// Implemented by the device kinds' factories. Called on the device thread.
class HIDEnumerateVisitor {
public:
    virtual bool MatchIds(std::uint16_t vendorId, std::uint16_t productId) = 0;
    // device is a temporary object, valid only during the call; it can read and write feature
    // reports.
    virtual void Visit(HIDDevice& device, const HidDeviceRecord& record) = 0;

protected:
    ~HIDEnumerateVisitor() = default;
};

// Feature reports. data[0] is the report id (0 for a device that numbers no reports); length
// counts it. Device thread.
class HIDDeviceBase {
public:
    virtual ~HIDDeviceBase() = default;
    // False when the device is not open or the device refused the report.
    virtual bool SetFeature(const std::uint8_t* data, std::uint32_t length) = 0;
    virtual bool GetFeature(std::uint8_t* data, std::uint32_t length) = 0;
};

// An open HID device. It lives on the device thread: the last Release must come there.
class HIDDevice : public RefCountBase<HIDDevice>, public HIDDeviceBase {
public:
    // Implemented by the device kinds; every call comes on the device thread, one at a time.
    class HIDHandler {
    public:
        // One input report as read; length is the number of bytes transferred.
        virtual void TakeInputReport(const std::uint8_t* data, std::uint32_t length) {
            (void)data;
            (void)length;
        }
        // Returns the microseconds until the next wanted call.
        virtual std::uint64_t OnTick(std::uint64_t ticksMks) {
            (void)ticksMks;
            return 1000000000ull;
        }
        // The device at this path was reported added or removed.
        virtual void OnDeviceStatus(DeviceStatusNotice notice) { (void)notice; }

    protected:
        ~HIDHandler() = default;
    };

    // Device thread; handler is not owned.
    void SetHandler(HIDHandler* handler) { Handler = handler; }
    HIDHandler* GetHandler() const { return Handler; }

protected:
    HIDHandler* Handler = nullptr;
};

// One per device manager, created with it. Device thread, all operations.
class HIDDeviceManager : public RefCountBase<HIDDeviceManager> {
public:
    // Calls visitor for every present HID device whose ids it accepts; false only when the
    // platform enumeration cannot start.
    virtual bool Enumerate(HIDEnumerateVisitor* visitor) = 0;
    // The device at path opened for this process alone, with one reference; null on failure.
    virtual HIDDevice* Open(const String& path) = 0;
    // Fills record for the device at path (an arrival notice's path) without taking the
    // device; false when it cannot be read.
    virtual bool ReadHidRecord(const char* path, HidDeviceRecord* record) = 0;
    virtual bool Initialize() = 0;
    virtual void Shutdown() = 0;
};

} // namespace Visor
