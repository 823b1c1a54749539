// visor_probe: lists the headset's devices and streams its orientation, on hardware or on the
// virtual headset (--virtual, which runs itself again under umockdev's preload).
#include "hmd/devices/system.h"
#include "tools/probe/probe.h"
#include "tools/probe/virtual_probe.h"
#include "tools/virtual_headset/virtual_headset_session.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

namespace {

std::atomic<bool> Interrupted{false};

extern "C" void OnInterrupt(int) {
    Interrupted = true;
}

} // namespace

int main(int argc, char** argv) {
    Visor::ProbeOptions options;
    std::string error;
    if (!Visor::ParseProbeOptions(argc, argv, &options, &error)) {
        std::fprintf(stderr, "visor_probe: %s\n\n%s", error.c_str(), Visor::ProbeUsage());
        return Visor::Probe_Failed;
    }
    if (options.Help) {
        std::fputs(Visor::ProbeUsage(), stdout);
        return 0;
    }
    Visor::MotionScript script;
    if (options.Virtual) {
        const bool loaded = options.Script.empty()
                                ? script.Parse(Visor::DefaultProbeScript(), &error)
                                : script.Load(options.Script, &error);
        if (!loaded) {
            std::fprintf(stderr, "visor_probe: motion script: %s\n", error.c_str());
            return Visor::Probe_Failed;
        }
        if (!Visor::VirtualHeadsetSession::RunUnderPreload(argv, VISOR_UMOCKDEV_PRELOAD, &error)) {
            std::fprintf(stderr, "visor_probe: --virtual: %s\n", error.c_str());
            return Visor::Probe_Failed;
        }
    }
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    Visor::System::Init();

    // The bus comes before the device manager's udev monitor and goes after the manager has
    // closed its nodes.
    std::unique_ptr<Visor::VirtualHidBus> bus;
    Visor::VirtualProbeHeadset headset;
    if (options.Virtual) {
        bus = std::make_unique<Visor::VirtualHidBus>();
        if (!headset.Start(bus.get(), script, &error)) {
            std::fprintf(stderr, "visor_probe: %s\n", error.c_str());
            headset.Stop();
            bus.reset();
            Visor::System::Destroy();
            return Visor::Probe_Failed;
        }
    }
    Visor::ProbeStatus status;
    if (options.Stream) {
        Visor::StreamSummary summary;
        status = Visor::StreamOrientation(options, &Interrupted, stdout, &summary);
    } else {
        status = Visor::ProbeDevices(stdout);
    }
    headset.Stop();
    bus.reset();
    Visor::System::Destroy();
    return status;
}
