// Time to decode one tracker sensors input report (three samples, the tracker's usual load at
// its full rate) and to pack one back, in nanoseconds per report. The device thread decodes up
// to 1000 reports a second, so the figure bounds the decoder's share of that thread.
#include <benchmark/benchmark.h>

#include "hmd/tracking/sensor_reports.h"

#include <cstdint>

using namespace Visor;

namespace {

// A report with varied, deterministic bytes: three carried samples and a wrapping timestamp.
void FillReport(std::uint8_t (&bytes)[SensorReportSize]) {
    std::uint32_t state = 12345;
    for (std::uint8_t& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = std::uint8_t(state >> 16);
    }
    bytes[0] = SensorReport_Sensors;
    bytes[1] = 3;
}

void DecodeReport(benchmark::State& state) {
    std::uint8_t bytes[SensorReportSize];
    FillReport(bytes);
    DecodedReport message;
    for (auto _ : state) {
        benchmark::DoNotOptimize(bytes);
        bool decoded = DecodeSensorReport(&message, bytes, sizeof bytes);
        benchmark::DoNotOptimize(decoded);
        benchmark::DoNotOptimize(message);
    }
    state.SetItemsProcessed(state.iterations());
}

void PackReport(benchmark::State& state) {
    std::uint8_t bytes[SensorReportSize];
    FillReport(bytes);
    DecodedReport message;
    DecodeSensorReport(&message, bytes, sizeof bytes);
    for (auto _ : state) {
        benchmark::DoNotOptimize(message);
        bool packed = PackSensorReport(message.Report, bytes, sizeof bytes);
        benchmark::DoNotOptimize(packed);
        benchmark::DoNotOptimize(bytes);
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(DecodeReport);
BENCHMARK(PackReport);
