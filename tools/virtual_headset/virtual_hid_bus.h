// Shows software HID devices to this process's own libudev and hidraw code through a umockdev
// testbed: USB device chains in a fake sysfs, /dev/hidrawN nodes whose ioctls and reads the
// devices answer, and uevents for plugging and unplugging. For tests, and for running the
// demo against a virtual headset.
//
// The process must run under the umockdev preload, which redirects /sys and /dev:
//   LD_PRELOAD=libumockdev-preload.so.0 (or umockdev-wrapper), and with GCC's AddressSanitizer
//   ASAN_OPTIONS=verify_asan_link_order=0, with ThreadSanitizer
//   TSAN_OPTIONS=ignore_noninstrumented_modules=1.
// Without it IsValid() is false. Code that reads the nodes must be built with -U_FORTIFY_SOURCE
// (the preload does not wrap __read_chk).
//
// What a program sees on a node:
// - HIDIOCGRAWINFO (bus USB, the device's ids), HIDIOCGRDESCSIZE, HIDIOCGRDESC, HIDIOCGRAWNAME,
//   HIDIOCGRAWPHYS, HIDIOCGFEATURE and HIDIOCSFEATURE (a refused report fails with EPIPE);
//   other ioctls fail with ENOTTY.
// - read(): one queued input report per call; EAGAIN when none is queued (reads never block,
//   so open the node O_NONBLOCK). poll() reports POLLIN exactly while a report is queued.
// - In sysfs: the hidraw device (dev, DEVNAME, MAJOR, MINOR) under a hid device (HID_ID,
//   HID_NAME, report_descriptor) under a USB interface under a USB device (idVendor, idProduct,
//   bcdDevice, manufacturer, product, serial when the device has one).
// - After Unplug: every read and ioctl on a descriptor opened before fails with ENODEV (poll
//   wakes with POLLIN so the reader finds out), a "remove" uevent goes out for each device of
//   the chain, child first, and the sysfs devices disappear. Those descriptors stay dead after
//   Replug, as on real hardware; Replug drops the reports the device queued meanwhile and adds
//   the chain under the same names with "add" uevents.
// - While unplugged the node does not exist: open() fails with ENOENT. Each failed open of a
//   /dev path costs one of the preload's 50 descriptor slots (the 51st aborts), so do not retry
//   in a loop. No other open failure can be staged.
//
// Rules that umockdev imposes: make the bus before any udev_monitor; close every descriptor on
// its nodes before the bus is destroyed (destruction with one open hangs); never close a
// descriptor while another thread is inside read() on it.
//
// Threads: construct, add, unplug, replug and destroy on one thread. Device requests are
// answered on umockdev's one worker thread; devices may be fed (QueueInputReport, Advance)
// from any thread.
#pragma once

#include "tools/virtual_headset/virtual_hid_device.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Visor {

class VirtualHidBus {
public:
    VirtualHidBus();
    ~VirtualHidBus();
    VirtualHidBus(const VirtualHidBus&) = delete;
    VirtualHidBus& operator=(const VirtualHidBus&) = delete;

    // False when umockdev could not set up (the process is not under the preload).
    bool IsValid() const;

    // Adds device as a USB device with one HID interface and a hidraw node, announced with
    // "add" uevents. Returns the node path, "/dev/hidraw0", "/dev/hidraw1"... in order of
    // adding, or an empty string on failure. The bus keeps the device alive and takes its report
    // listener, so a device belongs to one bus. A request umockdev's worker thread is still
    // answering keeps it a moment after the bus is gone, so the last reference may go there.
    std::string AddDevice(std::shared_ptr<VirtualHidDevice> device);
    // Both false for an unknown node or one already in that state.
    bool Unplug(const std::string& node);
    bool Replug(const std::string& node);

    // Adds a display connector "card<card>-<connector>" of the drm subsystem, with its status and
    // EDID file, as a graphics card shows a connected monitor. Returns its sysfs path, or empty
    // on failure. The card device is made on first use.
    std::string AddDisplay(int card, const std::string& connector,
                           const std::vector<std::uint8_t>& edid, bool connected = true);

    // The hidraw device's sysfs path ("/sys/devices/..."), empty while unplugged or unknown.
    std::string GetSysPath(const std::string& node) const;
    // Where the fake /sys and /dev live on the real file system.
    std::string GetRootDir() const;

    struct Impl;

private:
    std::unique_ptr<Impl> State;
};

} // namespace Visor
