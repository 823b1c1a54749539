// The device thread on a real thread: command round trips, I/O and tick notifiers on its
// poll(), the tick timeout rule, device-status notices, pushes from the device thread itself,
// exit and shutdown, and a multi-producer stress run.
#include "hmd/devices/linux_device_manager_thread.h"
#include "hmd/devices/system.h"
#include "tests/hmd/devices/thread_test_support.h"

#include <memory>
#include <string>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

using namespace Visor;
using Linux::DeviceManagerThread;
using visor_test::Eventually;
using visor_test::Pusher;
using visor_test::Spawned;

namespace {

// Every notifier call comes on the device thread; the counters are read by the test.
class TestNotifier : public DeviceThreadNotifier {
public:
    explicit TestNotifier(std::uint64_t tickAnswer = 0, bool handles = false, bool fails = false)
        : Fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), TickAnswer(tickAnswer), Handles(handles),
          Fails(fails) {}
    ~TestNotifier() override { close(Fd); }
    void OnIoEvent(int fd) override {
        std::uint64_t v = 0;
        if (fd == Fd && read(Fd, &v, sizeof v) == sizeof v)
            Received.fetch_add(v);
        IoCalls.fetch_add(1);
    }
    std::uint64_t OnTick(std::uint64_t) override {
        TickCalls.fetch_add(1);
        return TickAnswer;
    }
    bool OnDeviceStatus(DeviceStatusNotice, const char* path, bool* error) override {
        Paths.push_back(path);
        *error = *error || Fails;
        return Handles;
    }
    void Signal(std::uint64_t n) { (void)!write(Fd, &n, sizeof n); }
    int Fd;
    std::uint64_t TickAnswer;
    bool Handles, Fails;
    std::atomic<std::uint64_t> Received{0};
    std::atomic<int> IoCalls{0}, TickCalls{0};
    std::vector<std::string> Paths;
};

class CountingThread : public DeviceManagerThread {
public:
    int Unclaimed = 0;

protected:
    bool OnUnclaimedDeviceStatus(DeviceStatusNotice, const char*) override { return ++Unclaimed; }
};

class DeviceThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        System::Init();
        T = Ptr<CountingThread>::Adopt(new CountingThread);
        ASSERT_TRUE(T->Start());
    }
    void TearDown() override {
        T->RequestExit();
        ASSERT_TRUE(T->Wait());
    }
    // Runs f on the device thread and waits for it.
    template <class F> void OnDeviceThread(F f) {
        struct Call : ThreadCommandImpl<Call> {
            explicit Call(F* fn) : ThreadCommandImpl<Call>(true), Fn(fn) {}
            void Execute() const override { (*Fn)(); }
            F* Fn;
        };
        ASSERT_TRUE(T->PushCommand(Call(&f)));
    }
    Ptr<CountingThread> T;
};

struct Probe {
    int Value = 0;
    std::uint32_t Tid() { return Thread::GetCurrentThreadId(); }
    void Add(int n) { Value += n; }
    int AddTwo(int a, int b) { return Value += a + b; }
};

TEST_F(DeviceThreadTest, MemberCallsRunOnTheDeviceThreadAndReturnTheirResults) {
    Probe probe;
    std::uint32_t tid = 0;
    ASSERT_TRUE(T->PushCallAndWaitResult(&probe, &Probe::Tid, &tid));
    EXPECT_EQ(tid, T->GetThreadId());
    ASSERT_TRUE(T->PushCall(&probe, &Probe::Add, 5)); // not waited for, but runs first
    int sum = 0;
    ASSERT_TRUE(T->PushCallAndWaitResult(&probe, &Probe::AddTwo, &sum, 20, 17));
    EXPECT_EQ(sum, 42);
}

TEST_F(DeviceThreadTest, IoAndTickNotifiersAreCalledUntilRemoved) {
    TestNotifier n(2000);
    OnDeviceThread([&] { T->AddIoEvent(&n, n.Fd) && T->AddTickNotifier(&n); });
    n.Signal(3);
    ASSERT_TRUE(Eventually([&] { return n.Received.load() == 3; }));
    n.Signal(4);
    ASSERT_TRUE(Eventually([&] { return n.Received.load() == 7; }));
    // With nothing else happening, only the tick timeout wakes the loop.
    ASSERT_TRUE(Eventually([&] { return n.TickCalls.load() >= 10; }));
    bool removed = false, removedAgain = true;
    OnDeviceThread([&] {
        removed = T->RemoveIoEvent(&n, n.Fd) && T->RemoveTickNotifier(&n);
        removedAgain = T->RemoveIoEvent(&n, n.Fd) || T->RemoveTickNotifier(&n);
    });
    EXPECT_TRUE(removed);
    EXPECT_FALSE(removedAgain);
    int io = n.IoCalls.load(), ticks = n.TickCalls.load();
    n.Signal(1);
    Thread::MSleep(30);
    EXPECT_EQ(n.IoCalls.load(), io);
    EXPECT_EQ(n.TickCalls.load(), ticks);
}

