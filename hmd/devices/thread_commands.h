// Commands for the device thread and the queue that carries them: a 2048-byte ring of copied
// command objects with blocking and non-blocking pushes, first-in first-out wake-up of
// pushers waiting for space, and an exit protocol.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

namespace Visor {

class QueueEvent;

// A unit of work copied by value into the ring. Commands hold only pointers and small values.
// Derive through ThreadCommandImpl, which supplies CopyTo and checks the size at compile time.
class ThreadCommand {
public:
    // Every command must fit the consumer's pop buffer, and so the ring.
    static constexpr std::size_t PopBufferStorage = 256;
    static constexpr std::size_t CommandAlignment = 16;

    ThreadCommand(std::size_t size, bool blocking, bool exitCommand = false)
        : Size(static_cast<std::uint16_t>(size)), Blocking(blocking), IsExitCommand(exitCommand) {}
    virtual ~ThreadCommand() = default;

    // Runs on the consumer thread (inline on the pushing thread when that is the consumer).
    virtual void Execute() const = 0;
    // Builds a copy of this command in memory (PopBufferStorage bytes, 16-byte aligned).
    virtual ThreadCommand* CopyTo(void* memory) const = 0;

    std::size_t GetSize() const { return Size; }
    bool IsBlocking() const { return Blocking; }
    bool IsExit() const { return IsExitCommand; }
    // Consumer thread: wakes the pusher of a blocking command once it has run.
    void NotifyDone() const;

    // The consumer's holding place for one popped command; destroys it when replaced.
    class PopBuffer {
    public:
        PopBuffer() = default;
        ~PopBuffer() { Clear(); }
        PopBuffer(const PopBuffer&) = delete;
        PopBuffer& operator=(const PopBuffer&) = delete;

        ThreadCommand* GetCommand() const {
            return Size ? reinterpret_cast<ThreadCommand*>(const_cast<unsigned char*>(Buffer))
                        : nullptr;
        }
        std::uint32_t GetSize() const { return Size; }
        // Replaces the held command with a copy of command.
        void InitFrom(const ThreadCommand& command);
        // Runs the held command and releases a blocked pusher.
        void Execute();
        void Clear();

    private:
        std::uint32_t Size = 0;
        alignas(CommandAlignment) unsigned char Buffer[PopBufferStorage];
    };

private:
    friend class ThreadCommandQueue;
    std::uint16_t Size;
    bool Blocking;
    bool IsExitCommand;
    QueueEvent* DoneEvent = nullptr;
};

// Supplies CopyTo and the size check for a concrete command class C.
template <class C> class ThreadCommandImpl : public ThreadCommand {
public:
    explicit ThreadCommandImpl(bool blocking, bool exitCommand = false)
        : ThreadCommand(sizeof(C), blocking, exitCommand) {}

    ThreadCommand* CopyTo(void* memory) const override {
        static_assert(sizeof(C) <= PopBufferStorage, "command does not fit the pop buffer");
        static_assert(alignof(C) <= CommandAlignment, "command needs more than 16-byte alignment");
        return ::new (memory) C(static_cast<const C&>(*this));
    }
};

// Result type of member operations that return nothing.
struct Void {};

namespace Detail {
template <class R> struct CallReturn { using Type = R; };
template <> struct CallReturn<Void> { using Type = void; };
template <class T> using Stored = typename std::decay<T>::type;
} // namespace Detail

// Calls Object's member operation with no argument; stores the result when Result is set.
template <class C, class R>
class ThreadCommandMF0 : public ThreadCommandImpl<ThreadCommandMF0<C, R>> {
public:
    using FnPtr = typename Detail::CallReturn<R>::Type (C::*)();
    ThreadCommandMF0(C* object, FnPtr method, R* result, bool blocking)
        : ThreadCommandImpl<ThreadCommandMF0>(blocking), Object(object), Method(method),
          Result(result) {}
    void Execute() const override {
        if constexpr (!std::is_same<R, Void>::value) {
            if (Result) {
                *Result = (Object->*Method)();
                return;
            }
        }
        (Object->*Method)();
    }

private:
    C* Object;
    FnPtr Method;
    R* Result;
};

template <class C, class R, class A1>
class ThreadCommandMF1 : public ThreadCommandImpl<ThreadCommandMF1<C, R, A1>> {
public:
    using FnPtr = typename Detail::CallReturn<R>::Type (C::*)(A1);
    ThreadCommandMF1(C* object, FnPtr method, R* result, A1 a1, bool blocking)
        : ThreadCommandImpl<ThreadCommandMF1>(blocking), Object(object), Method(method),
          Result(result), Arg1(a1) {}
    void Execute() const override {
        if constexpr (!std::is_same<R, Void>::value) {
            if (Result) {
                *Result = (Object->*Method)(Arg1);
                return;
            }
        }
        (Object->*Method)(Arg1);
    }

private:
    C* Object;
    FnPtr Method;
    R* Result;
    Detail::Stored<A1> Arg1;
};

template <class C, class R, class A1, class A2>
class ThreadCommandMF2 : public ThreadCommandImpl<ThreadCommandMF2<C, R, A1, A2>> {
public:
    using FnPtr = typename Detail::CallReturn<R>::Type (C::*)(A1, A2);
    ThreadCommandMF2(C* object, FnPtr method, R* result, A1 a1, A2 a2, bool blocking)
        : ThreadCommandImpl<ThreadCommandMF2>(blocking), Object(object), Method(method),
          Result(result), Arg1(a1), Arg2(a2) {}
    void Execute() const override {
        if constexpr (!std::is_same<R, Void>::value) {
            if (Result) {
                *Result = (Object->*Method)(Arg1, Arg2);
                return;
            }
        }
        (Object->*Method)(Arg1, Arg2);
    }

private:
    C* Object;
    FnPtr Method;
    R* Result;
    Detail::Stored<A1> Arg1;
    Detail::Stored<A2> Arg2;
};

class ThreadCommandQueueImpl;

// Producers: any thread. Consumer (TakeCommand): one thread. No allocation after
// construction except a wait event when no idle one exists; those are recycled.
class ThreadCommandQueue {
public:
    static constexpr std::uint32_t BufferSize = 2048;

