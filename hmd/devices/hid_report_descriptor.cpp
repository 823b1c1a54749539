// Report-descriptor reader: walks the short and long items once, keeping only the global state
// that sizes reports and the first usage of each local set.
#include "hmd/devices/hid_report_descriptor.h"

namespace Visor {

namespace {

enum ItemType : std::uint8_t { Item_Main = 0, Item_Global = 1, Item_Local = 2 };

enum MainTag : std::uint8_t {
    Main_Input = 0x8,
    Main_Output = 0x9,
    Main_Collection = 0xA,
    Main_Feature = 0xB,
    Main_EndCollection = 0xC,
};

enum GlobalTag : std::uint8_t {
    Global_UsagePage = 0x0,
    Global_ReportSize = 0x7,
    Global_ReportId = 0x8,
    Global_ReportCount = 0x9,
    Global_Push = 0xA,
    Global_Pop = 0xB,
};

constexpr std::uint8_t Local_Usage = 0x0;
constexpr std::uint8_t LongItemPrefix = 0xFE;
constexpr std::uint32_t ApplicationCollection = 0x01;

// Largest report body in bits, so that adding the id byte still fits 16 bits.
constexpr std::uint32_t MaxReportBits = (0xFFFFu - 1) * 8;

struct GlobalState {
    std::uint16_t UsagePage = 0;
    std::uint32_t ReportSize = 0;
    std::uint32_t ReportCount = 0;
};

struct ParseState {
    GlobalState Globals;
    GlobalState Stack[MaxHidGlobalStackDepth];
    int StackDepth = 0;
    std::uint32_t ReportId = 0;
    // First Usage of the current local set; a 4-byte one names its own page.
    std::uint32_t FirstUsage = 0;
    std::size_t FirstUsageSize = 0;
    bool HaveUsage = false;
    std::uint32_t Depth = 0;
    HidReportDescriptorInfo Info;
    // Bits of every (input, output, feature) report by id; ids above 255 are refused.
    std::uint32_t ReportBits[3][256] = {};
};

bool Fail(const char** error, const char* why) {
    if (error)
        *error = why;
    return false;
}

// Adds one main item's fields to its report; false when the report grows past the limit.
bool AddFields(ParseState& s, int kind) {
    std::uint32_t& bits = s.ReportBits[kind][s.ReportId];
    // Both factors are below 2^32, so the product cannot wrap in 64 bits.
    const std::uint64_t add =
        static_cast<std::uint64_t>(s.Globals.ReportSize) * s.Globals.ReportCount;
    if (add > MaxReportBits - bits)
        return false;
    bits += static_cast<std::uint32_t>(add);
    return true;
}

const char* MainItem(ParseState& s, std::uint8_t tag, std::uint32_t value) {
    switch (tag) {
    case Main_Input:
    case Main_Output:
    case Main_Feature:
        if (!AddFields(s, tag == Main_Input ? 0 : tag == Main_Output ? 1 : 2))
            return "report longer than 65534 bytes";
        break;
    case Main_Collection:
        if (s.Depth == 0 && (value & 0xFF) == ApplicationCollection) {
            HidReportDescriptorInfo& info = s.Info;
            if (info.ApplicationCollections++ == 0 && s.HaveUsage) {
                const bool extended = s.FirstUsageSize == 4;
                info.UsagePage =
                    extended ? static_cast<std::uint16_t>(s.FirstUsage >> 16) : s.Globals.UsagePage;
                info.Usage = static_cast<std::uint16_t>(s.FirstUsage & 0xFFFF);
            }
        }
        s.Depth++;
        break;
    case Main_EndCollection:
        if (s.Depth == 0)
            return "end of a collection that was not opened";
        s.Depth--;
        break;
    default:
        break; // reserved main items carry no fields
    }
    s.HaveUsage = false;
    return nullptr;
}

const char* GlobalItem(ParseState& s, std::uint8_t tag, std::uint32_t value) {
    switch (tag) {
    case Global_UsagePage:
        s.Globals.UsagePage = static_cast<std::uint16_t>(value);
        break;
    case Global_ReportSize:
        s.Globals.ReportSize = value;
        break;
    case Global_ReportCount:
        s.Globals.ReportCount = value;
        break;
    case Global_ReportId:
        // Id 0 is reserved; a hidraw read could not tell such a report from an unnumbered one.
        if (value == 0 || value > 0xFF)
            return "report id outside 1 to 255";
        s.ReportId = value;
        s.Info.UsesReportIds = true;
        break;
    case Global_Push:
        if (s.StackDepth == MaxHidGlobalStackDepth)
            return "push nested too deep";
        s.Stack[s.StackDepth++] = s.Globals;
        break;
    case Global_Pop:
        if (s.StackDepth == 0)
            return "pop without a push";
        s.Globals = s.Stack[--s.StackDepth];
        break;
    default:
        break; // logical and physical ranges and units do not size reports
    }
    return nullptr;
}

std::uint16_t LargestReport(const std::uint32_t (&bits)[256], bool withId) {
    std::uint32_t largest = 0;
    for (std::uint32_t b : bits)
        largest = b > largest ? b : largest;
    if (largest == 0)
        return 0;
    return static_cast<std::uint16_t>((largest + 7) / 8 + (withId ? 1 : 0));
}

} // namespace

bool ParseHidReportDescriptor(const std::uint8_t* data, std::size_t length,
                              HidReportDescriptorInfo& info, const char** error) {
    if (length > MaxHidReportDescriptorSize)
        return Fail(error, "descriptor longer than 4096 bytes");
    if (!data && length != 0)
        return Fail(error, "no descriptor bytes");

    ParseState s;
    std::size_t pos = 0;
    while (pos < length) {
        const std::uint8_t prefix = data[pos];
        const std::size_t left = length - pos - 1;
        if (prefix == LongItemPrefix) {
            // Long items hold no field this reader needs: skip their data.
            if (left < 2 || left - 2 < data[pos + 1])
                return Fail(error, "truncated long item");
            pos += 3 + data[pos + 1];
            continue;
        }
        const std::size_t size = (prefix & 3) == 3 ? 4 : prefix & 3;
        if (left < size)
            return Fail(error, "truncated item");
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < size; i++)
            value |= static_cast<std::uint32_t>(data[pos + 1 + i]) << (8 * i);
        const auto tag = static_cast<std::uint8_t>(prefix >> 4);
        const char* why = nullptr;
        switch ((prefix >> 2) & 3) {
        case Item_Main:
            why = MainItem(s, tag, value);
            break;
        case Item_Global:
            why = GlobalItem(s, tag, value);
            break;
        case Item_Local:
            if (tag == Local_Usage && !s.HaveUsage) {
                s.FirstUsage = value;
                s.FirstUsageSize = size;
                s.HaveUsage = true;
            }
            break;
        default:
            break; // reserved item type
        }
        if (why)
            return Fail(error, why);
        pos += 1 + size;
    }
    if (s.Depth != 0)
        return Fail(error, "collection not closed");
    if (s.Info.ApplicationCollections == 0)
        return Fail(error, "no top-level application collection");

    const bool withId = s.Info.UsesReportIds;
    s.Info.InputReportBufferLength = LargestReport(s.ReportBits[0], withId);
    s.Info.OutputReportBufferLength = LargestReport(s.ReportBits[1], withId);
    s.Info.FeatureReportBufferLength = LargestReport(s.ReportBits[2], withId);
    info = s.Info;
    return true;
}

} // namespace Visor
