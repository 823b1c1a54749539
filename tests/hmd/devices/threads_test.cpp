// Threads and synchronisation on real threads: events, conditions, mutex depth, exit codes.
#include "tests/hmd/devices/thread_test_support.h"

#include <memory>
#include <vector>

using namespace Visor;
using visor_test::Eventually;
using visor_test::Spawned;

namespace {

TEST(EventTest, PulseIsNeverLostAndSetHoldsUntilReset) {
    Event e;
    e.Pulse(); // before anyone waits
    EXPECT_TRUE(e.Wait());
    EXPECT_FALSE(e.IsSet());

    std::atomic<int> woken{0};
    {
        Spawned waiter([&] {
            e.Wait();
            ++woken;
            return 0;
        });
        Thread::MSleep(20);
        EXPECT_EQ(woken.load(), 0);
        e.Pulse();
    }
    EXPECT_EQ(woken.load(), 1);
    EXPECT_FALSE(e.IsSet());

    e.Set();
    EXPECT_TRUE(e.Wait());
    EXPECT_TRUE(e.Wait());
    e.Reset();
    EXPECT_FALSE(e.IsSet());
}

TEST(ConditionTest, WaitWithoutOwningTheLockFailsAtOnce) {
    Mutex m;
    Condition c;
    EXPECT_FALSE(c.Wait(&m));
    EXPECT_FALSE(c.Wait(nullptr));

    Event locked, release;
    {
        Spawned holder([&] {
            Mutex::Locker lock(&m);
            locked.Set();
            release.Wait();
            return 0;
        });
        locked.Wait();
        EXPECT_FALSE(c.Wait(&m)); // held, but by another thread
        EXPECT_FALSE(m.IsLockedByCurrentThread());
        m.Unlock(); // not the owner: ignored
        release.Set();
    }
    EXPECT_TRUE(m.TryLock());
    m.Unlock();
}

TEST(ConditionTest, WaitReleasesEveryLockLevelAndRestoresThem) {
    Mutex m;
    Condition c;
    std::atomic<bool> otherGotLock{false};
    m.Lock();
    m.Lock();
    m.Lock();
    Spawned notifier([&] {
        Mutex::Locker lock(&m); // only possible when the waiter released all levels
        otherGotLock.store(true);
        c.NotifyOne();
        return 0;
    });
    EXPECT_TRUE(c.Wait(&m));
    EXPECT_TRUE(otherGotLock.load());
    EXPECT_EQ(m.GetLockCount(), 3u);
    m.Unlock();
    m.Unlock();
    m.Unlock();
    EXPECT_EQ(m.GetLockCount(), 0u);
}

TEST(ConditionTest, NotifyOneWakesWaitersInArrivalOrder) {
    Mutex m;
    Condition c;
    std::vector<int> order;
    std::atomic<int> waiting{0};
    std::vector<std::unique_ptr<Spawned>> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back(new Spawned([&, i] {
            Mutex::Locker lock(&m);
            ++waiting;
            c.Wait(&m);
            order.push_back(i);
            return 0;
        }));
        // The waiter is queued once it has released the mutex inside Wait.
        ASSERT_TRUE(Eventually([&] {
            if (waiting.load() != i + 1 || !m.TryLock())
                return false;
            m.Unlock();
            return true;
        }));
    }
    for (auto& t : threads) {
        c.NotifyOne();
        t.reset();
    }
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
}

class ExitsFromInside : public Thread {
public:
    int Run() override {
        Exit(42);
        return 1; // never reached
    }
};

TEST(ThreadTest, ExitCodeComesFromRunOrExit) {
    // Priority and processor are best effort: an unprivileged process must still run.
    Ptr<Thread> t =
        Ptr<Thread>::Adopt(new Thread([](Thread*, void*) { return 7; }, nullptr, 4096, 1));
    t->SetPriority(Thread::LowestPriority);
    ASSERT_TRUE(t->Start());
    EXPECT_NE(t->GetThreadId(), Thread::GetCurrentThreadId());
    ASSERT_TRUE(t->Wait());
    EXPECT_EQ(t->GetExitCode(), 7);
    EXPECT_TRUE(t->IsFinished());
    // The running thread gives its reference back just after it signals the end of its run
    // (it cannot after: the release may delete the object), so Wait may return first.
    EXPECT_TRUE(Eventually([&] { return t->GetRefCount() == 1; }));

    Ptr<Thread> exits = Ptr<Thread>::Adopt(new ExitsFromInside);
    ASSERT_TRUE(exits->Start());
    ASSERT_TRUE(exits->Wait());
    EXPECT_EQ(exits->GetExitCode(), 42);
}

TEST(ThreadTest, StartIsRefusedWhileRunningOrNotRunningButWorksAgainAfterFinish) {
    Event release;
    Ptr<Thread> t = Ptr<Thread>::Adopt(new Thread(
        [](Thread*, void* user) {
            static_cast<Event*>(user)->Wait();
            return 3;
        },
        &release));
    EXPECT_FALSE(t->Start(Thread::NotRunning));
    EXPECT_EQ(t->GetRefCount(), 1);
    EXPECT_FALSE(t->Wait());
    ASSERT_TRUE(t->Start());
    EXPECT_FALSE(t->Start());
    release.Pulse();
    ASSERT_TRUE(t->Wait());
    EXPECT_EQ(t->GetExitCode(), 3);
    release.Pulse();
    ASSERT_TRUE(t->Start());
    ASSERT_TRUE(t->Wait());
}

TEST(ThreadTest, ReleasedThreadLivesUntilItsRunEnds) {
    Event release;
    std::atomic<bool> ran{false};
    struct Args {
        Event* Release;
        std::atomic<bool>* Ran;
    } args{&release, &ran};
    Thread* t = new Thread(
        [](Thread* self, void* user) {
            auto* a = static_cast<Args*>(user);
            a->Release->Wait();
            self->SetThreadName("visor-test-thread-long-name");
            a->Ran->store(true);
            return 0;
        },
        &args);
    ASSERT_TRUE(t->Start());
    t->Release(); // the running thread still holds its own reference
    release.Pulse();
    Thread::FinishAllThreads();
    EXPECT_TRUE(ran.load());
    EXPECT_EQ(Thread::RunningThreadCount(), 0u);
}

} // namespace
