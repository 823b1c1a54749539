// The device manager with fake factories on a real device thread: enumeration order and
// filters, merging and status messages, shared devices, posted releases, handles and devices
// that outlive the manager, and handlers removed while messages flow.
#include "hmd/devices/device_manager.h"
#include "hmd/devices/linux_device_manager.h"
#include "hmd/devices/system.h"
#include "tests/hmd/devices/thread_test_support.h"

#include <csignal>
#include <mutex>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace Visor;
using visor_test::Eventually;

namespace {

std::atomic<int> LiveDevices{0}, LiveDescs{0};

struct FakeDevice : DeviceImpl<DeviceBase> {
    FakeDevice(DeviceCreateDesc* desc, bool fail) : DeviceImpl<DeviceBase>(desc), Fail(fail) {
        ++LiveDevices;
    }
    ~FakeDevice() override { --LiveDevices; }
    bool Initialize(DeviceBase*) override { return !Fail; }
    bool Fail;
};

// A device is its path; a new serial on the same path is the same port with a new device.
struct FakeDesc : DeviceCreateDesc {
    FakeDesc(DeviceFactory* f, DeviceKind type, std::string path, int serial)
        : DeviceCreateDesc(f, type), Path(std::move(path)), Serial(serial) {
        ++LiveDescs;
    }
    FakeDesc(const FakeDesc& o) : DeviceCreateDesc(o), Path(o.Path), Serial(o.Serial) {
        ++LiveDescs;
    }
    ~FakeDesc() override { --LiveDescs; }
    DeviceCreateDesc* Clone() const override { return new FakeDesc(*this); }
    DeviceBase* MakeDevice() override { return new FakeDevice(this, Path == "broken"); }
    bool QueryInfo(DeviceInfoRecord* info) const override {
        DeviceInfoRecord::SetName(info->Product, Path.c_str());
        return true;
    }
    bool SameDevice(const char* path) const override { return Path == path; }
    MatchResult SameDevice(const DeviceCreateDesc& other,
                           DeviceCreateDesc** candidate) const override {
        auto& o = static_cast<const FakeDesc&>(other);
        if (o.Type != Type || o.Path != Path)
            return NoMatch;
        *candidate = const_cast<FakeDesc*>(this);
        return o.Serial == Serial ? Matched : Candidate;
    }
    bool AcceptCandidate(const DeviceCreateDesc& other, bool* isNew) override {
        Serial = static_cast<const FakeDesc&>(other).Serial;
        return *isNew = true;
    }
    std::string Path;
    int Serial;
};

// Reports Present but empty paths on each scan (changed by the test only between
// enumerations); with Flicker
// the first device is reported on every other scan only.
struct FakeFactory : DeviceFactory {
    void EnumerateDevices(EnumerateVisitor& visitor) override {
        ++Scans;
        for (std::size_t i = Flicker && Scans % 2 ? 1 : 0; i < Present.size(); ++i) {
            FakeDesc desc(this, Present[i].first, Present[i].second, Serial);
            if (!desc.Path.empty())
                visitor.Visit(desc);
        }
    }
    std::vector<std::pair<DeviceKind, std::string>> Present;
    int Serial = 1, Scans = 0;
    bool Flicker = false;
};

// Records status messages as "+path" and "-path".
struct Recorder : MessageHandler {
    ~Recorder() override { DetachFromDevices(); }
    void TakeMessage(const Message& m) override {
        DeviceInfoRecord info;
        static_cast<const DeviceStatusMessage&>(m).Handle.GetDeviceInfo(&info);
        std::lock_guard<std::mutex> lock(Lock);
        Seen += (m.Type == DeviceAdded ? " +" : " -") + std::string(info.Product);
        ++Calls;
    }
    std::string Take() {
        std::lock_guard<std::mutex> lock(Lock);
        return std::exchange(Seen, std::string());
    }
    std::mutex Lock;
    std::string Seen;
    std::atomic<int> Calls{0};
};

struct Gate { // holds the device thread until opened
    Event Open;
    void Hold() { Open.Wait(); }
};

class DeviceManagerTest : public ::testing::Test {
protected:
    DeviceManagerTest() {
        System::Init();
        Log::SetOutputSink(&DeviceManagerTest::Capture, this);
        Manager = Linux::DeviceManager::CreateBare();
        Factories[0].Present = {{Type_Sensor, "s1"}, {Type_HMD, "h1"}};
        Factories[1].Present = {{Type_HMD, "h2"}};
        if (Manager) {
            for (FakeFactory& f : Factories)
                Manager->RegisterFactory(&f);
            Manager->SetMessageTarget(&Messages);
        }
    }
    ~DeviceManagerTest() override {
        ReleaseManager();
        EXPECT_EQ(LiveDevices.load(), 0);
        EXPECT_EQ(LiveDescs.load(), 0);
        Log::SetOutputSink(nullptr, nullptr);
        System::Destroy();
    }
    void ReleaseManager() {
        if (Manager)
            Manager->Release();
        Manager = nullptr;
        Thread::FinishAllThreads(); // the manager's destruction ends the device thread
    }
    std::string List(DeviceKind type, bool presentOnly = true) {
        std::string names;
        DeviceInfoRecord info;
        for (DescEnumerator e = Manager->Enumerate(type, presentOnly); !e.IsEmpty(); e.Next())
            names += (e.GetDeviceInfo(&info), " " + std::string(info.Product));
        return names;
    }
    static void Capture(void* user, LogMessageType, const char* text) {
        auto* self = static_cast<DeviceManagerTest*>(user);
        std::lock_guard<std::mutex> lock(self->LogLock); // device thread or test
        self->LogText += text;
    }

