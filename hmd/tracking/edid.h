// Reader of a display's EDID: the identity the headset display is recognised by (manufacturer
// letters and product code), its preferred mode, physical size and name.
//
// Threads: a pure function over bytes; any thread. The bytes come from the display and the
// kernel unchecked, so every length and field is validated.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Visor {

enum { EdidBlockSize = 128 };

struct EdidInfo {
    char Manufacturer[4] = {}; // three capital letters
    std::uint16_t ProductCode = 0;
    // Manufacturer letters and the product code as four upper-case hex digits: "VSR0001".
    char DeviceId[8] = {};
    std::uint32_t SerialNumber = 0;
    std::uint8_t VersionMajor = 0, VersionMinor = 0;
    bool Digital = false;
    // Extension blocks the base block announces.
    std::uint8_t ExtensionCount = 0;
    // Whole 128-byte blocks in the bytes, the base block included, counting at most MaxBlocks.
    // Readers dump more or fewer blocks than announced, so both are kept.
    enum { MaxBlocks = 16 };
    std::uint8_t Blocks = 0;
    // First byte of blocks 1 to Blocks - 1 (the extension tags); 0 past them.
    std::uint8_t ExtensionTags[MaxBlocks - 1] = {};
    // Bit n set: block n (0 = base block) sums to zero.
    std::uint16_t ChecksumsOk = 0;
    // The first detailed timing of the base block; 0 x 0 when it has none.
    std::uint32_t PreferredWidth = 0, PreferredHeight = 0;
    // Millimetres: the first detailed timing's image size, else the basic size in centimetres;
    // 0 when unknown.
    std::uint32_t WidthMm = 0, HeightMm = 0;
    // The name and serial text descriptors, printable ASCII only; empty when absent.
    char MonitorName[14] = {};
    char SerialText[14] = {};
};

// Fills *info from size bytes of an EDID. False, with *why saying what is wrong and *info left
// as default, when there is no whole base block, its header or checksum is wrong, or the
// manufacturer field holds no letters. Extensions are only counted and checked: a damaged or
// missing extension does not make the base block unusable. Null data reads as empty.
bool ParseEdid(const std::uint8_t* data, std::size_t size, EdidInfo* info, const char** why);

} // namespace Visor
