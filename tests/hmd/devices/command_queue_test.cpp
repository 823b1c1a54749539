// The command ring driven directly: wrap with Tail, full-ring blocking, first-in first-out
// wake-up of waiting pushers, the command event's set and clear points, and the exit protocol.
// The test is the consumer; pushers that must block run on real threads.
#include "hmd/devices/linux_device_manager_thread.h"
#include "tests/hmd/devices/thread_test_support.h"

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
static_assert(sizeof(Big) == 256 && sizeof(Small) == 48, "test command sizes");

class CommandQueueTest : public ::testing::Test {
protected:
    bool PopAndRun() {
        if (!Queue.TakeCommand(&Buffer))
            return false;
        Buffer.Execute();
        return true;
    }
    void FillWithBig(int count) {
        for (int i = 0; i < count; ++i)
            ASSERT_TRUE(Queue.PushCommand(Big(&Ran, NextId++)));
    }
    void Drain() {
        while (PopAndRun()) {
        }
    }
    ThreadCommandQueue Queue;
    ThreadCommand::PopBuffer Buffer;
    std::vector<int> Ran;
    int NextId = 0;
};

TEST_F(CommandQueueTest, RingPlacesWrapsAndResetsItsOffsets) {
    // B pushes a 256-byte command, s a 48-byte one, - pops one.
    struct Row {
        const char* Name;
        const char* Ops;
        std::uint32_t Begin, End, Tail;
    } rows[] = {
        {"fills to the last byte", "BBBBBBBB", 0, 2048, 0},
        {"fits exactly at the end", "BBBBBBB--B", 512, 2048, 0},
        {"wraps when the end is short", "BBBBBBB--sB", 512, 256, 1840},
        {"wraps after an exact fit", "BBBBBBB--Bs", 512, 48, 2048},
        {"popping to Tail resets Begin", "BBBBBBB--sB------", 0, 256, 0},
        {"emptied ring starts over", "BB--", 0, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        ThreadCommandQueue queue;
        std::vector<int> ran;
        int id = 0;
        for (const char* op = row.Ops; *op; ++op) {
            if (*op == '-')
                ASSERT_TRUE(queue.TakeCommand(&Buffer));
            else
                ASSERT_TRUE(*op == 'B' ? queue.PushCommand(Big(&ran, id++))
                                       : queue.PushCommand(Small(&ran, id++)));
            if (*op == '-')
                Buffer.Execute();
        }
        ThreadCommandQueue::State s = queue.GetState();
        EXPECT_EQ(s.Begin, row.Begin);
        EXPECT_EQ(s.End, row.End);
        EXPECT_EQ(s.Tail, row.Tail);
        while (queue.TakeCommand(&Buffer))
            Buffer.Execute();
        ASSERT_EQ(ran.size(), std::size_t(id));
        for (int i = 0; i < id; ++i)
            EXPECT_EQ(ran[std::size_t(i)], i) << "commands run in push order";
    }
}

TEST_F(CommandQueueTest, FullRingBlocksUntilPopsMakeStrictlyMoreRoomThanTheCommand) {
    FillWithBig(8); // exactly 2048 bytes with Begin at 0
    for (int pops : {2, 1}) {
        // First Begin - End would be 256 == the command after one pop; then wrapped likewise.
        Pusher p(&Queue, Big(&Ran, NextId++));
        ASSERT_TRUE(Eventually([&] { return Queue.GetState().WaitingPushers == 1; }));
        for (int i = 0; i + 1 < pops; ++i)
            ASSERT_TRUE(PopAndRun());
        Thread::MSleep(10);
        EXPECT_FALSE(p.Done.load()) << "room equal to the command is not enough";
        ASSERT_TRUE(PopAndRun());
        ASSERT_TRUE(Eventually([&] { return p.Done.load(); }));
        EXPECT_TRUE(p.Accepted.load());
    }
    Drain();
    EXPECT_EQ(Ran, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST_F(CommandQueueTest, BlockedPushersAreServedFirstInFirstOut) {
    FillWithBig(8);
    std::vector<std::unique_ptr<Pusher>> pushers;
    for (unsigned i = 0; i < 3; ++i) {
        pushers.emplace_back(new Pusher(&Queue, Big(&Ran, 100 + int(i))));
        ASSERT_TRUE(Eventually([&] { return Queue.GetState().WaitingPushers == i + 1; }));
    }
    // Pop one at a time; a woken pusher that finds no room keeps its turn.
    std::vector<int> finishOrder;
    while (finishOrder.size() < 3 && PopAndRun()) {
        ASSERT_TRUE(Eventually([&] {
            unsigned done = 0;
            for (auto& p : pushers)
                done += p->Done.load();
            return Queue.GetState().WaitingPushers + done == 3;
        }));
        for (int i = int(finishOrder.size()); i < 3 && pushers[std::size_t(i)]->Done; ++i)
            finishOrder.push_back(i);
    }
    EXPECT_EQ(finishOrder, (std::vector<int>{0, 1, 2}));
    Drain();
    EXPECT_EQ(std::vector<int>(Ran.end() - 3, Ran.end()), (std::vector<int>{100, 101, 102}));
}

TEST(CommandEventTest, SetByPushIntoEmptyQueueClearedByEmptyPop) {
    Ptr<Linux::DeviceManagerThread> t =
        Ptr<Linux::DeviceManagerThread>::Adopt(new Linux::DeviceManagerThread);
    ASSERT_TRUE(t->IsValid());
    std::vector<int> ran;
    ThreadCommand::PopBuffer buffer;
    EXPECT_FALSE(t->IsCommandEventSet());
    ASSERT_TRUE(t->PushCommand(Small(&ran, 1)));
    ASSERT_TRUE(t->PushCommand(Small(&ran, 2)));
    ASSERT_TRUE(t->TakeCommand(&buffer));
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
    EXPECT_FALSE(Queue.PushCommand(Small(&Ran, 2)));
    EXPECT_FALSE(Queue.PushCommand(Small(&Ran, 3, true))); // blocking: refused, not stuck
    std::uint32_t end = Queue.GetState().End;
    Queue.RequestExit(); // a second request does nothing
    EXPECT_EQ(Queue.GetState().End, end);
    ASSERT_TRUE(PopAndRun());
    EXPECT_FALSE(Queue.IsExitDone());
    ASSERT_TRUE(PopAndRun()); // the exit command
    EXPECT_TRUE(Queue.IsExitDone());
    EXPECT_FALSE(PopAndRun());
    EXPECT_EQ(Ran, (std::vector<int>{1}));
}

TEST_F(CommandQueueTest, ExitReleasesPushersWaitingForSpace) {
    FillWithBig(8);
    Pusher waiting(&Queue, Big(&Ran, 50));
    ASSERT_TRUE(Eventually([&] { return Queue.GetState().WaitingPushers == 1; }));
    // RequestExit itself waits for room for the exit command, so it runs on a thread too.
    std::unique_ptr<Spawned> exiter(new Spawned([this] {
        Queue.RequestExit();
        return 0;
    }));
    ASSERT_TRUE(Eventually([&] { return waiting.Done.load(); }));
    EXPECT_FALSE(waiting.Accepted.load());
    ASSERT_TRUE(PopAndRun()); // makes room for the exit command
    exiter.reset();
    Drain();
    EXPECT_TRUE(Queue.IsExitDone());
    EXPECT_EQ(Ran.size(), 8u);
}

TEST_F(CommandQueueTest, BlockingPushReturnsAfterTheCommandRan) {
    Pusher p(&Queue, Small(&Ran, 7, true));
    ASSERT_TRUE(Eventually([&] { return Queue.GetState().End != 0; }));
    ASSERT_TRUE(Queue.TakeCommand(&Buffer));
    Thread::MSleep(10);
    EXPECT_FALSE(p.Done.load()); // taken is not run
    Buffer.Execute();
    ASSERT_TRUE(Eventually([&] { return p.Done.load(); }));
    EXPECT_TRUE(p.Accepted.load());
}

TEST(CommandQueueLifetime, DestroyingTheQueueReleasesUnpoppedCommandsAndTheirPushers) {
    struct Tracked : ThreadCommandImpl<Tracked> {
        Tracked(std::shared_ptr<int> token, bool blocking)
            : ThreadCommandImpl<Tracked>(blocking), Token(token) {}
        void Execute() const override {}
        std::shared_ptr<int> Token;
    };
    auto token = std::make_shared<int>(0);
    auto* queue = new ThreadCommandQueue;
    ASSERT_TRUE(queue->PushCommand(Tracked(token, false)));
    {
        // Waits for a command that never runs: the end of the queue answers it.
        Pusher waiting(queue, Tracked(token, true));
        ASSERT_TRUE(Eventually([&] { return token.use_count() == 4; }));
        delete queue;
        ASSERT_TRUE(Eventually([&] { return waiting.Done.load(); }));
        EXPECT_FALSE(waiting.Accepted.load()) << "a command that never ran is not reported done";
    }
    EXPECT_EQ(token.use_count(), 1);
}

} // namespace
