// Recording files: encoding, the checked parser and the streaming writer.
#include "tools/virtual_headset/recording.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace Visor {

namespace {

const char Magic[8] = {'V', 'I', 'S', 'O', 'R', 'R', 'E', 'C'};
constexpr std::uint8_t Kind_Input = 'I';
constexpr std::uint8_t Kind_End = 'E';
constexpr std::size_t FlushBytes = 1 << 16;

// CRC-32 as zlib computes it, composable: Crc32(Crc32(0, a), b) == Crc32(0, a + b).
std::uint32_t Crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
    static const struct Table {
        std::uint32_t Entries[256];
        Table() {
            for (std::uint32_t i = 0; i < 256; ++i) {
                std::uint32_t c = i;
                for (int k = 0; k < 8; ++k)
                    c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
                Entries[i] = c;
            }
        }
    } table;
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i)
        crc = table.Entries[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void PutInt(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void PutBytes(std::vector<std::uint8_t>& out, const std::uint8_t* data, std::size_t size) {
    out.insert(out.end(), data, data + size);
}

bool PutString(std::vector<std::uint8_t>& out, const std::string& text) {
    if (text.size() > Recording::MaxStringBytes)
        return false;
    PutInt(out, text.size(), 2);
    out.insert(out.end(), text.begin(), text.end());
    return true;
}

bool PutHeader(std::vector<std::uint8_t>& out, const Recording& r) {
    if (r.Features.size() > Recording::MaxFeatures)
        return false;
    out.insert(out.end(), Magic, Magic + sizeof Magic);
    PutInt(out, Recording::Version, 2);
    PutInt(out, r.Device.VendorId, 2);
    PutInt(out, r.Device.ProductId, 2);
    PutInt(out, r.Device.VersionNumber, 2);
    if (!PutString(out, r.Device.Manufacturer) || !PutString(out, r.Device.Product) ||
        !PutString(out, r.Device.SerialNumber))
        return false;
    PutInt(out, r.Features.size(), 1);
    for (const Recording::Feature& f : r.Features) {
        if (f.Bytes.size() > Recording::MaxReportBytes)
            return false;
        PutInt(out, f.ReportId, 1);
        PutInt(out, f.Bytes.size(), 2);
        PutBytes(out, f.Bytes.data(), f.Bytes.size());
    }
    return true;
}

bool PutInput(std::vector<std::uint8_t>& out, std::uint64_t timeUs, const std::uint8_t* data,
              std::size_t size) {
    if (!data || size == 0 || size > Recording::MaxReportBytes)
        return false;
    out.push_back(Kind_Input);
    PutInt(out, timeUs, 8);
    PutInt(out, size, 2);
    PutBytes(out, data, size);
    return true;
}

// Reads fields off untrusted bytes; every read fails cleanly past the end.
struct Cursor {
    const std::uint8_t* Data;
    std::size_t Size;
    std::size_t At = 0;

    bool Int(std::uint64_t* value, int bytes) {
        if (Size - At < static_cast<std::size_t>(bytes))
            return false;
        *value = 0;
        for (int i = 0; i < bytes; ++i)
            *value |= static_cast<std::uint64_t>(Data[At + i]) << (8 * i);
        At += bytes;
        return true;
    }
    bool Bytes(std::size_t count, std::vector<std::uint8_t>* out) {
        if (Size - At < count)
            return false;
        out->assign(Data + At, Data + At + count);
        At += count;
        return true;
    }
    bool Text(std::string* out) {
        std::uint64_t length = 0;
        if (!Int(&length, 2) || length > Recording::MaxStringBytes || Size - At < length)
            return false;
        out->assign(reinterpret_cast<const char*>(Data + At), length);
        At += length;
        return true;
    }
};

bool Fail(std::string* error, const std::string& what) {
    if (error)
        *error = what;
    return false;
}

} // namespace

const Recording::Feature* Recording::FindFeature(std::uint8_t reportId) const {
    for (const Feature& f : Features)
        if (f.ReportId == reportId && !f.Bytes.empty())
            return &f;
    return nullptr;
}

bool EncodeRecording(const Recording& recording, std::vector<std::uint8_t>* bytes) {
    std::vector<std::uint8_t> out;
    if (!PutHeader(out, recording))
        return false;
    std::uint64_t last = 0;
    for (const Recording::Input& input : recording.Inputs) {
        if (input.TimeUs < last ||
            !PutInput(out, input.TimeUs, input.Bytes.data(), input.Bytes.size()))
            return false;
        last = input.TimeUs;
    }
    const std::uint32_t crc = Crc32(0, out.data(), out.size());
    out.push_back(Kind_End);
    PutInt(out, recording.Inputs.size(), 4);
    PutInt(out, crc, 4);
    *bytes = std::move(out);
    return true;
}

bool ParseRecording(const std::uint8_t* data, std::size_t size, Recording* recording,
                    std::string* error) {
    *recording = Recording();
    Cursor in{data, data ? size : 0};
    Recording r;
    std::uint64_t version = 0, value[3] = {};
    if (in.Size < sizeof Magic || std::memcmp(data, Magic, sizeof Magic) != 0)
        return Fail(error, "not a recording (no VISORREC magic)");
    in.At = sizeof Magic;
    if (!in.Int(&version, 2))
        return Fail(error, "cut short in the header");
    if (version != Recording::Version)
        return Fail(error, "version " + std::to_string(version) +
                               " is not supported (this reader knows version 1)");
    std::uint64_t featureCount = 0;
    if (!in.Int(&value[0], 2) || !in.Int(&value[1], 2) || !in.Int(&value[2], 2) ||
        !in.Text(&r.Device.Manufacturer) || !in.Text(&r.Device.Product) ||
        !in.Text(&r.Device.SerialNumber) || !in.Int(&featureCount, 1))
        return Fail(error, "cut short or corrupt in the header");
    r.Device.VendorId = static_cast<std::uint16_t>(value[0]);
    r.Device.ProductId = static_cast<std::uint16_t>(value[1]);
    r.Device.VersionNumber = static_cast<std::uint16_t>(value[2]);
    for (std::uint64_t i = 0; i < featureCount; ++i) {
        std::uint64_t id = 0, length = 0;
        r.Features.emplace_back();
        if (!in.Int(&id, 1) || !in.Int(&length, 2) || length > Recording::MaxReportBytes ||
            !in.Bytes(length, &r.Features.back().Bytes))
            return Fail(error, "cut short or corrupt in feature report " + std::to_string(i));
        r.Features.back().ReportId = static_cast<std::uint8_t>(id);
    }
    for (;;) {
        const std::size_t recordAt = in.At;
        std::uint64_t kind = 0;
        if (!in.Int(&kind, 1))
            return Fail(error, "cut short after " + std::to_string(r.Inputs.size()) +
                                   " input reports (no end record)");
        if (kind == Kind_End) {
            std::uint64_t count = 0, crc = 0;
            if (!in.Int(&count, 4) || !in.Int(&crc, 4))
                return Fail(error, "cut short in the end record");
            if (crc != Crc32(0, data, recordAt))
                return Fail(error, "checksum mismatch: the file is corrupt");
            if (count != r.Inputs.size())
                return Fail(error, "the end record counts " + std::to_string(count) +
                                       " input reports, the file holds " +
                                       std::to_string(r.Inputs.size()));
            if (in.At != in.Size)
                return Fail(error, "bytes after the end record");
            break;
        }
        const std::string where = "input report " + std::to_string(r.Inputs.size()) + " (offset " +
                                  std::to_string(recordAt) + ")";
        if (kind != Kind_Input)
            return Fail(error, where + ": unknown record kind " + std::to_string(kind));
        Recording::Input input;
        std::uint64_t length = 0;
        if (!in.Int(&input.TimeUs, 8) || !in.Int(&length, 2))
            return Fail(error, where + ": cut short");
        if (length == 0 || length > Recording::MaxReportBytes)
            return Fail(error, where + ": length " + std::to_string(length) + " out of range");
        if (!in.Bytes(length, &input.Bytes))
            return Fail(error, where + ": cut short");
        if (!r.Inputs.empty() && input.TimeUs < r.Inputs.back().TimeUs)
            return Fail(error, where + ": time goes backwards");
        r.Inputs.push_back(std::move(input));
    }
    *recording = std::move(r);
    return true;
}

bool LoadRecording(const std::string& path, Recording* recording, std::string* error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *recording = Recording();
        return Fail(error, "cannot open recording '" + path + "'");
    }
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                          std::istreambuf_iterator<char>());
    if (ParseRecording(bytes.data(), bytes.size(), recording, error))
        return true;
    if (error)
        *error = path + ": " + *error;
    return false;
}

