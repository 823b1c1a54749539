// Software inertial tracker: feature-report state and the sensors report stream.
#include "tools/virtual_headset/virtual_tracker.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace Visor {

namespace {

constexpr float Gravity = 9.81f;
constexpr float CountsPerUnit = 10000.0f; // one raw count is 0.0001 of the physical unit

template <std::size_t N> std::uint16_t SnapToStep(unsigned value, const std::uint16_t (&steps)[N]) {
    for (std::uint16_t step : steps)
        if (step >= value)
            return step;
    return steps[N - 1];
}

std::int32_t ToCounts(float value, float limit) {
    // Not-a-number reads as zero rather than as whatever a clamp and a cast would make of it.
    if (std::isnan(value))
        return 0;
    const float clamped = std::max(-limit, std::min(limit, value));
    return static_cast<std::int32_t>(std::lround(clamped * CountsPerUnit));
}

std::int16_t ToInt16(float value) {
    if (std::isnan(value))
        return 0;
    const float clamped = std::max(-32768.0f, std::min(32767.0f, std::round(value)));
    return static_cast<std::int16_t>(clamped);
}

} // namespace

VirtualTracker::Motion VirtualTracker::Still() {
    Motion motion;
    motion.Accel[1] = Gravity;
    motion.Field[0] = 0.2f;
    motion.Field[1] = -0.4f;
    motion.Temperature = 25.0f;
    return motion;
}

VirtualHidDevice::Identity VirtualTracker::DefaultIdentity() {
    Identity identity;
    identity.VendorId = VendorId;
    identity.ProductId = ProductId;
    identity.VersionNumber = 0x0100;
    identity.Manufacturer = "Visor VR";
    identity.Product = "Visor One Tracker";
    identity.SerialNumber = "VT0000000001";
    return identity;
}

std::vector<std::uint8_t> VirtualTracker::TrackerReportDescriptor() {
    // One vendor application collection of byte fields; each report's count excludes its id.
    return {
        0x06, 0x00,
        0xFF,       // Usage Page (vendor 0xFF00)
        0x09, 0x01, // Usage (1)
        0xA1, 0x01, // Collection (Application)
        0x15, 0x00, //   Logical Minimum (0)
        0x26, 0xFF,
        0x00,                       //   Logical Maximum (255)
        0x75, 0x08,                 //   Report Size (8)
        0x85, SensorReport_Sensors, //   Report ID (1)
        0x95, SensorReportSize - 1, //   Report Count (61)
        0x09, 0x01,
        0x81, 0x02,                //   Usage (1), Input (Data, Variable, Absolute)
        0x85, SensorReport_Config, //   Report ID (2)
        0x95, SensorConfigReport::PacketSize - 1,
        0x09, 0x02,
        0xB1, 0x02,               //   Usage (2), Feature (Data, Variable, Absolute)
        0x85, SensorReport_Range, //   Report ID (4)
        0x95, SensorRangeReport::PacketSize - 1,
        0x09, 0x04,
        0xB1, 0x02,                   //   Usage (4), Feature
        0x85, SensorReport_KeepAlive, //   Report ID (8)
        0x95, SensorKeepAliveReport::PacketSize - 1,
        0x09, 0x08,
        0xB1, 0x02,                     //   Usage (8), Feature
        0x85, SensorReport_DisplayInfo, //   Report ID (9)
        0x95, SensorDisplayInfo::PacketSize - 1,
        0x09, 0x09,
        0xB1, 0x02, //   Usage (9), Feature
        0xC0,       // End Collection
    };
}

SensorDisplayInfo VirtualTracker::DefaultDisplayInfo() {
    SensorDisplayInfo info;
    info.DisplayFormat = SensorDisplayInfo::Format_Distortion;
    info.ResolutionH = 1280;
    info.ResolutionV = 800;
    info.ScreenSizeH = 0.14976f;
    info.ScreenSizeV = 0.0936f;
    info.ScreenCenterV = 0.0468f;
    info.LensSeparation = 0.0635f;
    info.EyeToScreenDistance[0] = 0.041f;
    info.EyeToScreenDistance[1] = 0.041f;
    const float coefficients[6] = {1.0f, 0.22f, 0.24f, 0.0f, 0.0f, 0.0f};
    std::copy(coefficients, coefficients + 6, info.DistortionCoeffs);
    return info;
}

VirtualTracker::VirtualTracker(const Identity& identity)
    : VirtualHidDevice(identity, TrackerReportDescriptor()), DisplayInfo(DefaultDisplayInfo()),
      SteadyMotion(Still()) {
    Config.PacketInterval = 0;
    Config.KeepAliveIntervalMs = SensorKeepAliveReport::DefaultIntervalMs;
    Range.AccelScale = 4;
    Range.GyroScale = 2000;
    Range.MagScale = 1300;
    // A tracker streams from power-up until its first keep-alive interval runs out.
    StreamUntilMs = Config.KeepAliveIntervalMs;
}

