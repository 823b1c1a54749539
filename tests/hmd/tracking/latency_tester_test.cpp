// The latency tester's discovery: its ids, its record, which device it is, and listing,
// opening and closing it through the device manager on a software HID bus.
#include "hmd/devices/system.h"
#include "hmd/tracking/latency_tester.h"
#include "tests/hmd/devices/thread_test_support.h"
#include "tests/support/hid_testbed.h"

#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

using namespace Visor;

namespace {

LatencyTestDeviceFactory TheFactory;
LatencyTestDeviceFactory* const Factory = &TheFactory;

LatencyTestDeviceCreateDesc Tester(const char* path, const char* serial,
                                   DeviceFactory* factory = Factory) {
    HidDeviceRecord r;
    r.VendorId = 0x2833;
    r.ProductId = 0x0101;
    r.Path = path;
    r.SerialNumber = serial;
    r.Product = std::string(30, 'p').append("\xE2\x82\xAC").c_str(); // the euro sign crosses 31
    return LatencyTestDeviceCreateDesc(factory, r);
}

TEST(LatencyTestDeviceTest, TheSameDeviceHasTheSamePathAndSerialNumber) {
    LatencyTestDeviceCreateDesc desc = Tester("/dev/hidraw2", "VL1");
    DeviceCreateDesc* candidate = nullptr;
    EXPECT_EQ(desc.SameDevice(Tester("/dev/hidraw2", "VL1"), &candidate),
              DeviceCreateDesc::Matched);
    for (const LatencyTestDeviceCreateDesc& other :
         {Tester("/dev/hidraw2", "VL2"), Tester("/dev/hidraw3", "VL1"),
          Tester("/dev/hidraw2", "VL1", nullptr)})
        EXPECT_EQ(desc.SameDevice(other, &candidate), DeviceCreateDesc::NoMatch);
    EXPECT_EQ(candidate, nullptr);
    EXPECT_TRUE(desc.SameDevice("/dev/hidraw2") && !desc.SameDevice("/dev/hidraw20"));
}

TEST(LatencyTestDeviceTest, MatchesItsIdsAndCutsTooLongTextsBetweenCharacters) {
    EXPECT_TRUE(Factory->MatchIds(0x2833, 0x0101));
    EXPECT_FALSE(Factory->MatchIds(0x2833, 0x0001) || Factory->MatchIds(0x0483, 0x0101));
    LatencyTestInfo info;
    ASSERT_TRUE(Tester("/dev/hidraw0", "VL0000000000000000\xC3\xA9").QueryInfo(&info));
    EXPECT_STREQ(info.SerialNumber, "VL0000000000000000"); // é would end at 20
    EXPECT_EQ(std::string(info.Product), std::string(30, 'p'));
    DeviceInfoRecord sensor(Type_Sensor);
    EXPECT_FALSE(Tester("/dev/hidraw0", "").QueryInfo(&sensor));
}

// Whether another program could take the node now.
bool Free(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NONBLOCK);
    bool taken = flock(fd, LOCK_EX | LOCK_NB) == 0;
    return close(fd) == 0 && taken;
}

using LatencyTesterDiscoveryTest = Visor::test::HidTestbedTest;

TEST_F(LatencyTesterDiscoveryTest, IsListedOpenedWhileCreatedAndClosedAtRelease) {
    Testbed->AddDevice(Visor::test::MakeKeyboard());
    std::string path = Testbed->AddDevice(MakeVirtualLatencyTester());
    System::Init();
    DeviceManager* manager = DeviceManager::Create();
    ASSERT_TRUE(manager);
    auto listed = [&](DeviceManager* m) {
        std::string text;
        for (DescEnumerator e = m->Enumerate(Type_All); !e.IsEmpty(); e.Next()) {
            LatencyTestInfo info;
            EXPECT_TRUE(e.GetDeviceInfo(&info));
            text += std::to_string(e.GetType()) + " " + info.Product + " " + info.SerialNumber;
        }
        return text;
    };
    EXPECT_EQ(listed(manager), "4 Visor Latency Tester VL0000000001") << "and not the keyboard";
    // Each manager has its own factories, so a second one alive at once finds it too.
    DeviceManager* second = DeviceManager::Create();
    ASSERT_TRUE(second);
    EXPECT_EQ(listed(second), listed(manager));
    second->Release();

    DescEnumerator e = manager->Enumerate(Type_LatencyTester);
    DeviceBase* device = e.CreateDevice();
    ASSERT_TRUE(device);
    EXPECT_FALSE(Free(path));
    EXPECT_EQ(listed(manager), "4 Visor Latency Tester VL0000000001") << "an open one stays listed";
    device->Release();
    EXPECT_TRUE(visor_test::Eventually([&] { return Free(path); }));
    EXPECT_FALSE(e.IsCreated());
    e.Clear();
    manager->Release();
    Thread::FinishAllThreads();
    System::Destroy();
}

} // namespace
