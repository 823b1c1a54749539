// Threading layer of the HMD library: a recursive Mutex that knows its owner, a Condition
// that wakes waiters in arrival order, an Event with set, pulse and wait, and the
// reference-counted Thread with the process-wide list of running threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "hmd/devices/refcount.h"

namespace Visor {

class Condition;

// Any thread. Recursive by default; every lock in the library is recursive.
class Mutex {
public:
    explicit Mutex(bool recursive = true);
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void Lock();
    bool TryLock();
    // Only the owner may unlock; an unlock by another thread is ignored.
    void Unlock();
    bool IsLockedByCurrentThread() const;
    // Lock depth of the calling thread (0 when it does not hold the mutex).
    unsigned GetLockCount() const;

    // Scoped lock.
    class Locker {
    public:
        explicit Locker(Mutex* m) : M(m) { M->Lock(); }
        ~Locker() { M->Unlock(); }
        Locker(const Locker&) = delete;
        Locker& operator=(const Locker&) = delete;

    private:
        Mutex* M;
    };

private:
    friend class Condition;
    struct Impl;
    Impl* pImpl;
    bool Recursive;
    // Written only by the owner while it holds the lock; Owner is read by others.
    std::atomic<std::uint32_t> Owner{0};
    unsigned LockCount = 0;
};

// Waiters queue in arrival order; NotifyOne wakes the oldest. Waits have no timeout.
class Condition {
public:
    Condition();
    ~Condition();
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;

    // Releases every level of mutex held by the caller, waits for a notification and takes
    // the mutex back to the same depth. False at once when the caller does not hold mutex.
    bool Wait(Mutex* mutex);
    void NotifyOne();
    void NotifyAll();

private:
    struct Impl;
    Impl* pImpl;
};

// Any thread. Pulse wakes the waiters and leaves the event set until one waiter consumes
// it, so a pulse that comes before the wait is not lost.
class Event {
public:
    explicit Event(bool setInitially = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // Waits until the event is set; true when it was. Consumes a pulse.
    bool Wait();
    // Sets the event until Reset; every waiter passes.
    void Set();
    void Reset();
    // Sets the event for one waiter, which clears it on its way out.
    void Pulse();
    bool IsSet();

private:
    void UpdateState(bool state, bool autoClear);

    bool State;
    bool AutoClear = false;
    Mutex StateMutex;
    Condition StateWaitCondition;
};

// A platform thread with a counted object. Start takes a reference that the running thread
// holds until Run returns, so a started Thread may be released by its creator at once.
class Thread : public RefCountBase<Thread> {
public:
    using ThreadFn = int (*)(Thread* thread, void* userHandle);

    enum ThreadState { NotRunning = 0, Running = 1, Suspended = 2 };
    enum ThreadPriority {
        CriticalPriority,
        HighestPriority,
        AboveNormalPriority,
        NormalPriority,
        BelowNormalPriority,
        LowestPriority,
        IdlePriority,
    };
    enum ThreadFlags : std::uint32_t {
        Flag_Started = 0x1,  // set while a run is in progress; a second Start is refused
        Flag_Finished = 0x2, // set when the run ends
    };

    explicit Thread(std::size_t stackSize = 32768, int processor = -1);
    Thread(ThreadFn fn, void* userHandle, std::size_t stackSize = 32768, int processor = -1);
    ~Thread() override;

    // On the new thread: ThreadFunction's result, or 0 without one.
    virtual int Run();
    // Hook called on the new thread before Run; does nothing by default.
    virtual void OnStart() {}
    // Starts the platform thread; false for the NotRunning state, a suspended or still
    // running thread, or when the platform refuses. On success ThreadId is already set.
    virtual bool Start(ThreadState initialState = Running);
    // Ends the calling thread, which must be this one, with exitCode.
    virtual void Exit(int exitCode = 0);
    // Names the calling thread for debuggers (cut to 15 characters).
    virtual void SetThreadName(const char* name);

    // Waits until this thread's run has finished; false when it was never started.
    bool Wait();
    bool IsFinished() const { return (Flags.load() & Flag_Finished) != 0; }
    std::uint32_t GetFlags() const { return Flags.load(); }
    int GetExitCode() const { return ExitCode.load(); }
    std::uint32_t GetThreadId() const { return ThreadId.load(); }
    void SetPriority(ThreadPriority p) { Priority = p; }
    ThreadPriority GetPriority() const { return Priority; }
    std::size_t GetStackSize() const { return StackSize; }

    // Kernel id of the calling thread.
    static std::uint32_t GetCurrentThreadId();
    static void MSleep(unsigned ms);
    // Waits until every started thread has finished. Not from a listed thread itself.
    static void FinishAllThreads();
    // Number of threads currently in the running-thread list.
    static std::size_t RunningThreadCount();
    // Platform nice value a priority maps to (best effort: raising needs privileges).
    static int PlatformPriority(ThreadPriority p);

private:
    struct Starter;
    friend struct Starter;
    void FinishRun(int exitCode);

    ThreadFn ThreadFunction = nullptr;
    void* UserHandle = nullptr;
    std::atomic<std::uint32_t> Flags{0};
    std::atomic<std::uint32_t> SuspendCount{0};
    std::size_t StackSize;
    int Processor;
    ThreadPriority Priority = NormalPriority;
    std::atomic<std::uint32_t> ThreadId{0};
    std::atomic<int> ExitCode{0};
    Event StartedEvent;
    Event FinishedEvent;
    bool EverStarted = false;
};

} // namespace Visor
