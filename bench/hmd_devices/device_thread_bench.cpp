// Device thread costs: the round trip of a blocking command (push, wake the thread's poll,
// run, wake the pusher) with its median and 99th percentile, and how many non-blocking
// commands per second the thread takes from one or several producers.
#include <benchmark/benchmark.h>

#include "hmd/devices/linux_device_manager_thread.h"
#include "hmd/devices/system.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <vector>

using namespace Visor;
using Linux::DeviceManagerThread;

namespace {

DeviceManagerThread* TheThread = nullptr;
std::atomic<std::uint64_t> Executed{0};

class CountCommand : public ThreadCommandImpl<CountCommand> {
public:
    explicit CountCommand(bool blocking) : ThreadCommandImpl<CountCommand>(blocking) {}
    void Execute() const override { Executed.fetch_add(1, std::memory_order_relaxed); }
};

double Percentile(std::vector<double>& sorted, double p) {
    if (sorted.empty())
        return 0;
    std::size_t index = std::size_t(p * double(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

// Each iteration is one blocking command; every round trip is timed on its own so the
// percentiles come from the real distribution, not from averages of batches.
void BlockingRoundTrip(benchmark::State& state) {
    std::vector<double> micros;
    micros.reserve(1 << 20);
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        bool ok = TheThread->PushCommand(CountCommand(true));
        auto end = std::chrono::steady_clock::now();
        if (!ok) {
            state.SkipWithError("the device thread refused a command");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = Percentile(micros, 0.5);
    state.counters["p99_us"] = Percentile(micros, 0.99);
    state.counters["max_us"] = micros.empty() ? 0 : micros.back();
}
BENCHMARK(BlockingRoundTrip)->MinTime(2.0)->UseRealTime();

// Non-blocking commands, then one blocking command as a barrier so that every command of the
// batch has run when the iteration ends: the rate is the consumer's, not only the pushers'.
// With several producer threads each pushes its own batch into the one queue.
void NonBlockingThroughput(benchmark::State& state) {
    const int batch = int(state.range(0));
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i)
            TheThread->PushCommand(CountCommand(false));
        TheThread->PushCommand(CountCommand(true));
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(NonBlockingThroughput)->Arg(10000)->UseRealTime()->Threads(1)->Threads(2)->Threads(4);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    System::Init(LogMask_None); // no log lines from the thread while measuring
    Ptr<DeviceManagerThread> thread = Ptr<DeviceManagerThread>::Adopt(new DeviceManagerThread);
    if (!thread->IsValid() || !thread->Start()) {
        std::fprintf(stderr, "device thread did not start\n");
        return 1;
    }
    TheThread = thread.GetPtr();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    thread->RequestExit();
    thread->Wait();
    TheThread = nullptr;
    thread.Clear();
    System::Destroy();
    return 0;
}
