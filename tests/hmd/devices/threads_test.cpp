// Threads and synchronisation on real threads: events, conditions, mutex depth, thread runs.
#include "tests/hmd/devices/thread_test_support.h"

#include <vector>

using namespace Visor;
using visor_test::Eventually;

namespace {

TEST(EventTest, PulseBeforeTheWaitIsKeptForOneWaiterAndSetHoldsUntilReset) {
    Event e;
    e.Pulse();
    EXPECT_TRUE(e.Wait());
    EXPECT_FALSE(e.IsSet()) << "the waiter consumed the pulse";
    e.Set();
    EXPECT_TRUE(e.Wait() && e.Wait());
    e.Reset();
    EXPECT_FALSE(e.IsSet());
}

TEST(ConditionTest, WaitRefusesAMutexTheCallerDoesNotHold) {
    Mutex m;
    Condition c;
    EXPECT_FALSE(c.Wait(&m));
    EXPECT_FALSE(c.Wait(nullptr));
    Event locked, release;
    std::thread holder([&] {
        Mutex::Locker lock(&m);
        locked.Set();
        release.Wait();
    });
    locked.Wait();
    EXPECT_FALSE(c.Wait(&m)) << "held, but by another thread";
    m.Unlock(); // not the owner: ignored
    release.Set();
    holder.join();
    EXPECT_TRUE(m.TryLock());
    m.Unlock();
}

TEST(ConditionTest, WaitReleasesEveryLockLevelAndWakesWaitersInArrivalOrder) {
    Mutex m;
    Condition c;
    std::vector<int> order;
    std::atomic<int> waiting{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&, i] {
            Mutex::Locker a(&m), b(&m), d(&m);
            ++waiting;
            c.Wait(&m);
            order.push_back(int(m.GetLockCount()) * 10 + i);
        });
        // Queued once it has released every level inside Wait.
        ASSERT_TRUE(Eventually([&] { return waiting == i + 1 && m.TryLock(); }));
        m.Unlock();
    }
    for (auto& t : threads) {
        c.NotifyOne();
        t.join();
    }
    EXPECT_EQ(order, (std::vector<int>{30, 31, 32}));
}

TEST(ThreadTest, StartIsRefusedWhileRunningAndAFinishedRunGivesBackItsReference) {
    Event release;
    auto t = Ptr<Thread>::Adopt(new Thread(
        [](Thread*, void* e) { return static_cast<Event*>(e)->Wait() ? 7 : 0; }, &release, 4096,
        1)); // priority and processor are best effort: an unprivileged process still runs
    t->SetPriority(Thread::LowestPriority);
    EXPECT_FALSE(t->Start(Thread::NotRunning) || t->Wait()) << "never started";
    ASSERT_TRUE(t->Start());
    EXPECT_FALSE(t->Start());
    release.Set();
    ASSERT_TRUE(t->Wait());
    EXPECT_EQ(t->GetExitCode(), 7);
    // The run gives its reference back just after it signals its end.
    EXPECT_TRUE(Eventually([&] { return t->GetRefCount() == 1; }));
    EXPECT_TRUE(t->Start() && t->Wait()) << "a finished thread starts again";
}

} // namespace
