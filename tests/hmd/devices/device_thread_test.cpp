// The device thread on a real thread: command round trips, I/O and tick notifiers on its
// poll(), the tick timeout rule, device-status notices, exit, and a multi-producer stress run.
#include "hmd/devices/linux_device_manager_thread.h"
#include "hmd/devices/system.h"
#include "hmd/devices/timer.h"
#include "tests/hmd/devices/thread_test_support.h"

#include <memory>
#include <mutex>
#include <string>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

using namespace Visor;
using Linux::DeviceManagerThread;
using visor_test::Eventually;
using visor_test::Spawned;

namespace {

// Collects library log text (any thread).
class LogText {
public:
    LogText() { Log::SetOutputSink(&LogText::Sink, this); }
    ~LogText() { Log::SetOutputSink(nullptr, nullptr); }
    bool Contains(const std::string& s) {
        std::lock_guard<std::mutex> g(Lock);
        return Text.find(s) != std::string::npos;
    }

private:
    static void Sink(void* user, LogMessageType, const char* text) {
        auto* self = static_cast<LogText*>(user);
        std::lock_guard<std::mutex> g(self->Lock);
        self->Text += text;
    }
    std::mutex Lock;
    std::string Text;
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
    EXPECT_NE(tid, Thread::GetCurrentThreadId());
    ASSERT_TRUE(T->PushCall(&probe, &Probe::Add, 5)); // not waited for, but runs first
    int sum = 0;
    ASSERT_TRUE(T->PushCallAndWaitResult(&probe, &Probe::AddTwo, &sum, 20, 17));
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
    // Far answers mean "much later", never a short timeout or an endless wait.
    EXPECT_EQ(DeviceManagerThread::TickAnswerToTimeoutMs(3000999), 3000u);
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

TEST_F(DeviceThreadTest, StatusNoticeStopsAtTheFirstHandlerElseGoesToTheHook) {
    StatusNotifier declines(false, false), handles(true, false), never(true, false);
    StatusNotifier failing(false, true);
    bool handled = false, unclaimed = true;
    OnDeviceThread([&] {
        T->AddStatusNotifier(&declines);
        T->AddStatusNotifier(&handles);
        T->AddStatusNotifier(&never);
        handled = T->TakeMessage(Linux::DeviceStatus_Added, "/dev/hidraw2");
        T->RemoveStatusNotifier(&declines);
        T->RemoveStatusNotifier(&handles);
        T->RemoveStatusNotifier(&never);
        T->AddStatusNotifier(&failing);
        unclaimed = T->TakeMessage(Linux::DeviceStatus_Removed, "/dev/hidraw7");
        T->RemoveStatusNotifier(&failing);
    });
    EXPECT_TRUE(handled);
    EXPECT_EQ(declines.Paths.size(), 1u);
    EXPECT_EQ(handles.Paths, std::vector<std::string>{"/dev/hidraw2"});
    EXPECT_TRUE(never.Paths.empty());
    EXPECT_FALSE(unclaimed) << "a notifier's error is reported";
    EXPECT_EQ(T->Unclaimed, 1);
}

TEST_F(DeviceThreadTest, ExitEndsTheLoopAndLaterPushesAreRefused) {
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
}

class FailingStatusSource : public Linux::DeviceStatusSource {
public:
    bool Initialize(DeviceManagerThread*) override { return false; }
    void ShutdownAndWait() override { ++Shutdowns; }
    int Shutdowns = 0;
};

TEST(DeviceThreadStart, FailedStatusSourceIsLoggedAndTheLoopStillRuns) {
    System::Init();
    LogText log;
    FailingStatusSource source;
    Ptr<DeviceManagerThread> t = Ptr<DeviceManagerThread>::Adopt(new DeviceManagerThread);
    t->SetStatusSource(&source);
    ASSERT_TRUE(t->Start());
    Probe probe;
    int sum = 0;
    ASSERT_TRUE(t->PushCallAndWaitResult(&probe, &Probe::AddTwo, &sum, 1, 1));
    EXPECT_EQ(sum, 2);
    EXPECT_TRUE(log.Contains("Visor::DeviceManagerThread - failed to initialize MessageObject.\n"));
    t->RequestExit();
    ASSERT_TRUE(t->Wait());
    EXPECT_EQ(source.Shutdowns, 0);
}

constexpr int Producers = 4;

struct Ledger {
    // Touched only on the device thread; read by the test after a blocking barrier.
    std::vector<int> NextSeq = std::vector<int>(Producers, 0);
    int OutOfOrder = 0;
    int Total = 0;
};

// Pad makes some commands wider so that the ring wraps at uneven offsets.
template <std::size_t Pad> class StampCommand : public ThreadCommandImpl<StampCommand<Pad>> {
public:
    StampCommand(Ledger* l, int producer, int seq, bool blocking)
        : ThreadCommandImpl<StampCommand<Pad>>(blocking), L(l), Producer(producer), Seq(seq) {}
    void Execute() const override {
        L->OutOfOrder += L->NextSeq[Producer] != Seq;
        L->NextSeq[Producer] = Seq + 1;
        ++L->Total;
    }

private:
    Ledger* L;
    int Producer, Seq;
    unsigned char Padding[Pad] = {};
};

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
    std::vector<std::unique_ptr<Spawned>> producers;
    for (int id = 0; id < Producers; ++id)
        producers.emplace_back(new Spawned([&, id] {
            for (int seq = 0; seq < perProducer; ++seq) {
                bool ok; // deterministic mix: every fifth blocks, every third is wide
                if (seq % 5 == 0)
                    ok = T->PushCommand(StampCommand<1>(&ledger, id, seq, true));
                else if (seq % 3 == 0)
                    ok = T->PushCommand(StampCommand<150>(&ledger, id, seq, false));
                else
                    ok = T->PushCommand(StampCommand<1>(&ledger, id, seq, false));
                refused += !ok;
            }
            return 0;
        }));
    // Device I/O arrives while the queue is busy.
    std::uint64_t signalled = 0;
    for (bool producing = true; producing;) {
        io.Signal(1);
        ++signalled;
        Thread::MSleep(1);
        producing = false;
        for (auto& p : producers)
            producing = producing || !(*p)->IsFinished();
    }
    producers.clear();

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
