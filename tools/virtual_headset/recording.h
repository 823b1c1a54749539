// Recordings of a tracker session: the device's identity, the feature reports read when the
// recording began and every input report with its arrival time, as visor_record writes them
// and RecordedTracker plays them back.
//
// File layout (version 1). Binary, little-endian: reports are raw bytes, so a binary file keeps
// them exact at a third of the size of hex text, and a host writing a thousand reports a second
// for minutes gains from that; a checksum stands in for the eye a text file would get.
//   "VISORREC"            8 bytes, magic
//   version               u16, 1
//   vendor id, product id, version number (bcdDevice)   u16 each
//   manufacturer, product, serial number   each u16 length (at most 1024) + UTF-8 bytes
//   feature count         u8; then per feature: report id u8, length u16 (at most 4096; 0 when
//                         the report could not be read), the bytes as read, id byte included
//   records until the end record, each starting with a kind byte:
//     'I' input report:   time u64 (microseconds since the recording began, never
//                         decreasing), length u16 (1..4096), the bytes as read
//     'E' end:            input report count u32, CRC-32 (IEEE) u32 of every byte before 'E'
//   nothing follows the end record.
// A file without its end record (a recorder that died) is refused, as is one whose checksum
// or count does not match.
//
// Threads: plain values and pure functions; a RecordingWriter belongs to one thread at a time.
#pragma once

#include "tools/virtual_headset/virtual_hid_device.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace Visor {

struct Recording {
    enum : std::uint16_t { Version = 1 };
    enum : std::size_t { MaxStringBytes = 1024, MaxReportBytes = 4096, MaxFeatures = 255 };

    struct Feature {
        std::uint8_t ReportId = 0;
        std::vector<std::uint8_t> Bytes; // empty: the device did not answer
    };
    struct Input {
        std::uint64_t TimeUs = 0;
        std::vector<std::uint8_t> Bytes;
    };

    VirtualHidDevice::Identity Device;
    std::vector<Feature> Features;
    std::vector<Input> Inputs;

    // The recorded answer to feature report id, null when none was recorded or it was empty.
    const Feature* FindFeature(std::uint8_t reportId) const;
};

// The whole file as bytes. False when a string, a report or the feature list exceeds the
// format's limits, or input times decrease.
bool EncodeRecording(const Recording& recording, std::vector<std::uint8_t>* bytes);

// Takes untrusted bytes of any length (null reads as empty). False with error (when not null)
// saying what is wrong and where; recording is then left empty.
bool ParseRecording(const std::uint8_t* data, std::size_t size, Recording* recording,
                    std::string* error);
bool LoadRecording(const std::string& path, Recording* recording, std::string* error);

// Writes a recording as it is made, so that a long one needs no memory beyond a small buffer.
class RecordingWriter {
public:
    RecordingWriter() = default;
    ~RecordingWriter(); // closes without an end record: the file reads as cut short
    RecordingWriter(const RecordingWriter&) = delete;
    RecordingWriter& operator=(const RecordingWriter&) = delete;

    // Creates path and writes the identity and features of header (its inputs are ignored).
    bool Open(const std::string& path, const Recording& header, std::string* error);
    // False when the report is empty or too long, time goes back, or writing failed.
    bool Add(std::uint64_t timeUs, const std::uint8_t* data, std::size_t length);
    // Writes the end record and closes; false when any write failed.
    bool Finish(std::string* error);
    std::uint32_t GetInputCount() const { return Count; }

private:
    bool Flush();

    std::FILE* File = nullptr;
    std::string Path;
    std::vector<std::uint8_t> Buffer;
    std::uint32_t Crc = 0;
    std::uint32_t Count = 0;
    std::uint64_t LastTimeUs = 0;
    bool Failed = false;
};

} // namespace Visor