int VirtualTracker::GetFeature(std::uint8_t* buffer, std::size_t size) {
    if (!buffer || size == 0)
        return -1;
    std::uint8_t report[SensorDisplayInfo::PacketSize] = {};
    bool packed = false;
    std::size_t length = 0;
    {
        std::lock_guard<std::mutex> lock(Lock);
        switch (buffer[0]) {
        case SensorReport_Config:
            packed = Config.Pack(report, sizeof report);
            length = SensorConfigReport::PacketSize;
            break;
        case SensorReport_Range:
            packed = Range.Pack(report, sizeof report);
            length = SensorRangeReport::PacketSize;
            break;
        case SensorReport_DisplayInfo:
            packed = DisplayInfo.Pack(report, sizeof report);
            length = SensorDisplayInfo::PacketSize;
            break;
        default:
            break;
        }
    }
    if (!packed)
        return -1;
    length = std::min(length, size);
    std::memcpy(buffer, report, length);
    return static_cast<int>(length);
}

bool VirtualTracker::SetFeature(const std::uint8_t* data, std::size_t size) {
    if (!data || size == 0)
        return false;
    std::lock_guard<std::mutex> lock(Lock);
    switch (data[0]) {
    case SensorReport_Config: {
        SensorConfigReport config;
        if (!config.Unpack(data, size))
            return false;
        if (IgnoresSensorCoordinates)
            config.SetSensorCoordinates(false);
        Config = config;
        break;
    }
    case SensorReport_Range: {
        SensorRangeReport range;
        if (!range.Unpack(data, size))
            return false;
        Range.AccelScale = static_cast<std::uint8_t>(SnapToStep(range.AccelScale, {2, 4, 8, 16}));
        Range.GyroScale = SnapToStep(range.GyroScale, {250, 500, 1000, 2000});
        Range.MagScale = SnapToStep(range.MagScale, {880, 1300, 1900, 2500});
        break;
    }
    case SensorReport_KeepAlive: {
        SensorKeepAliveReport keepAlive;
        if (!keepAlive.Unpack(data, size))
            return false;
        Config.KeepAliveIntervalMs = keepAlive.KeepAliveIntervalMs;
        StreamUntilMs = ClockMs + keepAlive.KeepAliveIntervalMs;
        ++KeepAliveCount;
        break;
    }
    default:
        return false;
    }
    LastCommandId = static_cast<std::uint16_t>(data[1] | (data[2] << 8));
    return true;
}

SensorConfigReport VirtualTracker::GetConfig() const {
    std::lock_guard<std::mutex> lock(Lock);
    return Config;
}

void VirtualTracker::SetConfig(const SensorConfigReport& config) {
    std::lock_guard<std::mutex> lock(Lock);
    Config = config;
}

SensorRangeReport VirtualTracker::GetRange() const {
    std::lock_guard<std::mutex> lock(Lock);
    return Range;
}

void VirtualTracker::SetRange(const SensorRangeReport& range) {
    std::uint8_t report[SensorRangeReport::PacketSize];
    if (range.Pack(report, sizeof report))
        SetFeature(report, sizeof report);
}

SensorDisplayInfo VirtualTracker::GetDisplayInfo() const {
    std::lock_guard<std::mutex> lock(Lock);
    return DisplayInfo;
}

void VirtualTracker::SetDisplayInfo(const SensorDisplayInfo& info) {
    std::lock_guard<std::mutex> lock(Lock);
    DisplayInfo = info;
}

void VirtualTracker::SetIgnoresSensorCoordinates(bool ignores) {
    std::lock_guard<std::mutex> lock(Lock);
    IgnoresSensorCoordinates = ignores;
    if (ignores)
        Config.SetSensorCoordinates(false);
}

unsigned VirtualTracker::GetKeepAliveCount() const {
    std::lock_guard<std::mutex> lock(Lock);
    return KeepAliveCount;
}

void VirtualTracker::QueueSamples(const SensorSample* samples, std::size_t count) {
    std::lock_guard<std::mutex> lock(Lock);
    PendingSamples.insert(PendingSamples.end(), samples, samples + count);
}

void VirtualTracker::SetSampleSource(SampleSource source) {
    std::lock_guard<std::mutex> lock(Lock);
    Source = std::move(source);
}

void VirtualTracker::SetMotion(const Motion& motion) {
    std::lock_guard<std::mutex> lock(Lock);
    SteadyMotion = motion;
}

void VirtualTracker::SetTimestamp(std::uint16_t timestamp) {
    std::lock_guard<std::mutex> lock(Lock);
    NextTimestamp = timestamp;
}

void VirtualTracker::DropReports(unsigned count) {
    std::lock_guard<std::mutex> lock(Lock);
    DropCount += count;
}

bool VirtualTracker::IsStreaming() const {
    std::lock_guard<std::mutex> lock(Lock);
    return ClockMs < StreamUntilMs;
}

