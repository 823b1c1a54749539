// Input queue and default feature answers shared by the software HID devices.
#include "tools/virtual_headset/virtual_hid_device.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace Visor {

VirtualHidDevice::VirtualHidDevice(Identity identity, std::vector<std::uint8_t> reportDescriptor)
    : DeviceIdentity(std::move(identity)), ReportDescriptor(std::move(reportDescriptor)) {}

VirtualHidDevice::~VirtualHidDevice() = default;

int VirtualHidDevice::GetFeature(std::uint8_t*, std::size_t) {
    return -1;
}

bool VirtualHidDevice::SetFeature(const std::uint8_t*, std::size_t) {
    return false;
}

bool VirtualHidDevice::QueueInputReport(const std::uint8_t* data, std::size_t size) {
    if (!data || size == 0)
        return false;
    ReportListener listener;
    {
        std::lock_guard<std::mutex> lock(Lock);
        InputReports.emplace_back(data, data + size);
        listener = Listener;
    }
    if (listener)
        listener();
    return true;
}

int VirtualHidDevice::ReadInputReport(std::uint8_t* buffer, std::size_t size) {
    std::lock_guard<std::mutex> lock(Lock);
    if (InputReports.empty())
        return -1;
    const std::vector<std::uint8_t>& report = InputReports.front();
    const std::size_t length = std::min(size, report.size());
    if (length > 0)
        std::memcpy(buffer, report.data(), length);
    InputReports.pop_front();
    return static_cast<int>(length);
}

std::size_t VirtualHidDevice::GetQueuedReportCount() const {
    std::lock_guard<std::mutex> lock(Lock);
    return InputReports.size();
}

void VirtualHidDevice::ClearInputReports() {
    std::lock_guard<std::mutex> lock(Lock);
    InputReports.clear();
}

void VirtualHidDevice::SetReportListener(ReportListener listener) {
    std::lock_guard<std::mutex> lock(Lock);
    Listener = std::move(listener);
}

} // namespace Visor
