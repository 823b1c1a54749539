// Threads and synchronisation on real threads: events, conditions, mutex depth, exit codes.
#include "hmd/devices/threads.h"

#include <atomic>
#include <gtest/gtest.h>
#include <vector>

using namespace Visor;

namespace {

// Waits (bounded) for a condition another thread makes true.
template <class F> bool Eventually(F f) {
    for (int i = 0; i < 5000; ++i) {
        if (f())
            return true;
        Thread::MSleep(1);
    }
    return f();
}

TEST(EventTest, PulseBeforeWaitIsNotLostAndLeavesEventClear) {
    Event e;
    e.Pulse();
    EXPECT_TRUE(e.Wait());
    EXPECT_FALSE(e.IsSet());
}

TEST(EventTest, PulseWakesAWaitingThreadOnce) {
    Event e;
    std::atomic<int> woken{0};
    std::pair<Event*, std::atomic<int>*> args(&e, &woken);
    Ptr<Thread> waiter = Ptr<Thread>::Adopt(new Thread(
        [](Thread*, void* user) {
            auto* a = static_cast<std::pair<Event*, std::atomic<int>*>*>(user);
            a->first->Wait();
            ++*a->second;
            return 0;
        },
        &args));
    ASSERT_TRUE(waiter->Start());
    Thread::MSleep(20);
    EXPECT_EQ(woken.load(), 0);
    e.Pulse();
    ASSERT_TRUE(waiter->Wait());
    EXPECT_EQ(woken.load(), 1);
    EXPECT_FALSE(e.IsSet());
}

TEST(EventTest, SetLetsEveryWaiterThroughUntilReset) {
    Event e;
    e.Set();
    EXPECT_TRUE(e.Wait());
    EXPECT_TRUE(e.Wait());
    e.Reset();
    EXPECT_FALSE(e.IsSet());
}

TEST(ConditionTest, WaitWithoutTheLockFailsAtOnce) {
    Mutex m;
    Condition c;
    EXPECT_FALSE(c.Wait(&m));
    EXPECT_FALSE(c.Wait(nullptr));
}

TEST(ConditionTest, WaitFailsWhenAnotherThreadHoldsTheMutex) {
    Mutex m;
    Condition c;
    Event locked, release;
    struct Args {
        Mutex* M;
        Event *Locked, *Release;
    } args{&m, &locked, &release};
    Ptr<Thread> holder = Ptr<Thread>::Adopt(new Thread(
        [](Thread*, void* user) {
            auto* a = static_cast<Args*>(user);
            a->M->Lock();
            a->Locked->Set();
            a->Release->Wait();
            a->M->Unlock();
            return 0;
        },
        &args));
    ASSERT_TRUE(holder->Start());
    locked.Wait();
    EXPECT_FALSE(c.Wait(&m));
    EXPECT_FALSE(m.IsLockedByCurrentThread());
    m.Unlock(); // not the owner: ignored
    release.Set();
    holder->Wait();
    EXPECT_TRUE(m.TryLock());
    m.Unlock();
}

TEST(ConditionTest, WaitReleasesEveryLockLevelAndRestoresThem) {
    Mutex m;
    Condition c;
    std::atomic<bool> otherGotLock{false};
    struct Args {
        Mutex* M;
        Condition* C;
        std::atomic<bool>* Got;
    } args{&m, &c, &otherGotLock};
    m.Lock();
    m.Lock();
    m.Lock();
    Ptr<Thread> notifier = Ptr<Thread>::Adopt(new Thread(
        [](Thread*, void* user) {
            auto* a = static_cast<Args*>(user);
            Mutex::Locker lock(a->M); // only possible when the waiter released all levels
            a->Got->store(true);
            a->C->NotifyOne();
            return 0;
        },
        &args));
    ASSERT_TRUE(notifier->Start());
    EXPECT_TRUE(c.Wait(&m));
    EXPECT_TRUE(otherGotLock.load());
    EXPECT_EQ(m.GetLockCount(), 3u);
    m.Unlock();
    m.Unlock();
    m.Unlock();
    EXPECT_EQ(m.GetLockCount(), 0u);
    notifier->Wait();
}

TEST(ConditionTest, NotifyOneWakesWaitersInArrivalOrder) {
    Mutex m;
    Condition c;
    std::vector<int> order;
    std::atomic<int> waiting{0};
    struct Args {
        Mutex* M;
        Condition* C;
        std::vector<int>* Order;
        std::atomic<int>* Waiting;
        int Id;
    };
    std::vector<Args> args;
    for (int i = 0; i < 4; ++i)
        args.push_back({&m, &c, &order, &waiting, i});
    std::vector<Ptr<Thread>> threads;
    for (int i = 0; i < 4; ++i) {
        threads.push_back(Ptr<Thread>::Adopt(new Thread(
            [](Thread*, void* user) {
                auto* a = static_cast<Args*>(user);
                Mutex::Locker lock(a->M);
                ++*a->Waiting;
                a->C->Wait(a->M);
                a->Order->push_back(a->Id);
                return 0;
            },
            &args[i])));
        ASSERT_TRUE(threads.back()->Start());
        // The waiter is queued once it has released the mutex inside Wait.
        ASSERT_TRUE(Eventually([&] {
            if (waiting.load() != i + 1 || !m.TryLock())
                return false;
            m.Unlock();
            return true;
        }));
    }
    for (int i = 0; i < 4; ++i) {
        c.NotifyOne();
        threads[i]->Wait();
    }
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
}

class ExitSeven : public Thread {
public:
    int Run() override { return 7; }
};

class ExitsFromInside : public Thread {
public:
    int Run() override {
        Exit(42);
        return 1; // never reached
    }
};

TEST(ThreadTest, RunResultBecomesExitCodeAndFinishedFlag) {
    Ptr<Thread> t = Ptr<Thread>::Adopt(new ExitSeven);
    ASSERT_TRUE(t->Start());
    EXPECT_NE(t->GetThreadId(), 0u);
    EXPECT_NE(t->GetThreadId(), Thread::GetCurrentThreadId());
    ASSERT_TRUE(t->Wait());
    EXPECT_EQ(t->GetExitCode(), 7);
    EXPECT_EQ(t->GetFlags() & Thread::Flag_Finished, std::uint32_t(Thread::Flag_Finished));
    EXPECT_EQ(t->GetFlags() & Thread::Flag_Started, 0u);
    // The running thread gives its reference back just after it signals the end of its run
    // (it cannot after: the release may delete the object), so Wait may return first.
    EXPECT_TRUE(Eventually([&] { return t->GetRefCount() == 1; }));
}

TEST(ThreadTest, ExitEndsTheThreadWithItsCode) {
    Ptr<Thread> t = Ptr<Thread>::Adopt(new ExitsFromInside);
    ASSERT_TRUE(t->Start());
    ASSERT_TRUE(t->Wait());
    EXPECT_EQ(t->GetExitCode(), 42);
    EXPECT_TRUE(t->IsFinished());
}

TEST(ThreadTest, StartInNotRunningStateIsRefused) {
    Ptr<Thread> t = Ptr<Thread>::Adopt(new ExitSeven);
    EXPECT_FALSE(t->Start(Thread::NotRunning));
    EXPECT_EQ(t->GetFlags(), 0u);
    EXPECT_EQ(t->GetThreadId(), 0u);
    EXPECT_EQ(t->GetRefCount(), 1);
    EXPECT_FALSE(t->Wait());
}

TEST(ThreadTest, SecondStartWhileRunningIsRefusedAndRestartAfterFinishWorks) {
    Event release;
    Ptr<Thread> t = Ptr<Thread>::Adopt(new Thread(
        [](Thread*, void* user) {
            static_cast<Event*>(user)->Wait();
            return 3;
        },
        &release));
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

TEST(ThreadTest, PriorityAndAffinityAreBestEffort) {
    Ptr<Thread> t =
        Ptr<Thread>::Adopt(new Thread([](Thread*, void*) { return 5; }, nullptr, 4096, 0x1));
    t->SetPriority(Thread::LowestPriority);
    ASSERT_TRUE(t->Start());
    ASSERT_TRUE(t->Wait());
    EXPECT_EQ(t->GetExitCode(), 5);
    EXPECT_EQ(Thread::PlatformPriority(Thread::NormalPriority), 0);
    EXPECT_GT(Thread::PlatformPriority(Thread::IdlePriority), 0);
    EXPECT_LT(Thread::PlatformPriority(Thread::CriticalPriority), 0);
}

} // namespace