void VirtualTracker::ClampToRange(SensorSample* sample) const {
    const std::int32_t accelLimit = Range.AccelScale * 98100;
    const std::int32_t rateLimit = ToCounts(Range.GyroScale * DegreeToRadFactor, 1e9f);
    for (std::int32_t* axis : {&sample->AccelX, &sample->AccelY, &sample->AccelZ})
        *axis = std::max(-accelLimit, std::min(accelLimit, *axis));
    for (std::int32_t* axis : {&sample->GyroX, &sample->GyroY, &sample->GyroZ})
        *axis = std::max(-rateLimit, std::min(rateLimit, *axis));
}

SensorSample VirtualTracker::SampleFromMotion() const {
    const float accelLimit = Range.AccelScale * Gravity;
    const float rateLimit = Range.GyroScale * DegreeToRadFactor;
    SensorSample sample;
    sample.AccelX = ToCounts(SteadyMotion.Accel[0], accelLimit);
    sample.AccelY = ToCounts(SteadyMotion.Accel[1], accelLimit);
    sample.AccelZ = ToCounts(SteadyMotion.Accel[2], accelLimit);
    sample.GyroX = ToCounts(SteadyMotion.Rate[0], rateLimit);
    sample.GyroY = ToCounts(SteadyMotion.Rate[1], rateLimit);
    sample.GyroZ = ToCounts(SteadyMotion.Rate[2], rateLimit);
    return sample;
}

unsigned VirtualTracker::Advance(unsigned milliseconds) {
    std::vector<std::uint8_t> reports;
    unsigned sent = 0;
    {
        std::lock_guard<std::mutex> lock(Lock);
        const unsigned perReport = Config.PacketInterval + 1u;
        for (unsigned i = 0; i < milliseconds; ++i) {
            const bool streaming = ClockMs < StreamUntilMs;
            ++ClockMs;
            SensorSample sample;
            bool sourced = false;
            if (PendingSamples.empty() && Source) {
                sourced = Source(&sample);
                if (sourced)
                    ClampToRange(&sample);
                else
                    Source = nullptr;
            }
            if (!streaming) {
                // The sensors keep counting while nothing is sent.
                ++NextTimestamp;
                WindowCount = 0;
                continue;
            }
            if (!PendingSamples.empty()) {
                sample = PendingSamples.front();
                PendingSamples.pop_front();
            } else if (!sourced) {
                sample = SampleFromMotion();
            }
            if (WindowCount == 0)
                WindowTimestamp = NextTimestamp;
            ++NextTimestamp;
            if (WindowCount >= 3)
                std::copy(Window + 1, Window + 3, Window);
            Window[std::min(WindowCount, 2u)] = sample;
            ++WindowCount;
            if (WindowCount < perReport)
                continue;

            SensorReport report;
            report.SampleCount = static_cast<std::uint8_t>(std::min(WindowCount, 255u));
            // The report carries the counter of its first sample, so consecutive reports
            // differ by the previous report's sample count.
            report.Timestamp = WindowTimestamp;
            report.LastCommandId = LastCommandId;
            report.Temperature = ToInt16(SteadyMotion.Temperature * 100.0f);
            std::copy(Window, Window + std::min(WindowCount, 3u), report.Samples);
            const float fieldLimit = Range.MagScale * 0.001f;
            report.MagX = ToInt16(ToCounts(SteadyMotion.Field[0], fieldLimit));
            report.MagY = ToInt16(ToCounts(SteadyMotion.Field[1], fieldLimit));
            report.MagZ = ToInt16(ToCounts(SteadyMotion.Field[2], fieldLimit));
            WindowCount = 0;
            if (DropCount > 0) {
                --DropCount;
                continue;
            }
            const std::size_t offset = reports.size();
            reports.resize(offset + SensorReportSize);
            PackSensorReport(report, reports.data() + offset, SensorReportSize);
            ++sent;
        }
    }
    // Queued outside the lock: queueing takes it and wakes the listener.
    for (std::size_t offset = 0; offset < reports.size(); offset += SensorReportSize)
        QueueInputReport(reports.data() + offset, SensorReportSize);
    return sent;
}

std::shared_ptr<VirtualHidDevice> MakeVirtualLatencyTester() {
    VirtualHidDevice::Identity identity;
    identity.VendorId = 0x2833;
    identity.ProductId = 0x0101;
    identity.VersionNumber = 0x0100;
    identity.Manufacturer = "Visor VR";
    identity.Product = "Visor Latency Tester";
    identity.SerialNumber = "VL0000000001";
    std::vector<std::uint8_t> descriptor = {
        0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,       // vendor page, usage 1, application
        0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,       // byte fields
        0x85, 0x01, 0x95, 0x3F, 0x09, 0x01, 0x81, 0x02, // input report 1, 63 bytes
        0x85, 0x05, 0x95, 0x04, 0x09, 0x05, 0xB1, 0x02, // feature report 5, 4 bytes
        0x85, 0x06, 0x95, 0x04, 0x09, 0x06, 0xB1, 0x02, // feature report 6, 4 bytes
        0xC0,
    };
    return std::make_shared<VirtualHidDevice>(identity, std::move(descriptor));
}

} // namespace Visor
