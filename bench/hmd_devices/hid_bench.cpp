// HID layer costs on software devices: one enumeration through the device manager with 1 and
// with 20 latency testers present, how many input reports a second one open tracker carries
// through the device thread's poll, the read and the handler, with none lost, and how soon an
// unplugged tracker streams again once it is plugged back in.
//
// Needs the umockdev preload (the devices live on a virtual bus), e.g.
//   umockdev-wrapper build/f-rel/bench/hmd_devices/hid_bench
// Without it every benchmark reports an error.
#include <benchmark/benchmark.h>

#include "hmd/devices/linux_device_manager.h"
#include "hmd/devices/system.h"
#include "hmd/tracking/sensor_reports.h"
#include "tools/virtual_headset/virtual_hid_bus.h"
#include "tools/virtual_headset/virtual_tracker.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

using namespace Visor;

namespace {

struct CallOnThread : ThreadCommandImpl<CallOnThread> {
    explicit CallOnThread(const std::function<void()>* f)
        : ThreadCommandImpl<CallOnThread>(true), F(f) {}
    void Execute() const override { (*F)(); }
    const std::function<void()>* F;
};

// Counts reports and checks each carries the next number, so a lost or reordered one shows;
// counts removal notices too.
struct SequenceCounter : HIDDevice::HIDHandler {
    void OnDeviceStatus(DeviceStatusNotice notice) override {
        if (notice == DeviceStatus_Removed)
            Removals.fetch_add(1, std::memory_order_release);
    }
    std::atomic<int> Removals{0};
    void TakeInputReport(const std::uint8_t* data, std::uint32_t length) override {
        std::uint32_t number;
        std::memcpy(&number, data + 4, sizeof number);
        std::uint64_t seen = Count.load(std::memory_order_relaxed);
        if (length != SensorReportSize || number != static_cast<std::uint32_t>(seen))
            OutOfOrder.store(true, std::memory_order_relaxed);
        Count.store(seen + 1, std::memory_order_release);
    }
    std::atomic<std::uint64_t> Count{0};
    std::atomic<bool> OutOfOrder{false};
};

// A bus and a manager made after it; the manager is gone before the bus.
struct Rig {
    Rig() : Bus(std::make_unique<VirtualHidBus>()) {}
    ~Rig() {
        if (Manager) {
            Manager->Release();
            Thread::FinishAllThreads();
        }
        Bus.reset();
    }
    bool Start() {
        if (!Bus->IsValid())
            return false;
        Manager = Linux::DeviceManager::CreateBare();
        return Manager && Manager->GetHIDDeviceManager();
    }
    bool OnThread(const std::function<void()>& f) {
        return Manager->QueueOf()->PushCommand(CallOnThread(&f));
    }
    std::unique_ptr<VirtualHidBus> Bus;
    Linux::DeviceManager* Manager = nullptr;
};

// Real time: the work runs on the device thread and umockdev's worker, not the caller.
// Each iteration is one full enumeration: the request to the device thread, the udev scan,
// and for every tester an open, its ids, report descriptor and strings, and the merge.
void Enumerate(benchmark::State& state) {
    Rig rig;
    for (int i = 0; i < state.range(0); ++i)
        rig.Bus->AddDevice(MakeVirtualLatencyTester());
    if (!rig.Start()) {
        state.SkipWithError("no virtual bus: run under umockdev-wrapper");
        return;
    }
    std::int64_t listed = 0;
    for (auto _ : state) {
        listed = 0;
        for (DescEnumerator e = rig.Manager->Enumerate(Type_LatencyTester); !e.IsEmpty(); e.Next())
            ++listed;
    }
    if (listed != state.range(0))
        state.SkipWithError("a tester was not listed");
}
BENCHMARK(Enumerate)->Arg(1)->Arg(20)->Unit(benchmark::kMillisecond)->UseRealTime();

// Starts the rig and opens the tracker at path with counter as its handler; null, with the
// benchmark skipped, when either fails.
HIDDevice* OpenTracker(Rig& rig, const std::string& path, SequenceCounter* counter,
                       benchmark::State& state) {
    if (!rig.Start()) {
        state.SkipWithError("no virtual bus: run under umockdev-wrapper");
        return nullptr;
    }
    HIDDevice* device = nullptr;
    rig.OnThread([&] {
        if ((device = rig.Manager->GetHIDDeviceManager()->Open(path.c_str())))
            device->SetHandler(counter);
    });
    if (!device)
        state.SkipWithError("the tracker did not open");
    return device;
}

// Each iteration queues a batch of reports at once and waits until the handler has taken them
// all; items per second is the sustained rate.
void StreamReports(benchmark::State& state) {
    constexpr std::uint32_t Batch = 1000;
    Rig rig;
    auto tracker = std::make_shared<VirtualTracker>();
    std::string path = rig.Bus->AddDevice(tracker);
    SequenceCounter counter;
    HIDDevice* device = OpenTracker(rig, path, &counter, state);
    if (!device)
        return;
    std::uint8_t report[SensorReportSize] = {SensorReport_Sensors, 1};
    std::uint32_t number = 0;
    for (auto _ : state) {
        for (std::uint32_t i = 0; i < Batch; ++i, ++number) {
            std::memcpy(report + 4, &number, sizeof number);
            tracker->QueueInputReport(report, sizeof report);
        }
        // Sleeps rather than spins: the device thread and umockdev's worker need the cores.
        while (counter.Count.load(std::memory_order_acquire) < number)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(number));
    if (counter.OutOfOrder.load() || counter.Count.load() != number)
        state.SkipWithError("a report was lost or out of order");
    rig.OnThread([&] { device->Release(); });
}
BENCHMARK(StreamReports)->Unit(benchmark::kMillisecond)->UseRealTime();

// Each iteration unplugs the open tracker and waits until the device thread has heard of it
// (untimed), plugs it back in, and at once queues one report; the time measured runs from the
// return of the replug, whose last act is the node's "add" uevent, until the handler has that
// report: the uevent's trip through the monitor, the reopen and the first read. The median and
// 90th percentile of the iterations are reported as counters.
void ReplugToFirstReport(benchmark::State& state) {
    Rig rig;
    auto tracker = std::make_shared<VirtualTracker>();
    std::string path = rig.Bus->AddDevice(tracker);
    SequenceCounter counter;
    HIDDevice* device = OpenTracker(rig, path, &counter, state);
    if (!device)
        return;
    using Clock = std::chrono::steady_clock;
    std::vector<double> samples;
    std::uint8_t report[SensorReportSize] = {SensorReport_Sensors, 1};
    std::uint32_t number = 0;
    bool lost = false;
    for (auto _ : state) {
        int removals = counter.Removals.load(std::memory_order_acquire);
        rig.Bus->Unplug(path);
        for (int i = 0; i < 5000 && counter.Removals.load() == removals; ++i)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        rig.Bus->Replug(path);
        Clock::time_point start = Clock::now();
        std::memcpy(report + 4, &number, sizeof number);
        tracker->QueueInputReport(report, sizeof report);
        ++number;
        // Spins with short sleeps: about 0.1 ms of resolution, the cores left to the others.
        Clock::time_point deadline = start + std::chrono::seconds(5);
        while (counter.Count.load(std::memory_order_acquire) < number && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        lost = lost || counter.Count.load() < number;
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        samples.push_back(seconds);
        state.SetIterationTime(seconds);
    }
    std::sort(samples.begin(), samples.end());
    if (!samples.empty()) {
        state.counters["median_ms"] = samples[samples.size() / 2] * 1e3;
        state.counters["p90_ms"] = samples[samples.size() * 9 / 10] * 1e3;
    }
    if (lost || counter.OutOfOrder.load())
        state.SkipWithError("the tracker did not stream again");
    rig.OnThread([&] { device->Release(); });
}
BENCHMARK(ReplugToFirstReport)->Iterations(40)->Unit(benchmark::kMillisecond)->UseManualTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    System::Init(LogMask_None); // no log lines from the device thread while measuring
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    System::Destroy();
    return 0;
}
