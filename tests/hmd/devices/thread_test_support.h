// Helpers shared by the tests that drive the library's threads for real.
#pragma once

#include "hmd/devices/thread_commands.h"
#include "hmd/devices/threads.h"

#include <atomic>
#include <gtest/gtest.h>
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

} // namespace visor_test
