// Head-turn latency of the demo in stereo: a virtual tracker on the umockdev bus, the real device
// stack and sensor fusion, and the demo drawing frames as fast as the driver allows. Each trial
// starts a turn on the tracker and counts the frames, and the milliseconds, until the first frame
// whose eyes were drawn from a turned orientation has finished (glFinish). A frame reads the head
// after its trace and its axes reach the view matrix in the next frame, so that is the frame
// after the first one that read a turned orientation.
//
// Usage: app_head_latency_bench [--trials N]
// Needs the umockdev preload and a display:
//   LD_PRELOAD=libumockdev-preload.so.0 xvfb-run -a app_head_latency_bench
// The turn starts with the tracker's next one-millisecond sample, which goes out in the next
// report (the tracker reports every sample), so the times include up to 1 ms of sampling.
#include <GL/glew.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/nadirport.h"
#include "hmd/devices/system.h"
#include "hmd/devices/threads.h"
#include "shell/window_shell.h"
#include "tools/virtual_headset/virtual_hid_bus.h"
#include "tools/virtual_headset/virtual_tracker.h"
#include "tools/virtual_headset/virtual_tracker_stream.h"

using namespace ombrel;

namespace {

double nowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

double quantile(std::vector<double> v, double q) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const double i = q * double(v.size() - 1);
    const size_t lo = size_t(std::floor(i)), hi = size_t(std::ceil(i));
    return v[lo] + (v[hi] - v[lo]) * (i - double(lo));
}

class LatencyBench : public IViewport {
public:
    LatencyBench(std::shared_ptr<Visor::VirtualTracker> tracker, int trials)
        : tracker_(std::move(tracker)), trials_(trials) {}

    void init(IViewportHost* host, GraphicsContext* context) override {
        host_ = host;
        demo_.init(host, context);
        demo_.placeViewer(0, arrivalPoint(0).position, arrivalPoint(0).direction);
        if (!demo_.stereoRig.displayOpen() || !demo_.stereoRig.sensor) {
            std::printf("no virtual headset found: run under the umockdev preload\n");
            failed_ = true;
            return;
        }
        // The stack alone: from the turn to the first change of the fused orientation, polled.
        for (int i = 0; i < trials_; ++i) {
            const Visor::Quatf before = demo_.stereoRig.fusion.ReadOrientation();
            tracker_->SetMotion(turning());
            const double start = nowMs();
            while (nowMs() - start < 1000) {
                const Visor::Quatf now = demo_.stereoRig.fusion.ReadOrientation();
                if (now.x != before.x || now.y != before.y || now.z != before.z ||
                    now.w != before.w)
                    break;
            }
            stackMs_.push_back(nowMs() - start);
            tracker_->SetMotion(Visor::VirtualTracker::Still());
            Visor::Thread::MSleep(20);
        }
    }
    void resize(int width, int height) override { demo_.resize(width, height); }
    void close() override { demo_.close(); }

    void draw(std::uint32_t, float) override {
        if (failed_ || latencyMs_.size() >= size_t(trials_)) {
            if (!failed_)
                report();
            host_->quit(failed_ ? 1 : 0);
            return;
        }
        ++frame_;
        if (turnStartMs_ == 0 && frame_ >= nextTurnFrame_) {
            tracker_->SetMotion(turning());
            turnStartMs_ = nowMs();
            turnFrame_ = frame_;
        }
        ms_ += 16;
        const double frameStart = nowMs();
        demo_.draw(ms_, 0.016f);
        glFinish();
        const double frameEnd = nowMs();
        frameMs_.push_back(frameEnd - frameStart);
        const vec3 forward = demo_.flyer.frame.forward;
        const bool turned = length(forward - lastForward_) > 1e-6f;
        lastForward_ = forward;
        if (turnStartMs_ != 0 && readTurn_) {
            latencyMs_.push_back(frameEnd - turnStartMs_);
            latencyFrames_.push_back(double(frame_ - turnFrame_ + 1));
            tracker_->SetMotion(Visor::VirtualTracker::Still());
            turnStartMs_ = 0;
            nextTurnFrame_ = frame_ + 8; // let the still head settle before the next turn
            readTurn_ = false;
        } else if (turnStartMs_ != 0 && turned) {
            readTurn_ = true;
        }
    }

private:
    static Visor::VirtualTracker::Motion turning() {
        Visor::VirtualTracker::Motion turn = Visor::VirtualTracker::Still();
        turn.Rate[1] = 1.0f; // radians per second about the tracker's up axis
        return turn;
    }

    void report() const {
        std::printf("renderer: %s, %zu trials\n",
                    reinterpret_cast<const char*>(glGetString(GL_RENDERER)), latencyMs_.size());
        std::printf(
            "turn to changed fused orientation (no frames drawn) ms: median %.2f p95 %.2f\n",
            quantile(stackMs_, 0.5), quantile(stackMs_, 0.95));
        std::printf("frame time ms: median %.2f p95 %.2f\n", quantile(frameMs_, 0.5),
                    quantile(frameMs_, 0.95));
        std::printf("turn to first turned frame ms: median %.2f p95 %.2f\n",
                    quantile(latencyMs_, 0.5), quantile(latencyMs_, 0.95));
        std::printf("turn to first turned frame, frames (the frame the turn starts in counts 1): "
                    "median %.1f p95 %.1f max %.0f\n",
                    quantile(latencyFrames_, 0.5), quantile(latencyFrames_, 0.95),
                    *std::max_element(latencyFrames_.begin(), latencyFrames_.end()));
    }

    std::shared_ptr<Visor::VirtualTracker> tracker_;
    int trials_;
    Nadirport demo_;
    IViewportHost* host_ = nullptr;
    bool failed_ = false;
    std::uint32_t ms_ = 0;
    int frame_ = 0;
    int nextTurnFrame_ = 30; // warm-up frames first
    int turnFrame_ = 0;
    double turnStartMs_ = 0;
    bool readTurn_ = false;
    vec3 lastForward_;
    std::vector<double> stackMs_, frameMs_, latencyMs_, latencyFrames_;
};

} // namespace

int main(int argc, char** argv) {
    int trials = 20;
    if (argc == 3 && std::strcmp(argv[1], "--trials") == 0)
        trials = std::atoi(argv[2]);
    if (trials <= 0 || (argc != 1 && argc != 3)) {
        std::fprintf(stderr, "usage: app_head_latency_bench [--trials N]\n");
        return 2;
    }
    int code = 1;
    {
        Visor::VirtualHidBus bus;
        if (!bus.IsValid()) {
            std::fprintf(stderr,
                         "needs the umockdev preload (LD_PRELOAD=libumockdev-preload.so.0)\n");
            return 1;
        }
        auto tracker = std::make_shared<Visor::VirtualTracker>();
        if (bus.AddDevice(tracker).empty())
            return 1;
        Visor::VirtualTrackerStream stream;
        stream.Start(tracker);
        {
            LatencyBench bench(tracker, trials);
            WindowShell shell(&bench, 1280, 800);
            code = shell.created() ? shell.run() : 1;
        }
        stream.Stop();
        Visor::Thread::FinishAllThreads();
    }
    return code;
}
