// Packing and unpacking of the tracker's input and feature reports.
#include "hmd/tracking/sensor_reports.h"

#include <cmath>
#include <cstring>

namespace Visor {

namespace {

std::uint16_t ReadU16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::int16_t ReadI16(const std::uint8_t* p) {
    return static_cast<std::int16_t>(ReadU16(p));
}
std::uint32_t ReadU32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}
void WriteU16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void WriteU32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Sign extension from bit 20.
std::int32_t Extend21(std::uint32_t v) {
    return static_cast<std::int32_t>((v & 0x1FFFFFu) ^ 0x100000u) - 0x100000;
}
std::uint32_t Clamp21(std::int32_t v) {
    if (v < SensorTripletMin)
        v = SensorTripletMin;
    if (v > SensorTripletMax)
        v = SensorTripletMax;
    return static_cast<std::uint32_t>(v) & 0x1FFFFFu;
}

// Micrometre fields: the tracker's unsigned integers to metres and back.
constexpr float MicrometreToMetre = 1e-6f;
float ReadMicrometres(const std::uint8_t* p) {
    return static_cast<float>(ReadU32(p)) * MicrometreToMetre;
}
void WriteMicrometres(std::uint8_t* p, float metres) {
    // Division in double undoes the single-precision multiply exactly for every field value
    // up to 2^23 micrometres (8 m), far beyond any screen.
    double micrometres = std::round(double(metres) / double(MicrometreToMetre));
    std::uint32_t v = 0;
    if (micrometres >= 4294967295.0)
        v = 0xFFFFFFFFu;
    else if (micrometres > 0) // also false for not-a-number
        v = static_cast<std::uint32_t>(micrometres);
    WriteU32(p, v);
}

bool UnpackableAs(SensorReportId id, const std::uint8_t* buffer, std::size_t size,
                  std::size_t packetSize) {
    return buffer && size >= packetSize && buffer[0] == id;
}

// The request in the ramp's unit, truncated toward zero. Saturates rather than wrapping, so a
// request above 65535 units still selects the largest step, and one that is negative or not a
// number selects the smallest.
std::uint16_t RampThreshold(float request, float factor) {
    float threshold = request * factor;
    if (!(threshold > 0))
        return 0;
    if (threshold >= 65535.0f)
        return 0xFFFF;
    return static_cast<std::uint16_t>(threshold);
}

std::uint16_t SelectRampStep(float request, float factor, const std::uint16_t (&ramp)[4]) {
    std::uint16_t threshold = RampThreshold(request, factor);
    for (std::uint16_t step : ramp)
        if (step >= threshold)
            return step;
    return ramp[3];
}

constexpr float MetresPerSecondSquaredPerG = 9.81f;
constexpr float GPerMetresPerSecondSquared = 0.101936795f; // 1 / 9.81, as the tracker rounds it
constexpr float FieldScaleFactor = 1000.0f;
constexpr std::uint16_t AccelRamp[4] = {2, 4, 8, 16};
constexpr std::uint16_t GyroRamp[4] = {250, 500, 1000, 2000};
constexpr std::uint16_t MagRamp[4] = {880, 1300, 1900, 2500};

} // namespace

void UnpackSensorTriplet(const std::uint8_t* b, std::int32_t* x, std::int32_t* y, std::int32_t* z) {
    *x = Extend21((std::uint32_t(b[0]) << 13) | (std::uint32_t(b[1]) << 5) | (b[2] >> 3));
    *y = Extend21((std::uint32_t(b[2] & 0x07) << 18) | (std::uint32_t(b[3]) << 10) |
                  (std::uint32_t(b[4]) << 2) | (b[5] >> 6));
    *z = Extend21((std::uint32_t(b[5] & 0x3F) << 15) | (std::uint32_t(b[6]) << 7) | (b[7] >> 1));
}

