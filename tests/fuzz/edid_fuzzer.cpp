// Fuzz target for the EDID reader: out-of-bounds reads show under the sanitizers; a refusal
// must say why and fill nothing, an acceptance yields a seven-character device id.
#include "hmd/tracking/edid.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Visor::EdidInfo info;
    const char* why = nullptr;
    if (Visor::ParseEdid(data, size, &info, &why)
            ? std::strlen(info.DeviceId) != 7 || info.Blocks < 1
            : !why || info.DeviceId[0] || info.Blocks)
        std::abort();
    return 0;
}
