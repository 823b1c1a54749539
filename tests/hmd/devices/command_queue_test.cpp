// The command ring driven directly: wrap with Tail, full-ring blocking, first-in first-out
// wake-up of waiting pushers, the command event's set and clear points, and the exit protocol.
// The test is the consumer; pushers that must block run on real threads.
#include "hmd/devices/linux_device_manager_thread.h"
#include "tests/hmd/devices/thread_test_support.h"

#include <algorithm>
#include <memory>
#include <vector>

using namespace Visor;
using visor_test::Eventually;
using visor_test::Pusher;
using visor_test::Spawned;

namespace {

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
    ThreadCommandQueue Queue;
    ThreadCommand::PopBuffer Buffer;
    std::vector<int> Ran;
};

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

TEST_F(CommandQueueTest, FullRingBlocksUntilPopsMakeStrictlyMoreRoomThanTheCommand) {
    FillWithBig(8, 0); // exactly 2048 bytes with Begin at 0
    {
        Pusher p(&Queue, Big(&Ran, 8));
        ASSERT_TRUE(Eventually([&] { return Queue.GetState().WaitingPushers == 1; }));
        ASSERT_TRUE(PopAndRun()); // Begin 256: room equal to the command is not enough
        Thread::MSleep(10);
        EXPECT_FALSE(p.Done.load());
        ASSERT_TRUE(PopAndRun()); // Begin 512
        ASSERT_TRUE(Eventually([&] { return p.Done.load(); }));
        EXPECT_TRUE(p.Accepted.load());
        EXPECT_EQ(Queue.GetState().Tail, ThreadCommandQueue::BufferSize);
        EXPECT_EQ(Queue.GetState().End, 256u);
    }
    {
        Pusher p(&Queue, Big(&Ran, 9)); // Begin - End == 256 again
        ASSERT_TRUE(Eventually([&] { return Queue.GetState().WaitingPushers == 1; }));
        ASSERT_TRUE(PopAndRun()); // Begin 768
        ASSERT_TRUE(Eventually([&] { return p.Done.load(); }));
    }
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
                done += p->Done.load();
            return Queue.GetState().WaitingPushers + done == 3;
        }));
        for (int i = 0; i < 3; ++i) {
            if (pushers[i]->Done.load() &&
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
    std::unique_ptr<Spawned> exiter(new Spawned([this] {
        Queue.RequestExit();
        return 0;
    }));
    ASSERT_TRUE(Eventually([&] { return waiting.Done.load(); }));
    EXPECT_FALSE(waiting.Accepted.load());
    ASSERT_TRUE(PopAndRun()); // makes room for the exit command
    exiter.reset();
    while (PopAndRun()) {
    }
    EXPECT_TRUE(Queue.IsExitDone());
    EXPECT_EQ(Ran.size(), 8u);
}

TEST_F(CommandQueueTest, BlockingPushReturnsAfterTheCommandRan) {
    Pusher p(&Queue, Small(&Ran, 7, true));
    ASSERT_TRUE(Eventually([&] { return Queue.GetState().End != 0; }));
    Thread::MSleep(10);
    EXPECT_FALSE(p.Done.load());
    ASSERT_TRUE(Queue.TakeCommand(&Buffer));
    EXPECT_FALSE(p.Done.load()); // taken is not run
    Buffer.Execute();
    ASSERT_TRUE(Eventually([&] { return p.Done.load(); }));
    EXPECT_TRUE(p.Accepted.load());
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
        ThreadCommandQueue q;
        ASSERT_TRUE(q.PushCommand(Tracked(token)));
        ASSERT_TRUE(q.PushCommand(Tracked(token)));
    }
    EXPECT_EQ(token.use_count(), 1);
}

} // namespace
