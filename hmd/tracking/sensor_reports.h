// Byte layouts of the inertial tracker's reports: the sensors input report with its packed
// 21-bit samples, and the configuration, range, keep-alive and display-information feature
// reports, each with a host record that packs and unpacks it.
//
// Threads: plain value records and pure functions; any thread, no shared state.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Visor {

// Report ids, byte 0 of every report.
enum SensorReportId : std::uint8_t {
    SensorReport_Sensors = 1,
    SensorReport_Config = 2,
    SensorReport_Range = 4,
    SensorReport_KeepAlive = 8,
    SensorReport_DisplayInfo = 9,
};

// Raw counts to physical units (single precision, as the tracker device converts them).
constexpr float SensorCountScale = 0.0001f; // accelerometer, gyroscope and magnetometer counts
constexpr float TemperatureScale = 0.01f;   // hundredths of a degree
constexpr float TimestampScale = 0.001f;    // one timestamp count is one millisecond
constexpr float DegreeToRadFactor = 0.017453292f;
constexpr float RadToDegreeFactor = 57.295784f;

// A packed triplet holds three signed 21-bit values; the lowest bit of its last byte is unused.
enum { SensorTripletSize = 8 };
constexpr std::int32_t SensorTripletMin = -(1 << 20);
constexpr std::int32_t SensorTripletMax = (1 << 20) - 1;

void UnpackSensorTriplet(const std::uint8_t* buffer, std::int32_t* x, std::int32_t* y,
                         std::int32_t* z);
// Values outside the 21-bit range are saturated, as a sensor at full scale reads.
void PackSensorTriplet(std::int32_t x, std::int32_t y, std::int32_t z, std::uint8_t* buffer);

struct SensorSample {
    std::int32_t AccelX = 0, AccelY = 0, AccelZ = 0;
    std::int32_t GyroX = 0, GyroY = 0, GyroZ = 0;
};

struct SensorReport {
    // Samples the tracker took since its previous report; more than 3 means some were not sent.
    std::uint8_t SampleCount = 0;
    std::uint16_t Timestamp = 0; // counts samples, wraps at 65536
    std::uint16_t LastCommandId = 0;
    std::int16_t Temperature = 0;
    SensorSample Samples[3];
    std::int16_t MagX = 0, MagY = 0, MagZ = 0;
};

enum class DecodeResult : std::uint32_t {
    Decoded = 1,
    UnknownReport = 0x100,
    ReportTooShort = 0x101,
};

// Zero-filled before every decode: Type 0 matches no result.
struct DecodedReport {
    DecodeResult Type{};
    SensorReport Report;
};

// The sensors input report is 62 bytes; longer reads carry nothing more.
enum { SensorReportSize = 62 };

// Zero-fills message, then decodes; true only when its Type becomes Decoded. Sample slots past
// min(SampleCount, 3) stay zero. Takes untrusted bytes of any length; null data reads as empty.
bool DecodeSensorReport(DecodedReport* message, const std::uint8_t* data, std::size_t length);
// The inverse, for a software tracker: writes SensorReportSize bytes, sample slots past
// min(SampleCount, 3) as zeros, so decoding gives the report back with sample values saturated
// to 21 bits. False, writing nothing, when size is smaller.
bool PackSensorReport(const SensorReport& report, std::uint8_t* buffer, std::size_t size);

// Host record of the tracker's measuring range.
struct SensorRange {
    float MaxAccel = 0;    // metres per second squared
    float MaxRotation = 0; // radians per second
    float MaxField = 0;    // the magnetometer's field unit
};

// Feature records. Pack writes the whole report from byte 0 and returns false, writing nothing,
// when size is below PacketSize; the tracker ignores CommandId, so packing writes 0 there.
// Unpack returns false and leaves the record as it was when the bytes are too few or byte 0 is
// not the record's report id, so a failed read keeps the earlier values.

// Feature report 2: coordinate frame, report rate and the keep-alive interval as the tracker
// holds them.
struct SensorConfigReport {
    enum { PacketSize = 7 };
    // Set: the tracker reports in its own sensor axes; clear: in headset axes.
    enum { Flag_SensorCoordinates = 0x40 };

    std::uint8_t Flags = 0;
    std::uint8_t PacketInterval = 0; // milliseconds between input reports, minus one
    std::uint16_t KeepAliveIntervalMs = 0;

    // Reports per second: 0 asks for 500, above 1000 gives 1000, and below 4 gives the slowest
    // interval the byte holds (256 ms, read back as 3 per second).
    void SetReportRate(unsigned rate);
    unsigned GetReportRate() const { return 1000u / (PacketInterval + 1u); }
    // Changes only the coordinate bit; every other flag stays as read.
    void SetSensorCoordinates(bool sensorAxes);
    bool HasSensorCoordinates() const { return (Flags & Flag_SensorCoordinates) != 0; }

    bool Pack(std::uint8_t* buffer, std::size_t size) const;
    bool Unpack(const std::uint8_t* buffer, std::size_t size);
};

// Feature report 4: full scales, each one of four steps the tracker supports.
struct SensorRangeReport {
    enum { PacketSize = 8 };

    std::uint8_t AccelScale = 0; // g
    std::uint16_t GyroScale = 0; // degrees per second
    std::uint16_t MagScale = 0;  // thousandths of the field unit

    // Picks for each component the smallest step that covers the request, the largest step
    // when none does. Negative or not-a-number requests get the smallest step.
    void SetRange(const SensorRange& range);
    void GetRange(SensorRange* range) const;

    bool Pack(std::uint8_t* buffer, std::size_t size) const;
    bool Unpack(const std::uint8_t* buffer, std::size_t size);
};

// Feature report 8: keeps the tracker streaming for the given time.
struct SensorKeepAliveReport {
    enum { PacketSize = 5 };
    enum { DefaultIntervalMs = 10000 };

    std::uint16_t KeepAliveIntervalMs = DefaultIntervalMs;

    SensorKeepAliveReport() = default;
    explicit SensorKeepAliveReport(std::uint16_t intervalMs) : KeepAliveIntervalMs(intervalMs) {}

    bool Pack(std::uint8_t* buffer, std::size_t size) const;
    bool Unpack(const std::uint8_t* buffer, std::size_t size);
};

// Feature report 9: the headset's screen and lens description stored in the tracker. Lengths
// travel as micrometres and are held here in metres.
struct SensorDisplayInfo {
    enum { PacketSize = 56 };
    enum { Format_Mask = 0x0F, Format_Distortion = 2 };

    std::uint16_t CommandId = 0;
    std::uint8_t DisplayFormat = 0;
    std::uint16_t ResolutionH = 0, ResolutionV = 0;
    float ScreenSizeH = 0, ScreenSizeV = 0, ScreenCenterV = 0, LensSeparation = 0;
    float EyeToScreenDistance[2] = {};
    float DistortionCoeffs[6] = {}; // taken bit for bit

    // Only the low four bits of DisplayFormat count.
    bool HasScreenInfo() const { return (DisplayFormat & Format_Mask) != 0; }
    bool HasDistortion() const { return (DisplayFormat & Format_Mask) == Format_Distortion; }

    // The tracker's side, for a software tracker: lengths are rounded to whole micrometres and
    // saturated to the field (negative or not-a-number lengths write 0).
    bool Pack(std::uint8_t* buffer, std::size_t size) const;
    bool Unpack(const std::uint8_t* buffer, std::size_t size);
};

} // namespace Visor
