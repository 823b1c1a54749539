// The command ring driven directly: wrap with Tail, full-ring blocking, first-in first-out
// wake-up of waiting pushers, fill and drain notifications, and the exit protocol. The test
// is the consumer; pushers that must block run on real threads.
#include "hmd/devices/linux_device_manager_thread.h"
#include "hmd/devices/thread_commands.h"
#include "hmd/devices/threads.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

using namespace Visor;

namespace {

template <class F> bool Eventually(F f) {
    for (int i = 0; i < 5000; ++i) {
        if (f())
            return true;
        Thread::MSleep(1);
    }
    return f();
}

// A command of exactly N bytes that records its id when it runs.
template <std::size_t N> class SizedCommand : public ThreadCommandImpl<SizedCommand<N>> {
public:
    SizedCommand(std::vector<int>* ran, int id, bool blocking = false)
        : ThreadCommandImpl<SizedCommand<N>>(blocking), Ran(ran), Id(id) {}
    void Execute() const override { Ran->push_back(int(Id)); }

private:
    std::vector<int>* Ran;
    std::int64_t Id;
    unsigned char Pad[N - 40] = {};
};
using Big = SizedCommand<256>;
using Small = SizedCommand<48>;
static_assert(sizeof(Big) == 256, "test command size");
static_assert(sizeof(Small) == 48, "test command size");

class RecordingQueue : public ThreadCommandQueue {
public:
    void OnQueueFilled() override { ++Filled; }
    void OnQueueDrained() override { ++Drained; }
    int Filled = 0, Drained = 0;
};

// Pushes one command on its own thread; Done once PostCommand returned.
class Pusher {
public:
    template <class C> Pusher(ThreadCommandQueue* q, const C& command) : Queue(q) {
        Cmd.reset(new C(command));
        Push = [](ThreadCommandQueue* queue, ThreadCommand* c) { return queue->PostCommand(*c); };
        T = Ptr<Thread>::Adopt(new Thread(&Pusher::Main, this));
        EXPECT_TRUE(T->Start());
    }
    ~Pusher() { T->Wait(); }
    bool IsDone() const { return Done.load(); }
    bool Result() const { return Accepted.load(); }
    void Join() { T->Wait(); }

private:
    static int Main(Thread*, void* user) {
        auto* self = static_cast<Pusher*>(user);
        self->Accepted.store(self->Push(self->Queue, self->Cmd.get()));
        self->Done.store(true);
        return 0;
    }
    ThreadCommandQueue* Queue;
    std::unique_ptr<ThreadCommand> Cmd;
    bool (*Push)(ThreadCommandQueue*, ThreadCommand*);
    Ptr<Thread> T;
    std::atomic<bool> Done{false}, Accepted{false};
};

class CommandQueueTest : public ::testing::Test {
protected:
    bool PopAndRun() {
        if (!Queue.TakeCommand(&Buffer))
            return false;
        Buffer.Execute();
        return true;
    }
    void FillWithBig(int count, int firstId) {
        for (int i = 0; i < count; ++i)
            ASSERT_TRUE(Queue.PushCommand(Big(&Ran, firstId + i)));
    }
    RecordingQueue Queue;
    ThreadCommand::PopBuffer Buffer;
    std::vector<int> Ran;
};

TEST_F(CommandQueueTest, CommandsRunInPushOrderAndSizesRoundTo16) {
    ASSERT_TRUE(Queue.PushCommand(Small(&Ran, 1)));
    ASSERT_TRUE(Queue.PushCommand(Big(&Ran, 2)));
    EXPECT_EQ(Queue.GetState().End, 48u + 256u);
    EXPECT_TRUE(PopAndRun());
    EXPECT_TRUE(PopAndRun());
    EXPECT_FALSE(PopAndRun());
    EXPECT_EQ(Ran, (std::vector<int>{1, 2}));
    ThreadCommandQueue::State s = Queue.GetState();
    EXPECT_EQ(s.Begin, 0u);
    EXPECT_EQ(s.End, 0u);
}

TEST_F(CommandQueueTest, WrapsToStartWhenEndIsFullAndTailResetsBegin) {
    FillWithBig(7, 0); // End 1792
    ASSERT_TRUE(PopAndRun());
    ASSERT_TRUE(PopAndRun());                         // Begin 512
    ASSERT_TRUE(Queue.PushCommand(Small(&Ran, 100))); // End 1840, 208 bytes left at the end
    ASSERT_TRUE(Queue.PushCommand(Big(&Ran, 101)));   // 256 < Begin: wraps to 0
    ThreadCommandQueue::State s = Queue.GetState();
    EXPECT_EQ(s.Tail, 1840u);
    EXPECT_EQ(s.End, 256u);
    EXPECT_EQ(s.Begin, 512u);

    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(PopAndRun()); // five Big and the Small: Begin reaches Tail
    s = Queue.GetState();
    EXPECT_EQ(s.Begin, 0u);
    EXPECT_EQ(s.Tail, 0u);
    EXPECT_EQ(s.End, 256u);
    ASSERT_TRUE(PopAndRun());
    EXPECT_FALSE(PopAndRun());
    EXPECT_EQ(Ran, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 100, 101}));
}

