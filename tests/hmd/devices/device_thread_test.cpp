// The device thread on a real thread: command round trips, I/O and tick notifiers on its
// poll(), the tick timeout rule, device-status notices, exit, and a multi-producer stress run.
#include "hmd/devices/linux_device_manager_thread.h"
#include "hmd/devices/system.h"
#include "hmd/devices/timer.h"

#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

using namespace Visor;
using Linux::DeviceManagerThread;

namespace {

template <class F> bool Eventually(F f) {
    for (int i = 0; i < 5000; ++i) {
        if (f())
            return true;
        Thread::MSleep(1);
    }
    return f();
}

// Collects library log lines (any thread).
class LogLines {
public:
    LogLines() { Log::SetOutputSink(&LogLines::Sink, this); }
    ~LogLines() { Log::SetOutputSink(nullptr, nullptr); }
    bool Contains(const std::string& s) {
        std::lock_guard<std::mutex> g(Lock);
        for (auto& l : Lines)
            if (l.find(s) != std::string::npos)
                return true;
        return false;
    }

private:
    static void Sink(void* user, LogMessageType, const char* text) {
        auto* self = static_cast<LogLines*>(user);
        std::lock_guard<std::mutex> g(self->Lock);
        self->Lines.push_back(text);
    }
    std::mutex Lock;
    std::vector<std::string> Lines;
};

// Reads an eventfd when poll says it is readable; every call on the device thread.
class EventFdNotifier : public DeviceManagerThread::Notifier {
public:
    EventFdNotifier() : Fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~EventFdNotifier() override { close(Fd); }
    void OnIoEvent(int fd) override {
        std::uint64_t v = 0;
        if (fd == Fd && read(Fd, &v, sizeof v) == sizeof v)
            Received.fetch_add(v);
        Calls.fetch_add(1);
    }
    void Signal(std::uint64_t n = 1) { (void)!write(Fd, &n, sizeof n); }
    int Fd;
    std::atomic<std::uint64_t> Received{0};
    std::atomic<int> Calls{0};
};

class TickNotifier : public DeviceManagerThread::Notifier {
public:
    explicit TickNotifier(std::uint64_t answer) : Answer(answer) {}
    std::uint64_t OnTick(std::uint64_t ticks) override {
        LastTicks.store(ticks);
        Calls.fetch_add(1);
        return Answer;
    }
    std::uint64_t Answer;
    std::atomic<std::uint64_t> LastTicks{0};
    std::atomic<int> Calls{0};
};

class StatusNotifier : public DeviceManagerThread::Notifier {
public:
    StatusNotifier(bool handles, bool fails) : Handles(handles), Fails(fails) {}
    bool OnDeviceStatus(Linux::DeviceStatusNotice, const char* path, bool* error) override {
        Paths.push_back(path);
        if (Fails)
            *error = true;
        return Handles;
    }
    bool Handles, Fails;
    std::vector<std::string> Paths;
};

class CountingThread : public DeviceManagerThread {
public:
    int Unclaimed = 0;

protected:
    bool OnUnclaimedDeviceStatus(Linux::DeviceStatusNotice, const char*) override {
        ++Unclaimed;
        return true;
    }
};

class DeviceThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        System::Init();
        T = Ptr<CountingThread>::Adopt(new CountingThread);
        ASSERT_TRUE(T->Start());
    }
    void TearDown() override {
        if (T->IsFinished())
            return;
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
    std::uint32_t Tid() { return Thread::GetCurrentThreadId(); }
    int Sum(int a, int b) { return a + b; }
};

TEST_F(DeviceThreadTest, BlockingCallRunsOnTheDeviceThreadAndReturnsItsResult) {
    Probe probe;
    std::uint32_t tid = 0;
    ASSERT_TRUE(T->PushCallAndWaitResult(&probe, &Probe::Tid, &tid));
    EXPECT_EQ(tid, T->GetThreadId());
    EXPECT_NE(tid, Thread::GetCurrentThreadId());
    int sum = 0;
    ASSERT_TRUE(T->PushCallAndWaitResult(&probe, &Probe::Sum, &sum, 20, 22));
    EXPECT_EQ(sum, 42);
}

TEST_F(DeviceThreadTest, IoNotifierIsCalledWhenItsDescriptorIsReadable) {
    EventFdNotifier n;
    OnDeviceThread([&] { T->AddIoEvent(&n, n.Fd); });
    n.Signal(3);
    ASSERT_TRUE(Eventually([&] { return n.Received.load() == 3; }));
    n.Signal(4);
    ASSERT_TRUE(Eventually([&] { return n.Received.load() == 7; }));
    bool removed = false, removedAgain = true;
    OnDeviceThread([&] {
        removed = T->RemoveIoEvent(&n, n.Fd);
        removedAgain = T->RemoveIoEvent(&n, n.Fd);
    });
    EXPECT_TRUE(removed);
    EXPECT_FALSE(removedAgain);
    int calls = n.Calls.load();
    n.Signal(1);
    Thread::MSleep(20);
    EXPECT_EQ(n.Calls.load(), calls);
}