    ThreadCommandQueue();
    // Waits until no pusher is inside a push (see CloseQueue), so the last reference may be
    // dropped on any thread, the consumer's included, while others still wait in pushes.
    virtual ~ThreadCommandQueue();
    ThreadCommandQueue(const ThreadCommandQueue&) = delete;
    ThreadCommandQueue& operator=(const ThreadCommandQueue&) = delete;

    // Called under the queue lock, on the pushing thread, when a push makes the queue
    // non-empty.
    virtual void OnQueueFilled() {}
    // Called under the queue lock, on the consumer thread, when a pop finds the queue empty.
    virtual void OnQueueDrained() {}

    // Any thread. Copies command into the ring, waiting for space while the ring is full. A
    // blocking command returns only after the consumer has run it. False (and the command
    // does not run) once exit was requested, unless it is the exit command; also false for a
    // command larger than the pop buffer, which the typed pushes refuse at compile time.
    // On the consumer thread nothing waits, since only that thread makes room or runs
    // commands: every command but the exit command runs at once, inline, even after exit
    // was requested, and returns true; the exit command is queued behind earlier commands.
    bool PostCommand(const ThreadCommand& command);
    template <class C> bool PushCommand(const C& command) {
        static_assert(std::is_base_of<ThreadCommand, C>::value, "not a ThreadCommand");
        static_assert(sizeof(C) <= ThreadCommand::PopBufferStorage,
                      "command does not fit the pop buffer");
        return PostCommand(command);
    }

    // Consumer thread only: moves the oldest command into buffer; false when the queue is
    // empty.
    bool TakeCommand(ThreadCommand::PopBuffer* buffer);
    // Names the consumer thread (0: none known, so no push runs inline). The consumer calls
    // it when it starts taking commands and clears it when it ends.
    void SetConsumerThread(std::uint32_t threadId);

    // Any thread. Requests exit once (later calls do nothing) and pushes the exit command;
    // with wait, returns after the consumer ran it (never waits on the consumer thread).
    void RequestExit(bool wait = false);
    // Any thread.
    bool IsExitRequested() const;
    // Any thread. True once the consumer has run the exit command (or, for an exit requested
    // on the consumer thread with a full ring, drained the ring); its loop ends there.
    bool IsExitDone() const;

    // Any thread: snapshot for diagnostics and tests.
    struct State {
        std::uint32_t Begin, End, Tail;
        std::uint32_t WaitingPushers, IdleEvents;
        bool ExitRequested, ExitDone;
    };
    State GetState() const;

    // Member calls. Non-blocking forms return after queuing; the AndWait forms after the
    // call ran; the Result forms store the call's result (left untouched when refused).
    // The object may be of a class derived from the one that declares the operation.
    template <class O, class C> bool PushCall(O* object, void (C::*method)()) {
        return PushCommand(ThreadCommandMF0<C, Void>(object, method, nullptr, false));
    }
    template <class O, class C, class A1, class P1>
    bool PushCall(O* object, void (C::*method)(A1), P1&& a1) {
        return PushCommand(ThreadCommandMF1<C, Void, A1>(object, method, nullptr, a1, false));
    }
    template <class O, class C, class A1, class A2, class P1, class P2>
    bool PushCall(O* object, void (C::*method)(A1, A2), P1&& a1, P2&& a2) {
        return PushCommand(
            ThreadCommandMF2<C, Void, A1, A2>(object, method, nullptr, a1, a2, false));
    }
    template <class O, class C> bool PushCallAndWait(O* object, void (C::*method)()) {
        return PushCommand(ThreadCommandMF0<C, Void>(object, method, nullptr, true));
    }
    template <class O, class C, class A1, class P1>
    bool PushCallAndWait(O* object, void (C::*method)(A1), P1&& a1) {
        return PushCommand(ThreadCommandMF1<C, Void, A1>(object, method, nullptr, a1, true));
    }
    template <class O, class C, class A1, class A2, class P1, class P2>
    bool PushCallAndWait(O* object, void (C::*method)(A1, A2), P1&& a1, P2&& a2) {
        return PushCommand(
            ThreadCommandMF2<C, Void, A1, A2>(object, method, nullptr, a1, a2, true));
    }
    template <class O, class C, class R>
    bool PushCallAndWaitResult(O* object, R (C::*method)(), R* result) {
        return PushCommand(ThreadCommandMF0<C, R>(object, method, result, true));
    }
    template <class O, class C, class R, class A1, class P1>
    bool PushCallAndWaitResult(O* object, R (C::*method)(A1), R* result, P1&& a1) {
        return PushCommand(ThreadCommandMF1<C, R, A1>(object, method, result, a1, true));
    }
    template <class O, class C, class R, class A1, class A2, class P1, class P2>
    bool PushCallAndWaitResult(O* object, R (C::*method)(A1, A2), R* result, P1&& a1, P2&& a2) {
        return PushCommand(ThreadCommandMF2<C, R, A1, A2>(object, method, result, a1, a2, true));
    }

protected:
    // Any thread, idempotent: refuses further pushes, answers every pusher still waiting
    // (false: its command never ran) and returns once none is inside a push. Destructors of
    // derived queues call it first, so no push reaches their half-destroyed notifications.
    void CloseQueue();

private:
    ThreadCommandQueueImpl* pImpl;
};

} // namespace Visor
