// Helpers shared by the tests that drive the library's threads and log for real.
#pragma once

#include "hmd/devices/log.h"
#include "hmd/devices/thread_commands.h"
#include "hmd/devices/threads.h"

#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>

namespace visor_test {

// Waits (bounded) for a condition another thread makes true.
template <class F> bool Eventually(F f) {
    for (int i = 0; i < 5000; ++i, Visor::Thread::MSleep(1))
        if (f())
            return true;
    return false;
}

// Pushes one command on its own thread; Done once the push returned, Accepted its result.
struct Pusher {
    template <class C>
    Pusher(Visor::ThreadCommandQueue* queue, const C& command)
        : T([this, queue, command] {
              Accepted = queue->PushCommand(command);
              Done = true;
          }) {}
    ~Pusher() { T.join(); }
    std::atomic<bool> Done{false}, Accepted{false};
    std::thread T; // last, so that the flags exist before the thread starts
};

// Collects library log text from any thread while it exists.
class LogText {
public:
    LogText() { Visor::Log::SetOutputSink(&LogText::Sink, this); }
    ~LogText() { Visor::Log::SetOutputSink(nullptr, nullptr); }
    std::string Get() {
        std::lock_guard<std::mutex> g(Lock);
        return Text;
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
