// visor_record's work: find, open, read the features of and record a tracker on the device
// thread of its own device manager.
#include "tools/virtual_headset/recorder.h"

#include "hmd/devices/linux_device_manager.h"
#include "hmd/devices/log.h"
#include "hmd/devices/system.h"
#include "hmd/devices/thread_commands.h"
#include "hmd/devices/threads.h"
#include "hmd/tracking/sensor_reports.h"
#include "tools/virtual_headset/recording.h"
#include "tools/virtual_headset/virtual_tracker.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace Visor {

namespace {

using Clock = std::chrono::steady_clock;

// The tracker stops streaming 10 s after the last keep-alive; three seconds leave room for a
// slow host.
constexpr auto KeepAlivePeriod = std::chrono::seconds(3);
constexpr auto ProgressPeriod = std::chrono::milliseconds(100);

struct CallOnThread : ThreadCommandImpl<CallOnThread> {
    explicit CallOnThread(const std::function<void()>* f)
        : ThreadCommandImpl<CallOnThread>(true), F(f) {}
    void Execute() const override { (*F)(); }
    const std::function<void()>* F;
};

struct TrackerFinder : HIDEnumerateVisitor {
    bool MatchIds(std::uint16_t vendorId, std::uint16_t productId) override {
        return (vendorId == VirtualTracker::VendorId && productId == VirtualTracker::ProductId) ||
               (vendorId == VirtualTracker::AltVendorId &&
                productId == VirtualTracker::AltProductId);
    }
    void Visit(HIDDevice&, const HidDeviceRecord& record) override {
        if (Wanted.empty() || Wanted == record.Path.ToCStr())
            Found.push_back(record);
    }
    std::string Wanted;
    std::vector<HidDeviceRecord> Found;
};

// Takes the reports on the device thread; the recording thread drains them.
struct ReportTaker : HIDDevice::HIDHandler {
    void TakeInputReport(const std::uint8_t* data, std::uint32_t length) override {
        const auto us =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - Start).count();
        std::lock_guard<std::mutex> lock(M);
        Pending.push_back({static_cast<std::uint64_t>(us), {data, data + length}});
    }
    void OnDeviceStatus(DeviceStatusNotice notice) override {
        if (notice == DeviceStatus_Removed)
            Lost = true;
    }
    std::vector<Recording::Input> Take() {
        std::lock_guard<std::mutex> lock(M);
        return std::exchange(Pending, {});
    }

    Clock::time_point Start;
    std::mutex M;
    std::vector<Recording::Input> Pending;
    std::atomic<bool> Lost{false};
};

// The library's log lines, kept to explain a failure in the tool's own words.
struct LogText {
    static void Capture(void* user, LogMessageType, const char* text) {
        auto* self = static_cast<LogText*>(user);
        std::lock_guard<std::mutex> lock(self->M);
        self->Text += text;
    }
    // The last line containing what, empty when none does.
    std::string LastLineWith(const char* what) {
        std::lock_guard<std::mutex> lock(M);
        const std::size_t at = Text.rfind(what);
        if (at == std::string::npos)
            return {};
        const std::size_t begin = Text.rfind('\n', at) + 1; // npos + 1 is 0
        return Text.substr(begin, Text.find('\n', at) - begin);
    }
    std::mutex M;
    std::string Text;
};

bool Fail(std::string* error, std::string what) {
    if (error)
        *error = std::move(what);
    return false;
}

const char* const DeniedHelp =
    "permission denied. Give your user access to the headset as README.md, section \"Headset "
    "access\", describes (install the udev rule), then replug the headset";

class Recorder {
public:
    Recorder(Linux::DeviceManager* manager, LogText* log) : Manager(manager), Log(log) {}

    bool Run(const RecordOptions& options, const std::atomic<bool>* stop, std::FILE* progress,
             RecordSummary* summary, std::string* error) {
        Recording header;
        if (!OpenTracker(options.Device, &header, summary, error))
            return false;
        RecordingWriter writer;
        bool ok = writer.Open(options.Output, header, error);
        const auto duration = std::chrono::microseconds(
            options.Seconds > 0 ? std::llround(std::min(options.Seconds, 1e9) * 1e6) : 0);
        auto keepAliveDue = Taker.Start + KeepAlivePeriod;
        while (ok && !(stop && *stop)) {
            const Clock::time_point now = Clock::now();
            if (now - Taker.Start >= duration)
                break;
            if (now >= keepAliveDue) {
                SendKeepAlive(summary);
                keepAliveDue += KeepAlivePeriod;
            }
            ok = Drain(writer, error);
            if (progress) {
                std::fprintf(progress, "\rRecording %s: %.1f s of %g s, %u reports",
                             summary->Path.c_str(),
                             std::chrono::duration<double>(now - Taker.Start).count(),
                             options.Seconds, writer.GetInputCount());
                std::fflush(progress);
            }
            std::this_thread::sleep_until(std::min(now + ProgressPeriod, Taker.Start + duration));
        }
        OnThread([&] { Device->Release(); });
        Device = nullptr;
        if (progress)
            std::fputc('\n', progress);
        ok = ok && Drain(writer, error) && writer.Finish(error);
        summary->Reports = writer.GetInputCount();
        summary->ConnectionLost = Taker.Lost || !Log->LastLineWith("Lost connection").empty();
        return ok;
    }

private:
    void OnThread(const std::function<void()>& f) {
        Manager->QueueOf()->PushCommand(CallOnThread(&f));
    }

