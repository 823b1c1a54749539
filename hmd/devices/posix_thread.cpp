// POSIX implementation of the threading layer: Mutex, Condition, Thread and the list of
// running threads.
#include "hmd/devices/threads.h"

#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unordered_set>

#include "hmd/devices/list.h"
#include "hmd/devices/log.h"
#include "hmd/devices/platform.h"

namespace Visor {

// ---- Mutex ------------------------------------------------------------------------------

struct Mutex::Impl {
    pthread_mutex_t M;
};

Mutex::Mutex(bool recursive) : pImpl(new Impl), Recursive(recursive) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, recursive ? PTHREAD_MUTEX_RECURSIVE : PTHREAD_MUTEX_NORMAL);
    pthread_mutex_init(&pImpl->M, &attr);
    pthread_mutexattr_destroy(&attr);
}

Mutex::~Mutex() {
    pthread_mutex_destroy(&pImpl->M);
    delete pImpl;
}

void Mutex::Lock() {
    if (pthread_mutex_lock(&pImpl->M) != 0)
        return;
    Owner.store(Platform::CurrentThreadId(), std::memory_order_relaxed);
    ++LockCount;
}

bool Mutex::TryLock() {
    if (pthread_mutex_trylock(&pImpl->M) != 0)
        return false;
    Owner.store(Platform::CurrentThreadId(), std::memory_order_relaxed);
    ++LockCount;
    return true;
}

void Mutex::Unlock() {
    // The owner check keeps a stray unlock from corrupting the count of the real owner.
    if (!IsLockedByCurrentThread())
        return;
    if (--LockCount == 0)
        Owner.store(0, std::memory_order_relaxed);
    pthread_mutex_unlock(&pImpl->M);
}

bool Mutex::IsLockedByCurrentThread() const {
    return Owner.load(std::memory_order_relaxed) == Platform::CurrentThreadId();
}

unsigned Mutex::GetLockCount() const {
    return IsLockedByCurrentThread() ? LockCount : 0;
}

// ---- Condition --------------------------------------------------------------------------

namespace {

// One waiter: its own wake-up flag and condition variable, so waiters wake in queue order.
struct WaitEntry : ListNode<WaitEntry> {
    pthread_cond_t Cond;
    bool Signalled = false;
    WaitEntry() { pthread_cond_init(&Cond, nullptr); }
    ~WaitEntry() { pthread_cond_destroy(&Cond); }
};

} // namespace

struct Condition::Impl {
    pthread_mutex_t Lock = PTHREAD_MUTEX_INITIALIZER;
    List<WaitEntry> Waiters;
    List<WaitEntry> FreeEntries;

    void Wake(WaitEntry* e) {
        Waiters.Remove(e);
        e->Signalled = true;
        pthread_cond_signal(&e->Cond);
    }
};

Condition::Condition() : pImpl(new Impl) {}

Condition::~Condition() {
    // Waiters must be gone by now; whatever entries remain are idle.
    while (WaitEntry* e = pImpl->FreeEntries.PopFront())
        delete e;
    while (WaitEntry* e = pImpl->Waiters.PopFront())
        delete e;
    pthread_mutex_destroy(&pImpl->Lock);
    delete pImpl;
}

bool Condition::Wait(Mutex* mutex) {
    // Checking ownership (not just a non-zero depth) keeps a caller from releasing a mutex
    // that another thread holds.
    if (!mutex || !mutex->IsLockedByCurrentThread())
        return false;

    pthread_mutex_lock(&pImpl->Lock);
    WaitEntry* e = pImpl->FreeEntries.PopFront();
    if (!e)
        e = new WaitEntry;
    e->Signalled = false;
    pImpl->Waiters.PushBack(e);
    pthread_mutex_unlock(&pImpl->Lock);

    unsigned depth = mutex->LockCount;
    unsigned releases = mutex->Recursive ? depth : 1;
    for (unsigned i = 0; i < releases; ++i)
        mutex->Unlock();

    pthread_mutex_lock(&pImpl->Lock);
    while (!e->Signalled)
        pthread_cond_wait(&e->Cond, &pImpl->Lock);
    pImpl->FreeEntries.PushBack(e);
    pthread_mutex_unlock(&pImpl->Lock);

    for (unsigned i = 0; i < releases; ++i)
        mutex->Lock();
    return true;
}

void Condition::NotifyOne() {
    pthread_mutex_lock(&pImpl->Lock);
    if (WaitEntry* e = pImpl->Waiters.GetFirst())
        pImpl->Wake(e);
    pthread_mutex_unlock(&pImpl->Lock);
}

void Condition::NotifyAll() {
    pthread_mutex_lock(&pImpl->Lock);
    while (WaitEntry* e = pImpl->Waiters.GetFirst())
        pImpl->Wake(e);
    pthread_mutex_unlock(&pImpl->Lock);
}

// ---- Thread list ------------------------------------------------------------------------