TEST_F(DeviceThreadTest, TickTimeoutIsTheSmallestAnswerInWholeMilliseconds) {
    struct Row {
        const char* Name;
        std::vector<std::uint64_t> Answers;
        std::uint32_t Timeout;
    } rows[] = {
        {"no notifier waits without end", {}, DeviceManagerThread::InfiniteTimeout},
        {"smallest answer wins", {1000000000ull, 1000, 5000}, 1},
        {"below a millisecond is zero", {1000000000ull, 999}, 0},
        {"rounds down", {3000999}, 3000},
        {"far answers saturate, never wrap",
         {(std::uint64_t(1) << 32) * 1000u + 5000u},
         0xFFFFFFFEu},
        {"largest answer saturates", {~std::uint64_t(0)}, 0xFFFFFFFEu},
    };
    for (const Row& row : rows) {
        std::vector<std::unique_ptr<TestNotifier>> notifiers;
        for (std::uint64_t answer : row.Answers)
            notifiers.emplace_back(new TestNotifier(answer));
        std::uint32_t timeout = 0;
        OnDeviceThread([&] {
            for (auto& n : notifiers)
                T->AddTickNotifier(n.get());
            timeout = T->ComputeTickTimeout();
            for (auto& n : notifiers)
                T->RemoveTickNotifier(n.get());
        });
        EXPECT_EQ(timeout, row.Timeout) << row.Name;
    }
}

TEST_F(DeviceThreadTest, StatusNoticeStopsAtTheFirstHandlerElseGoesToTheHook) {
    TestNotifier declines, handles(0, true), never(0, true), failing(0, false, true);
    bool handled = false, unclaimed = true;
    OnDeviceThread([&] {
        for (TestNotifier* n : {&declines, &handles, &never})
            T->AddStatusNotifier(n);
        handled = T->TakeMessage(DeviceStatus_Added, "/dev/hidraw2");
        for (TestNotifier* n : {&declines, &handles, &never})
            T->RemoveStatusNotifier(n);
        T->AddStatusNotifier(&failing);
        unclaimed = T->TakeMessage(DeviceStatus_Removed, "/dev/hidraw7");
        T->RemoveStatusNotifier(&failing);
    });
    EXPECT_TRUE(handled);
    EXPECT_EQ(declines.Paths.size(), 1u);
    EXPECT_EQ(handles.Paths, std::vector<std::string>{"/dev/hidraw2"});
    EXPECT_TRUE(never.Paths.empty());
    EXPECT_FALSE(unclaimed) << "a notifier's error is reported";
    EXPECT_EQ(T->Unclaimed, 1);
}

// Device release pushes from the device thread: such a push must not wait for itself.
TEST_F(DeviceThreadTest, PushesFromTheDeviceThreadRunAtOnce) {
    Probe probe;
    std::uint32_t tid = 0;
    bool accepted = true;
    OnDeviceThread([&] {
        accepted = accepted && T->PushCallAndWaitResult(&probe, &Probe::Tid, &tid);
        // More than the ring holds, none of them waited for.
        for (int i = 0; i < 100; ++i)
            accepted = accepted && T->PushCall(&probe, &Probe::Add, 1);
        accepted = accepted && probe.Value == 100;
    });
    EXPECT_TRUE(accepted);
    EXPECT_EQ(tid, T->GetThreadId());
}

TEST_F(DeviceThreadTest, ExitRunsEarlierCommandsEndsTheLoopAndRefusesLaterPushes) {
    Probe probe;
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(T->PushCall(&probe, &Probe::Add, 1));
    T->RequestExit();
    EXPECT_FALSE(T->PushCall(&probe, &Probe::Add, 100));
    ASSERT_TRUE(T->Wait());
    EXPECT_EQ(T->GetExitCode(), 0);
    EXPECT_EQ(probe.Value, 5);
}

