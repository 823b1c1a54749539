// Linux HID layer: libudev enumeration of hidraw nodes with their USB parent's strings, the
// hidraw ioctls for ids, report descriptor and feature reports, and non-blocking reads driven
// by the device thread's poll.
#include "hmd/devices/linux_hid_device.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "hmd/devices/device_manager.h"
#include "hmd/devices/hid_report_descriptor.h"
#include "hmd/devices/log.h"

namespace Visor {
namespace Linux {

namespace {

constexpr int OpenFlags = O_RDWR | O_NONBLOCK | O_CLOEXEC;

// The most bytes one feature request can carry: the size field of the ioctl number.
constexpr std::uint32_t MaxFeatureLength = _IOC_SIZEMASK;

int RetryIoctl(int fd, unsigned long request, void* arg) {
    int r;
    do
        r = ioctl(fd, request, arg);
    while (r < 0 && errno == EINTR);
    return r;
}

bool ParseHex16(const char* text, std::uint16_t* value) {
    if (!text || !*text)
        return false;
    char* end = nullptr;
    unsigned long v = std::strtoul(text, &end, 16);
    if (*end != '\0' || v > 0xFFFF)
        return false;
    *value = static_cast<std::uint16_t>(v);
    return true;
}

// Version and strings from the USB parent's attributes, ids too; true when the ids were read.
// A device on another bus keeps its strings empty.
bool ReadUsbAttributes(udev_device* node, HidDeviceRecord* record) {
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(node, "usb", "usb_device");
    if (!usb)
        return false;
    std::uint16_t version = 0;
    if (ParseHex16(udev_device_get_sysattr_value(usb, "bcdDevice"), &version))
        record->VersionNumber = version;
    record->Manufacturer = MakeHidDeviceString(udev_device_get_sysattr_value(usb, "manufacturer"));
    record->Product = MakeHidDeviceString(udev_device_get_sysattr_value(usb, "product"));
    record->SerialNumber = MakeHidDeviceString(udev_device_get_sysattr_value(usb, "serial"));
    std::uint16_t vendorId = 0, productId = 0;
    if (!ParseHex16(udev_device_get_sysattr_value(usb, "idVendor"), &vendorId) ||
        !ParseHex16(udev_device_get_sysattr_value(usb, "idProduct"), &productId))
        return false;
    record->VendorId = vendorId;
    record->ProductId = productId;
    return true;
}

bool ReadRawInfo(int fd, HidDeviceRecord* record) {
    hidraw_devinfo info{};
    if (RetryIoctl(fd, HIDIOCGRAWINFO, &info) < 0)
        return false;
    record->VendorId = static_cast<std::uint16_t>(info.vendor);
    record->ProductId = static_cast<std::uint16_t>(info.product);
    return true;
}

// Usage and report lengths from the node's report descriptor. A descriptor the kernel could
// not have sent (empty or over its size limit) or one the parser refuses counts as unreadable:
// the device's buffers cannot be sized from it.
bool ReadCapabilities(int fd, HidReportDescriptorInfo* info) {
    int size = 0;
    if (RetryIoctl(fd, HIDIOCGRDESCSIZE, &size) < 0 || size <= 0 ||
        static_cast<std::size_t>(size) > MaxHidReportDescriptorSize)
        return false;
    // Off the stack: the device thread's stack is small.
    auto* desc = static_cast<hidraw_report_descriptor*>(
        Allocator::AllocFromLibrary(sizeof(hidraw_report_descriptor)));
    if (!desc)
        return false;
    std::memset(desc, 0, sizeof *desc);
    desc->size = static_cast<std::uint32_t>(size);
    bool ok = RetryIoctl(fd, HIDIOCGRDESC, desc) >= 0 && desc->size <= HID_MAX_DESCRIPTOR_SIZE &&
              ParseHidReportDescriptor(desc->value, desc->size, *info);
    Allocator::FreeToLibrary(desc);
    return ok;
}

void CloseFd(int fd) {
    // Not retried on EINTR: Linux releases the descriptor either way.
    if (fd >= 0)
        close(fd);
}

} // namespace

// ---- HIDDeviceManager

HIDDeviceManager::HIDDeviceManager(DeviceManagerImpl* manager, DeviceManagerThread* thread)
    : Manager(manager), Thread(thread) {}

HIDDeviceManager::~HIDDeviceManager() {
    if (Udev)
        udev_unref(Udev);
}

bool HIDDeviceManager::Initialize() {
    Udev = udev_new();
    if (!Udev) {
        ErrorToLog("Visor::Linux::HIDDeviceManager - cannot create a udev context (%s); no HID "
                   "device can be found.",
                   std::strerror(errno));
        return false;
    }
    return true;
}

void HIDDeviceManager::Shutdown() {
    TextToLog("Visor::Linux::HIDDeviceManager - shutting down.\n");
    Manager = nullptr;
}

namespace {

// Visits each hidraw node udev lists until visit(device, node) returns true, and returns that
// device (the caller's reference) or null. scanned says whether the list could be read at all.
template <class F> udev_device* ScanHidrawNodes(udev* context, F visit, bool& scanned) {
    udev_enumerate* e = udev_enumerate_new(context);
    scanned = e && udev_enumerate_add_match_subsystem(e, "hidraw") >= 0 &&
              udev_enumerate_scan_devices(e) >= 0;
    udev_device* found = nullptr;
    udev_list_entry* entry = scanned ? udev_enumerate_get_list_entry(e) : nullptr;
    for (; entry && !found; entry = udev_list_entry_get_next(entry)) {
        udev_device* d = udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
        if (!d)
            continue;
        const char* node = udev_device_get_devnode(d);
        if (node && visit(d, node))
            found = d;
        else
            udev_device_unref(d);
    }
    if (e)
        udev_enumerate_unref(e);
    return found;
}

} // namespace

udev_device* HIDDeviceManager::FindNode(const char* path) {
    if (!Udev || !path)
        return nullptr;
    bool scanned = false;
    return ScanHidrawNodes(
        Udev, [path](udev_device*, const char* node) { return std::strcmp(node, path) == 0; },
        scanned);
}

bool HIDDeviceManager::Enumerate(HIDEnumerateVisitor* visitor) {
    if (!Udev || !visitor)
        return false;
    bool scanned = false;
    ScanHidrawNodes(
        Udev,
        [this, visitor](udev_device* d, const char* node) {
            VisitNode(visitor, d, node);
            return false;
        },
        scanned);
    return scanned;
}

void HIDDeviceManager::VisitNode(HIDEnumerateVisitor* visitor, udev_device* d, const char* node) {
    if (Manager) {
        DescHandle existing = Manager->FindByPath(node, Type_None);
        DeviceCreateDesc* desc = existing.GetDesc();
        if (desc && desc->Lock) {
            Mutex::Locker lock(&desc->Lock->ListLock);
            if (desc->Device) {
                // Already open here; opening it again would fail on our own lock.
                desc->Seen = true;
                return;
            }
        }
    }
    HidDeviceRecord record;
    record.Path = node;
    // Ids from sysfs first, so that unrelated devices (keyboards) are never opened.
    bool idsKnown = ReadUsbAttributes(d, &record);
    if (idsKnown && !visitor->MatchIds(record.VendorId, record.ProductId))
        return;
    int fd = open(node, OpenFlags);
    if (fd < 0) {
        // A wanted device this user may not open is worth saying; others are passed over.
        if (idsKnown && (errno == EACCES || errno == EPERM))
            LogOpenFailure(node, errno, nullptr);
        return;
    }
    ForgetDenied(node);
    HidReportDescriptorInfo caps;
    if (ReadRawInfo(fd, &record) && visitor->MatchIds(record.VendorId, record.ProductId) &&
        ReadCapabilities(fd, &caps)) {
        record.Usage = caps.Usage;
        record.UsagePage = caps.UsagePage;
        HIDDevice device(this, record, fd);
        visitor->Visit(device, record);
    }
    CloseFd(fd);
}

bool HIDDeviceManager::ReadHidRecord(const char* path, HidDeviceRecord* record) {
    if (!path || !record)
        return false;
    int fd = open(path, OpenFlags);
    if (fd < 0)
        return false;
    record->Path = path;
    if (udev_device* node = FindNode(path)) {
        ReadUsbAttributes(node, record);
        udev_device_unref(node);
    }
    HidReportDescriptorInfo caps;
    if (ReadRawInfo(fd, record) && ReadCapabilities(fd, &caps)) {
        record->Usage = caps.Usage;
        record->UsagePage = caps.UsagePage;
    }
    CloseFd(fd);
    return true;
}

Visor::HIDDevice* HIDDeviceManager::Open(const String& path) {
    auto* device = new HIDDevice(this, path);
    if (!device)
        return nullptr;
    if (!device->OpenDevice()) {
        LogOpenFailure(path.ToCStr(), device->OpenErrno, device->OpenWhy);
        device->Release();
        return nullptr;
    }
    ForgetDenied(path.ToCStr());
    device->Register();
    const HidDeviceRecord& r = device->GetRecord();
    TextToLog("Visor::Linux::HIDDevice - Opened '%s'\n                    Manufacturer:'%s'  "
              "Product:'%s'  Serial#:'%s'\n",
              r.Path.ToCStr(), r.Manufacturer.ToCStr(), r.Product.ToCStr(),
              r.SerialNumber.ToCStr());
    return device;
}

void HIDDeviceManager::LogOpenFailure(const char* path, int error, const char* why) {
    if (error == EACCES || error == EPERM) {
        for (const String& denied : DeniedPaths)
            if (denied == path)
                return;
        DeniedPaths.emplace_back(path);
        ErrorToLog("Visor::Linux::HIDDevice - Cannot open '%s': permission denied. Install the "
                   "udev rule hmd/devices/udev/70-visor-headset.rules and replug the headset "
                   "(README.md, Headset access).",
                   path);
    } else if (error == EWOULDBLOCK) {
        ErrorToLog("Visor::Linux::HIDDevice - Cannot open '%s': another program holds it (its "
                   "lock is taken). Close that program, a second copy of the demo say, and "
                   "try again.",
                   path);
    } else {
        TextToLog("Visor::Linux::HIDDevice - Failed to open HIDDevice: '%s' (%s)\n", path,
                  why ? why : std::strerror(error));
    }
}

void HIDDeviceManager::ForgetDenied(const char* path) {
    for (auto it = DeniedPaths.begin(); it != DeniedPaths.end(); ++it) {
        if (*it == path) {
            DeniedPaths.erase(it);
            return;
        }
    }
}

// ---- HIDDevice

HIDDevice::HIDDevice(HIDDeviceManager* manager, const HidDeviceRecord& record, int minimalFd)
    : Minimal(true), HidManager(manager), Fd(minimalFd), DevDesc(record) {}

HIDDevice::HIDDevice(HIDDeviceManager* manager, const String& path)
    : Minimal(false), HidManager(manager) {
    DevDesc.Path = path;
}

HIDDevice::~HIDDevice() {
    // A minimal device wraps the enumeration's descriptor and closes nothing.
    if (Minimal)
        return;
    DeviceManagerThread* thread = HidManager->GetThread();
    if (Registered && thread) {
        thread->RemoveTickNotifier(this);
        thread->RemoveStatusNotifier(this);
    }
    CloseDevice();
    if (Registered)
        TextToLog("Visor::Linux::HIDDevice - Closed '%s'\n", DevDesc.Path.ToCStr());
}

void HIDDevice::Register() {
    if (DeviceManagerThread* thread = HidManager->GetThread()) {
        thread->AddTickNotifier(this);
        thread->AddStatusNotifier(this);
    }
    Registered = true;
}

bool HIDDevice::OpenDevice() {
    OpenErrno = 0;
    OpenWhy = nullptr;
    const char* path = DevDesc.Path.ToCStr();
    int fd = open(path, OpenFlags);
    if (fd < 0) {
        OpenErrno = errno;
        return false;
    }
    // Cooperating processes (a second copy of the demo) find the tracker taken.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        OpenErrno = errno;
        CloseFd(fd);
        return false;
    }
    HidReportDescriptorInfo caps;
    if (!ReadCapabilities(fd, &caps))
        OpenWhy = "its report descriptor cannot be read";
    else if (caps.InputReportBufferLength > ReadBufferSize)
        OpenWhy = "its input reports are longer than 96 bytes";
    if (!OpenWhy) {
        // Sysfs first: the node's own ids win over its parent's.
        if (udev_device* node = HidManager->FindNode(path)) {
            ReadUsbAttributes(node, &DevDesc);
            udev_device_unref(node);
        }
        if (!ReadRawInfo(fd, &DevDesc))
            OpenWhy = "its ids cannot be read";
    }
    if (OpenWhy) {
        CloseFd(fd);
        return false;
    }
    DevDesc.Usage = caps.Usage;
    DevDesc.UsagePage = caps.UsagePage;
    InputReportBufferLength = caps.InputReportBufferLength;
    OutputReportBufferLength = caps.OutputReportBufferLength;
    FeatureReportBufferLength = caps.FeatureReportBufferLength;
    Fd = fd;
    if (!StartReading()) {
        OpenWhy = "its first read failed";
        return false;
    }
    return true;
}

bool HIDDevice::StartReading() {
    DeviceManagerThread* thread = HidManager->GetThread();
    if (!ReadRequested && thread) {
        thread->AddIoEvent(this, Fd);
        ReadRequested = true;
    }
    return ReadReports();
}

bool HIDDevice::ReadReports() {
    for (int i = 0; i < MaxReportsPerEvent && Fd >= 0; ++i) {
        ssize_t n = read(Fd, ReadBuffer, sizeof ReadBuffer);
        if (n > 0) {
            if (Handler)
                Handler->TakeInputReport(ReadBuffer, static_cast<std::uint32_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Nothing to read although poll woke us: a hang-up or error on the node would
            // otherwise wake the device thread again at once, for ever.
            pollfd p{Fd, POLLIN, 0};
            if (i == 0 && poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP | POLLNVAL))) {
                DropForIoError();
                return false;
            }
            return true;
        }
        // ENODEV, EIO or end of file: the device went away.
        DropForIoError();
        return false;
    }
    return Fd >= 0;
}

