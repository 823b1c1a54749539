// Tests of the tracker report formats: triplets and input reports at their extremes, refused
// reports, packing back, the range and rate rules, and byte round trips of every feature report.
#include "hmd/tracking/sensor_reports.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

using namespace Visor;
using Bytes = std::vector<std::uint8_t>;

TEST(SensorReports, TripletsSignExtendEachFieldAndSaturateWhenPacked) {
    const struct {
        std::uint64_t bytes; // b0 first; the unused last bit is set in some rows
        std::int32_t v[3];
    } rows[] = {{0x8000000000000000, {-1048576, 0, 0}},
                {0xFFFFFFFFFFFFFFFF, {-1, -1, -1}},
                {0x0000080000000000, {1, 0, 0}},
                {0x7FFFFC00001FFFFF, {1048575, -1048576, 1048575}},
                {0x800003FFFFE00000, {-1048576, 1048575, -1048576}},
                {0xFFFFF00000FFFFFB, {-2, 3, -3}}};
    std::int32_t v[3];
    for (const auto& row : rows) {
        std::uint8_t bytes[SensorTripletSize];
        for (int i = 0; i < SensorTripletSize; ++i)
            bytes[i] = std::uint8_t(row.bytes >> (56 - 8 * i));
        UnpackSensorTriplet(bytes, &v[0], &v[1], &v[2]);
        EXPECT_TRUE(std::equal(v, v + 3, row.v)) << "row " << &row - rows;
    }
    std::uint8_t saturated[SensorTripletSize]; // as a sensor at full scale reads
    PackSensorTriplet(1 << 21, -(1 << 30), INT32_MAX, saturated);
    UnpackSensorTriplet(saturated, &v[0], &v[1], &v[2]);
    EXPECT_TRUE(v[0] == SensorTripletMax && v[1] == SensorTripletMin && v[2] == SensorTripletMax);
}

TEST(SensorReports, DecodesCarriedSamplesPacksThemBackAndRefusesShortOrForeignReports) {
    // length, report id, SampleCount, result (1 decoded, 0x100 unknown, 0x101 short), samples
    const unsigned rows[][5] = {{0, 1, 0, 0x101, 0}, {3, 1, 1, 0x101, 0},  {3, 2, 1, 0x101, 0},
                                {4, 2, 1, 0x100, 0}, {64, 2, 1, 0x100, 0}, {61, 1, 1, 0x101, 0},
                                {62, 1, 0, 1, 0},    {62, 1, 1, 1, 1},     {62, 1, 3, 1, 3},
                                {62, 1, 5, 1, 3},    {64, 1, 255, 1, 3}};
    for (const auto& row : rows) {
        Bytes bytes(64); // distinct, non-zero, the unused triplet bits clear
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = std::uint8_t(0x80 | 2 * i);
        bytes[0] = std::uint8_t(row[1]), bytes[1] = std::uint8_t(row[2]);
        DecodedReport message;
        message.Report.Timestamp = 7; // cleared whatever the outcome
        bool decoded = DecodeSensorReport(&message, bytes.data(), row[0]);
        const SensorReport& r = message.Report;
        EXPECT_TRUE(decoded == (row[3] == 1) && unsigned(message.Type) == row[3] &&
                    r.Timestamp == (decoded ? 0x8684 : 0))
            << "row " << &row - rows;
        for (unsigned s = 0; s < 3; ++s)
            EXPECT_EQ(s < row[4], r.Samples[s].AccelX != 0 && r.Samples[s].GyroZ != 0)
                << "row " << &row - rows << " sample " << s;
        Bytes packed(SensorReportSize), expected(bytes.begin(), bytes.begin() + SensorReportSize);
        std::fill(expected.begin() + 8 + 16 * row[4], expected.begin() + 56, 0);
        if (decoded) { // little-endian, signed where they should be, and back to the same bytes
            EXPECT_TRUE(r.LastCommandId == 0x8A88 && r.Temperature == -29044 && r.MagX == -3344 &&
                        r.MagZ == -1288 && !PackSensorReport(r, packed.data(), 61) &&
                        PackSensorReport(r, packed.data(), packed.size()) && packed == expected)
                << "row " << &row - rows;
        }
    }
}

