// Helpers shared by the tests that drive the library's threads for real.
#pragma once

#include "hmd/devices/log.h"
#include "hmd/devices/thread_commands.h"
#include "hmd/devices/threads.h"

#include <atomic>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <string>

namespace visor_test {

// Waits (bounded) for a condition another thread makes true.
template <class F> bool Eventually(F f) {
    for (int i = 0; i < 5000 && !f(); ++i)
        Visor::Thread::MSleep(1);
    return f();
}

// A library thread running a closure; started at once, waited for when the handle goes.
class Spawned {
public:
    explicit Spawned(std::function<int()> body) : Body(std::move(body)) {
        T = Visor::Ptr<Visor::Thread>::Adopt(new Visor::Thread(&Spawned::Main, this));
        EXPECT_TRUE(T->Start());
    }
    ~Spawned() { T->Wait(); }
    Visor::Thread* operator->() const { return T.GetPtr(); }

private:
    static int Main(Visor::Thread*, void* self) { return static_cast<Spawned*>(self)->Body(); }
    std::function<int()> Body;
    Visor::Ptr<Visor::Thread> T;
};

// Pushes one command on its own thread; Done once the push returned, Accepted its result.
class Pusher {
public:
    template <class C>
    Pusher(Visor::ThreadCommandQueue* queue, const C& command)
        : Run([this, queue, command] {
              Accepted.store(queue->PushCommand(command));
              Done.store(true);
              return 0;
          }) {}
    std::atomic<bool> Done{false}, Accepted{false};

private:
    Spawned Run; // last, so that the flags exist before the thread starts
};

// Collects library log text from any thread.
class LogText {
public:
    LogText() { Visor::Log::SetOutputSink(&LogText::Sink, this); }
    ~LogText() { Visor::Log::SetOutputSink(nullptr, nullptr); }
    bool Contains(const std::string& s) {
        std::lock_guard<std::mutex> g(Lock);
        return Text.find(s) != std::string::npos;
    }

private:
    static void Sink(void* user, Visor::LogMessageType, const char* text) {
        auto* self = static_cast<LogText*>(user);
        std::lock_guard<std::mutex> g(self->Lock);
        self->Text += text;
    }
    std::mutex Lock;
    std::string Text;
};

} // namespace visor_test
