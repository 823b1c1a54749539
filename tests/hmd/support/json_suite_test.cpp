// Every file of the JSON conformance collection through the reader: none may crash or upset a
// sanitizer; must-accept files are accepted, must-reject files rejected, except those listed
// below that this reader's own rules accept; what is accepted prints and reads back unchanged.
#include "hmd/support/json.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <set>
#include <string>
#include <vector>

using Visor::JSON;
using Visor::Ptr;

namespace {

// Must-reject files ("n_<name>.json") this reader accepts, by the rule that accepts them.
const std::set<std::string> AcceptedDespiteN = {
    // Text after the first complete value is ignored.
    "array_comma_after_close", "array_extra_close", "object_trailing_comment",
    "object_trailing_comment_open", "object_trailing_comment_slash_open",
    "object_trailing_comment_slash_open_incomplete", "object_with_trailing_garbage",
    "string_with_trailing_garbage", "structure_array_trailing_garbage",
    "structure_array_with_extra_array_close", "structure_close_unopened_array",
    "structure_double_array", "structure_number_with_trailing_garbage",
    "structure_object_followed_by_closing_object", "structure_object_with_trailing_garbage",
    "structure_trailing_#",
    // The reader works on zero-terminated text: a NUL byte ends it.
    "multidigit_number_then_00",
    // One leading zero is skipped, a '.' needs a digit after it, an exponent without digits
    // counts as 0, and a lone '-' reads as -0.
    "array_just_minus", "number_-01", "number_0.3e+", "number_0.3e", "number_0_capital_E+",
    "number_0_capital_E", "number_0e+", "number_0e", "number_1.0e+", "number_1.0e-", "number_1.0e",
    "number_neg_int_starting_with_zero", "number_neg_real_without_int_part",
    "number_with_leading_zero",
    // An unknown escaped character stands for itself; an unpaired surrogate produces nothing.
    "string_escape_x", "string_escaped_ctrl_char_tab", "string_escaped_emoji",
    "string_invalid_backslash_esc", "string_invalid_utf8_after_escape", "string_unicode_CapitalU",
    "string_incomplete_surrogate_escape_invalid",
    // Raw control bytes in strings are copied; a string without closing quote ends with the
    // text; every byte from 1 to 32 is whitespace.
    "string_unescaped_newline", "string_unescaped_tab", "string_single_doublequote",
    "structure_whitespace_formfeed"};

// Implementation-defined files this reader refuses (all others it accepts): UTF-16 text, a
// byte-order mark (no whitespace), and nesting deeper than JSON::MaxDepth.
const std::set<std::string> RefusedI = {
    "i_string_UTF-16LE_with_BOM.json", "i_string_utf16BE_no_BOM.json",
    "i_string_utf16LE_no_BOM.json", "i_structure_UTF-8_BOM_empty_object.json",
    "i_structure_500_nested_arrays.json"};

std::vector<std::string> ListFiles(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* entry = readdir(d))
            if (std::string name = entry->d_name;
                name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0)
                names.push_back(dir + "/" + name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string Print(const JSON* node) {
    char* text = node->WriteValue(0, true);
    std::string result = text ? text : "";
    std::free(text);
    return result;
}

} // namespace

TEST(JSONConformanceSuite, EveryFileGetsTheReadersAnswer) {
    std::string dir = std::string(VISOR_TESTDATA_DIR) + "/json_test_suite";
    std::vector<std::string> files = ListFiles(dir + "/test_parsing");
    if (files.empty())
        GTEST_SKIP() << "no conformance files under " << dir;
    size_t parsing = files.size();
    for (const std::string& path : ListFiles(dir + "/test_transform"))
        files.push_back(path);

    std::set<std::string> seenN;
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i]);
        std::string name = files[i].substr(files[i].rfind('/') + 1);
        std::string stem = name.substr(2, name.size() - 7);
        const char* error = nullptr;
        Ptr<JSON> root = Ptr<JSON>::Adopt(JSON::Load(files[i].c_str(), &error));
        if (i >= parsing || name[0] == 'y') {
            EXPECT_TRUE(root) << (error ? error : "no error text");
        } else if (name[0] == 'n') {
            seenN.insert(stem);
            EXPECT_EQ(bool(root), AcceptedDespiteN.count(stem) == 1);
        } else {
            EXPECT_EQ(bool(root), RefusedI.count(name) == 0);
        }
        if (!root) {
            EXPECT_NE(error, nullptr) << "a rejected document must say why";
            continue;
        }
        std::string printed = Print(root.GetPtr());
        Ptr<JSON> again = Ptr<JSON>::Adopt(JSON::Parse(printed.c_str()));
        ASSERT_TRUE(again) << printed;
        EXPECT_EQ(Print(again.GetPtr()), printed);
    }
    // The list names real files; a renamed file must not silently drop out of it.
    for (const std::string& stem : AcceptedDespiteN)
        EXPECT_EQ(seenN.count(stem), 1u) << stem;
}