void PackSensorTriplet(std::int32_t x, std::int32_t y, std::int32_t z, std::uint8_t* b) {
    // The three fields back to back from the top of a 64-bit word, the last bit left clear.
    std::uint64_t bits = (std::uint64_t(Clamp21(x)) << 43) | (std::uint64_t(Clamp21(y)) << 22) |
                         (std::uint64_t(Clamp21(z)) << 1);
    for (int i = 0; i < SensorTripletSize; ++i)
        b[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
}

bool DecodeSensorReport(DecodedReport* message, const std::uint8_t* data, std::size_t length) {
    if (!message)
        return false;
    *message = DecodedReport();
    if (!data)
        length = 0;
    if (length < 4) {
        message->Type = DecodeResult::ReportTooShort;
        return false;
    }
    if (data[0] != SensorReport_Sensors) {
        message->Type = DecodeResult::UnknownReport;
        return false;
    }
    if (length < SensorReportSize) {
        message->Type = DecodeResult::ReportTooShort;
        return false;
    }
    SensorReport& report = message->Report;
    report.SampleCount = data[1];
    report.Timestamp = ReadU16(data + 2);
    report.LastCommandId = ReadU16(data + 4);
    report.Temperature = ReadI16(data + 6);
    int carried = report.SampleCount < 3 ? report.SampleCount : 3;
    for (int i = 0; i < carried; ++i) {
        SensorSample& s = report.Samples[i];
        UnpackSensorTriplet(data + 8 + 16 * i, &s.AccelX, &s.AccelY, &s.AccelZ);
        UnpackSensorTriplet(data + 16 + 16 * i, &s.GyroX, &s.GyroY, &s.GyroZ);
    }
    report.MagX = ReadI16(data + 56);
    report.MagY = ReadI16(data + 58);
    report.MagZ = ReadI16(data + 60);
    message->Type = DecodeResult::Decoded;
    return true;
}

bool PackSensorReport(const SensorReport& report, std::uint8_t* buffer, std::size_t size) {
    if (!buffer || size < SensorReportSize)
        return false;
    std::memset(buffer, 0, SensorReportSize);
    buffer[0] = SensorReport_Sensors;
    buffer[1] = report.SampleCount;
    WriteU16(buffer + 2, report.Timestamp);
    WriteU16(buffer + 4, report.LastCommandId);
    WriteU16(buffer + 6, static_cast<std::uint16_t>(report.Temperature));
    int carried = report.SampleCount < 3 ? report.SampleCount : 3;
    for (int i = 0; i < carried; ++i) {
        const SensorSample& s = report.Samples[i];
        PackSensorTriplet(s.AccelX, s.AccelY, s.AccelZ, buffer + 8 + 16 * i);
        PackSensorTriplet(s.GyroX, s.GyroY, s.GyroZ, buffer + 16 + 16 * i);
    }
    WriteU16(buffer + 56, static_cast<std::uint16_t>(report.MagX));
    WriteU16(buffer + 58, static_cast<std::uint16_t>(report.MagY));
    WriteU16(buffer + 60, static_cast<std::uint16_t>(report.MagZ));
    return true;
}

void SensorConfigReport::SetReportRate(unsigned rate) {
    if (rate == 0)
        rate = 500;
    if (rate > 1000)
        rate = 1000;
    // Below 4 per second the interval would not fit its byte: take the slowest it can hold.
    unsigned interval = 1000 / rate - 1;
    PacketInterval = static_cast<std::uint8_t>(interval > 255 ? 255 : interval);
}

void SensorConfigReport::SetSensorCoordinates(bool sensorAxes) {
    Flags = static_cast<std::uint8_t>(Flags & ~Flag_SensorCoordinates);
    if (sensorAxes)
        Flags = static_cast<std::uint8_t>(Flags | Flag_SensorCoordinates);
}

bool SensorConfigReport::Pack(std::uint8_t* buffer, std::size_t size) const {
    if (!buffer || size < PacketSize)
        return false;
    buffer[0] = SensorReport_Config;
    WriteU16(buffer + 1, 0);
    buffer[3] = Flags;
    buffer[4] = PacketInterval;
    WriteU16(buffer + 5, KeepAliveIntervalMs);
    return true;
}

bool SensorConfigReport::Unpack(const std::uint8_t* buffer, std::size_t size) {
    if (!UnpackableAs(SensorReport_Config, buffer, size, PacketSize))
        return false;
    Flags = buffer[3];
    PacketInterval = buffer[4];
    KeepAliveIntervalMs = ReadU16(buffer + 5);
    return true;
}

void SensorRangeReport::SetRange(const SensorRange& range) {
    AccelScale = static_cast<std::uint8_t>(
        SelectRampStep(range.MaxAccel, GPerMetresPerSecondSquared, AccelRamp));
    GyroScale = SelectRampStep(range.MaxRotation, RadToDegreeFactor, GyroRamp);
    MagScale = SelectRampStep(range.MaxField, FieldScaleFactor, MagRamp);
}

void SensorRangeReport::GetRange(SensorRange* range) const {
    range->MaxAccel = float(AccelScale) * MetresPerSecondSquaredPerG;
    range->MaxRotation = float(GyroScale) * DegreeToRadFactor;
    range->MaxField = float(MagScale) * 0.001f;
}

bool SensorRangeReport::Pack(std::uint8_t* buffer, std::size_t size) const {
    if (!buffer || size < PacketSize)
        return false;
    buffer[0] = SensorReport_Range;
    WriteU16(buffer + 1, 0);
    buffer[3] = AccelScale;
    WriteU16(buffer + 4, GyroScale);
    WriteU16(buffer + 6, MagScale);
    return true;
}

bool SensorRangeReport::Unpack(const std::uint8_t* buffer, std::size_t size) {
    if (!UnpackableAs(SensorReport_Range, buffer, size, PacketSize))
        return false;
    AccelScale = buffer[3];
    GyroScale = ReadU16(buffer + 4);
    MagScale = ReadU16(buffer + 6);
    return true;
}

bool SensorKeepAliveReport::Pack(std::uint8_t* buffer, std::size_t size) const {
    if (!buffer || size < PacketSize)
        return false;
    buffer[0] = SensorReport_KeepAlive;
    WriteU16(buffer + 1, 0);
    WriteU16(buffer + 3, KeepAliveIntervalMs);
    return true;
}

bool SensorKeepAliveReport::Unpack(const std::uint8_t* buffer, std::size_t size) {
    if (!UnpackableAs(SensorReport_KeepAlive, buffer, size, PacketSize))
        return false;
    KeepAliveIntervalMs = ReadU16(buffer + 3);
    return true;
}

bool SensorDisplayInfo::Pack(std::uint8_t* buffer, std::size_t size) const {
    if (!buffer || size < PacketSize)
        return false;
    buffer[0] = SensorReport_DisplayInfo;
    WriteU16(buffer + 1, CommandId);
    buffer[3] = DisplayFormat;
    WriteU16(buffer + 4, ResolutionH);
    WriteU16(buffer + 6, ResolutionV);
    WriteMicrometres(buffer + 8, ScreenSizeH);
    WriteMicrometres(buffer + 12, ScreenSizeV);
    WriteMicrometres(buffer + 16, ScreenCenterV);
    WriteMicrometres(buffer + 20, LensSeparation);
    WriteMicrometres(buffer + 24, EyeToScreenDistance[0]);
    WriteMicrometres(buffer + 28, EyeToScreenDistance[1]);
    std::memcpy(buffer + 32, DistortionCoeffs, sizeof DistortionCoeffs);
    return true;
}

bool SensorDisplayInfo::Unpack(const std::uint8_t* buffer, std::size_t size) {
    if (!UnpackableAs(SensorReport_DisplayInfo, buffer, size, PacketSize))
        return false;
    CommandId = ReadU16(buffer + 1);
    DisplayFormat = buffer[3];
    ResolutionH = ReadU16(buffer + 4);
    ResolutionV = ReadU16(buffer + 6);
    ScreenSizeH = ReadMicrometres(buffer + 8);
    ScreenSizeV = ReadMicrometres(buffer + 12);
    ScreenCenterV = ReadMicrometres(buffer + 16);
    LensSeparation = ReadMicrometres(buffer + 20);
    EyeToScreenDistance[0] = ReadMicrometres(buffer + 24);
    EyeToScreenDistance[1] = ReadMicrometres(buffer + 28);
    // The coefficients are little-endian IEEE singles, as this host stores them.
    std::memcpy(DistortionCoeffs, buffer + 32, sizeof DistortionCoeffs);
    return true;
}

} // namespace Visor