    bool OpenTracker(const std::string& wanted, Recording* header, RecordSummary* summary,
                     std::string* error) {
        Linux::HIDDeviceManager* hid = Manager->GetHIDDeviceManager();
        TrackerFinder finder;
        finder.Wanted = wanted;
        OnThread([&] {
            if (!hid || !hid->Enumerate(&finder) || finder.Found.empty())
                return;
            Taker.Start = Clock::now();
            Device = hid->Open(finder.Found.front().Path);
            if (!Device)
                return;
            Device->SetHandler(&Taker);
            const std::pair<std::uint8_t, std::size_t> features[] = {
                {SensorReport_Config, SensorConfigReport::PacketSize},
                {SensorReport_Range, SensorRangeReport::PacketSize},
                {SensorReport_DisplayInfo, SensorDisplayInfo::PacketSize},
            };
            for (const auto& feature : features) {
                std::uint8_t buffer[SensorDisplayInfo::PacketSize] = {feature.first};
                header->Features.push_back({feature.first, {}});
                if (Device->GetFeature(buffer, static_cast<std::uint32_t>(feature.second)))
                    header->Features.back().Bytes.assign(buffer, buffer + feature.second);
            }
        });
        if (finder.Found.empty()) {
            if (!Log->LastLineWith("permission denied").empty())
                return Fail(error, "no tracker could be opened: " + std::string(DeniedHelp));
            return Fail(error, wanted.empty()
                                   ? "no tracker found (USB ids 2833:0001 or 0483:5750); is "
                                     "the headset plugged in?"
                                   : "no tracker at " + wanted);
        }
        const HidDeviceRecord& record = finder.Found.front();
        summary->Path = record.Path.ToCStr();
        if (!Device) {
            if (!Log->LastLineWith("permission denied").empty())
                return Fail(error, "cannot open " + summary->Path + ": " + DeniedHelp);
            std::string why = Log->LastLineWith("Cannot open");
            if (why.empty())
                why = Log->LastLineWith("Failed to open");
            return Fail(error, "cannot open " + summary->Path + (why.empty() ? "" : ": " + why));
        }
        header->Device.VendorId = record.VendorId;
        header->Device.ProductId = record.ProductId;
        header->Device.VersionNumber = record.VersionNumber;
        header->Device.Manufacturer = record.Manufacturer.ToCStr();
        header->Device.Product = record.Product.ToCStr();
        header->Device.SerialNumber = record.SerialNumber.ToCStr();
        SendKeepAlive(summary);
        return true;
    }

    void SendKeepAlive(RecordSummary* summary) {
        std::uint8_t report[SensorKeepAliveReport::PacketSize];
        SensorKeepAliveReport().Pack(report, sizeof report);
        bool sent = false;
        OnThread([&] { sent = Device->SetFeature(report, sizeof report); });
        summary->KeepAlives += sent ? 1 : 0;
    }

    bool Drain(RecordingWriter& writer, std::string* error) {
        for (const Recording::Input& input : Taker.Take())
            if (!writer.Add(input.TimeUs, input.Bytes.data(), input.Bytes.size()))
                return Fail(error, "cannot write the recording (disk full?)");
        return true;
    }

    Linux::DeviceManager* Manager;
    LogText* Log;
    ReportTaker Taker;
    HIDDevice* Device = nullptr;
};

bool ParseSeconds(const char* text, double* seconds) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != 0 || !(value > 0 && value <= RecordOptions::MaxSeconds))
        return false;
    *seconds = value;
    return true;
}

} // namespace

const char* RecordUsage() {
    return "Usage: visor_record [--seconds N] [--device /dev/hidrawN] OUTPUT\n"
           "Records the headset tracker's input reports, with their arrival times and the\n"
           "feature reports read at the start, into OUTPUT (see RECORDING.md).\n"
           "  --seconds N    how long to record (default 10, at most a day); Ctrl-C ends early\n"
           "  --device PATH  the tracker's hidraw node, when several trackers are plugged in\n"
           "  --help         this text\n";
}

bool ParseRecordOptions(int argc, const char* const* argv, RecordOptions* options,
                        std::string* error) {
    *options = RecordOptions();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            options->Help = true;
        } else if (arg == "--seconds") {
            if (!hasValue || !ParseSeconds(argv[++i], &options->Seconds))
                return Fail(error, "--seconds needs a number of seconds above 0, at most 86400");
        } else if (arg == "--device") {
            if (!hasValue || argv[i + 1][0] == 0)
                return Fail(error, "--device needs a path such as /dev/hidraw0");
            options->Device = argv[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Fail(error, "unknown option '" + arg + "'");
        } else if (!options->Output.empty()) {
            return Fail(error,
                        "only one output file, got '" + options->Output + "' and '" + arg + "'");
        } else {
            options->Output = arg;
        }
    }
    if (options->Output.empty() && !options->Help)
        return Fail(error, "no output file given");
    return true;
}

bool RunRecorder(const RecordOptions& options, const std::atomic<bool>* stop, std::FILE* progress,
                 RecordSummary* summary, std::string* error) {
    *summary = RecordSummary();
    if (!System::IsInitialized())
        return Fail(error, "the HMD library is not initialised");
    LogText log;
    Log::SetOutputSink(&LogText::Capture, &log);
    auto* manager = static_cast<Linux::DeviceManager*>(DeviceManager::Create());
    bool recorded = false;
    if (!manager) {
        Fail(error, "cannot start the device thread");
    } else {
        recorded = Recorder(manager, &log).Run(options, stop, progress, summary, error);
        manager->Release();
        Thread::FinishAllThreads();
    }
    Log::SetOutputSink(nullptr, nullptr);
    return recorded;
}

} // namespace Visor
