// A software inertial tracker: answers the configuration, range, keep-alive and display
// feature reports as the device does and produces its sensors input reports from queued
// samples or from a steady motion, on a clock the caller advances.
//
// Threads: every operation may be called from any thread (a testbed's handler thread and the
// test thread both use it).
#pragma once

#include "hmd/tracking/sensor_reports.h"
#include "tools/virtual_headset/virtual_hid_device.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

namespace Visor {

class VirtualTracker : public VirtualHidDevice {
public:
    enum : std::uint16_t { VendorId = 0x2833, ProductId = 0x0001 };
    // The same tracker also ships under this second pair of ids.
    enum : std::uint16_t { AltVendorId = 0x0483, AltProductId = 0x5750 };

    // Steady motion in the tracker's own axes and physical units: metres per second squared,
    // radians per second, the magnetometer's field unit, degrees.
    struct Motion {
        float Accel[3] = {0, 0, 0};
        float Rate[3] = {0, 0, 0};
        float Field[3] = {0, 0, 0};
        float Temperature = 0;
    };
    // At rest, level: gravity on +Y, a field pointing north and down, room temperature.
    static Motion Still();

    static Identity DefaultIdentity();
    // Vendor-defined device: input report 1 of 62 bytes, feature reports 2, 4, 8 and 9.
    static std::vector<std::uint8_t> TrackerReportDescriptor();
    // A 7-inch 1280 by 800 panel with distortion coefficients.
    static SensorDisplayInfo DefaultDisplayInfo();

    explicit VirtualTracker(const Identity& identity = DefaultIdentity());

    // Feature reports 2, 4 and 9 can be read, 2, 4 and 8 written. Shorter requests get the
    // first size bytes, as a short control transfer would; shorter writes are refused.
    int GetFeature(std::uint8_t* buffer, std::size_t size) override;
    bool SetFeature(const std::uint8_t* data, std::size_t size) override;

    // The device's state, to preset before a test or to inspect after it. SetRange snaps each
    // scale to the steps the sensors support, as a written report 4 does.
    SensorConfigReport GetConfig() const;
    void SetConfig(const SensorConfigReport& config);
    SensorRangeReport GetRange() const;
    void SetRange(const SensorRangeReport& range);
    SensorDisplayInfo GetDisplayInfo() const;
    void SetDisplayInfo(const SensorDisplayInfo& info);
    // Set: the tracker keeps bit 6 of report 2 clear whatever is written, as a tracker that
    // only reports in headset axes does. Samples go out as given either way: the bit is stored,
    // no axes are swapped.
    void SetIgnoresSensorCoordinates(bool ignores);
    // Keep-alive reports received so far.
    unsigned GetKeepAliveCount() const;

    // Samples to send before the steady motion resumes, one per millisecond, oldest first.
    void QueueSamples(const SensorSample* samples, std::size_t count);
    // Gives the sample of each millisecond (whether or not the tracker is streaming, as the
    // sensors keep measuring) once the queued samples are used up; returning false ends it and
    // the steady motion resumes. Called with the tracker's lock held: it must not call back into
    // the tracker. Its samples are clamped to the configured range, as saturated sensors read.
    // Null clears it.
    using SampleSource = std::function<bool(SensorSample* sample)>;
    void SetSampleSource(SampleSource source);
    // Motion is clamped to the configured range, as saturated sensors read.
    void SetMotion(const Motion& motion);
    // The sample counter carried in the next sample taken.
    void SetTimestamp(std::uint16_t timestamp);
    // The next count reports are built (the counter advances) but lost on the way.
    void DropReports(unsigned count);

    // Advances the tracker's clock: one sample per millisecond and one report every
    // PacketInterval + 1 samples, while a keep-alive is in force. Returns the reports queued.
    // A report's SampleCount is the samples since the previous one (the newest three travel)
    // and its Timestamp the counter of the first, so consecutive reports step by the earlier
    // one's SampleCount; lost reports and lapsed keep-alives show as larger steps.
    unsigned Advance(unsigned milliseconds);
    // Whether the last keep-alive (or power-up) still keeps it streaming.
    bool IsStreaming() const;

private:
    SensorSample SampleFromMotion() const;
    void ClampToRange(SensorSample* sample) const;

    SensorConfigReport Config;
    SensorRangeReport Range;
    SensorDisplayInfo DisplayInfo;
    bool IgnoresSensorCoordinates = false;
    unsigned KeepAliveCount = 0;
    std::uint16_t LastCommandId = 0;

    Motion SteadyMotion;
    std::deque<SensorSample> PendingSamples;
    SampleSource Source;
    std::uint64_t ClockMs = 0;
    std::uint64_t StreamUntilMs = 0;
    std::uint16_t NextTimestamp = 0;
    unsigned DropCount = 0;

    // Samples taken since the last report; only the newest three travel.
    SensorSample Window[3];
    unsigned WindowCount = 0;
    std::uint16_t WindowTimestamp = 0;
};

// The headset's latency tester as far as a host sees it without talking to it: its ids,
// strings and a vendor descriptor with a 64-byte input report and two feature reports.
std::shared_ptr<VirtualHidDevice> MakeVirtualLatencyTester();

} // namespace Visor
