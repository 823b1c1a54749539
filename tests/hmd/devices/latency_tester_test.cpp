// The latency tester's discovery: its ids, its record, which device it is, and listing,
// opening and closing it through the device manager on a software HID bus.
#include "hmd/devices/latency_tester.h"
#include "hmd/devices/system.h"
#include "tests/hmd/devices/thread_test_support.h"
#include "tests/support/hid_testbed.h"

#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

using namespace Visor;
using visor_test::Eventually;

namespace {

HidDeviceRecord TesterRecord(const char* path, const char* serial) {
    HidDeviceRecord r;
    r.VendorId = 0x2833;
    r.ProductId = 0x0101;
    r.Path = path;
    r.SerialNumber = serial;
    return r;
}

TEST(LatencyTestDeviceFactoryTest, MatchesOnlyTheTestersIds) {
    struct Row {
        std::uint16_t Vendor, Product;
        bool Matches;
    } rows[] = {{0x2833, 0x0101, true},
                {0x2833, 0x0001, false},
                {0x0483, 0x0101, false},
                {0x0483, 0x5750, false}};
    for (const Row& row : rows)
        EXPECT_EQ(LatencyTestDeviceFactory::GetInstance().MatchIds(row.Vendor, row.Product),
                  row.Matches)
            << std::hex << row.Vendor << ":" << row.Product;
}

TEST(LatencyTestDeviceCreateDescTest, TheSameDeviceHasTheSamePathAndSerialNumber) {
    LatencyTestDeviceFactory* factory = &LatencyTestDeviceFactory::GetInstance();
    LatencyTestDeviceCreateDesc desc(factory, TesterRecord("/dev/hidraw2", "VL1"));
    struct OtherKind : HIDDeviceCreateDesc {
        using HIDDeviceCreateDesc::HIDDeviceCreateDesc;
        DeviceCreateDesc* Clone() const override { return nullptr; }
        DeviceBase* MakeDevice() override { return nullptr; }
        bool QueryInfo(DeviceInfoRecord*) const override { return false; }
        MatchResult SameDevice(const DeviceCreateDesc&, DeviceCreateDesc**) const override {
            return NoMatch;
        }
    };
    LatencyTestDeviceCreateDesc same(factory, TesterRecord("/dev/hidraw2", "VL1"));
    LatencyTestDeviceCreateDesc otherSerial(factory, TesterRecord("/dev/hidraw2", "VL2"));
    LatencyTestDeviceCreateDesc otherPath(factory, TesterRecord("/dev/hidraw3", "VL1"));
    LatencyTestDeviceCreateDesc otherFactory(nullptr, TesterRecord("/dev/hidraw2", "VL1"));
    OtherKind otherType(factory, Type_Sensor, TesterRecord("/dev/hidraw2", "VL1"));
    DeviceCreateDesc* candidate = nullptr;
    EXPECT_EQ(desc.SameDevice(same, &candidate), DeviceCreateDesc::Matched);
    for (const DeviceCreateDesc* other :
         std::vector<const DeviceCreateDesc*>{&otherSerial, &otherPath, &otherFactory, &otherType})
        EXPECT_EQ(desc.SameDevice(*other, &candidate), DeviceCreateDesc::NoMatch);
    EXPECT_EQ(candidate, nullptr);
    EXPECT_TRUE(desc.SameDevice("/dev/hidraw2"));
    EXPECT_FALSE(desc.SameDevice("/dev/hidraw20"));
}

TEST(LatencyTestDeviceCreateDescTest, TooLongTextsAreCutBetweenCharacters) {
    HidDeviceRecord r = TesterRecord("/dev/hidraw0", "VL0000000000000000\xC3\xA9");
    r.Product = std::string(30, 'p').append("\xE2\x82\xAC").c_str(); // the euro sign crosses 31
    LatencyTestDeviceCreateDesc desc(&LatencyTestDeviceFactory::GetInstance(), r);
    LatencyTestInfo info;
    ASSERT_TRUE(desc.QueryInfo(&info));
    EXPECT_STREQ(info.SerialNumber, "VL0000000000000000"); // é would end at 20
    EXPECT_EQ(std::string(info.Product), std::string(30, 'p'));
    DeviceInfoRecord sensor(Type_Sensor);
    EXPECT_FALSE(desc.QueryInfo(&sensor));
}

class LatencyTesterDiscoveryTest : public Visor::test::HidTestbedTest {
protected:
    void SetUp() override {
        HidTestbedTest::SetUp();
        if (IsSkipped())
            return;
        System::Init();
        Manager = DeviceManager::Create();
        ASSERT_TRUE(Manager);
    }
    void TearDown() override {
        if (Manager) {
            Manager->Release();
            Thread::FinishAllThreads();
            System::Destroy();
        }
        HidTestbedTest::TearDown();
    }
    std::vector<std::string> Listed() {
        std::vector<std::string> paths;
        for (DescEnumerator e = Manager->Enumerate(Type_All); !e.IsEmpty(); e.Next()) {
            LatencyTestInfo info;
            EXPECT_TRUE(e.GetDeviceInfo(&info));
            paths.push_back(std::to_string(e.GetType()) + " " + info.Product + " " +
                            info.SerialNumber);
        }
        return paths;
    }
    // Whether another program could take the node now.
    static bool Free(const std::string& path) {
        int fd = open(path.c_str(), O_RDWR | O_NONBLOCK);
        bool taken = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (fd >= 0)
            close(fd);
        return taken;
    }

    DeviceManager* Manager = nullptr;
};

TEST_F(LatencyTesterDiscoveryTest, IsListedOpenedWhileCreatedAndClosedAtRelease) {
    Testbed->AddDevice(Visor::test::MakeKeyboard());
    std::string path = Testbed->AddDevice(MakeVirtualLatencyTester());
    const std::vector<std::string> expected = {"4 Visor Latency Tester VL0000000001"};
    ASSERT_EQ(Listed(), expected);

    DescEnumerator e = Manager->Enumerate(Type_LatencyTester);
    DeviceBase* device = e.CreateDevice();
    ASSERT_TRUE(device);
    EXPECT_EQ(device->GetType(), Type_LatencyTester);
    EXPECT_FALSE(Free(path));
    EXPECT_EQ(Listed(), expected) << "an open tester stays listed";
    EXPECT_TRUE(e.IsAvailable());

    device->Release();
    EXPECT_TRUE(Eventually([&] { return Free(path); }));
    EXPECT_FALSE(e.IsCreated());
    e.Clear();
}

} // namespace
