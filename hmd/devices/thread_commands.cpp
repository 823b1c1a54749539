// The command ring: copying commands in and out, blocking pushes, waiting pushers and exit.
#include "hmd/devices/thread_commands.h"

#include "hmd/devices/allocator.h"
#include "hmd/devices/list.h"
#include "hmd/devices/log.h"
#include "hmd/devices/threads.h"

namespace Visor {

// A reusable wake-up for one pusher: for space in the ring or for its command to finish.
class QueueEvent : public ListNode<QueueEvent> {
public:
    Event E;
};

void ThreadCommand::NotifyDone() const {
    if (DoneEvent)
        DoneEvent->E.Pulse();
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
    List<QueueEvent> IdleEvents;
    List<QueueEvent> WaitingPushers;
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
    delete pImpl;
}

bool ThreadCommandQueue::PostCommand(const ThreadCommand& command) {
    if (command.GetSize() > ThreadCommand::PopBufferStorage || command.GetSize() == 0) {
        ErrorToLog("Visor::ThreadCommandQueue - command of %u bytes refused (limit %u).",
                   unsigned(command.GetSize()), unsigned(ThreadCommand::PopBufferStorage));
        return false;
    }
    ThreadCommandQueueImpl& q = *pImpl;
    if (!q.Buffer)
        return false;
    const std::uint32_t size = RoundUp16(command.GetSize());
    QueueEvent* spaceEvent = nullptr;
    QueueEvent* doneEvent = nullptr;

    q.QueueLock.Lock();
    for (;;) {
        bool wasWoken = spaceEvent != nullptr;
        if (spaceEvent) {
            q.IdleEvents.PushBack(spaceEvent);
            spaceEvent = nullptr;
        }
        if (q.ExitRequested && !command.IsExit()) {
            q.QueueLock.Unlock();
            return false;
        }
        bool wasEmpty = q.End == q.Begin;
        unsigned char* at = q.Reserve(size);
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
        if (copy->Blocking) {
            doneEvent = q.TakeEvent();
            copy->DoneEvent = doneEvent;
        } else {
            copy->DoneEvent = nullptr;
        }
        if (wasEmpty)
            OnQueueFilled();
        break;
    }
    q.QueueLock.Unlock();

    if (doneEvent) {
        doneEvent->E.Wait();
        Mutex::Locker lock(&q.QueueLock);
        q.IdleEvents.PushBack(doneEvent);
    }
    return true;
}

bool ThreadCommandQueue::TakeCommand(ThreadCommand::PopBuffer* buffer) {
    ThreadCommandQueueImpl& q = *pImpl;
    Mutex::Locker lock(&q.QueueLock);
    if (q.End == q.Begin) {
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