TEST_F(DeviceThreadTest, TickTimeoutIsTheSmallestAnswerInMilliseconds) {
    std::uint32_t none = 0, oneMs = 0, zero = 0;
    TickNotifier slow(1000000000ull), ms(1000), fast(999);
    OnDeviceThread([&] { none = T->ComputeTickTimeout(); });
    EXPECT_EQ(none, DeviceManagerThread::InfiniteTimeout);
    OnDeviceThread([&] {
        T->AddTickNotifier(&slow);
        T->AddTickNotifier(&ms);
        oneMs = T->ComputeTickTimeout();
        T->AddTickNotifier(&fast);
        zero = T->ComputeTickTimeout();
        T->RemoveTickNotifier(&fast);
        T->RemoveTickNotifier(&ms);
        T->RemoveTickNotifier(&slow);
    });
    EXPECT_EQ(oneMs, 1u);
    EXPECT_EQ(zero, 0u);
    EXPECT_GT(slow.LastTicks.load(), 0u);
    EXPECT_EQ(slow.LastTicks.load() % 1000u, 0u);
}

TEST(TickTimeoutRule, AnswersConvertByIntegerDivisionAndSaturate) {
    EXPECT_EQ(DeviceManagerThread::TickAnswerToTimeoutMs(0), 0u);
    EXPECT_EQ(DeviceManagerThread::TickAnswerToTimeoutMs(999), 0u);
    EXPECT_EQ(DeviceManagerThread::TickAnswerToTimeoutMs(1000), 1u);
    EXPECT_EQ(DeviceManagerThread::TickAnswerToTimeoutMs(3000999), 3000u);
    // Far answers mean "much later", never a short timeout or an endless wait.
    EXPECT_EQ(DeviceManagerThread::TickAnswerToTimeoutMs(~std::uint64_t(0)), 0xFFFFFFFEu);
    EXPECT_EQ(DeviceManagerThread::TickAnswerToTimeoutMs((std::uint64_t(1) << 32) * 1000u + 5000u),
              0xFFFFFFFEu);
}

TEST_F(DeviceThreadTest, TickNotifierIsCalledAgainAfterItsDeadline) {
    TickNotifier every2ms(2000);
    OnDeviceThread([&] { T->AddTickNotifier(&every2ms); });
    // With nothing else happening, only the tick timeout wakes the loop.
    ASSERT_TRUE(Eventually([&] { return every2ms.Calls.load() >= 10; }));
    OnDeviceThread([&] { T->RemoveTickNotifier(&every2ms); });
    int calls = every2ms.Calls.load();
    Thread::MSleep(30);
    EXPECT_EQ(every2ms.Calls.load(), calls);
}

TEST_F(DeviceThreadTest, StatusNoticeStopsAtTheFirstNotifierThatHandlesIt) {
    StatusNotifier declines(false, false), handles(true, false), never(true, false);
    bool ok = false;
    OnDeviceThread([&] {
        T->AddStatusNotifier(&declines);
        T->AddStatusNotifier(&handles);
        T->AddStatusNotifier(&never);
        ok = T->TakeMessage(Linux::DeviceStatus_Added, "/dev/hidraw2");
    });
    EXPECT_TRUE(ok);
    EXPECT_EQ(declines.Paths.size(), 1u);
    EXPECT_EQ(handles.Paths, std::vector<std::string>{"/dev/hidraw2"});
    EXPECT_TRUE(never.Paths.empty());
    EXPECT_EQ(T->Unclaimed, 0);
}

TEST_F(DeviceThreadTest, UnclaimedNoticeGoesToTheHookAndErrorsAreReported) {
    StatusNotifier failing(false, true);
    bool ok = true;
    OnDeviceThread([&] {
        T->AddStatusNotifier(&failing);
        ok = T->TakeMessage(Linux::DeviceStatus_Removed, "/dev/hidraw7");
        T->RemoveStatusNotifier(&failing);
    });
    EXPECT_FALSE(ok);
    EXPECT_EQ(T->Unclaimed, 1);
}

TEST_F(DeviceThreadTest, ExitEndsTheLoopAndLaterPushesAreRefused) {
    LogLines log;
    std::vector<int> ran;
    struct Note : ThreadCommandImpl<Note> {
        Note(std::vector<int>* r, int v) : ThreadCommandImpl<Note>(false), R(r), V(v) {}
        void Execute() const override { R->push_back(V); }
        std::vector<int>* R;
        int V;
    };
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(T->PushCommand(Note(&ran, i)));
    T->RequestExit();
    EXPECT_FALSE(T->PushCommand(Note(&ran, 99)));
    ASSERT_TRUE(T->Wait());
    EXPECT_EQ(T->GetExitCode(), 0);
    EXPECT_TRUE(T->IsExitDone());
    EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3, 4}));
    char line[80];
    std::snprintf(line, sizeof line, "Visor::DeviceManagerThread - exiting (ThreadId=0x%X).\n",
                  T->GetThreadId());
    EXPECT_TRUE(log.Contains(line));
}

class FailingStatusSource : public Linux::DeviceStatusSource {
public:
    bool Initialize(DeviceManagerThread*) override { return false; }
    void ShutdownAndWait() override { ++Shutdowns; }
    int Shutdowns = 0;
};

