// Time to list the desktop's monitors as the headset display factory does on every enumeration
// and display notice: the X server's outputs with their EDIDs and places, then the kernel's DRM
// connectors. Run under a display to include the X server's share. Listings are spaced apart
// as enumerations are: an X server answers a connection made at once after a close tens of
// milliseconds late, which no enumeration meets.
#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

#include "hmd/tracking/hmd_device.h"

using namespace Visor;

namespace {

void ListMonitors(benchmark::State& state, Visor::DisplayMonitorSource source) {
    std::size_t found = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        state.ResumeTiming();
        std::vector<DisplayMonitor> monitors;
        source(&monitors);
        found = monitors.size();
    }
    state.counters["monitors"] = static_cast<double>(found);
}

BENCHMARK_CAPTURE(ListMonitors, Desktop, Linux::ListDesktopMonitors)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Iterations(20);
BENCHMARK_CAPTURE(ListMonitors, XServer, Linux::ListXRandRMonitors)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Iterations(20);
BENCHMARK_CAPTURE(ListMonitors, DrmConnectors, Linux::ListDrmMonitors)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Iterations(20);

} // namespace