TEST(SensorReports, RangeRequestsRoundUpToTheTrackerSteps) {
    // MaxAccel, MaxRotation, MaxField requested; AccelScale, GyroScale, MagScale written
    const float rows[][6] = {
        {20, 10, 1, 2, 1000, 1300},        {30, 0, 0, 4, 250, 880},
        {40, 8.72f, 0.8805f, 4, 500, 880}, {50, 8.75f, 0.881f, 8, 1000, 1300},
        {200, 1000, 2.6f, 16, 2000, 2500}, {1e30f, INFINITY, 66, 16, 2000, 2500},
        {-5, NAN, -1, 2, 250, 880},        {156.96f, 34.906586f, 2.5f, 16, 2000, 2500},
    };
    for (const auto& row : rows) {
        SensorRangeReport report;
        report.SetRange({row[0], row[1], row[2]});
        EXPECT_TRUE(report.AccelScale == row[3] && report.GyroScale == row[4] &&
                    report.MagScale == row[5])
            << "row " << &row - rows;
    }
    SensorRange largest; // the tracker's largest range, to the bit
    SensorRangeReport{16, 2000, 2500}.GetRange(&largest);
    EXPECT_TRUE(largest.MaxAccel == 156.96f && largest.MaxRotation == 34.906586f &&
                largest.MaxField == 2.5f);
}

TEST(SensorReports, ReportRateSetsTheIntervalByteWithinItsRange) {
    const unsigned rows[][3] = {{1000, 0, 1000}, {500, 1, 500}, {250, 3, 250}, {0, 1, 500},
                                {5000, 0, 1000}, {4, 249, 4},   {3, 255, 3},   {1, 255, 3}};
    for (const auto& row : rows) {
        SensorConfigReport config;
        config.SetReportRate(row[0]);
        EXPECT_EQ(config.PacketInterval, row[1]) << "rate " << row[0];
        EXPECT_EQ(config.GetReportRate(), row[2]) << "rate " << row[0];
    }
}

template <class Record> void ExpectByteRoundTrip(const Bytes& bytes, Record& record) {
    ASSERT_TRUE(record.Unpack(bytes.data(), bytes.size())) << int(bytes[0]);
    Bytes packed(bytes.size() + 1, 0xEE), shorter(bytes.begin(), bytes.end() - 1), foreign = bytes;
    foreign[0] ^= 0x10;
    EXPECT_FALSE(record.Unpack(shorter.data(), shorter.size()) ||
                 record.Unpack(foreign.data(), foreign.size()) ||
                 record.Pack(packed.data(), shorter.size()));
    ASSERT_TRUE(record.Pack(packed.data(), packed.size()));
    EXPECT_EQ(Bytes(packed.begin(), packed.end() - 1), bytes) << int(bytes[0]);
    EXPECT_EQ(packed.back(), 0xEE) << int(bytes[0]); // and the refused reads changed nothing
}

TEST(SensorReports, FeatureReportsRoundTripAndRefuseShortOrForeignBytes) {
    SensorConfigReport config;
    ExpectByteRoundTrip(Bytes{2, 0, 0, 0x85, 1, 0x10, 0x27}, config);
    config.SetSensorCoordinates(true); // other flags stay as read
    EXPECT_TRUE(config.Flags == 0xC5 && config.HasSensorCoordinates());
    SensorRangeReport range;
    ExpectByteRoundTrip(Bytes{4, 0, 0, 16, 0xD0, 0x07, 0xC4, 0x09}, range);
    EXPECT_TRUE(range.AccelScale == 16 && range.GyroScale == 2000 && range.MagScale == 2500);
    SensorKeepAliveReport keepAlive(1);
    ExpectByteRoundTrip(Bytes{8, 0, 0, 0x10, 0x27}, keepAlive); // the interval always sent
    EXPECT_EQ(keepAlive.KeepAliveIntervalMs, SensorKeepAliveReport().KeepAliveIntervalMs);

    Bytes info = {9, 0x34, 0x12, 0x12, 0x00, 0x05, 0x20, 0x03};
    // Six micrometre lengths up to 2^23, then six coefficients' bits: 1, 0.22, 0.24, -0, a
    // not-a-number with a payload and a denormal, all to come back bit for bit.
    for (std::uint32_t field : {149760u, 93600u, 46800u, 63500u, 41000u, 8388608u, 0x3F800000u,
                                0x3E6147AEu, 0x3E75C28Fu, 0x80000000u, 0x7FC00001u, 1u})
        for (int shift = 0; shift < 32; shift += 8)
            info.push_back(std::uint8_t(field >> shift));
    SensorDisplayInfo display;
    ExpectByteRoundTrip(info, display);
    EXPECT_TRUE(display.HasDistortion() && display.ResolutionH == 1280 &&
                display.ResolutionV == 800 && display.ScreenSizeH == float(149760) * 1e-6f &&
                display.DistortionCoeffs[1] == 0.22f);
}
