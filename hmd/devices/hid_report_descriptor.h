// Reads a HID report descriptor (the bytes a hidraw node hands out) for what the HID layer's
// device record and buffers need: the top-level usage and the largest report of each kind.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Visor {

// What one descriptor declares. Report lengths are in bytes as a hidraw read returns them:
// they count the leading report-id byte when the device numbers its reports, and 0 means the
// device has no report of that kind. Writes and feature requests always carry a report-number
// byte (0 for unnumbered devices), so their buffers need one more byte when UsesReportIds is
// false.
struct HidReportDescriptorInfo {
    std::uint16_t UsagePage = 0; // of the first top-level application collection
    std::uint16_t Usage = 0;
    std::uint16_t InputReportBufferLength = 0;
    std::uint16_t OutputReportBufferLength = 0;
    std::uint16_t FeatureReportBufferLength = 0;
    std::uint16_t ApplicationCollections = 0; // top-level ones only
    bool UsesReportIds = false;
};

// The most a device can describe (the kernel's own limit on a report descriptor).
constexpr std::size_t MaxHidReportDescriptorSize = 4096;
// Push items nest no deeper than this.
constexpr int MaxHidGlobalStackDepth = 8;

// Fills info and returns true for a well-formed descriptor. Returns false and leaves info as
// it was for a truncated or malformed one, or one longer than MaxHidReportDescriptorSize;
// error (when given) then points to a static text saying why. Any thread; no allocation.
//
// A Pop restores the usage page, report size and report count but keeps the report id last
// set, so items after a Pop still belong to the report they follow in the byte stream.
// Reserved items are skipped; report ids must be 1 to 255, and a report must fit 65534 bytes
// before its id byte, so every length fits 16 bits.
bool ParseHidReportDescriptor(const std::uint8_t* data, std::size_t length,
                              HidReportDescriptorInfo& info, const char** error = nullptr);

} // namespace Visor