void HIDDevice::OnIoEvent(int fd) {
    if (fd == Fd)
        ReadReports();
}

void HIDDevice::DropForIoError() {
    TextToLog("Visor::Linux::HIDDevice - Lost connection to '%s'\n", DevDesc.Path.ToCStr());
    CloseDevice();
}

void HIDDevice::CloseDevice() {
    DeviceManagerThread* thread = HidManager->GetThread();
    if (ReadRequested && thread)
        thread->RemoveIoEvent(this, Fd);
    ReadRequested = false;
    CloseFd(Fd);
    Fd = -1;
}

std::uint64_t HIDDevice::OnTick(std::uint64_t ticksMks) {
    return Handler ? Handler->OnTick(ticksMks) : 1000000000ull;
}

bool HIDDevice::OnDeviceStatus(DeviceStatusNotice notice, const char* path, bool* error) {
    if (!path || DevDesc.Path != path)
        return false;
    if (notice == DeviceStatus_Added && Fd < 0) {
        if (!OpenDevice()) {
            ErrorToLog("Visor::Linux::HIDDevice - Failed to reopen a device '%s' that was "
                       "re-added.",
                       path);
            HidManager->LogOpenFailure(path, OpenErrno, OpenWhy);
            if (error)
                *error = true;
            return true;
        }
        TextToLog("Visor::Linux::HIDDevice - Reopened device '%s'\n", path);
    } else if (notice == DeviceStatus_Removed && Fd >= 0) {
        // The node is gone and reads on it can only fail. Closed now, so that an arrival
        // heard before that failing read reopens the device instead of finding it still open.
        DropForIoError();
    }
    if (Handler)
        Handler->OnDeviceStatus(notice);
    if (error)
        *error = false;
    return true;
}

bool HIDDevice::SetFeature(const std::uint8_t* data, std::uint32_t length) {
    // A longer length would spill into the ioctl number's other fields.
    if (Fd < 0 || !data || length == 0 || length > MaxFeatureLength)
        return false;
    return RetryIoctl(Fd, HIDIOCSFEATURE(length), const_cast<std::uint8_t*>(data)) >= 0;
}

bool HIDDevice::GetFeature(std::uint8_t* data, std::uint32_t length) {
    if (Fd < 0 || !data || length == 0 || length > MaxFeatureLength)
        return false;
    return RetryIoctl(Fd, HIDIOCGFEATURE(length), data) >= 0;
}

} // namespace Linux
} // namespace Visor
