// The software tracker on its own (report stream, feature rules) and behind the umockdev bus,
// reached through plain libudev calls and hidraw system calls.
#include "hmd/devices/hid_report_descriptor.h"
#include "tests/support/hid_testbed.h"

#include <gtest/gtest.h>
#include <libudev.h>

#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <tuple>
#include <vector>

namespace Visor::test {
namespace {

std::vector<DecodedReport> ReadAll(VirtualHidDevice& device) {
    std::vector<DecodedReport> reports;
    std::uint8_t buffer[64];
    for (int length; (length = device.ReadInputReport(buffer, sizeof buffer)) >= 0;) {
        reports.emplace_back();
        EXPECT_TRUE(DecodeSensorReport(&reports.back(), buffer, static_cast<std::size_t>(length)));
    }
    return reports;
}

TEST(VirtualTracker, DescriptorsDeclareTheReportsTheHostSizesItsBuffersBy) {
    const std::tuple<std::shared_ptr<VirtualHidDevice>, int, int, int, bool> cases[] = {
        {std::make_shared<VirtualTracker>(), 0xFF00, SensorReportSize,
         SensorDisplayInfo::PacketSize, true},
        {MakeVirtualLatencyTester(), 0xFF00, 64, 5, true},
        {MakeKeyboard(), 0x0001, 8, 0, false},
    };
    for (const auto& [device, usagePage, input, feature, reportIds] : cases) {
        const std::vector<std::uint8_t>& bytes = device->GetReportDescriptor();
        HidReportDescriptorInfo info;
        const char* error = nullptr;
        ASSERT_TRUE(ParseHidReportDescriptor(bytes.data(), bytes.size(), info, &error)) << error;
        EXPECT_EQ(std::make_tuple(int(info.UsagePage), int(info.InputReportBufferLength),
                                  int(info.FeatureReportBufferLength), info.UsesReportIds),
                  std::make_tuple(usagePage, input, feature, reportIds));
    }
}

TEST(VirtualTracker, ReportsCarryTheFirstSampleCounterAndTheNewestThreeSamples) {
    VirtualTracker tracker;
    SensorConfigReport config = tracker.GetConfig();
    config.PacketInterval = 4; // five samples per report
    tracker.SetConfig(config);
    tracker.SetTimestamp(65533);
    SensorSample samples[5];
    for (int i = 0; i < 5; ++i)
        samples[i].GyroX = 100 + i;
    tracker.QueueSamples(samples, 5);
    EXPECT_EQ(tracker.Advance(5), 1u);
    tracker.DropReports(1);
    EXPECT_EQ(tracker.Advance(10), 1u); // two reports built, the first of them lost
    const std::vector<DecodedReport> reports = ReadAll(tracker);
    ASSERT_EQ(reports.size(), 2u);
    const SensorReport &a = reports[0].Report, &b = reports[1].Report;
    // The second wrapped, a report's worth of samples missing, and still: gravity on +Y.
    EXPECT_EQ(std::make_tuple(int(a.SampleCount), int(a.Timestamp), a.Samples[0].GyroX,
                              a.Samples[2].GyroX, int(b.Timestamp), b.Samples[0].AccelY),
              std::make_tuple(5, 65533, 102, 104, 7, 98100));
}

TEST(VirtualTracker, StreamsOnlyWhileAKeepAliveIsInForce) {
    VirtualTracker tracker;
    EXPECT_EQ(tracker.Advance(10000), 10000u);
    EXPECT_EQ(tracker.Advance(5), 0u);
    const std::uint8_t keepAlive[] = {8, 0, 0, 10, 0}; // 10 ms
    ASSERT_TRUE(tracker.SetFeature(keepAlive, sizeof keepAlive));
    EXPECT_EQ(tracker.Advance(20), 10u);
    EXPECT_EQ(tracker.GetKeepAliveCount(), 1u);
    EXPECT_EQ(tracker.GetConfig().KeepAliveIntervalMs, 10);
}

TEST(VirtualTracker, MotionSaturatesAtTheConfiguredRange) {
    VirtualTracker tracker;
    VirtualTracker::Motion motion;
    motion.Accel[0] = 100.0f; // above 8 g
    motion.Rate[2] = -1.0f;
    tracker.SetMotion(motion);
    const std::uint8_t range[] = {4, 0, 0, 5, 0xF4, 0x01, 0x70, 0x03}; // 5 g, 500 dps, 880
    ASSERT_TRUE(tracker.SetFeature(range, sizeof range));
    EXPECT_EQ(tracker.GetRange().AccelScale, 8);
    tracker.Advance(1);
    const std::vector<DecodedReport> reports = ReadAll(tracker);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].Report.Samples[0].AccelX, 784800);
    EXPECT_EQ(reports[0].Report.Samples[0].GyroZ, -10000);
}

