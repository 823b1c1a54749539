// The command ring: copying commands in and out, blocking pushes, waiting pushers and exit.
#include "hmd/devices/thread_commands.h"

#include <atomic>

#include "hmd/devices/allocator.h"
#include "hmd/devices/list.h"
#include "hmd/devices/log.h"
#include "hmd/devices/threads.h"

namespace Visor {

// A reusable wake-up for one pusher: for space in the ring or for its command to finish.
class QueueEvent : public ListNode<QueueEvent> {
public:
    Event E;
    // Set by the consumer before its pulse; a pulse without it comes from closing the queue.
    bool Ran = false;
};

void ThreadCommand::NotifyDone() const {
    if (DoneEvent) {
        DoneEvent->Ran = true;
        DoneEvent->E.Pulse();
    }
}

// ---- Pop buffer -------------------------------------------------------------------------

void ThreadCommand::PopBuffer::InitFrom(const ThreadCommand& command) {
    Clear();
    command.CopyTo(Buffer);
    Size = static_cast<std::uint32_t>(command.GetSize());
}

void ThreadCommand::PopBuffer::Execute() {
    ThreadCommand* c = GetCommand();
    if (!c)
        return;
    c->Execute();
    if (c->IsBlocking())
        c->NotifyDone();
}

void ThreadCommand::PopBuffer::Clear() {
    if (ThreadCommand* c = GetCommand())
        c->~ThreadCommand();
    Size = 0;
}

// ---- Queue ------------------------------------------------------------------------------

namespace {
constexpr std::uint32_t RoundUp16(std::size_t n) {
    return static_cast<std::uint32_t>((n + 15) & ~std::size_t(15));
}
} // namespace

class ThreadCommandQueueImpl {
public:
    explicit ThreadCommandQueueImpl(ThreadCommandQueue* owner) : Owner(owner) {
        Buffer = static_cast<unsigned char*>(
            Allocator::AllocAlignedFromLibrary(ThreadCommandQueue::BufferSize, 16));
    }
    // Runs after Close: no pusher is inside any more.
    ~ThreadCommandQueueImpl() {
        // Commands never popped are destroyed without running.
        while (Buffer && Begin != End) {
            ThreadCommand* c = reinterpret_cast<ThreadCommand*>(Buffer + Begin);
            Advance(RoundUp16(c->GetSize()));
            c->~ThreadCommand();
        }
        while (QueueEvent* e = IdleEvents.PopFront())
            delete e;
        while (QueueEvent* e = WaitingPushers.PopFront())
            delete e;
        Allocator::FreeAlignedToLibrary(Buffer);
    }

    void Close() {
        Mutex::Locker lock(&QueueLock);
        Closing = true;
        while (QueueEvent* waiter = WaitingPushers.PopFront())
            waiter->E.Pulse();
        for (QueueEvent* e = BusyEvents.GetFirst(); e; e = BusyEvents.GetNext(e))
            e->E.Pulse();
        // Woken pushers still take the lock and touch their events on the way out.
        while (PushersInside != 0)
            PushersGone.Wait(&QueueLock);
    }

    bool OnConsumerThread() const {
        std::uint32_t consumer = ConsumerThread.load(std::memory_order_relaxed);
        return consumer != 0 && consumer == Thread::GetCurrentThreadId();
    }

    QueueEvent* TakeEvent() {
        QueueEvent* e = IdleEvents.PopFront();
        return e ? e : new QueueEvent;
    }

    // Returns where a command of size bytes goes, or null; updates End and Tail.
    unsigned char* Reserve(std::uint32_t size) {
        const std::uint32_t bufferSize = ThreadCommandQueue::BufferSize;
        if (End >= Begin) {
            if (size <= bufferSize - End) {
                unsigned char* at = Buffer + End;
                End += size;
                return at;
            }
            // Strictly below Begin, so End never catches up with Begin: equal means empty.
            if (size < Begin) {
                Tail = End;
                End = size;
                return Buffer;
            }
            return nullptr;
        }
        if (Begin - End > size) {
            unsigned char* at = Buffer + End;
            End += size;
            return at;
        }
        return nullptr;
    }

