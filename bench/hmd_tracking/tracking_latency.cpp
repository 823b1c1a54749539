// Latency of head tracking while the demo draws: from a tracker report becoming readable on its
// node to the orientation filter having taken it, through the real stack (hidraw reads on the
// device thread, the tracker device, the filter), with the demo's mono frame loop drawing on
// the main thread beside it. Prints the median, 99th percentile and maximum.
//
// Usage: tracking_latency [SECONDS]   (default 10)
// Needs the umockdev preload (the tracker is a software one on a virtual bus) and a display:
//   xvfb-run -a -s "-screen 0 1280x1024x24" umockdev-wrapper ./tracking_latency
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "app/nadirport.h"
#include "hmd/devices/system.h"
#include "hmd/tracking/sensor_device.h"
#include "hmd/tracking/sensor_fusion.h"
#include "shell/window_shell.h"
#include "tools/virtual_headset/virtual_hid_bus.h"
#include "tools/virtual_headset/virtual_tracker_stream.h"

namespace {

using Clock = std::chrono::steady_clock;

// When each report went onto the node, oldest first; the device thread takes them off in order.
struct ReportTimes {
    std::mutex Lock;
    std::deque<Clock::time_point> Queued;
    std::vector<double> LatencyUs;
};

// Passes each body frame to the filter and notes how long its report took to get there. At
// 1000 reports per second every report carries one sample, so frames and reports pair up.
class LatencyProbe : public Visor::MessageHandler {
public:
    LatencyProbe(Visor::SensorFusion* fusion, ReportTimes* times) : Fusion(fusion), Times(times) {}
    ~LatencyProbe() override { DetachFromDevices(); }
    void TakeMessage(const Visor::Message& message) override {
        Fusion->GetHandler()->TakeMessage(message);
        Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> lock(Times->Lock);
        if (Times->Queued.empty())
            return;
        Times->LatencyUs.push_back(
            std::chrono::duration<double, std::micro>(now - Times->Queued.front()).count());
        Times->Queued.pop_front();
    }

private:
    Visor::SensorFusion* Fusion;
    ReportTimes* Times;
};

// The demo's frames in mono, without looking for a headset, until the time is up.
class FrameLoop : public ombrel::IViewport {
public:
    explicit FrameLoop(double seconds) : Seconds(seconds) {}
    void init(ombrel::IViewportHost* host, ombrel::GraphicsContext* context) override {
        Host = host;
        Demo.host = host;
        Demo.context = context;
        Demo.raymarcher.setup(context, ombrel::Nadirport::traceSize, ombrel::Nadirport::traceSize);
        Demo.pointCloud.setup(context, Demo.raymarcher.positions.get(),
                              Demo.raymarcher.colours.get());
        Start = Clock::now();
    }
    void resize(int width, int height) override { Demo.resize(width, height); }
    void draw(std::uint32_t timeMs, float seconds) override {
        Demo.draw(timeMs, seconds);
        Frames++;
        if (std::chrono::duration<double>(Clock::now() - Start).count() >= Seconds)
            Host->quit(0);
    }
    void close() override {
        Demo.pointCloud.release();
        Demo.raymarcher.release();
    }
    int Frames = 0;

private:
    ombrel::Nadirport Demo;
    ombrel::IViewportHost* Host = nullptr;
    Clock::time_point Start;
    double Seconds;
};

double Percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p * double(values.size() - 1) + 0.5))];
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    Visor::VirtualHidBus bus; // before anything opens a udev monitor
    if (!bus.IsValid()) {
        std::fprintf(stderr, "tracking_latency: run it under umockdev-wrapper\n");
        return 2;
    }
    auto tracker = std::make_shared<Visor::VirtualTracker>();
    Visor::SensorDisplayInfo noDisplay; // a bare tracker: nothing here looks for a headset
    tracker->SetDisplayInfo(noDisplay);
    if (bus.AddDevice(tracker).empty())
        return 2;

    Visor::System::Init();
    Visor::DeviceManager* manager = Visor::DeviceManager::Create();
    Visor::DescEnumerator e =
        manager ? manager->Enumerate(Visor::Type_Sensor) : Visor::DescEnumerator();
    auto* sensor = static_cast<Visor::SensorDevice*>(e.CreateDevice());
    e.Clear();
    if (!sensor) {
        std::fprintf(stderr, "tracking_latency: the virtual tracker did not open\n");
        return 2;
    }
    sensor->SetRate(1000);
    Visor::SensorFusion fusion;
    ReportTimes times;
    LatencyProbe probe(&fusion, &times);
    sensor->SetMessageTarget(&probe);

    Visor::VirtualTrackerStream stream;
    stream.Start([&](unsigned ms) {
        for (unsigned i = 0; i < ms; i++) {
            Clock::time_point now = Clock::now();
            unsigned reports = tracker->Advance(1);
            std::lock_guard<std::mutex> lock(times.Lock);
            for (unsigned r = 0; r < reports; r++)
                times.Queued.push_back(now);
        }
    });
    FrameLoop frames(seconds);
    {
        ombrel::WindowShell shell(&frames, 1280, 800);
        shell.run();
    }
    stream.Stop();

    sensor->SetMessageTarget(nullptr);
    sensor->Release();
    manager->Release();
    Visor::Thread::FinishAllThreads();
    Visor::System::Destroy();

    std::lock_guard<std::mutex> lock(times.Lock);
    std::printf("%zu reports in %.1f s beside %d demo frames (%.1f frames/s)\n",
                times.LatencyUs.size(), seconds, frames.Frames, frames.Frames / seconds);
    std::printf(
        "report readable -> orientation updated: median %.0f us, p99 %.0f us, max %.0f us\n",
        Percentile(times.LatencyUs, 0.5), Percentile(times.LatencyUs, 0.99),
        Percentile(times.LatencyUs, 1.0));
    return times.LatencyUs.empty() ? 1 : 0;
}
