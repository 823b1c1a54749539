// The HID layer on Linux: hidraw nodes found through libudev, opened for this process alone,
// read without blocking whenever the device thread's poll finds them readable.
#pragma once

#include <cstdint>
#include <vector>

#include "hmd/devices/hid_device.h"
#include "hmd/devices/linux_device_manager_thread.h"

struct udev;
struct udev_device;

namespace Visor {

class DeviceManagerImpl;

namespace Linux {

class HIDDevice;

class HIDDeviceManager : public Visor::HIDDeviceManager {
public:
    // manager (not owned) is asked which paths already have a live device; thread is where
    // open devices register.
    HIDDeviceManager(DeviceManagerImpl* manager, DeviceManagerThread* thread);
    ~HIDDeviceManager() override;

    // Device thread, all of them.
    bool Enumerate(HIDEnumerateVisitor* visitor) override;
    Visor::HIDDevice* Open(const String& path) override;
    // False when no udev context can be made; the manager then finds no device.
    bool Initialize() override;
    void Shutdown() override;

    // Fills record from the node at path, opened shared; false only when it cannot be opened.
    // Ids, usage and strings that cannot be read stay as they were.
    bool ReadHidRecord(const char* path, HidDeviceRecord* record) override;

    DeviceManagerThread* GetThread() const { return Thread.GetPtr(); }

private:
    friend class HIDDevice;
    // The udev device of the hidraw node at path (one reference for the caller), or null.
    udev_device* FindNode(const char* path);
    void VisitNode(HIDEnumerateVisitor* visitor, udev_device* node, const char* path);
    // Logs why path could not be opened (errno error, or why when set); a node denied to this
    // user is reported once until it opens.
    void LogOpenFailure(const char* path, int error, const char* why);
    void ForgetDenied(const char* path);

    DeviceManagerImpl* Manager;
    Ptr<DeviceManagerThread> Thread;
    udev* Udev = nullptr;
    std::vector<String> DeniedPaths;
};

class HIDDevice : public Visor::HIDDevice, public DeviceThreadNotifier {
public:
    // Reports longer than this make a device unopenable.
    static constexpr std::uint32_t ReadBufferSize = 96;
    // Reports taken in one readiness event before going back to the wait, so that a device
    // that never runs dry cannot starve the device thread's commands.
    static constexpr int MaxReportsPerEvent = 128;

    // A minimal device wraps fd (not owned) for the duration of one enumeration visit.
    HIDDevice(HIDDeviceManager* manager, const HidDeviceRecord& record, int minimalFd);
    // A full device; it is opened with Open.
    HIDDevice(HIDDeviceManager* manager, const String& path);
    // Device thread.
    ~HIDDevice() override;

    // Device thread, all of them.
    bool SetFeature(const std::uint8_t* data, std::uint32_t length) override;
    bool GetFeature(std::uint8_t* data, std::uint32_t length) override;
    void OnIoEvent(int fd) override;
    std::uint64_t OnTick(std::uint64_t ticksMks) override;
    bool OnDeviceStatus(DeviceStatusNotice notice, const char* path, bool* error) override;

    // Opens the node and starts reading; on failure OpenErrno holds errno of a failed open or
    // lock, or OpenWhy says what else failed.
    bool OpenDevice();
    bool IsOpen() const { return Fd >= 0; }
    const HidDeviceRecord& GetRecord() const { return DevDesc; }
    std::uint16_t GetInputReportBufferLength() const { return InputReportBufferLength; }

private:
    friend class HIDDeviceManager;
    // Registers for ticks and status notices once opened by the manager.
    void Register();
    bool StartReading();
    // Reads until the node runs dry; false when the connection was lost.
    bool ReadReports();
    void DropForIoError();
    void CloseDevice();

    bool Minimal;
    Ptr<HIDDeviceManager> HidManager;
    int Fd = -1;
    HidDeviceRecord DevDesc;
    bool ReadRequested = false;
    bool Registered = false;
    int OpenErrno = 0;
    const char* OpenWhy = nullptr;
    std::uint8_t ReadBuffer[ReadBufferSize] = {};
    std::uint16_t InputReportBufferLength = 0;
    std::uint16_t OutputReportBufferLength = 0;
    std::uint16_t FeatureReportBufferLength = 0;
};

} // namespace Linux
} // namespace Visor