TEST_F(CommandQueueTest, ManyWrapsKeepOrder) {
    // Three sizes that do not divide the ring, pushed and popped in uneven steps.
    int next = 0, expectRun = 0;
    for (int round = 0; round < 200; ++round) {
        for (int k = 0; k < 3; ++k) {
            int id = next++;
            bool ok = (id % 3 == 0)   ? Queue.PushCommand(Big(&Ran, id))
                      : (id % 3 == 1) ? Queue.PushCommand(Small(&Ran, id))
                                      : Queue.PushCommand(SizedCommand<112>(&Ran, id));
            ASSERT_TRUE(ok);
        }
        for (int k = 0; k < (round % 2 ? 4 : 2); ++k)
            PopAndRun();
        ThreadCommandQueue::State s = Queue.GetState();
        ASSERT_LE(s.End, ThreadCommandQueue::BufferSize);
        ASSERT_LE(s.Begin, ThreadCommandQueue::BufferSize);
    }
    while (PopAndRun()) {
    }
    ASSERT_EQ(Ran.size(), std::size_t(next));
    for (int id : Ran)
        ASSERT_EQ(id, expectRun++);
}

TEST_F(CommandQueueTest, FullRingBlocksUntilAPop) {
    FillWithBig(8, 0); // exactly 2048 bytes with Begin at 0
    EXPECT_EQ(Queue.GetState().End, ThreadCommandQueue::BufferSize);
    Pusher p(&Queue, Small(&Ran, 99));
    ASSERT_TRUE(Eventually([&] { return Queue.GetState().WaitingPushers == 1; }));
    Thread::MSleep(10);
    EXPECT_FALSE(p.IsDone()); // wrapping needs room strictly below Begin
    ASSERT_TRUE(PopAndRun());
    ASSERT_TRUE(Eventually([&] { return p.IsDone(); }));
    EXPECT_TRUE(p.Result());
    EXPECT_EQ(Queue.GetState().Tail, ThreadCommandQueue::BufferSize);
    while (PopAndRun()) {
    }
    EXPECT_EQ(Ran.back(), 99);
    EXPECT_EQ(Ran.size(), 9u);
}

