// Time to trace one 128 x 128 tile per scene on the current GL driver (llvmpipe under
// xvfb-run): one draw bounded by glFinish per iteration; the median over repetitions is the
// figure to quote.
#include <benchmark/benchmark.h>

#include <GL/glew.h>
#include <GLFW/glfw3.h>

#include <memory>

#include "world/raymarcher.h"

using namespace ombrel;

namespace {

// One hidden window with a GL 2.1 context for the whole run; null when there is no display.
Raymarcher* tracer() {
    static std::unique_ptr<Raymarcher> marcher;
    static bool tried = false;
    if (tried)
        return marcher.get();
    tried = true;
    if (!glfwInit())
        return nullptr;
    glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 2);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 1);
    GLFWwindow* window = glfwCreateWindow(64, 64, "", nullptr, nullptr);
    if (!window)
        return nullptr;
    glfwMakeContextCurrent(window);
    glewExperimental = GL_TRUE;
    if (glewInit() != GLEW_OK)
        return nullptr;
    marcher = std::make_unique<Raymarcher>();
    marcher->setup(nullptr, 256, 256);
    return marcher.get();
}

struct View {
    const char* scene;
    vec3 origin;
    vec3 direction;
};

// Indexed by scene: a viewer's typical position and heading there.
const View views[] = {
    {"start", {0, 0, 0}, {0, 0, -1}},                 // across the room
    {"warehouse", {2, 0, 20}, {0, 0, -1}},            // down the hall
    {"metaballs", {0, 0, -9}, {0, 0, 1}},             // at the blobs
    {"endfall", {0, -4, 20}, {0, 0, -1}},             // at the sign over the ground
    {"landscape", {0, -80, 0}, {0.7f, -0.14f, 0.7f}}, // towards the horizon
};

void traceTile(benchmark::State& state) {
    Raymarcher* marcher = tracer();
    if (!marcher) {
        state.SkipWithError("no GL context: run under xvfb-run -a");
        return;
    }
    const int scene = static_cast<int>(state.range(0));
    const View& view = views[scene];
    marcher->world.current = scene;
    const vec3 direction = normalize(view.direction);
    // The driver builds its code for a program on first use; keep that out of the figures.
    float time = 1.0f;
    for (int i = 0; i < 4; ++i)
        marcher->draw(time, view.origin, direction);
    glFinish();

    for (auto _ : state) {
        time += 0.016f; // a new scatter pattern each frame, as in the demo
        marcher->draw(time, view.origin, direction);
        glFinish();
    }
    state.SetLabel(view.scene);
    state.counters["rays/s"] =
        benchmark::Counter(128.0 * 128.0, benchmark::Counter::kIsIterationInvariantRate);
}

} // namespace

BENCHMARK(traceTile)
    ->DenseRange(0, 4)
    ->ArgName("scene")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(7)
    ->ReportAggregatesOnly(true);