    FakeFactory Factories[2]; // outlive the manager
    Recorder Messages;
    DeviceManagerImpl* Manager = nullptr;
    std::mutex LogLock;
    std::string LogText;
};

// Second names the factory's second device ("" for none); Serial is every device's serial.
TEST_F(DeviceManagerTest, EnumerationListsFactoryDevicesInOrderAndMergesRepeats) {
    ASSERT_TRUE(Manager);
    struct Row {
        const char *Step, *Second;
        int Serial;
        DeviceKind Type;
        bool PresentOnly;
        const char *Listed, *Messages;
    } rows[] = {
        {"first scan", "h1", 1, Type_All, true, " s1 h1 h2", " +s1 +h1 +h2"},
        {"merged, h1 then made", "h1", 1, Type_HMD, true, " h1 h2", " +s1 +h1 +h2"},
        {"h1 is live", "h1", 1, Type_Sensor, true, " s1", " +s1 +h2"},
        {"h1 gone", "", 1, Type_HMD, true, " h2", " +s1 +h2 -h1"},
        {"removed once", "", 1, Type_HMD, false, " h1 h2", " +s1 +h2"},
        {"back while held", "h1", 1, Type_HMD, true, " h1 h2", " +s1 +h2"},
        {"new devices on the ports", "h1", 2, Type_All, true, " s1 h1 h2", " +s1 +h1 +h2"},
        {"none wanted", "h1", 2, Type_LatencyTester, false, "", " +s1 +h2"},
    };
    DeviceBase* held = nullptr;
    for (const Row& row : rows) {
        Factories[0].Present[1].second = row.Second;
        Factories[0].Serial = Factories[1].Serial = row.Serial;
        EXPECT_EQ(List(row.Type, row.PresentOnly), row.Listed) << row.Step;
        EXPECT_EQ(Messages.Take(), row.Messages) << row.Step;
        if (&row == &rows[1])
            held = Manager->FindByPath("h1", Type_HMD).CreateDevice();
    }
    EXPECT_EQ(List(Type_All, false), " s1 h1 h2") << "one description per device";
    ASSERT_TRUE(held);
    held->Release();
}

TEST_F(DeviceManagerTest, TwoCreatesShareOneDeviceThatTheLastReleaseDestroys) {
    ASSERT_TRUE(Manager);
    DescEnumerator e = Manager->Enumerate(Type_HMD);
    DeviceBase* a = e.CreateDevice();
    DeviceBase* b = e.CreateDevice();
    ASSERT_TRUE(a && a == b);
    EXPECT_EQ(a->GetCommon()->RefCount.load(), 2u);
    EXPECT_TRUE(a->GetManager() == Manager && a->GetParent() == Manager);
    EXPECT_EQ(a->GetType(), Type_HMD);
    a->Release();
    EXPECT_TRUE(e.IsCreated());
    b->Release();
    EXPECT_TRUE(Eventually([&] { return !e.IsCreated() && LiveDevices == 0; }));
    DeviceBase* again = e.CreateDevice();
    ASSERT_TRUE(again) << "made again";
    again->Release();
    Factories[0].Present[0].second = "broken";
    EXPECT_EQ(Manager->Enumerate(Type_Sensor).CreateDevice(), nullptr) << "Initialize failed";
    EXPECT_EQ(DescEnumerator().CreateDevice(), nullptr);
    DeviceInfoRecord info(Type_Manager), wrong(Type_HMD);
    EXPECT_TRUE(Manager->QueryInfo(&info) && !Manager->QueryInfo(&wrong));
    EXPECT_STREQ(info.Manufacturer, "Visor Labs, Inc.");
}

TEST_F(DeviceManagerTest, ReferenceTakenBeforeThePostedReleaseRunsKeepsTheDevice) {
    ASSERT_TRUE(Manager);
    DescEnumerator e = Manager->Enumerate(Type_Sensor);
    DeviceBase* device = e.CreateDevice();
    Gate gate;
    ASSERT_TRUE(device && Manager->QueueOf()->PushCall(&gate, &Gate::Hold));
    device->Release(); // posted behind the gate
    EXPECT_EQ(e.CreateDevice(), device);
    gate.Open.Set();
    Manager->Enumerate(Type_None); // the posted release has run
    EXPECT_EQ(LiveDevices.load(), 1);
    EXPECT_EQ(device->GetCommon()->RefCount.load(), 1u);
    device->Release();
}

TEST_F(DeviceManagerTest, HandlesAndDevicesOutliveTheManagerAndFailCleanly) {
    ASSERT_TRUE(Manager);
    DescEnumerator e = Manager->Enumerate(Type_All);
    DescHandle second = Manager->FindByPath("h2", Type_HMD);
    DeviceBase* device = Manager->Enumerate(Type_HMD).CreateDevice();
    ASSERT_TRUE(device);
    Manager->Release(); // the device's parent reference keeps the manager running
    Manager = nullptr;
    EXPECT_EQ(Thread::RunningThreadCount(), 1u);
    EXPECT_TRUE(device->GetManager() != nullptr);
    device->Release();
    Thread::FinishAllThreads();
    EXPECT_EQ(LiveDevices.load(), 0);
    EXPECT_NE(LogText.find("Visor::DeviceManager - shutting down.\n"), std::string::npos);
    EXPECT_FALSE(e.Next());
    EXPECT_EQ(e.CreateDevice(), nullptr);
    EXPECT_EQ(second.CreateDevice(), nullptr);
    EXPECT_EQ(LiveDescs.load(), 2) << "two held, the rest deleted at shutdown";
}

TEST_F(DeviceManagerTest, HandlerRemovedWhileMessagesFlowGetsNoFurtherCall) {
    ASSERT_TRUE(Manager);
    Manager->SetMessageTarget(nullptr);
    Factories[0].Flicker = true; // every scan adds or removes s1
    std::atomic<bool> stop{false};
    std::thread scanner([&] {
        while (!stop)
            Manager->Enumerate(Type_All);
    });
    for (int round = 0; round < 20; ++round) {
        Recorder r;
        Manager->SetMessageTarget(&r);
        EXPECT_TRUE(Eventually([&] { return r.Calls > 0; }));
        if (round % 2)
            Manager->SetMessageTarget(nullptr);
        else
            r.DetachFromDevices();
        int calls = r.Calls;
        Thread::MSleep(1);
        EXPECT_EQ(r.Calls.load(), calls) << "round " << round;
        EXPECT_EQ(Manager->GetMessageTarget(), nullptr);
    }
    {
        Recorder last; // destroyed while attached
        Manager->SetMessageTarget(&last);
        EXPECT_TRUE(Eventually([&] { return last.Calls > 0; }));
    }
    stop = true;
    scanner.join();
}

TEST(DeviceManagerCreate, RefusedBeforeLibraryInitAndWhenTheThreadCannotStart) {
    System::Destroy();
    EXPECT_EQ(Linux::DeviceManager::CreateBare(), nullptr);
    System::Init(LogMask_None);
    unsigned uses = SharedHandlerLock::UseCount();
    int lowestFree = dup(0);
    close(lowestFree);
    rlimit old;
    getrlimit(RLIMIT_NOFILE, &old);
    rlimit tight{rlim_t(lowestFree), old.rlim_max}; // no new descriptor: no command eventfd
    setrlimit(RLIMIT_NOFILE, &tight);
    DeviceManager* manager = Linux::DeviceManager::CreateBare();
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(manager, nullptr);
    EXPECT_EQ(SharedHandlerLock::UseCount(), uses) << "destroyed at once, not left for a thread";
    System::Destroy();
}

} // namespace
