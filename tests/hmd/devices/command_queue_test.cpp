// The command ring driven directly: placement and wrap, full-ring blocking, first-in first-out
// wake-up and exit. The test is the consumer; pushers that must block run
// on their own threads.
#include "tests/hmd/devices/thread_test_support.h"

#include <algorithm>
#include <memory>
#include <tuple>
#include <vector>

using namespace Visor;
using visor_test::Eventually;
using visor_test::Pusher;

namespace {

// A command of exactly N bytes that records its id when it runs.
template <std::size_t N> struct Sized : ThreadCommandImpl<Sized<N>> {
    Sized(std::vector<int>* ran, int id, bool blocking = false)
        : ThreadCommandImpl<Sized<N>>(blocking), Ran(ran), Id(id) {}
    void Execute() const override { Ran->push_back(int(Id)); }
    std::vector<int>* Ran;
    std::int64_t Id;
    unsigned char Pad[N - 40] = {};
};
using Big = Sized<256>;
static_assert(sizeof(Big) == 256 && sizeof(Sized<48>) == 48, "test command sizes");

struct Ring {
    // B pushes a 256-byte command, s a 48-byte one, - pops and runs one; ids count up.
    void Apply(const char* ops) {
        for (; *ops; ++ops)
            ASSERT_TRUE(*ops == '-'   ? Queue.TakeCommand(&Buffer) && (Buffer.Execute(), true)
                        : *ops == 'B' ? Queue.PushCommand(Big(&Ran, Next++))
                                      : Queue.PushCommand(Sized<48>(&Ran, Next++)));
    }
    // Runs what is left; true when count commands ran, in push order.
    bool DrainedInOrder(std::size_t count) {
        while (Queue.TakeCommand(&Buffer))
            Buffer.Execute();
        return std::is_sorted(Ran.begin(), Ran.end()) && Ran.size() == count;
    }
    unsigned Waiting() { return Queue.GetState().WaitingPushers; }
    ThreadCommandQueue Queue;
    ThreadCommand::PopBuffer Buffer;
    std::vector<int> Ran;
    int Next = 0;
};

TEST(CommandQueue, PlacesWrapsAndResetsItsOffsetsAndRunsInPushOrder) {
    struct Row {
        const char* Ops;
        std::uint32_t Begin, End, Tail;
    } rows[] = {
        {"BBBBBBBB", 0, 2048, 0},         // fills to the last byte
        {"BBBBBBB--B", 512, 2048, 0},     // fits exactly at the end
        {"BBBBBBB--sB", 512, 256, 1840},  // end too short: wraps to the start
        {"BBBBBBB--Bs", 512, 48, 2048},   // wraps after an exact fit
        {"BBBBBBB--sB------", 0, 256, 0}, // popping up to Tail resets Begin
        {"BB--", 0, 0, 0},                // an emptied ring starts over
    };
    for (const Row& row : rows) {
        Ring r;
        r.Apply(row.Ops);
        ThreadCommandQueue::State s = r.Queue.GetState();
        EXPECT_EQ(std::make_tuple(s.Begin, s.End, s.Tail),
                  std::make_tuple(row.Begin, row.End, row.Tail))
            << row.Ops;
        EXPECT_TRUE(r.DrainedInOrder(std::size_t(r.Next))) << row.Ops;
    }
}

TEST(CommandQueue, FullRingServesWaitingPushersInOrderOnceStrictlyMoreThanTheirSizeIsFree) {
    std::vector<std::unique_ptr<Pusher>> pushers; // outlives the queue, which answers them
    Ring r;
    r.Apply("BBBBBBBB");
    auto push = [&] { pushers.emplace_back(new Pusher(&r.Queue, Big(&r.Ran, r.Next++))); };
    for (unsigned i = 0; i < 3; ++i) {
        push();
        ASSERT_TRUE(Eventually([&] { return r.Waiting() == i + 1; }));
    }
    // Each pop wakes the oldest waiter, which keeps its turn while there is no room: the first
    // pop leaves Begin at the command's size, and wrapping needs strictly more. A pusher that
    // arrives (+) when Begin - End equals its size waits too.
    struct Step {
        char Op;
        unsigned Waiting, Done;
    } steps[] = {{'-', 3, 0}, {'-', 2, 1}, {'+', 3, 1}, {'-', 2, 2}, {'-', 1, 3}, {'-', 0, 4}};
    for (const Step& step : steps) {
        step.Op == '+' ? push() : r.Apply("-");
        ASSERT_TRUE(Eventually([&] { return r.Waiting() == step.Waiting; })) << &step - steps;
        for (unsigned i = 0; i < pushers.size(); ++i)
            EXPECT_TRUE(Eventually([&] { return pushers[i]->Done == (i < step.Done); }))
                << "step " << &step - steps << ", pusher " << i;
    }
    EXPECT_TRUE(r.DrainedInOrder(12));
}

TEST(CommandQueue, ExitRunsEarlierCommandsRefusesLaterOnesAndReleasesWaitingPushers) {
    Ring r;
    r.Apply("BBBBBBBB");
    Pusher waiting(&r.Queue, Big(&r.Ran, 50));
    ASSERT_TRUE(Eventually([&] { return r.Waiting() == 1; }));
    std::thread exiter([&] { r.Queue.RequestExit(); }); // waits for room itself
    ASSERT_TRUE(Eventually([&] { return waiting.Done && !waiting.Accepted; }));
    r.Apply("-");
    exiter.join();
    EXPECT_FALSE(r.Queue.PushCommand(Big(&r.Ran, 51)));
    EXPECT_FALSE(r.Queue.PushCommand(Big(&r.Ran, 52, true))) << "blocking: refused, not stuck";
    EXPECT_TRUE(r.DrainedInOrder(8) && r.Queue.IsExitDone());
}

} // namespace