TEST(DeviceThreadStart, FailedStatusSourceIsLoggedAndTheLoopStillRuns) {
    System::Init();
    LogLines log;
    FailingStatusSource source;
    Ptr<DeviceManagerThread> t = Ptr<DeviceManagerThread>::Adopt(new DeviceManagerThread);
    t->SetStatusSource(&source);
    ASSERT_TRUE(t->Start());
    Probe probe;
    int sum = 0;
    ASSERT_TRUE(t->PushCallAndWaitResult(&probe, &Probe::Sum, &sum, 1, 1));
    EXPECT_EQ(sum, 2);
    char line[80];
    std::snprintf(line, sizeof line, "Visor::DeviceManagerThread - running (ThreadId=0x%X).\n",
                  t->GetThreadId());
    EXPECT_TRUE(log.Contains(line));
    EXPECT_TRUE(log.Contains("Visor::DeviceManagerThread - failed to initialize MessageObject.\n"));
    t->RequestExit();
    ASSERT_TRUE(t->Wait());
    EXPECT_EQ(source.Shutdowns, 0);
}

// ---- Stress -----------------------------------------------------------------------------

constexpr int Producers = 4;

struct Ledger {
    // Touched only on the device thread; read by the test after a blocking barrier.
    std::vector<int> NextSeq = std::vector<int>(Producers, 0);
    int OutOfOrder = 0;
    int Total = 0;
};

class StampCommand : public ThreadCommandImpl<StampCommand> {
public:
    StampCommand(Ledger* l, int producer, int seq, bool blocking)
        : ThreadCommandImpl<StampCommand>(blocking), L(l), Producer(producer), Seq(seq) {}
    void Execute() const override {
        if (L->NextSeq[Producer] != Seq)
            ++L->OutOfOrder;
        L->NextSeq[Producer] = Seq + 1;
        ++L->Total;
    }

private:
    Ledger* L;
    int Producer, Seq;
};

// A bigger command so the ring wraps at uneven offsets.
class WideStampCommand : public ThreadCommandImpl<WideStampCommand> {
public:
    WideStampCommand(Ledger* l, int producer, int seq)
        : ThreadCommandImpl<WideStampCommand>(false), Inner(l, producer, seq, false) {}
    void Execute() const override { Inner.Execute(); }

private:
    StampCommand Inner;
    unsigned char Pad[150] = {};
};

struct ProducerArgs {
    DeviceManagerThread* T;
    Ledger* L;
    int Id;
    int Count;
    std::atomic<int>* Refused;
};

int ProducerMain(Thread*, void* user) {
    auto* a = static_cast<ProducerArgs*>(user);
    for (int seq = 0; seq < a->Count; ++seq) {
        bool ok;
        // Deterministic mix: every fifth blocks, every third is wide.
        if (seq % 5 == 0)
            ok = a->T->PushCommand(StampCommand(a->L, a->Id, seq, true));
        else if (seq % 3 == 0)
            ok = a->T->PushCommand(WideStampCommand(a->L, a->Id, seq));
        else
            ok = a->T->PushCommand(StampCommand(a->L, a->Id, seq, false));
        if (!ok)
            a->Refused->fetch_add(1);
    }
    return 0;
}

TEST_F(DeviceThreadTest, ManyProducersEveryCommandRunsOnceInProducerOrder) {
    const int perProducer = 3000;
    Ledger ledger;
    EventFdNotifier io;
    TickNotifier ticker(1000);
    OnDeviceThread([&] {
        T->AddIoEvent(&io, io.Fd);
        T->AddTickNotifier(&ticker);
    });

    std::atomic<int> refused{0};
    std::vector<ProducerArgs> args;
    for (int i = 0; i < Producers; ++i)
        args.push_back({T.GetPtr(), &ledger, i, perProducer, &refused});
    std::vector<Ptr<Thread>> producers;
    for (int i = 0; i < Producers; ++i) {
        producers.push_back(Ptr<Thread>::Adopt(new Thread(&ProducerMain, &args[i])));
        ASSERT_TRUE(producers.back()->Start());
    }
    // Device I/O arrives while the queue is busy.
    std::atomic<bool> producing{true};
    std::uint64_t signalled = 0;
    while (producing.load()) {
        io.Signal(1);
        ++signalled;
        Thread::MSleep(1);
        bool all = true;
        for (auto& p : producers)
            all = all && p->IsFinished();
        producing.store(!all);
    }
    for (auto& p : producers)
        ASSERT_TRUE(p->Wait());

    OnDeviceThread([&] {
        T->RemoveTickNotifier(&ticker);
        T->RemoveIoEvent(&io, io.Fd);
    });
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(ledger.Total, Producers * perProducer);
    EXPECT_EQ(ledger.OutOfOrder, 0);
    for (int i = 0; i < Producers; ++i)
        EXPECT_EQ(ledger.NextSeq[i], perProducer);
    EXPECT_GE(io.Received.load(), 1u);
    EXPECT_LE(io.Received.load(), signalled);
    EXPECT_GE(ticker.Calls.load(), 1);
}

} // namespace
