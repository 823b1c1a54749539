// Time of one orientation filter step, in nanoseconds per body frame: called directly, and
// through a device's handler link, which takes the shared handler lock around it as the device
// thread does. The tracker sends about 1000 frames a second and the render thread's read waits
// on the same lock.
#include <benchmark/benchmark.h>

#include "hmd/tracking/sensor_device.h"
#include "hmd/tracking/sensor_fusion.h"

#include <cmath>
#include <cstddef>
#include <vector>

using namespace Visor;

namespace {

// A head nearly at rest, tilted 0.1 rad from what the filter believes, turning slowly: every
// frame passes the rest gate, an estimate runs every 50 and the tilt correction every frame.
struct Frames {
    enum { Count = 64 };
    Frames() {
        for (std::size_t i = 0; i < Count; ++i) {
            BodyFrameMessage& m = Message.emplace_back(nullptr);
            const float wobble = 0.01f * std::sin(0.1f * float(i));
            m.Acceleration[0] = 9.81f * std::sin(0.1f) + wobble;
            m.Acceleration[1] = 9.81f * std::cos(0.1f);
            m.Acceleration[2] = wobble;
            m.AngularRate[0] = 0.02f + wobble, m.AngularRate[1] = -0.03f, m.AngularRate[2] = 0.01f;
            m.Duration = 0.001f;
        }
    }
    std::vector<BodyFrameMessage> Message;
};

template <class Deliver> void Run(benchmark::State& state, Deliver deliver) {
    static const Frames frames;
    std::size_t i = 0;
    for (auto _ : state) {
        deliver(frames.Message[i]);
        i = (i + 1) % Frames::Count;
    }
    state.SetItemsProcessed(state.iterations());
}

void FusionStep(benchmark::State& state) {
    SensorFusion fusion;
    Run(state, [&](const BodyFrameMessage& m) { fusion.GetHandler()->TakeMessage(m); });
    benchmark::DoNotOptimize(fusion.ReadOrientation());
}

void FusionStepThroughHandlerLink(benchmark::State& state) {
    SensorFusion fusion;
    HandlerLink link(nullptr);
    link.SetHandler(fusion.GetHandler());
    Run(state, [&](const BodyFrameMessage& m) { link.Call(m); });
    benchmark::DoNotOptimize(fusion.ReadOrientation());
}

} // namespace

BENCHMARK(FusionStep);
BENCHMARK(FusionStepThroughHandlerLink);
