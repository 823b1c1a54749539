// Every file of the JSON conformance collection through the reader: none may crash or upset a
// sanitizer; must-accept files are accepted, must-reject files rejected except those listed
// below that this reader's own rules accept; what is accepted prints and reads back unchanged.
#include "hmd/support/json.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using Visor::JSON;
using Visor::Ptr;

namespace {

// Must-reject files this reader accepts: text after the first value is ignored; a NUL byte
// ends the text; one leading zero is skipped, a '.' needs a digit after it, an exponent
// without digits counts as 0 and a lone '-' reads as -0; an unknown escaped character stands
// for itself and an unpaired surrogate produces nothing; raw control bytes in strings are
// copied; a string without closing quote ends with the text; bytes 1 to 32 are whitespace.
const char* const AcceptedDespiteN =
    "array_comma_after_close array_extra_close object_trailing_comment "
    "object_trailing_comment_open object_trailing_comment_slash_open "
    "object_trailing_comment_slash_open_incomplete object_with_trailing_garbage "
    "string_with_trailing_garbage structure_array_trailing_garbage "
    "structure_array_with_extra_array_close structure_close_unopened_array "
    "structure_double_array structure_number_with_trailing_garbage "
    "structure_object_followed_by_closing_object structure_object_with_trailing_garbage "
    "structure_trailing_# multidigit_number_then_00 array_just_minus number_-01 number_0.3e+ "
    "number_0.3e number_0_capital_E+ number_0_capital_E number_0e+ number_0e number_1.0e+ "
    "number_1.0e- number_1.0e number_neg_int_starting_with_zero "
    "number_neg_real_without_int_part number_with_leading_zero string_escape_x "
    "string_escaped_ctrl_char_tab string_escaped_emoji string_invalid_backslash_esc "
    "string_invalid_utf8_after_escape string_unicode_CapitalU "
    "string_incomplete_surrogate_escape_invalid string_unescaped_newline string_unescaped_tab "
    "string_single_doublequote structure_whitespace_formfeed";

// Implementation-defined files this reader refuses (it accepts the others): UTF-16, a
// byte-order mark, and nesting deeper than JSON::MaxDepth.
const char* const RefusedI = "string_UTF-16LE_with_BOM string_utf16BE_no_BOM "
                             "string_utf16LE_no_BOM structure_UTF-8_BOM_empty_object "
                             "structure_500_nested_arrays";

std::set<std::string> Words(const char* text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

std::vector<std::string> ListFiles(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* entry = readdir(d))
            if (std::string name = entry->d_name;
                name.size() > 5 && name.rfind(".json") == name.size() - 5)
                names.push_back(dir + "/" + name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST(JSONConformanceSuite, EveryFileGetsTheReadersAnswer) {
    std::string dir = std::string(VISOR_TESTDATA_DIR) + "/json_test_suite";
    std::vector<std::string> files = ListFiles(dir + "/test_parsing");
    if (files.empty())
        GTEST_SKIP() << "no conformance files under " << dir;
    const std::set<std::string> acceptedN = Words(AcceptedDespiteN), refusedI = Words(RefusedI);
    std::set<std::string> seen;
    for (const std::string& path : ListFiles(dir + "/test_transform"))
        files.push_back(path);
    for (const std::string& path : files) {
        SCOPED_TRACE(path);
        std::string name = path.substr(path.rfind('/') + 1);
        std::string stem = name.substr(2, name.size() - 7); // n_<stem>.json
        const char* error = nullptr;
        Ptr<JSON> root = Ptr<JSON>::Adopt(JSON::Load(path.c_str(), &error));
        bool parsing = path.find("/test_parsing/") != std::string::npos;
        if (parsing && name[0] == 'n')
            seen.insert(stem);
        bool accept = !parsing || name[0] == 'y' || (name[0] == 'n' && acceptedN.count(stem)) ||
                      (name[0] == 'i' && !refusedI.count(stem));
        EXPECT_EQ(bool(root), accept) << (error ? error : "");
        if (!root) {
            EXPECT_NE(error, nullptr) << "a rejected document must say why";
            continue;
        }
        char* printed = root->WriteValue(0, true);
        Ptr<JSON> again = Ptr<JSON>::Adopt(JSON::Parse(printed));
        char* reprinted = again ? again->WriteValue(0, true) : nullptr;
        EXPECT_STREQ(reprinted, printed);
        std::free(printed);
        std::free(reprinted);
    }
    for (const std::string& stem : acceptedN) // a renamed file must not drop out of the list
        EXPECT_EQ(seen.count(stem), 1u) << stem;
}
