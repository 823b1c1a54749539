// Report-descriptor reader: captured descriptors against their manifest, then hand-made edge
// cases and malformed input.
#include "hmd/devices/hid_report_descriptor.h"

#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

using namespace Visor;

namespace {

// The manifest's columns top_usage_page to max_feature_bytes, or why the parse failed.
std::string Parse(const std::vector<std::uint8_t>& bytes) {
    HidReportDescriptorInfo info;
    const char* error = nullptr;
    if (!ParseHidReportDescriptor(bytes.data(), bytes.size(), info, &error))
        return std::string("error: ") + error;
    char text[96];
    std::snprintf(text, sizeof text, "0x%04X,0x%04X,%d,%s,%d,%d,%d", info.UsagePage, info.Usage,
                  info.ApplicationCollections, info.UsesReportIds ? "yes" : "no",
                  info.InputReportBufferLength, info.OutputReportBufferLength,
                  info.FeatureReportBufferLength);
    return text;
}

std::vector<std::uint8_t> Hex(const char* text) {
    std::vector<std::uint8_t> bytes;
    std::istringstream in(text);
    for (unsigned byte = 0; in >> std::hex >> byte;)
        bytes.push_back(static_cast<std::uint8_t>(byte));
    return bytes;
}

TEST(HidReportDescriptor, EveryCapturedDescriptorMatchesItsManifestRow) {
    const std::string dir = std::string(VISOR_TESTDATA_DIR) + "/hid_descriptors/";
    std::ifstream manifest(dir + "MANIFEST.csv");
    if (!manifest)
        GTEST_SKIP() << "no test data at " << dir;
    std::string line, cell[10];
    std::getline(manifest, line); // header
    // file,source,bytes, the seven columns Parse prints, then a quoted comment
    while (std::getline(manifest, line)) {
        std::istringstream fields(line);
        std::string expected;
        for (int i = 0; i < 10 && std::getline(fields, cell[i], ','); i++)
            expected += i < 2 ? "" : (i > 2 ? "," : "") + cell[i];
        std::ifstream file(dir + cell[0], std::ios::binary);
        const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
        EXPECT_EQ(std::to_string(bytes.size()) + "," + Parse(bytes), expected) << cell[0];
    }
}

TEST(HidReportDescriptor, HandMadeCasesGiveTheirSizesOrSayWhyTheyFail) {
    const char* cases[][2] = {
        // The captured ones cover push and pop, rounding and nesting; not these.
        {"0B 01 00 0D 00 A1 01 FE 02 10 AA 95 00 81 02 75 08 95 03 91 02 C0 00",
         "0x000D,0x0001,1,no,0,3,0"},
        {"A1 01 85 01 75 08 96 FE FF B1 02 C0", "0x0000,0x0000,1,yes,0,0,65535"},
        {"A1 01 75 08 96 FF FF B1 02 C0", "error: report longer than 65534 bytes"},
        {"A1 01 77 00 00 01 00 97 00 00 01 00 81 02 C0", "error: report longer than 65534 bytes"},
        {"A1 01 75", "error: truncated item"},
        {"FE 05 10 00", "error: truncated long item"},
        {"C0", "error: end of a collection that was not opened"},
        {"A1 01", "error: collection not closed"},
        {"A1 01 B4 C0", "error: pop without a push"},
        {"A4 A4 A4 A4 A4 A4 A4 A4 A4", "error: push nested too deep"},
        {"A1 01 85 00 C0", "error: report id outside 1 to 255"},
        {"A1 01 86 00 01 C0", "error: report id outside 1 to 255"},
        {"", "error: no top-level application collection"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Parse(Hex(c[0])), c[1]) << c[0];
    std::vector<std::uint8_t> longest = Hex("A1 01 C0");
    longest.resize(MaxHidReportDescriptorSize); // padded with reserved items
    EXPECT_EQ(Parse(longest), "0x0000,0x0000,1,no,0,0,0");
    longest.push_back(0);
    EXPECT_EQ(Parse(longest), "error: descriptor longer than 4096 bytes");
}

} // namespace
