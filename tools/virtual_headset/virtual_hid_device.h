// The device side of a USB HID device as a hidraw node presents it: identity, report
// descriptor, feature requests and a queue of input reports waiting to be read.
//
// Threads: every operation may be called from any thread; one mutex guards the state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace Visor {

class VirtualHidDevice {
public:
    // What the USB device descriptor and its string descriptors say.
    struct Identity {
        std::uint16_t VendorId = 0;
        std::uint16_t ProductId = 0;
        std::uint16_t VersionNumber = 0; // bcdDevice
        std::string Manufacturer;
        std::string Product;
        std::string SerialNumber; // empty: the device supplies no serial-number string
    };

    // Called once per report queued, after it is in the queue and outside the lock.
    using ReportListener = std::function<void()>;

    // A device with no feature reports; subclasses answer those.
    VirtualHidDevice(Identity identity, std::vector<std::uint8_t> reportDescriptor);
    virtual ~VirtualHidDevice();
    VirtualHidDevice(const VirtualHidDevice&) = delete;
    VirtualHidDevice& operator=(const VirtualHidDevice&) = delete;

    const Identity& GetIdentity() const { return DeviceIdentity; }
    const std::vector<std::uint8_t>& GetReportDescriptor() const { return ReportDescriptor; }

    // HIDIOCGFEATURE: buffer[0] is the report number asked for. Fills at most size bytes and
    // returns how many, or -1 when the device has no such readable report.
    virtual int GetFeature(std::uint8_t* buffer, std::size_t size);
    // HIDIOCSFEATURE: data[0] is the report number. False when the device refuses it.
    virtual bool SetFeature(const std::uint8_t* data, std::size_t size);

    // Input reports in arrival order. Queueing fails only for an empty report.
    bool QueueInputReport(const std::uint8_t* data, std::size_t size);
    // One report per call, as a hidraw read gives it: a longer report is cut to size. Returns
    // its length, or -1 when nothing is queued.
    int ReadInputReport(std::uint8_t* buffer, std::size_t size);
    std::size_t GetQueuedReportCount() const;
    void ClearInputReports();

    // Null clears it. The listener must not call back into this device's queueing.
    void SetReportListener(ReportListener listener);

protected:
    // Guards the input queue and everything subclasses keep; held while they answer requests.
    mutable std::mutex Lock;

private:
    const Identity DeviceIdentity;
    const std::vector<std::uint8_t> ReportDescriptor;
    std::deque<std::vector<std::uint8_t>> InputReports;
    ReportListener Listener;
};

} // namespace Visor
