// Processor cost of one 16 ms physics step in each scene, in open space and in contact (a
// penetrating sphere also pays for the four distance evaluations of the gradient).
#include <benchmark/benchmark.h>

#include "world/body.h"
#include "world/world.h"

using namespace ombrel;

namespace {

struct Probe {
    const char* scene;
    vec3 open;    // sphere clear of every surface
    vec3 contact; // sphere resting a little inside a surface
};

// Indexed by scene; contact points sit just below the rest height over a floor, or (metaballs)
// inside the blobs' field at the room's centre at t = 0.
const Probe probes[] = {
    {"start", {0, 0, 0}, {0, -14.01f, 0}},     {"warehouse", {2, 0, -20}, {2, -2.01f, -20}},
    {"metaballs", {0, 30, 0}, {0, 0, 0}},      {"endfall", {0, 50, 0}, {0, -8.01f, 0}},
    {"landscape", {0, 0, 0}, {0, -98.01f, 0}},
};

void physicsStep(benchmark::State& state) {
    World world;
    const int scene = static_cast<int>(state.range(0));
    const bool contact = state.range(1) != 0;
    const Worldsector& sector = world.sector(scene);
    const vec3 start = contact ? probes[scene].contact : probes[scene].open;
    BodyState body;
    float t = 0;
    for (auto _ : state) {
        // Restart from the same place each time so that every iteration measures one step of
        // the same case rather than a body drifting away from it.
        body.position = start;
        body.velocity = vec3();
        integrate(sector, body, t, 0.016f);
        benchmark::DoNotOptimize(body);
    }
    state.SetLabel(std::string(probes[scene].scene) + (contact ? " contact" : " open"));
}

} // namespace

BENCHMARK(physicsStep)->ArgsProduct({{0, 1, 2, 3, 4}, {0, 1}})->ArgNames({"scene", "contact"});