// The owner asks the thread to exit and lets go while other threads wait in blocking
// pushes: the thread deletes itself after the exit command, and no waiter may still be
// using the queue then.
TEST(DeviceThreadShutdown, WaitersLeaveBeforeTheQueueIsDeleted) {
    System::Init();
    struct Gate {
        Event Open;
        void Hold() { Open.Wait(); }
    };
    for (int round = 0; round < 20; ++round) {
        auto* t = new DeviceManagerThread;
        ASSERT_TRUE(t->Start());
        Gate gate;
        Probe probe;
        std::atomic<int> pushing{0};
        ASSERT_TRUE(t->PushCall(&gate, &Gate::Hold)); // keeps the waiters queued
        std::vector<std::unique_ptr<Spawned>> waiters;
        for (int i = 0; i < 3; ++i)
            waiters.emplace_back(new Spawned([&] {
                ++pushing;
                return int(t->PushCallAndWait(&probe, &Probe::Add, 1));
            }));
        ASSERT_TRUE(Eventually([&] { return pushing.load() == 3; }));
        Thread::MSleep(5);
        t->RequestExit();
        t->Release();
        gate.Open.Set();
        waiters.clear();
    }
}

class FailingStatusSource : public DeviceStatusSource {
public:
    bool Initialize(DeviceThreadRegistry*) override { return false; }
    void ShutdownAndWait() override { ++Shutdowns; }
    int Shutdowns = 0;
};

TEST(DeviceThreadStart, FailedStatusSourceIsLoggedAndTheLoopStillRuns) {
    System::Init();
    visor_test::LogText log;
    FailingStatusSource source;
    Ptr<DeviceManagerThread> t = Ptr<DeviceManagerThread>::Adopt(new DeviceManagerThread);
    t->SetStatusSource(&source);
    ASSERT_TRUE(t->Start());
    Probe probe;
    ASSERT_TRUE(t->PushCallAndWait(&probe, &Probe::Add, 2));
    EXPECT_TRUE(log.Contains("Visor::DeviceManagerThread - failed to initialize MessageObject.\n"));
    t->RequestExit();
    ASSERT_TRUE(t->Wait());
    EXPECT_EQ(source.Shutdowns, 0);
}

constexpr int Producers = 4;

struct Ledger {
    // Touched only on the device thread; read by the test after a blocking barrier.
    std::vector<int> NextSeq = std::vector<int>(Producers, 0);
    int OutOfOrder = 0, Total = 0;
};

// Pad makes some commands wider so that the ring wraps at uneven offsets.
template <std::size_t Pad> class StampCommand : public ThreadCommandImpl<StampCommand<Pad>> {
public:
    StampCommand(Ledger* l, int producer, int seq, bool blocking)
        : ThreadCommandImpl<StampCommand<Pad>>(blocking), L(l), Producer(producer), Seq(seq) {}
    void Execute() const override {
        L->OutOfOrder += L->NextSeq[std::size_t(Producer)] != Seq;
        L->NextSeq[std::size_t(Producer)] = Seq + 1;
        ++L->Total;
    }

private:
    Ledger* L;
    int Producer, Seq;
    unsigned char Padding[Pad] = {};
};

TEST_F(DeviceThreadTest, ManyProducersEveryCommandRunsOnceInProducerOrder) {
    const int perProducer = 2000;
    Ledger ledger;
    TestNotifier n(1000);
    OnDeviceThread([&] { T->AddIoEvent(&n, n.Fd) && T->AddTickNotifier(&n); });
    std::atomic<int> refused{0};
    std::vector<std::unique_ptr<Spawned>> producers;
    for (int id = 0; id < Producers; ++id)
        producers.emplace_back(new Spawned([&, id] {
            for (int seq = 0; seq < perProducer; ++seq) // every fifth blocks, every third is wide
                refused +=
                    !(seq % 5 == 0   ? T->PushCommand(StampCommand<1>(&ledger, id, seq, true))
                      : seq % 3 == 0 ? T->PushCommand(StampCommand<150>(&ledger, id, seq, false))
                                     : T->PushCommand(StampCommand<1>(&ledger, id, seq, false)));
            return 0;
        }));
    for (bool producing = true; producing;) { // device I/O arrives while the queue is busy
        n.Signal(1);
        Thread::MSleep(1);
        producing = false;
        for (auto& p : producers)
            producing = producing || !(*p)->IsFinished();
    }
    producers.clear();
    OnDeviceThread([&] { T->RemoveTickNotifier(&n) && T->RemoveIoEvent(&n, n.Fd); });
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(ledger.Total, Producers * perProducer);
    EXPECT_EQ(ledger.OutOfOrder, 0);
    EXPECT_GE(n.Received.load(), 1u);
    EXPECT_GE(n.TickCalls.load(), 1);
}

} // namespace
