// The device thread: the tick timeout rule and device-status notices on an idle thread, then
// on a running one pushes from the device thread itself, many producers while I/O and tick
// notifiers are called, and shutdown with waiting pushers.
#include "hmd/devices/linux_device_manager_thread.h"
#include "hmd/devices/system.h"
#include "tests/hmd/devices/thread_test_support.h"

#include <algorithm>
#include <memory>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Visor;
using Linux::DeviceManagerThread;
using visor_test::Eventually;

namespace {

// Every call comes on the device thread; the counters are read by the test.
struct TestNotifier : DeviceThreadNotifier {
    explicit TestNotifier(std::uint64_t tickAnswer = 0) : TickAnswer(tickAnswer) {}
    ~TestNotifier() override { close(Fd); }
    void OnIoEvent(int) override {
        std::uint64_t v = 0;
        Received += read(Fd, &v, sizeof v) == sizeof v ? v : 0;
    }
    std::uint64_t OnTick(std::uint64_t) override {
        ++TickCalls;
        return TickAnswer;
    }
    bool OnDeviceStatus(DeviceStatusNotice, const char* path, bool* error) override {
        Paths.push_back(path);
        *error = *error || Fails;
        return Handles;
    }
    int Fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    std::uint64_t TickAnswer;
    bool Handles = false, Fails = false;
    std::atomic<std::uint64_t> Received{0};
    std::atomic<int> TickCalls{0};
    std::vector<std::string> Paths;
};

// Not started: the test thread stands in for the device thread. Unclaimed notices counted.
struct IdleThread : DeviceManagerThread {
    bool OnUnclaimedDeviceStatus(DeviceStatusNotice, const char*) override { return ++Unclaimed; }
    int Unclaimed = 0;
};

TEST(DeviceThreadRules, TickTimeoutIsTheSmallestAnswerInWholeMilliseconds) {
    struct Row {
        std::vector<std::uint64_t> Answers;
        std::uint32_t Timeout;
    } rows[] = {{{}, DeviceManagerThread::InfiniteTimeout},
                {{1000000000ull, 1000, 5000}, 1},
                {{1000000000ull, 999}, 0},
                {{3000999}, 3000},
                {{~0ull}, 0xFFFFFFFEu},
                {{(1ull << 32) * 1000u + 5000u}, 0xFFFFFFFEu}}; // saturates, never wraps short
    for (const Row& row : rows) {
        IdleThread t;
        std::vector<TestNotifier> notifiers(row.Answers.begin(), row.Answers.end());
        for (TestNotifier& n : notifiers)
            t.AddTickNotifier(&n);
        EXPECT_EQ(t.ComputeTickTimeout(), row.Timeout) << "row " << &row - rows;
    }
}

TEST(DeviceThreadRules, StatusNoticeStopsAtTheFirstHandlerElseGoesToTheHook) {
    IdleThread t;
    TestNotifier n[4]; // declines, handles, would handle, fails
    n[1].Handles = n[2].Handles = n[3].Fails = true;
    for (int i = 0; i < 3; ++i)
        t.AddStatusNotifier(&n[i]);
    EXPECT_TRUE(t.TakeMessage(DeviceStatus_Added, "/dev/hidraw2"));
    EXPECT_EQ(n[0].Paths.size() + n[1].Paths.size() + n[2].Paths.size(), 2u);
    EXPECT_EQ(n[1].Paths, std::vector<std::string>{"/dev/hidraw2"});
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(t.RemoveStatusNotifier(&n[i]) && !t.RemoveStatusNotifier(&n[i]));
    t.AddStatusNotifier(&n[3]);
    EXPECT_FALSE(t.TakeMessage(DeviceStatus_Removed, "/dev/hidraw7")) << "errors are reported";
    EXPECT_EQ(t.Unclaimed, 1);
}

struct Probe {
    int Value = 0;
    std::uint32_t Tid = 0;
    bool Accepted = true;
    std::atomic<bool> Held{false};
    Event Open;
    void Add(int n) {
        Value += n;
        Tid = Thread::GetCurrentThreadId();
    }
    int Sum(int a, int b) { return Value + a + b; }
    // On the device thread: one blocking push, then more than the ring holds.
    void PushFromHere(DeviceManagerThread* t) {
        Accepted = t->PushCallAndWait(this, &Probe::Add, 1);
        for (int i = 0; i < 99; ++i)
            Accepted = t->PushCall(this, &Probe::Add, 1) && Accepted;
    }
    void Hold() {
        Held = true;
        Open.Wait();
    }
    void HoldThenExit(DeviceManagerThread* t) {
        Hold();
        t->RequestExit();
    }
};

// Device release pushes from the device thread: such a push must not wait for itself.
TEST(DeviceThread, PushesFromTheDeviceThreadRunAtOnce) {
    System::Init();
    auto t = Ptr<DeviceManagerThread>::Adopt(new DeviceManagerThread);
    Probe probe;
    int sum = 0; // a result comes back from a queued call too
    ASSERT_TRUE(t->Start() && t->PushCallAndWait(&probe, &Probe::PushFromHere, t.GetPtr()) &&
                t->PushCallAndWaitResult(&probe, &Probe::Sum, &sum, 2, 3));
    t->RequestExit();
    EXPECT_TRUE(t->Wait() && probe.Accepted && probe.Value == 100 && sum == 105);
    EXPECT_EQ(probe.Tid, t->GetThreadId());
}

// Every producer's commands run once, in its order, while device I/O and ticks go on.
TEST(DeviceThread, ManyProducersEveryCommandRunsOnceInProducerOrder) {
    constexpr int producers = 4, perProducer = 2000;
    struct Ledger {
        int NextSeq[producers] = {}, OutOfOrder = 0; // device thread only
        void Stamp(int producer, int seq) {
            OutOfOrder += NextSeq[producer] != seq;
            NextSeq[producer] = seq + 1;
        }
    } ledger;
    System::Init();
    TestNotifier n(1000);
    auto t = Ptr<DeviceManagerThread>::Adopt(new DeviceManagerThread);
    // Registered before the loop starts reading the arrays, removed after it ended.
    ASSERT_TRUE(t->AddIoEvent(&n, n.Fd) && t->AddTickNotifier(&n) && t->Start());
    std::atomic<int> refused{0}, finished{0};
    std::vector<std::thread> threads;
    for (int id = 0; id < producers; ++id)
        threads.emplace_back([&, id] {
            for (int seq = 0; seq < perProducer; ++seq) // every fifth waits
                refused += !(seq % 5 ? t->PushCall(&ledger, &Ledger::Stamp, id, seq)
                                     : t->PushCallAndWait(&ledger, &Ledger::Stamp, id, seq));
            ++finished;
        });
    for (std::uint64_t one = 1; finished < producers; Thread::MSleep(1))
        (void)!write(n.Fd, &one, sizeof one); // device I/O while the queue is busy
    for (auto& thread : threads)
        thread.join();
    int ticks = n.TickCalls; // idle now: only the 1 ms tick timeout wakes the loop
    EXPECT_TRUE(Eventually([&] { return n.TickCalls > ticks + 10; }));
    t->RequestExit();
    ASSERT_TRUE(t->Wait());
    EXPECT_EQ(refused, 0);
    EXPECT_EQ(ledger.OutOfOrder, 0);
    for (int next : ledger.NextSeq)
        EXPECT_EQ(next, perProducer);
    EXPECT_GT(n.Received, 0u);
    EXPECT_TRUE(t->RemoveIoEvent(&n, n.Fd) && !t->RemoveIoEvent(&n, n.Fd));
}

// The owner asks the thread to exit and lets go while others wait in blocking pushes; the
// thread deletes itself after the exit command and no waiter may still be in the queue.
TEST(DeviceThread, WaitersLeaveBeforeTheQueueIsDeletedAtShutdown) {
    System::Init();
    using AddCall = ThreadCommandMF1<Probe, Void, int>;
    const std::uint32_t queued = 3 * ((sizeof(AddCall) + 15) / 16 * 16);
    for (int round = 0; round < 20; ++round) {
        auto* t = new DeviceManagerThread; // released below while its run goes on
        Probe probe;
        ASSERT_TRUE(t->Start() && t->PushCall(&probe, &Probe::Hold)); // holds the waiters back
        std::vector<std::unique_ptr<visor_test::Pusher>> waiters;
        for (int i = 0; i < 3; ++i)
            waiters.emplace_back(
                new visor_test::Pusher(t, AddCall(&probe, &Probe::Add, nullptr, 1, true)));
        EXPECT_TRUE(Eventually([&] { // the three queued behind the hold, which has been taken
            ThreadCommandQueue::State s = t->GetState();
            return probe.Held && s.End - s.Begin == queued;
        }));
        t->RequestExit();
        t->Release();
        probe.Open.Set();
        waiters.clear();
        Thread::FinishAllThreads(); // the released thread lives until its run ends
        EXPECT_EQ(probe.Value, 3) << "commands queued before the exit still run";
    }
}

// The manager's shutdown asks for exit on the device thread itself, perhaps with a full ring:
// that request must not wait for room, and the commands already queued still run first.
TEST(DeviceThread, ExitRequestedOnTheDeviceThreadRunsTheQueuedCommandsFirst) {
    System::Init();
    for (int pushes : {1, 40}) { // 32 of these commands fill the ring
        auto t = Ptr<DeviceManagerThread>::Adopt(new DeviceManagerThread);
        Probe probe;
        std::atomic<int> accepted{0};
        ASSERT_TRUE(t->Start() && t->PushCall(&probe, &Probe::HoldThenExit, t.GetPtr()));
        ASSERT_TRUE(Eventually([&] { return probe.Held.load(); })); // taken: the ring is empty
        std::thread producer([&] {
            for (int i = 0; i < pushes; ++i)
                accepted += t->PushCall(&probe, &Probe::Add, 1);
        });
        EXPECT_TRUE(Eventually([&] { return accepted == std::min(pushes, 32); }));
        Thread::MSleep(5); // let the last pusher start waiting for room
        probe.Open.Set();
        producer.join();
        ASSERT_TRUE(t->Wait());
        EXPECT_EQ(probe.Value, std::min(pushes, 32)) << pushes;
        EXPECT_EQ(accepted, std::min(pushes, 32));
    }
}

} // namespace
