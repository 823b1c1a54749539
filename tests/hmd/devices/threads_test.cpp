// Threads and synchronisation on real threads: condition waits, mutex depth, thread runs.
#include "tests/hmd/devices/thread_test_support.h"

using namespace Visor;
using visor_test::Eventually;

namespace {

TEST(ConditionTest, WaitRefusesAMutexTheCallerDoesNotHoldAndRestoresEveryLockLevel) {
    Mutex m;
    Condition c;
    EXPECT_FALSE(c.Wait(&m) || c.Wait(nullptr));
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
    Mutex::Locker a(&m), b(&m);
    std::thread notifier([&] { // gets the lock only once the wait released both levels
        Mutex::Locker lock(&m);
        c.NotifyOne();
    });
    EXPECT_TRUE(c.Wait(&m));
    EXPECT_EQ(m.GetLockCount(), 2u);
    notifier.join();
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
