// Fuzz target for recording files: whatever the parser accepts encodes back to exactly the
// bytes it was given (one encoding per recording), and nothing it is given crashes it.
#include "tools/virtual_headset/recording.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Visor::Recording recording;
    std::vector<std::uint8_t> encoded;
    if (Visor::ParseRecording(data, size, &recording, nullptr) &&
        (!Visor::EncodeRecording(recording, &encoded) ||
         encoded != std::vector<std::uint8_t>(data, data + size)))
        std::abort();
    return 0;
}
