// EDID reader: every captured EDID against its manifest row and decoded text, then damaged
// and hand-edited blocks.
#include "hmd/tracking/edid.h"

#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

using namespace Visor;

namespace {

const std::string EdidDir = std::string(VISOR_TESTDATA_DIR) + "/edid_linuxhw/";

std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The manifest's columns version to analog_digital, as the reader sees the bytes.
std::string Describe(const std::vector<std::uint8_t>& bytes) {
    EdidInfo e;
    const char* why = nullptr;
    if (!ParseEdid(bytes.data(), bytes.size(), &e, &why))
        return std::string("error: ") + why;
    std::string tags, sums;
    for (int b = 0; b < e.Blocks; b++) {
        if (b > 0) {
            char tag[4];
            std::snprintf(tag, sizeof tag, b > 1 ? " %02X" : "%02X", e.ExtensionTags[b - 1]);
            tags += tag;
        }
        sums += (e.ChecksumsOk >> b) & 1 ? '1' : '0';
    }
    std::string mode = e.PreferredWidth ? std::to_string(e.PreferredWidth) + "x" +
                                              std::to_string(e.PreferredHeight)
                                        : "";
    char text[160];
    std::snprintf(text, sizeof text, "%d.%d,%s,0x%04X,%s,%d,%s,%s,%s,%s", e.VersionMajor,
                  e.VersionMinor, e.Manufacturer, e.ProductCode, e.DeviceId, e.ExtensionCount,
                  tags.c_str(), sums.c_str(), mode.c_str(), e.Digital ? "digital" : "analog");
    return text;
}

// The name line of the decoder's text beside the dump, empty when it shows none.
std::string DecodedName(const std::string& txtPath) {
    std::ifstream in(txtPath);
    const std::string key = "Display Product Name: '";
    for (std::string line; std::getline(in, line);) {
        std::size_t at = line.find(key);
        if (at != std::string::npos) {
            std::string name = line.substr(at + key.size());
            return name.substr(0, name.rfind('\''));
        }
    }
    return "";
}

TEST(Edid, EveryCapturedEdidMatchesItsManifestRowAndName) {
    std::ifstream manifest(EdidDir + "MANIFEST.csv");
    if (!manifest)
        GTEST_SKIP() << "no test data at " << EdidDir;
    std::string line;
    std::getline(manifest, line); // header
    int rows = 0;
    while (std::getline(manifest, line)) {
        // file,source_path,bytes, nine compared columns, then a free comment
        std::vector<std::string> cells;
        std::istringstream fields(line);
        for (std::string cell; cells.size() < 12 && std::getline(fields, cell, ',');)
            cells.push_back(
                cell.size() >= 2 && cell.front() == '"' ? cell.substr(1, cell.size() - 2) : cell);
        ASSERT_EQ(cells.size(), 12u) << line;
        std::string expected;
        for (int i = 3; i < 12; i++)
            expected += (i > 3 ? "," : "") + cells[i];
        std::vector<std::uint8_t> bytes = ReadFile(EdidDir + cells[0]);
        ASSERT_EQ(std::to_string(bytes.size()), cells[2]) << cells[0];
        EXPECT_EQ(Describe(bytes), expected) << cells[0];

        EdidInfo e;
        ParseEdid(bytes.data(), bytes.size(), &e, nullptr);
        std::string txt = cells[0].substr(0, cells[0].size() - 4) + ".txt";
        EXPECT_EQ(e.MonitorName, DecodedName(EdidDir + txt)) << cells[0];
        rows++;
    }
    EXPECT_EQ(rows, 54);
}

// A captured 1280x800 panel with bytes changed and the checksum made right again.
struct Edit {
    const char* name;
    std::vector<std::pair<int, int>> bytes; // offset, value
    bool fixChecksum;
    std::size_t size;
    const char* expect; // DeviceId, or the refusal
};

TEST(Edid, DamagedAndEditedBlocks) {
    std::vector<std::uint8_t> panel = ReadFile(EdidDir + "panel_1280x800/LGD024F_17EAEDAA14C8.bin");
    if (panel.size() != 128)
        GTEST_SKIP() << "no test data at " << EdidDir;
    const Edit edits[] = {
        {"as captured", {}, false, 128, "LGD024F"},
        {"headset codes", {{8, 0x5A}, {9, 0x72}, {10, 0x01}, {11, 0x00}}, true, 128, "VSR0001"},
        {"one byte short", {}, false, 127, "error: shorter than one 128-byte block"},
        {"header", {{0, 0x01}}, true, 128, "error: no EDID header"},
        {"checksum", {{20, 0x00}}, false, 128, "error: base block checksum is wrong"},
        {"letter code 0",
         {{8, 0x00}, {9, 0x21}},
         true,
         128,
         "error: manufacturer id is not three letters"},
        {"letter code 27",
         {{8, 0x6F}, {9, 0x61}},
         true,
         128,
         "error: manufacturer id is not three letters"},
        {"extension announced, none dumped", {{126, 0x01}}, true, 128, "LGD024F"},
    };
    for (const Edit& edit : edits) {
        std::vector<std::uint8_t> bytes = panel;
        for (auto [at, value] : edit.bytes)
            bytes[at] = static_cast<std::uint8_t>(value);
        if (edit.fixChecksum) {
            unsigned sum = 0;
            for (int i = 0; i < 127; i++)
                sum += bytes[i];
            bytes[127] = static_cast<std::uint8_t>(-sum);
        }
        bytes.resize(edit.size);
        EdidInfo e;
        const char* why = nullptr;
        bool ok = ParseEdid(bytes.data(), bytes.size(), &e, &why);
        EXPECT_EQ(ok ? std::string(e.DeviceId) : std::string("error: ") + why, edit.expect)
            << edit.name;
        if (!ok) {
            EXPECT_EQ(e.DeviceId[0], 0) << edit.name << ": a refusal fills nothing";
        }
    }
    EdidInfo e;
    EXPECT_FALSE(ParseEdid(nullptr, 128, &e, nullptr));
}

} // namespace