TEST_F(CommandQueueTest, WrappedRingNeedsStrictlyMoreRoomThanTheCommand) {
    FillWithBig(8, 0);
    ASSERT_TRUE(PopAndRun());
    ASSERT_TRUE(PopAndRun());                     // Begin 512
    ASSERT_TRUE(Queue.PushCommand(Big(&Ran, 8))); // wraps: End 256, Begin - End == 256
    Pusher p(&Queue, Big(&Ran, 9));
    ASSERT_TRUE(Eventually([&] { return Queue.GetState().WaitingPushers == 1; }));
    ASSERT_TRUE(PopAndRun()); // Begin 768: 512 > 256
    ASSERT_TRUE(Eventually([&] { return p.IsDone(); }));
    while (PopAndRun()) {
    }
    EXPECT_EQ(Ran, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST_F(CommandQueueTest, BlockedPushersAreServedFirstInFirstOut) {
    FillWithBig(8, 0);
    std::vector<std::unique_ptr<Pusher>> pushers;
    for (int i = 0; i < 3; ++i) {
        pushers.emplace_back(new Pusher(&Queue, Big(&Ran, 100 + i)));
        ASSERT_TRUE(Eventually([&] { return Queue.GetState().WaitingPushers == unsigned(i + 1); }));
    }
    // Pop one at a time and let the woken pusher settle (landed, or back in the queue).
    std::vector<int> finishOrder;
    for (int pops = 0; pops < 8 && finishOrder.size() < 3; ++pops) {
        ASSERT_TRUE(PopAndRun());
        ASSERT_TRUE(Eventually([&] {
            unsigned done = 0;
            for (auto& p : pushers)
                done += p->IsDone();
            return Queue.GetState().WaitingPushers + done == 3;
        }));
        for (int i = 0; i < 3; ++i) {
            if (pushers[i]->IsDone() &&
                std::find(finishOrder.begin(), finishOrder.end(), i) == finishOrder.end())
                finishOrder.push_back(i);
        }
    }
    EXPECT_EQ(finishOrder, (std::vector<int>{0, 1, 2}));
    while (PopAndRun()) {
    }
    std::vector<int> tail(Ran.end() - 3, Ran.end());
    EXPECT_EQ(tail, (std::vector<int>{100, 101, 102}));
}

TEST_F(CommandQueueTest, FillAndDrainNotificationPoints) {
    ASSERT_TRUE(Queue.PushCommand(Small(&Ran, 1)));
    EXPECT_EQ(Queue.Filled, 1);
    ASSERT_TRUE(Queue.PushCommand(Small(&Ran, 2)));
    EXPECT_EQ(Queue.Filled, 1); // not empty before this push
    ASSERT_TRUE(PopAndRun());
    ASSERT_TRUE(PopAndRun());
    EXPECT_EQ(Queue.Drained, 0); // the pop that empties the queue does not drain
    EXPECT_FALSE(PopAndRun());
    EXPECT_EQ(Queue.Drained, 1);
}

TEST(CommandEventTest, SetByPushIntoEmptyQueueClearedByEmptyPop) {
    Ptr<Linux::DeviceManagerThread> t =
        Ptr<Linux::DeviceManagerThread>::Adopt(new Linux::DeviceManagerThread);
    ASSERT_TRUE(t->IsValid());
    std::vector<int> ran;
    ThreadCommand::PopBuffer buffer;
    EXPECT_FALSE(t->IsCommandEventSet());
    ASSERT_TRUE(t->PushCommand(Small(&ran, 1)));
    EXPECT_TRUE(t->IsCommandEventSet());
    ASSERT_TRUE(t->PushCommand(Small(&ran, 2)));
    ASSERT_TRUE(t->TakeCommand(&buffer));
    EXPECT_TRUE(t->IsCommandEventSet());
    ASSERT_TRUE(t->TakeCommand(&buffer));
    EXPECT_TRUE(t->IsCommandEventSet()); // emptied, but still set until an empty pop
    EXPECT_FALSE(t->TakeCommand(&buffer));
    EXPECT_FALSE(t->IsCommandEventSet());
    ASSERT_TRUE(t->PushCommand(Small(&ran, 3)));
    EXPECT_TRUE(t->IsCommandEventSet());
}

TEST_F(CommandQueueTest, ExitRefusesLaterPushesButRunsEarlierOnes) {
    ASSERT_TRUE(Queue.PushCommand(Small(&Ran, 1)));
    Queue.RequestExit();
    EXPECT_TRUE(Queue.IsExitRequested());
    EXPECT_FALSE(Queue.PushCommand(Small(&Ran, 2)));
    EXPECT_FALSE(Queue.PushCommand(Small(&Ran, 3, true))); // blocking: refused, not stuck
    std::uint32_t end = Queue.GetState().End;
    Queue.RequestExit(); // second request does nothing
    EXPECT_EQ(Queue.GetState().End, end);

    ASSERT_TRUE(PopAndRun());
    EXPECT_FALSE(Queue.IsExitDone());
    ASSERT_TRUE(PopAndRun()); // the exit command
    EXPECT_TRUE(Queue.IsExitDone());
    EXPECT_FALSE(PopAndRun());
    EXPECT_EQ(Ran, (std::vector<int>{1}));
}

TEST_F(CommandQueueTest, ExitReleasesPushersWaitingForSpace) {
    FillWithBig(8, 0);
    Pusher waiting(&Queue, Big(&Ran, 50));
    ASSERT_TRUE(Eventually([&] { return Queue.GetState().WaitingPushers == 1; }));
    // RequestExit itself waits for room for the exit command, so run it on a thread too.
    Ptr<Thread> exiter = Ptr<Thread>::Adopt(new Thread(
        [](Thread*, void* q) {
            static_cast<ThreadCommandQueue*>(q)->RequestExit();
            return 0;
        },
        &Queue));
    ASSERT_TRUE(exiter->Start());
    ASSERT_TRUE(Eventually([&] { return waiting.IsDone(); }));
    EXPECT_FALSE(waiting.Result());
    ASSERT_TRUE(PopAndRun()); // makes room for the exit command
    ASSERT_TRUE(exiter->Wait());
    while (PopAndRun()) {
    }
    EXPECT_TRUE(Queue.IsExitDone());
    EXPECT_EQ(Ran.size(), 8u);
}

TEST_F(CommandQueueTest, BlockingPushReturnsAfterTheCommandRan) {
    Pusher p(&Queue, Small(&Ran, 7, true));
    ASSERT_TRUE(Eventually([&] { return Queue.GetState().End != 0; }));
    Thread::MSleep(10);
    EXPECT_FALSE(p.IsDone());
    ASSERT_TRUE(Queue.TakeCommand(&Buffer));
    EXPECT_FALSE(p.IsDone()); // taken is not run
    Buffer.Execute();
    ASSERT_TRUE(Eventually([&] { return p.IsDone(); }));
    EXPECT_TRUE(p.Result());
    p.Join();
    EXPECT_EQ(Queue.GetState().IdleEvents, 1u); // the done event is recycled
}

TEST_F(CommandQueueTest, UnpoppedCommandsAreDestroyedWithTheQueue) {
    struct Tracked : ThreadCommandImpl<Tracked> {
        explicit Tracked(std::shared_ptr<int> token)
            : ThreadCommandImpl<Tracked>(false), Token(token) {}
        void Execute() const override {}
        std::shared_ptr<int> Token;
    };
    auto token = std::make_shared<int>(0);
    {
        RecordingQueue q;
        ASSERT_TRUE(q.PushCommand(Tracked(token)));
        ASSERT_TRUE(q.PushCommand(Tracked(token)));
        EXPECT_EQ(token.use_count(), 3);
    }
    EXPECT_EQ(token.use_count(), 1);
}

struct Counter {
    int Value = 0;
    void Add(int n) { Value += n; }
    int AddTwo(int a, int b) { return Value += a + b; }
    int Get() { return Value; }
};

TEST_F(CommandQueueTest, MemberCallCommandsStoreResults) {
    Counter c;
    int result = -1;
    ASSERT_TRUE(Queue.PushCall(&c, &Counter::Add, 5));
    std::uint32_t end = Queue.GetState().End;
    Pusher p(&Queue,
             ThreadCommandMF2<Counter, int, int, int>(&c, &Counter::AddTwo, &result, 1, 2, true));
    ASSERT_TRUE(Eventually([&] { return Queue.GetState().End > end; }));
    PopAndRun();
    PopAndRun();
    p.Join();
    EXPECT_EQ(c.Value, 8);
    EXPECT_EQ(result, 8);
}

} // namespace
