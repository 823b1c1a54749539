// Fuzz target for the tracker report formats: a decoded input report packs back to the same
// bytes, less the unused bits and the slots it does not carry, and decodes again to the same
// report.
#include "hmd/tracking/sensor_reports.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace Visor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    DecodedReport message;
    uint8_t packed[SensorReportSize];
    if (DecodeSensorReport(&message, data, size)) {
        if (!PackSensorReport(message.Report, packed, sizeof packed))
            std::abort();
        for (int i = 0; i < SensorReportSize; ++i) {
            bool slot = i >= 8 && i < 56, carried = (i - 8) / 16 < std::min<int>(data[1], 3);
            if (packed[i] != (slot ? carried ? data[i] & (i % 8 == 7 ? 0xFE : 0xFF) : 0 : data[i]))
                std::abort();
        }
        DecodedReport again;
        uint8_t repacked[SensorReportSize];
        if (!DecodeSensorReport(&again, packed, sizeof packed) ||
            !PackSensorReport(again.Report, repacked, sizeof repacked) ||
            std::memcmp(packed, repacked, sizeof packed) != 0)
            std::abort();
    }
    return 0;
}
