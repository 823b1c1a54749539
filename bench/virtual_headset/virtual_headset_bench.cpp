// Costs of the virtual headset's tools: one millisecond of scripted motion, and one input report
// written to or parsed from a recording (a tracker sends up to 1000 a second).
#include "tools/virtual_headset/motion_script.h"
#include "tools/virtual_headset/recording.h"

#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

using namespace Visor;

void BM_MotionScriptSample(benchmark::State& state) {
    MotionScript script;
    script.Parse("nod 1s 15deg 1s\nyaw 1s 30deg/s\ngyro-noise 0.1deg/s seed 1", nullptr);
    MotionPlayer player(script);
    SensorSample sample;
    MotionQuat truth;
    for (auto _ : state) {
        if (!player.Next(&sample, &truth)) // the script is over: start again, rarely
            player = MotionPlayer(script);
        benchmark::DoNotOptimize(sample);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MotionScriptSample);

Recording TenSeconds() {
    Recording r;
    r.Features = {{2, std::vector<std::uint8_t>(7, 2)}};
    for (std::uint64_t i = 0; i < 10000; ++i)
        r.Inputs.push_back({i * 1000, std::vector<std::uint8_t>(62, std::uint8_t(i))});
    return r;
}

void BM_ParseRecording(benchmark::State& state) {
    std::vector<std::uint8_t> bytes;
    EncodeRecording(TenSeconds(), &bytes);
    Recording parsed;
    for (auto _ : state)
        benchmark::DoNotOptimize(ParseRecording(bytes.data(), bytes.size(), &parsed, nullptr));
    state.SetItemsProcessed(state.iterations() * 10000);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_ParseRecording)->Unit(benchmark::kMillisecond);

void BM_RecordingWriterAdd(benchmark::State& state) {
    const std::string path = "/tmp/virtual_headset_bench.rec";
    RecordingWriter writer;
    writer.Open(path, Recording(), nullptr);
    const std::vector<std::uint8_t> report(62, 1);
    std::uint64_t time = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(writer.Add(time += 1000, report.data(), report.size()));
    writer.Finish(nullptr);
    std::remove(path.c_str());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecordingWriterAdd);

} // namespace