class VirtualTrackerBus : public HidTestbedTest {
protected:
    void SetUp() override {
        HidTestbedTest::SetUp();
        if (IsSkipped())
            return;
        Node = Testbed->AddDevice(Tracker);
        ASSERT_EQ(Testbed->AddDevice(MakeKeyboard()), "/dev/hidraw1");
        ASSERT_EQ(Node, "/dev/hidraw0");
        Fd = open(Node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC); // the preload sends it to the bus
        ASSERT_GE(Fd, 0);
    }
    void TearDown() override {
        if (Fd >= 0)
            close(Fd);
        HidTestbedTest::TearDown();
    }
    bool Readable(int fd) const {
        pollfd entry = {fd, POLLIN, 0};
        return poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN);
    }

    std::shared_ptr<VirtualTracker> Tracker = std::make_shared<VirtualTracker>();
    std::string Node;
    int Fd = -1;
};

TEST_F(VirtualTrackerBus, UdevEnumerationFindsTheTrackerWithItsUsbAttributes) {
    udev* context = udev_new();
    udev_enumerate* enumerate = udev_enumerate_new(context);
    udev_enumerate_add_match_subsystem(enumerate, "hidraw");
    udev_enumerate_scan_devices(enumerate);
    std::vector<std::string> found;
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
        udev_device* device =
            udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
        udev_device* usb =
            udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
        const char* serial = usb ? udev_device_get_sysattr_value(usb, "serial") : nullptr;
        found.push_back(std::string(udev_device_get_devnode(device)) + " " +
                        udev_device_get_sysattr_value(usb, "idVendor") + ":" +
                        udev_device_get_sysattr_value(usb, "idProduct") + " " +
                        udev_device_get_sysattr_value(usb, "product") + " " +
                        (serial ? serial : "-"));
        udev_device_unref(device);
    }
    udev_enumerate_unref(enumerate);
    udev_unref(context);
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found,
              (std::vector<std::string>{"/dev/hidraw0 2833:0001 Visor One Tracker VT0000000001",
                                        "/dev/hidraw1 1a2c:0e24 USB Keyboard -"}));
}

// The HID layer's tests use the feature ioctls; here the refusal of a read-only feature, then
// poll and read through an unplug.
TEST_F(VirtualTrackerBus, ReadOnlyFeatureIsRefusedAndReportsArriveUntilUnplugged) {
    std::uint8_t buffer[96] = {SensorReport_DisplayInfo};
    EXPECT_EQ(ioctl(Fd, HIDIOCSFEATURE(SensorDisplayInfo::PacketSize), buffer), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_FALSE(Readable(Fd));
    EXPECT_EQ(read(Fd, buffer, sizeof buffer), -1);
    EXPECT_EQ(errno, EAGAIN);
    Tracker->Advance(1);
    EXPECT_TRUE(Readable(Fd));
    EXPECT_EQ(read(Fd, buffer, sizeof buffer), SensorReportSize);
    EXPECT_FALSE(Readable(Fd));

    udev* context = udev_new();
    udev_monitor* monitor = udev_monitor_new_from_netlink(context, "udev");
    udev_monitor_filter_add_match_subsystem_devtype(monitor, "hidraw", nullptr);
    udev_monitor_enable_receiving(monitor);
    auto action = [&] { // the next event's action, "" once none is waiting
        udev_device* event = udev_monitor_receive_device(monitor);
        std::string text = event ? udev_device_get_action(event) : "";
        udev_device_unref(event);
        return text;
    };
    ASSERT_TRUE(Testbed->Unplug(Node));
    EXPECT_TRUE(Readable(Fd));
    EXPECT_EQ(read(Fd, buffer, sizeof buffer), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(action(), "remove");
    Tracker->Advance(2); // lost with the device
    ASSERT_TRUE(Testbed->Replug(Node));
    std::string next = action();
    while (next == "remove")
        next = action();
    EXPECT_EQ(next, "add");
    hidraw_devinfo info{};
    const int reopened = open(Node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    EXPECT_EQ(ioctl(reopened, HIDIOCGRAWINFO, &info), 0);
    EXPECT_EQ(ioctl(Fd, HIDIOCGRAWINFO, &info), -1); // the old descriptor stays dead
    EXPECT_FALSE(Readable(reopened));
    Tracker->Advance(1);
    EXPECT_TRUE(Readable(reopened));
    EXPECT_EQ(read(reopened, buffer, sizeof buffer), SensorReportSize);
    close(reopened);
    udev_monitor_unref(monitor);
    udev_unref(context);
}

// A node opened with nothing asked on it may be heard of only while its bus goes; the pause
// sweeps that moment.
TEST(VirtualHidBus, GoesSafelyWhileUmockdevStillHearsOfAnOpening) {
    for (int round = 0; round < 200; ++round) {
        HidTestbed bus;
        ASSERT_EQ(close(open(bus.AddDevice(MakeKeyboard()).c_str(), O_RDWR | O_NONBLOCK)), 0);
        usleep(2 * round);
    }
}

} // namespace
} // namespace Visor::test
