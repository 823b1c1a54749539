// Fuzz target for the HID report-descriptor reader: out-of-bounds reads and overflows show under
// the sanitizers; a refusal must say why and fill nothing, an acceptance has an application.
#include "hmd/devices/hid_report_descriptor.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Visor::HidReportDescriptorInfo info;
    const char* error = nullptr;
    if (Visor::ParseHidReportDescriptor(data, size, info, &error)
            ? !info.ApplicationCollections || size > Visor::MaxHidReportDescriptorSize
            : !error || info.ApplicationCollections || info.FeatureReportBufferLength)
        std::abort();
    return 0;
}