RecordingWriter::~RecordingWriter() {
    if (File)
        std::fclose(File);
}

bool RecordingWriter::Open(const std::string& path, const Recording& header, std::string* error) {
    if (File)
        return Fail(error, "a recording is already open");
    Buffer.clear();
    if (!PutHeader(Buffer, header))
        return Fail(error, "the device's strings or feature reports are too long to record");
    File = std::fopen(path.c_str(), "wb");
    if (!File)
        return Fail(error, "cannot create '" + path + "': " + std::strerror(errno));
    Path = path;
    Crc = 0;
    Count = 0;
    LastTimeUs = 0;
    Failed = false;
    return Flush() || Fail(error, "cannot write '" + path + "'");
}

bool RecordingWriter::Add(std::uint64_t timeUs, const std::uint8_t* data, std::size_t length) {
    if (!File || Failed || timeUs < LastTimeUs || !PutInput(Buffer, timeUs, data, length))
        return false;
    LastTimeUs = timeUs;
    ++Count;
    return Buffer.size() < FlushBytes || Flush();
}

bool RecordingWriter::Flush() {
    Crc = Crc32(Crc, Buffer.data(), Buffer.size());
    if (!Buffer.empty() && std::fwrite(Buffer.data(), 1, Buffer.size(), File) != Buffer.size())
        Failed = true;
    Buffer.clear();
    return !Failed;
}

bool RecordingWriter::Finish(std::string* error) {
    if (!File)
        return Fail(error, "no recording is open");
    Flush();
    Buffer.push_back(Kind_End);
    PutInt(Buffer, Count, 4);
    PutInt(Buffer, Crc, 4);
    const bool written = std::fwrite(Buffer.data(), 1, Buffer.size(), File) == Buffer.size();
    Buffer.clear();
    const bool closed = std::fclose(File) == 0;
    File = nullptr;
    if (Failed || !written || !closed)
        return Fail(error, "cannot write '" + Path + "' (disk full?)");
    return true;
}

} // namespace Visor