namespace {

struct PointerHash {
    std::size_t operator()(const Thread* t) const {
        std::size_t p = reinterpret_cast<std::size_t>(t);
        return (p >> 6) ^ p;
    }
};

class ThreadList {
public:
    static ThreadList& Get() {
        // Built by the first Start; never destroyed, since detached threads may still end
        // during process exit.
        static ThreadList* list = new ThreadList;
        return *list;
    }
    void Add(Thread* t) {
        Mutex::Locker lock(&ListLock);
        Threads.insert(t);
    }
    void Remove(Thread* t) {
        Mutex::Locker lock(&ListLock);
        Threads.erase(t);
        if (Threads.empty())
            EmptyCondition.NotifyAll();
    }
    void WaitEmpty() {
        Mutex::Locker lock(&ListLock);
        while (!Threads.empty())
            EmptyCondition.Wait(&ListLock);
    }
    std::size_t Count() {
        Mutex::Locker lock(&ListLock);
        return Threads.size();
    }

private:
    std::unordered_set<Thread*, PointerHash> Threads;
    Mutex ListLock;
    Condition EmptyCondition;
};

// glibc carves TLS and the guard page out of the requested stack, and sanitizers need far
// more, so small requests are raised to this.
constexpr std::size_t MinimumStackSize = 256 * 1024;

} // namespace

// ---- Thread -----------------------------------------------------------------------------

struct Thread::Starter {
    static void* StartRoutine(void* arg) {
        Thread* t = static_cast<Thread*>(arg);
        if (t->Processor != -1) {
            cpu_set_t set;
            CPU_ZERO(&set);
            for (int cpu = 0; cpu < 32 && cpu < CPU_SETSIZE; ++cpu) {
                if (unsigned(t->Processor) & (1u << cpu))
                    CPU_SET(cpu, &set);
            }
            // Best effort: an impossible mask leaves the thread where it was.
            pthread_setaffinity_np(pthread_self(), sizeof set, &set);
        }
        int nice = PlatformPriority(t->Priority);
        if (nice != 0) {
            // Best effort: raising priority needs privileges that a demo does not have.
            setpriority(PRIO_PROCESS, Platform::CurrentThreadId(), nice);
        }
        t->ThreadId.store(Platform::CurrentThreadId());
        t->StartedEvent.Set();
        t->OnStart();
        t->FinishRun(t->Run());
        return nullptr;
    }
};

Thread::Thread(std::size_t stackSize, int processor) : StackSize(stackSize), Processor(processor) {}

Thread::Thread(ThreadFn fn, void* userHandle, std::size_t stackSize, int processor)
    : ThreadFunction(fn), UserHandle(userHandle), StackSize(stackSize), Processor(processor) {}

Thread::~Thread() = default;

int Thread::Run() {
    return ThreadFunction ? ThreadFunction(this, UserHandle) : 0;
}

int Thread::PlatformPriority(ThreadPriority p) {
    switch (p) {
    case CriticalPriority:
        return -15;
    case HighestPriority:
        return -10;
    case AboveNormalPriority:
        return -5;
    case NormalPriority:
        return 0;
    case BelowNormalPriority:
        return 5;
    case LowestPriority:
        return 10;
    case IdlePriority:
        return 19;
    }
    return 0;
}

bool Thread::Start(ThreadState initialState) {
    if (initialState == NotRunning || SuspendCount.load() >= 1)
        return false;
    // Refuse a second start while a run is in progress: two platform threads would share
    // this object and its exit bookkeeping.
    std::uint32_t expected = Flags.load();
    do {
        if (expected & Flag_Started)
            return false;
    } while (!Flags.compare_exchange_weak(expected, Flag_Started));

    AddRef();
    ThreadList::Get().Add(this);
    ExitCode.store(0);
    SuspendCount.store(0);
    ThreadId.store(0);
    StartedEvent.Reset();
    FinishedEvent.Reset();
    EverStarted = true;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, StackSize < MinimumStackSize ? MinimumStackSize : StackSize);
    pthread_t handle;
    int rc = pthread_create(&handle, &attr, &Starter::StartRoutine, this);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        ErrorToLog("Visor::Thread - cannot start a thread (%s); the process may have reached its "
                   "thread or memory limit.",
                   std::strerror(rc));
        Flags.store(0);
        ThreadList::Get().Remove(this);
        Release();
        return false;
    }
    // The kernel id is known only on the new thread; wait for it so callers can compare
    // thread ids as soon as Start returns.
    StartedEvent.Wait();
    return true;
}

void Thread::FinishRun(int exitCode) {
    ExitCode.store(exitCode);
    std::uint32_t f = Flags.load();
    while (!Flags.compare_exchange_weak(f, (f & ~std::uint32_t(Flag_Started)) | Flag_Finished)) {
    }
    FinishedEvent.Set();
    // The object may be deleted by this Release; only its address is used afterwards.
    Thread* self = this;
    Release();
    ThreadList::Get().Remove(self);
}

void Thread::Exit(int exitCode) {
    FinishRun(exitCode);
    pthread_exit(nullptr);
}

bool Thread::Wait() {
    if (!EverStarted)
        return false;
    return FinishedEvent.Wait();
}

void Thread::SetThreadName(const char* name) {
    char shortName[16];
    std::size_t i = 0;
    for (; name && name[i] && i < 15; ++i)
        shortName[i] = name[i];
    shortName[i] = 0;
    pthread_setname_np(pthread_self(), shortName);
}

std::uint32_t Thread::GetCurrentThreadId() {
    return Platform::CurrentThreadId();
}
void Thread::MSleep(unsigned ms) {
    Platform::SleepMs(ms);
}
void Thread::FinishAllThreads() {
    ThreadList::Get().WaitEmpty();
}
std::size_t Thread::RunningThreadCount() {
    return ThreadList::Get().Count();
}

} // namespace Visor
