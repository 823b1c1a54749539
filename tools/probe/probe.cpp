// visor_probe's work: its command line, the device listing with the reasons nodes cannot be
// opened (taken from the library's own log lines), and the fused orientation stream.
#include "tools/probe/probe.h"

#include "hmd/devices/hid_device_create_desc.h"
#include "hmd/devices/log.h"
#include "hmd/devices/system.h"
#include "hmd/devices/threads.h"
#include "hmd/tracking/hmd_device.h"
#include "hmd/tracking/latency_tester.h"
#include "hmd/tracking/sensor_device.h"
#include "hmd/tracking/sensor_fusion.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace Visor {

namespace {

using Clock = std::chrono::steady_clock;
constexpr double Pi = 3.14159265358979323846;
constexpr double MaxPrintRate = 1000;

bool Fail(std::string* error, std::string what) {
    if (error)
        *error = std::move(what);
    return false;
}

// A number within (0, max], the whole text taken.
bool ParsePositive(const char* text, double max, double* value) {
    if (!text || !*text)
        return false;
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (*end != 0 || !(v > 0) || v > max)
        return false;
    *value = v;
    return true;
}

// One headset node the library could not open, as its log line says.
struct OpenFailure {
    std::string Path;
    std::string Line; // the library's own line, without its line break
};

// The library's log while a probe runs: kept, not shown, so that failures can be explained per
// node in the tool's words next to the library's line.
class LogCapture {
public:
    LogCapture() { Log::SetOutputSink(&LogCapture::Take, this); }
    ~LogCapture() { Log::SetOutputSink(nullptr, nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Every open failure logged so far, one per node (the latest line wins).
    std::vector<OpenFailure> Failures() const {
        static const char* const Markers[] = {"Cannot open '", "Failed to open HIDDevice: '",
                                              "Failed to reopen a device '"};
        std::vector<OpenFailure> found;
        std::lock_guard<std::mutex> lock(M);
        for (const std::string& line : Lines) {
            for (const char* marker : Markers) {
                const std::size_t at = line.find(marker);
                if (at == std::string::npos)
                    continue;
                const std::size_t begin = at + std::strlen(marker);
                const std::size_t end = line.find('\'', begin);
                if (end == std::string::npos)
                    continue;
                OpenFailure failure{line.substr(begin, end - begin), line};
                auto same = std::find_if(found.begin(), found.end(), [&](const OpenFailure& f) {
                    return f.Path == failure.Path;
                });
                if (same != found.end())
                    *same = failure;
                else
                    found.push_back(failure);
                break;
            }
        }
        return found;
    }

private:
    static void Take(void* user, LogMessageType, const char* text) {
        auto* self = static_cast<LogCapture*>(user);
        std::lock_guard<std::mutex> lock(self->M);
        const char* line = text;
        while (*line) {
            const char* end = std::strchr(line, '\n');
            const std::size_t length = end ? std::size_t(end - line) : std::strlen(line);
            if (length)
                self->Lines.emplace_back(line, length);
            line += length + (end ? 1 : 0);
        }
    }

    mutable std::mutex M;
    std::vector<std::string> Lines;
};

// The reason and its fix in the tool's words, by what the library's line says.
const char* ExplainFailure(const std::string& line) {
    if (line.find("permission denied") != std::string::npos)
        return "permission denied: this user may not open the node. Install the udev rule "
               "hmd/devices/udev/70-visor-headset.rules and replug the headset (README.md, "
               "\"Headset access\").";
    if (line.find("another program holds it") != std::string::npos)
        return "busy: another program holds it (a running demo, visor_record or a second "
               "visor_probe). Close that program and try again.";
    return "it could not be opened; the library's line below says why.";
}

void PrintFailure(std::FILE* out, const OpenFailure& failure, const char* indent) {
    std::fprintf(out, "%sReason:          %s\n", indent, ExplainFailure(failure.Line));
    std::fprintf(out, "%sLibrary said:    %s\n", indent, failure.Line.c_str());
}

std::string NodeOf(const DeviceCreateDesc* desc) {
    const auto* hid = dynamic_cast<const HIDDeviceCreateDesc*>(desc);
    return hid ? hid->HidDesc.Path.ToCStr() : std::string();
}

void PrintCommon(std::FILE* out, const DeviceInfoRecord& info) {
    std::fprintf(out, "  Product:         %s\n", info.Product);
    std::fprintf(out, "  Manufacturer:    %s\n", info.Manufacturer);
}

void PrintHmd(std::FILE* out, const HmdParameters& p) {
    // A display described by tracker data alone has no output name.
    std::fprintf(out, "Headset display: %s\n", p.DisplayName[0] ? p.DisplayName : p.Product);
    PrintCommon(out, p);
    std::fprintf(out, "  Display name:    %s\n", p.DisplayName[0] ? p.DisplayName : "(none)");
    std::fprintf(out, "  Resolution:      %u x %u\n", unsigned(p.ResolutionH),
                 unsigned(p.ResolutionV));
    std::fprintf(out, "  Screen size:     %.2f x %.2f mm (vertical centre %.2f mm)\n",
                 p.ScreenSizeH * 1000.0, p.ScreenSizeV * 1000.0, p.ScreenCenterV * 1000.0);
    std::fprintf(out, "  Eye to screen:   %.2f mm\n", p.EyeToScreen * 1000.0);
    std::fprintf(out, "  Lens separation: %.2f mm\n", p.LensSeparation * 1000.0);
    std::fprintf(out, "  IPD:             %.2f mm\n", p.EyeSeparation * 1000.0);
    std::fprintf(out, "  Distortion:      %.4f %.4f %.4f %.4f\n", double(p.DistortionCoeffs[0]),
                 double(p.DistortionCoeffs[1]), double(p.DistortionCoeffs[2]),
                 double(p.DistortionCoeffs[3]));
    std::fprintf(out, "  Chroma:          %.4f %.4f %.4f %.4f\n", double(p.ChromaCoeffs[0]),
                 double(p.ChromaCoeffs[1]), double(p.ChromaCoeffs[2]), double(p.ChromaCoeffs[3]));
    std::fprintf(out, "  Desktop at:      %d, %d\n", int(p.DesktopX), int(p.DesktopY));
}

void PrintIds(std::FILE* out, const DeviceInfoRecord& info, std::uint16_t vendorId,
              std::uint16_t productId, const char* serial) {
    PrintCommon(out, info);
    std::fprintf(out, "  Vendor id:       0x%04X\n", unsigned(vendorId));
    std::fprintf(out, "  Product id:      0x%04X\n", unsigned(productId));
    std::fprintf(out, "  Serial number:   %s\n", serial[0] ? serial : "(none)");
}

void PrintTracker(std::FILE* out, const std::string& node, const TrackerInfo& t) {
    std::fprintf(out, "Tracker: %s\n", node.c_str());
    PrintIds(out, t, t.VendorId, t.ProductId, t.SerialNumber);
    std::fprintf(out,
                 "  Max ranges:      accelerometer %.2f m/s^2, gyroscope %.2f rad/s (%.0f deg/s), "
                 "magnetometer %.2f\n",
                 double(t.MaxRanges.MaxAccel), double(t.MaxRanges.MaxRotation),
                 t.MaxRanges.MaxRotation * 180.0 / Pi, double(t.MaxRanges.MaxField));
}

void PrintLatencyTester(std::FILE* out, const std::string& node, const LatencyTestInfo& l) {
    std::fprintf(out, "Latency tester: %s\n", node.c_str());
    PrintIds(out, l, l.VendorId, l.ProductId, l.SerialNumber);
}

// Opens the device to find out whether this user can; prints the result and, on failure, why.
void CheckOpens(std::FILE* out, DescHandle& handle, const std::string& node, const LogCapture& log,
                std::vector<std::string>* explained) {
    if (DeviceBase* device = handle.CreateDevice()) {
        device->Release();
        std::fputs("  Opens:           yes\n", out);
        return;
    }
    std::fputs("  Opens:           no\n", out);
    for (const OpenFailure& failure : log.Failures()) {
        if (failure.Path == node) {
            PrintFailure(out, failure, "  ");
            explained->push_back(node);
            return;
        }
    }
    std::fputs("  Reason:          unknown; the library logged nothing about it.\n", out);
    explained->push_back(node);
}

// Each device of one kind: its record, then whether it opens.
template <typename Record>
void PrintHidDevices(std::FILE* out, std::vector<DescHandle>& handles,
                     void (*print)(std::FILE*, const std::string&, const Record&),
                     const LogCapture& log, std::vector<std::string>* explained) {
    for (DescHandle& h : handles) {
        Record record;
        const std::string node = NodeOf(h.GetDesc());
        if (h.GetDeviceInfo(&record)) {
            print(out, node, record);
            CheckOpens(out, h, node, log, explained);
            std::fputc('\n', out);
        }
    }
}

const char* const NothingFoundHelp =
    "No headset device was found. Check that:\n"
    "  - the headset is plugged in (USB and video) and its control box is switched on;\n"
    "  - its tracker shows up as a HID node: ls -l /dev/hidraw* (lsusb lists vendor 2833);\n"
    "  - this user may open those nodes: README.md, \"Headset access\" (the udev rule);\n"
    "  - to try the tool without a headset: visor_probe --virtual\n";

// The manager for one probe, released with its device thread at the end.
struct ManagerHold {
    ManagerHold() : Manager(DeviceManager::Create()) {}
    ~ManagerHold() {
        if (Manager) {
            Manager->Release();
            Thread::FinishAllThreads();
        }
    }
    ManagerHold(const ManagerHold&) = delete;
    ManagerHold& operator=(const ManagerHold&) = delete;
    DeviceManager* Manager;
};

bool StartProbe(std::FILE* out) {
    if (System::IsInitialized())
        return true;
    std::fputs("visor_probe: the HMD library is not initialised\n", out);
    return false;
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

} // namespace

const char* ProbeUsage() {
    return "Usage: visor_probe [--stream [--rate HZ] [--seconds S]] [--virtual[=SCRIPT]]\n"
           "Lists the headset's devices (display, tracker, latency tester) with what the\n"
           "library reads from them, and says why a device node cannot be opened.\n"
           "  --stream       print the tracker's fused orientation instead; Ctrl-C stops\n"
           "  --rate HZ      orientation lines per second (default 10, at most 1000)\n"
           "  --seconds S    stop streaming after S seconds (default: until Ctrl-C)\n"
           "  --virtual      probe the virtual headset instead of hardware (needs umockdev);\n"
           "                 its tracker turns slowly, or follows the motion script SCRIPT\n"
           "                 (tools/virtual_headset/motion_script.h describes the format)\n"
           "  --help         this text\n"
           "Exit status: 0 when a device was listed or streamed, 1 when none was found or the\n"
           "tracker could not be opened, 2 for a bad command line or a library failure.\n";
}

bool ParseProbeOptions(int argc, const char* const* argv, ProbeOptions* options,
                       std::string* error) {
    *options = ProbeOptions();
    bool rateGiven = false, secondsGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        // "--rate=20" reads as "--rate 20".
        const std::size_t equals = arg.find('=');
        const bool joined = equals != std::string::npos && arg.compare(0, 2, "--") == 0;
        std::string value = joined ? arg.substr(equals + 1) : std::string();
        if (joined)
            arg.resize(equals);
        auto takeValue = [&](const char** text) {
            if (joined) {
                *text = argv[i] + equals + 1;
                return true;
            }
            if (i + 1 >= argc)
                return false;
            *text = argv[++i];
            return true;
        };
        const char* text = nullptr;
        if (arg == "--help" || arg == "-h") {
            if (joined)
                return Fail(error, "--help takes no value");
            options->Help = true;
        } else if (arg == "--stream") {
            if (joined)
                return Fail(error, "--stream takes no value");
            options->Stream = true;
        } else if (arg == "--rate") {
            if (!takeValue(&text) || !ParsePositive(text, MaxPrintRate, &options->RateHz))
                return Fail(error, "--rate needs lines per second above 0, at most 1000");
            rateGiven = true;
        } else if (arg == "--seconds") {
            if (!takeValue(&text) ||
                !ParsePositive(text, ProbeOptions::MaxSeconds, &options->Seconds))
                return Fail(error, "--seconds needs a number of seconds above 0, at most 86400");
            secondsGiven = true;
        } else if (arg == "--virtual") {
            if (joined && value.empty())
                return Fail(error, "--virtual= needs a motion script file");
            options->Virtual = true;
            options->Script = value;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Fail(error, "unknown option '" + arg + "'");
        } else {
            return Fail(error, "unexpected argument '" + arg + "'");
        }
    }
    if ((rateGiven || secondsGiven) && !options->Stream)
        return Fail(error, std::string(rateGiven ? "--rate" : "--seconds") +
                               " only applies with --stream");
    return true;
}

void QuatToYawPitchRoll(float x, float y, float z, float w, double* yaw, double* pitch,
                        double* roll) {
    const double X = x, Y = y, Z = z, W = w;
    const double sinPitch = std::clamp(2 * (W * X - Y * Z), -1.0, 1.0);
    *yaw = std::atan2(2 * (X * Z + W * Y), 1 - 2 * (X * X + Y * Y)) * 180 / Pi;
    *pitch = std::asin(sinPitch) * 180 / Pi;
    *roll = std::atan2(2 * (X * Y + W * Z), 1 - 2 * (X * X + Z * Z)) * 180 / Pi;
}

ProbeStatus ProbeDevices(std::FILE* out) {
    if (!StartProbe(out))
        return Probe_Failed;
    LogCapture log;
    ManagerHold hold;
    if (!hold.Manager) {
        std::fputs("visor_probe: cannot start the library's device thread\n", out);
        return Probe_Failed;
    }
    std::vector<DescHandle> hmds, trackers, testers;
    DescEnumerator e = hold.Manager->Enumerate(Type_All, true);
    while (!e.IsEmpty()) {
        switch (e.GetType()) {
        case Type_HMD:
            hmds.push_back(e);
            break;
        case Type_Sensor:
            trackers.push_back(e);
            break;
        case Type_LatencyTester:
            testers.push_back(e);
            break;
        default:
            break;
        }
        if (!e.Next())
            break;
    }

    std::vector<std::string> explained;
    for (DescHandle& h : hmds) {
        HmdParameters p;
        if (h.GetDeviceInfo(&p)) {
            PrintHmd(out, p);
            std::fputc('\n', out);
        }
    }
    PrintHidDevices<TrackerInfo>(out, trackers, PrintTracker, log, &explained);
    PrintHidDevices<LatencyTestInfo>(out, testers, PrintLatencyTester, log, &explained);
    // Nodes the enumeration could not even read: the library passes them over, so only its
    // log says they are there.
    unsigned unlisted = 0;
    for (const OpenFailure& failure : log.Failures()) {
        if (std::find(explained.begin(), explained.end(), failure.Path) != explained.end())
            continue;
        std::fprintf(out, "Headset node that cannot be read: %s\n", failure.Path.c_str());
        PrintFailure(out, failure, "  ");
        std::fputc('\n', out);
        ++unlisted;
    }

    const std::size_t listed = hmds.size() + trackers.size() + testers.size();
    std::fprintf(out, "Found %zu headset display%s, %zu tracker%s, %zu latency tester%s.\n",
                 hmds.size(), hmds.size() == 1 ? "" : "s", trackers.size(),
                 trackers.size() == 1 ? "" : "s", testers.size(), testers.size() == 1 ? "" : "s");
    const std::size_t unopened = explained.size() + unlisted;
    if (unopened)
        std::fprintf(out, "%zu headset node%s cannot be opened by this user now (see above).\n",
                     unopened, unopened == 1 ? "" : "s");
    if (listed)
        return Probe_Found;
    if (!unopened)
        std::fputs(NothingFoundHelp, out);
    return Probe_NothingFound;
}

ProbeStatus StreamOrientation(const ProbeOptions& options, const std::atomic<bool>* stop,
                              std::FILE* out, StreamSummary* summary) {
    *summary = StreamSummary();
    if (!StartProbe(out))
        return Probe_Failed;
    LogCapture log;
    ManagerHold hold;
    if (!hold.Manager) {
        std::fputs("visor_probe: cannot start the library's device thread\n", out);
        return Probe_Failed;
    }
    // The headset display's own way to its tracker first, as the demo opens it.
    HMDDevice* hmd = nullptr;
    SensorDevice* sensor = nullptr;
    DescEnumerator displays = hold.Manager->Enumerate(Type_HMD, true);
    if (!displays.IsEmpty())
        hmd = static_cast<HMDDevice*>(displays.CreateDevice());
    if (hmd)
        sensor = hmd->OpenSensor();
    if (!sensor) {
        DescEnumerator trackers = hold.Manager->Enumerate(Type_Sensor, true);
        if (!trackers.IsEmpty())
            sensor = static_cast<SensorDevice*>(trackers.CreateDevice());
    }
    if (!sensor) {
        if (hmd)
            hmd->Release();
        const std::vector<OpenFailure> failures = log.Failures();
        for (const OpenFailure& failure : failures) {
            std::fprintf(out, "Headset node %s cannot be opened.\n", failure.Path.c_str());
            PrintFailure(out, failure, "  ");
        }
        if (failures.empty()) {
            std::fputs("No tracker was found.\n", out);
            std::fputs(NothingFoundHelp, out);
        }
        return Probe_NothingFound;
    }

    TrackerInfo info;
    sensor->QueryInfo(&info);
    summary->TrackerRate = sensor->GetRate();
    const std::string rate =
        summary->TrackerRate ? "reports " + std::to_string(summary->TrackerRate) + " times a second"
                             : "its report rate cannot be read";
    std::fprintf(out, "Tracker %s (%s, serial %s) %s%s.\n", info.Product,
                 NodeOf(sensor->GetCommon()->Desc.GetDesc()).c_str(),
                 info.SerialNumber[0] ? info.SerialNumber : "none", rate.c_str(),
                 hmd ? ", opened through the headset display" : "");
    std::fprintf(out, "Fused orientation %g times a second; %s.\n", options.RateHz,
                 options.Seconds > 0 ? "stops when the time is up or on Ctrl-C" : "Ctrl-C stops");
    std::fputs("   time  quaternion x       y       z       w     yaw    pitch     roll   "
               "frames/s\n",
               out);
    std::fflush(out);

    SensorFusion fusion;
    fusion.AttachSensor(sensor);
    const auto start = Clock::now();
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / options.RateHz));
    const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(options.Seconds));
    auto nextPrint = start + period;
    auto lastPrint = start;
    std::uint32_t lastSteps = 0;
    bool printed = false;
    for (;;) {
        const bool interrupted = stop && stop->load();
        const auto now = Clock::now();
        const bool timeUp = options.Seconds > 0 && now >= end;
        if (now >= nextPrint || timeUp || interrupted) {
            const Quatf q = fusion.ReadOrientation();
            const std::uint32_t steps = fusion.GetStepCount();
            double yaw = 0, pitch = 0, roll = 0;
            QuatToYawPitchRoll(q.x, q.y, q.z, q.w, &yaw, &pitch, &roll);
            const double span = Seconds(now - lastPrint);
            const double rate = span > 0 ? (steps - lastSteps) / span : 0;
            std::fprintf(out, "%6.2fs  % .4f % .4f % .4f % .4f  %7.2f  %7.2f  %7.2f  %9.0f\n",
                         Seconds(now - start), double(q.x), double(q.y), double(q.z), double(q.w),
                         yaw, pitch, roll, rate);
            std::fflush(out);
            if (!printed)
                summary->FirstYawDeg = yaw;
            printed = true;
            summary->LastYawDeg = yaw;
            summary->Frames = steps;
            summary->Seconds = Seconds(now - start);
            lastSteps = steps;
            lastPrint = now;
            while (nextPrint <= now)
                nextPrint += period;
        }
        if (timeUp || interrupted)
            break;
        // Short naps so that Ctrl-C is noticed quickly at slow print rates.
        auto wake = std::min(nextPrint, now + std::chrono::milliseconds(20));
        if (options.Seconds > 0)
            wake = std::min(wake, end);
        std::this_thread::sleep_until(wake);
    }
    fusion.AttachSensor(nullptr);
    sensor->Release();
    if (hmd)
        hmd->Release();
    summary->FrameRate = summary->Seconds > 0 ? summary->Frames / summary->Seconds : 0;
    std::fprintf(
        out, "Streamed %.1f s: %u body frames, %.0f a second; yaw went from %.1f to %.1f deg.\n",
        summary->Seconds, summary->Frames, summary->FrameRate, summary->FirstYawDeg,
        summary->LastYawDeg);
    return Probe_Found;
}

} // namespace Visor