    void Advance(std::uint32_t size) {
        Begin += size;
        if (Begin == Tail) {
            Tail = 0;
            Begin = 0;
        } else if (Begin == End) {
            Begin = 0;
            End = 0;
        }
    }

    ThreadCommandQueue* Owner;
    // Recursive: the fill and drain notifications may take it again.
    mutable Mutex QueueLock;
    bool ExitRequested = false;
    bool ExitDone = false;
    // The exit command found no room on the consumer thread: exit once the ring is drained.
    bool ExitOnDrain = false;
    bool Closing = false;
    // Threads between entering and leaving PostCommand; Close waits for it to reach 0.
    unsigned PushersInside = 0;
    Condition PushersGone;
    std::atomic<std::uint32_t> ConsumerThread{0};
    List<QueueEvent> IdleEvents;
    List<QueueEvent> WaitingPushers;
    // Done events of blocking commands not yet run, so Close can answer their pushers.
    List<QueueEvent> BusyEvents;
    unsigned char* Buffer = nullptr;
    std::uint32_t Begin = 0, End = 0, Tail = 0;
};

namespace {

class ExitCommand : public ThreadCommandImpl<ExitCommand> {
public:
    ExitCommand(ThreadCommandQueueImpl* queue, bool wait)
        : ThreadCommandImpl<ExitCommand>(wait, true), Queue(queue) {}
    void Execute() const override {
        Mutex::Locker lock(&Queue->QueueLock);
        Queue->ExitDone = true;
    }

private:
    ThreadCommandQueueImpl* Queue;
};

} // namespace

ThreadCommandQueue::ThreadCommandQueue() : pImpl(new ThreadCommandQueueImpl(this)) {}

ThreadCommandQueue::~ThreadCommandQueue() {
    CloseQueue();
    delete pImpl;
}

void ThreadCommandQueue::CloseQueue() {
    pImpl->Close();
}

void ThreadCommandQueue::SetConsumerThread(std::uint32_t threadId) {
    pImpl->ConsumerThread.store(threadId, std::memory_order_relaxed);
}

bool ThreadCommandQueue::PostCommand(const ThreadCommand& command) {
    if (command.GetSize() > ThreadCommand::PopBufferStorage || command.GetSize() == 0) {
        ErrorToLog("Visor::ThreadCommandQueue - command of %u bytes refused (limit %u).",
                   unsigned(command.GetSize()), unsigned(ThreadCommand::PopBufferStorage));
        return false;
    }
    ThreadCommandQueueImpl& q = *pImpl;
    if (!q.Buffer) {
        ErrorToLog("Visor::ThreadCommandQueue - command refused: the command ring could not be "
                   "allocated.");
        return false;
    }
    const bool onConsumer = q.OnConsumerThread();
    if (onConsumer && !command.IsExit()) {
        // Queued, it would wait for this very thread: to run it, or to make room.
        command.Execute();
        return true;
    }
    const std::uint32_t size = RoundUp16(command.GetSize());
    QueueEvent* spaceEvent = nullptr;
    QueueEvent* doneEvent = nullptr;
    bool accepted = false;

    q.QueueLock.Lock();
    ++q.PushersInside;
    for (;;) {
        bool wasWoken = spaceEvent != nullptr;
        if (spaceEvent) {
            q.IdleEvents.PushBack(spaceEvent);
            spaceEvent = nullptr;
        }
        if (q.Closing || (q.ExitRequested && !command.IsExit()))
            break;
        bool wasEmpty = q.End == q.Begin;
        unsigned char* at = q.Reserve(size);
        if (!at && onConsumer) {
            q.ExitOnDrain = true;
            accepted = true;
            break;
        }
        if (!at) {
            spaceEvent = q.TakeEvent();
            // A woken pusher that still finds no room keeps its turn at the front, so waiting
            // pushers stay in arrival order.
            if (wasWoken)
                q.WaitingPushers.PushFront(spaceEvent);
            else
                q.WaitingPushers.PushBack(spaceEvent);
            q.QueueLock.Unlock();
            spaceEvent->E.Wait();
            q.QueueLock.Lock();
            continue;
        }
        ThreadCommand* copy = command.CopyTo(at);
        copy->DoneEvent = nullptr;
        if (copy->Blocking && !onConsumer) {
            doneEvent = q.TakeEvent();
            doneEvent->Ran = false;
            q.BusyEvents.PushBack(doneEvent);
            copy->DoneEvent = doneEvent;
        }
        if (wasEmpty)
            OnQueueFilled();
        accepted = true;
        break;
    }
    if (doneEvent) {
        q.QueueLock.Unlock();
        doneEvent->E.Wait();
        q.QueueLock.Lock();
        accepted = doneEvent->Ran;
        q.IdleEvents.PushBack(doneEvent);
    }
    // The last touch of the queue: once PushersInside is 0 and the lock is free, Close may
    // return and the queue be deleted.
    if (--q.PushersInside == 0 && q.Closing)
        q.PushersGone.NotifyAll();
    q.QueueLock.Unlock();
    return accepted;
}

bool ThreadCommandQueue::TakeCommand(ThreadCommand::PopBuffer* buffer) {
    ThreadCommandQueueImpl& q = *pImpl;
    Mutex::Locker lock(&q.QueueLock);
    if (q.End == q.Begin) {
        if (q.ExitOnDrain)
            q.ExitDone = true;
        OnQueueDrained();
        return false;
    }
    ThreadCommand* c = reinterpret_cast<ThreadCommand*>(q.Buffer + q.Begin);
    // Copy out and destroy the ring's copy: the pop buffer then owns the only instance.
    buffer->InitFrom(*c);
    c->~ThreadCommand();
    q.Advance(RoundUp16(buffer->GetSize()));
    if (QueueEvent* waiter = q.WaitingPushers.PopFront())
        waiter->E.Pulse();
    return true;
}

void ThreadCommandQueue::RequestExit(bool wait) {
    ThreadCommandQueueImpl& q = *pImpl;
    {
        Mutex::Locker lock(&q.QueueLock);
        if (q.ExitRequested)
            return;
        q.ExitRequested = true;
        // Pushers waiting for space would be refused anyway; wake them now so none is left
        // waiting for a pop that may never come, and the exit command finds room sooner.
        while (QueueEvent* waiter = q.WaitingPushers.PopFront())
            waiter->E.Pulse();
    }
    PostCommand(ExitCommand(pImpl, wait));
}

bool ThreadCommandQueue::IsExitRequested() const {
    Mutex::Locker lock(&pImpl->QueueLock);
    return pImpl->ExitRequested;
}

bool ThreadCommandQueue::IsExitDone() const {
    Mutex::Locker lock(&pImpl->QueueLock);
    return pImpl->ExitDone;
}

ThreadCommandQueue::State ThreadCommandQueue::GetState() const {
    const ThreadCommandQueueImpl& q = *pImpl;
    Mutex::Locker lock(&q.QueueLock);
    State s;
    s.Begin = q.Begin;
    s.End = q.End;
    s.Tail = q.Tail;
    s.WaitingPushers = 0;
    for (QueueEvent* e = q.WaitingPushers.GetFirst(); e; e = q.WaitingPushers.GetNext(e))
        ++s.WaitingPushers;
    s.IdleEvents = 0;
    for (QueueEvent* e = q.IdleEvents.GetFirst(); e; e = q.IdleEvents.GetNext(e))
        ++s.IdleEvents;
    s.ExitRequested = q.ExitRequested;
    s.ExitDone = q.ExitDone;
    return s;
}

} // namespace Visor
