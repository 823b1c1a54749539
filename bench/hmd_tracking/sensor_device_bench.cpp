// Time for the tracker device to take one sensors report of three samples: decoding, the gap
// check and three body frames to the attached handler, in nanoseconds per report; and the same
// with the orientation filter as the handler. The device thread does this up to 1000 times a
// second, with the shared handler lock held for each report.
#include <benchmark/benchmark.h>

#include "hmd/tracking/sensor_device_impl.h"
#include "hmd/tracking/sensor_fusion.h"

#include <cstddef>
#include <cstdint>

using namespace Visor;

namespace {

struct DurationSum : MessageHandler {
    void TakeMessage(const Message& m) override {
        Sum += static_cast<const BodyFrameMessage&>(m).Duration;
    }
    float Sum = 0;
};

void Run(benchmark::State& state, MessageHandler* handler) {
    // Reports of a head at rest turning slowly, each following the last as the tracker sends
    // them at its full rate.
    enum { Count = 64 };
    static std::uint8_t reports[Count][SensorReportSize];
    for (int i = 0; i < Count; ++i) {
        SensorReport r;
        r.SampleCount = 3;
        r.Timestamp = std::uint16_t(i * 3);
        r.Temperature = 2500;
        for (SensorSample& s : r.Samples)
            s = {10 * i, 98100, -5 * i, 200, -300 + i, 100};
        r.MagX = 2000, r.MagY = -4000, r.MagZ = 300;
        PackSensorReport(r, reports[i], SensorReportSize);
    }
    // A device made outside any manager: no device thread and no HID device, so the reports
    // are handed to it directly.
    SensorDeviceFactory factory;
    SensorDeviceCreateDesc desc(&factory, HidDeviceRecord());
    SensorDeviceImpl device(&desc);
    device.SetMessageTarget(handler);
    std::size_t i = 0;
    for (auto _ : state) {
        device.TakeInputReport(reports[i], SensorReportSize);
        i = (i + 1) % Count;
    }
    device.SetMessageTarget(nullptr);
    state.SetItemsProcessed(state.iterations());
}

void DecodeAndDispatchReport(benchmark::State& state) {
    DurationSum sum;
    Run(state, &sum);
    benchmark::DoNotOptimize(sum.Sum);
}

void DecodeDispatchAndFuseReport(benchmark::State& state) {
    SensorFusion fusion;
    Run(state, fusion.GetHandler());
    benchmark::DoNotOptimize(fusion.ReadOrientation());
}

} // namespace

BENCHMARK(DecodeAndDispatchReport);
BENCHMARK(DecodeDispatchAndFuseReport);
