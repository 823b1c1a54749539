// EDID reader: base-block identity, preferred detailed timing, size and text descriptors.
#include "hmd/tracking/edid.h"

#include <cstdio>

namespace Visor {

namespace {

const std::uint8_t EdidHeader[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

enum {
    DescriptorsOffset = 54,
    DescriptorSize = 18,
    DescriptorCount = 4,
    Tag_SerialText = 0xFF,
    Tag_MonitorName = 0xFC,
};

bool SumsToZero(const std::uint8_t* block) {
    unsigned sum = 0;
    for (int i = 0; i < EdidBlockSize; i++)
        sum += block[i];
    return (sum & 0xFF) == 0;
}

// A 13-byte descriptor text ends at a line feed and is padded with spaces; anything a
// terminal could act on becomes '?'.
void CopyDescriptorText(const std::uint8_t* text, char (&field)[14]) {
    int n = 0;
    for (; n < 13 && text[n] != 0x0A; n++)
        field[n] = (text[n] >= 0x20 && text[n] < 0x7F) ? static_cast<char>(text[n]) : '?';
    while (n > 0 && field[n - 1] == ' ')
        n--;
    field[n] = 0;
}

void ReadDescriptors(const std::uint8_t* base, EdidInfo* info) {
    bool haveTiming = false;
    for (int i = 0; i < DescriptorCount; i++) {
        const std::uint8_t* d = base + DescriptorsOffset + i * DescriptorSize;
        if (d[0] || d[1]) {
            if (haveTiming)
                continue;
            haveTiming = true;
            info->PreferredWidth = d[2] | (d[4] & 0xF0u) << 4;
            info->PreferredHeight = d[5] | (d[7] & 0xF0u) << 4;
            std::uint32_t w = d[12] | (d[14] & 0xF0u) << 4, h = d[13] | (d[14] & 0x0Fu) << 8;
            if (w && h) {
                info->WidthMm = w;
                info->HeightMm = h;
            }
        } else if (d[3] == Tag_MonitorName) {
            CopyDescriptorText(d + 5, info->MonitorName);
        } else if (d[3] == Tag_SerialText) {
            CopyDescriptorText(d + 5, info->SerialText);
        }
    }
}

} // namespace

bool ParseEdid(const std::uint8_t* data, std::size_t size, EdidInfo* info, const char** why) {
    const char* ignored = nullptr;
    if (!why)
        why = &ignored;
    if (!info) {
        *why = "no record to fill";
        return false;
    }
    *info = EdidInfo();
    if (!data || size < EdidBlockSize) {
        *why = "shorter than one 128-byte block";
        return false;
    }
    for (int i = 0; i < 8; i++) {
        if (data[i] != EdidHeader[i]) {
            *why = "no EDID header";
            return false;
        }
    }
    if (!SumsToZero(data)) {
        *why = "base block checksum is wrong";
        return false;
    }
    unsigned packed = data[8] << 8 | data[9];
    char letters[3];
    for (int i = 0; i < 3; i++) {
        unsigned code = (packed >> (10 - 5 * i)) & 0x1F;
        if (code < 1 || code > 26) {
            *why = "manufacturer id is not three letters";
            return false;
        }
        letters[i] = static_cast<char>('A' + code - 1);
    }

    EdidInfo r;
    for (int i = 0; i < 3; i++)
        r.Manufacturer[i] = letters[i];
    r.ProductCode = static_cast<std::uint16_t>(data[10] | data[11] << 8);
    std::snprintf(r.DeviceId, sizeof r.DeviceId, "%s%04X", r.Manufacturer, r.ProductCode);
    r.SerialNumber = data[12] | data[13] << 8 | data[14] << 16 | std::uint32_t(data[15]) << 24;
    r.VersionMajor = data[18];
    r.VersionMinor = data[19];
    r.Digital = (data[20] & 0x80) != 0;
    r.WidthMm = data[21] * 10u;
    r.HeightMm = data[22] * 10u;
    if (!r.WidthMm || !r.HeightMm)
        r.WidthMm = r.HeightMm = 0; // an aspect ratio or a projector, not a size
    ReadDescriptors(data, &r);
    r.ExtensionCount = data[126];

    std::size_t blocks = size / EdidBlockSize;
    r.Blocks =
        static_cast<std::uint8_t>(blocks < EdidInfo::MaxBlocks ? blocks : +EdidInfo::MaxBlocks);
    for (unsigned b = 0; b < r.Blocks; b++) {
        const std::uint8_t* block = data + b * EdidBlockSize;
        if (SumsToZero(block))
            r.ChecksumsOk |= static_cast<std::uint16_t>(1u << b);
        if (b > 0)
            r.ExtensionTags[b - 1] = block[0];
    }
    *info = r;
    *why = nullptr;
    return true;
}

} // namespace Visor
