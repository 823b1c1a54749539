// Device strings of the HID layer: texts a device supplies, made safe to keep and print.
#include "hmd/devices/hid_device.h"

namespace Visor {

namespace {

// Length of the valid UTF-8 sequence at p (at most 4 bytes), or 0 when it is not one.
std::size_t Utf8SequenceLength(const unsigned char* p) {
    unsigned char c = p[0];
    std::size_t n;
    unsigned char lo = 0x80, hi = 0xBF; // allowed range of the second byte
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF)
        n = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        // No overlong forms and no UTF-16 surrogates.
        if (c == 0xE0)
            lo = 0xA0;
        if (c == 0xED)
            hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0)
            lo = 0x90;
        if (c == 0xF4)
            hi = 0x8F;
    } else
        return 0;
    if (p[1] < lo || p[1] > hi)
        return 0;
    for (std::size_t i = 2; i < n; ++i)
        if (p[i] < 0x80 || p[i] > 0xBF)
            return 0;
    return n;
}

} // namespace

String MakeHidDeviceString(const char* text) {
    if (!text)
        return String();
    char out[MaxHidStringChars * 4 + 1];
    std::size_t size = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    for (std::size_t chars = 0; *p && chars < MaxHidStringChars; ++chars) {
        // A terminating zero inside a sequence fails the continuation check, so the scan
        // never runs past the end.
        std::size_t n = Utf8SequenceLength(p);
        if (n == 0 || (n == 1 && (*p < 0x20 || *p == 0x7F))) {
            // Control characters would let a device forge or break the library's log lines.
            out[size++] = '?';
            ++p;
            continue;
        }
        for (std::size_t i = 0; i < n; ++i)
            out[size++] = static_cast<char>(p[i]);
        p += n;
    }
    return String(out, size);
}

} // namespace Visor
