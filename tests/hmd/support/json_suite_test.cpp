// Every file of the JSON conformance collection through the reader: none may crash or upset a
// sanitizer; must-accept files are accepted, must-reject files are rejected, except the ones
// listed below that this reader's own rules deliberately handle differently. Every accepted
// document must also survive print and re-parse unchanged.
#include "hmd/support/json.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <vector>

using Visor::JSON;
using Visor::Ptr;

namespace {

// Why a file's outcome differs from its prefix.
const char* const TrailingText = "text after the first complete value is ignored";
const char* const ZeroEndsText = "the reader works on zero-terminated text: a NUL byte ends it";
const char* const NumberScan =
    "numbers: one leading zero is skipped, a '.' needs a digit after it, an exponent "
    "without digits counts as 0, and a lone '-' reads as -0";
const char* const EscapeStandsForItself = "an unknown escaped character stands for itself";
const char* const RawBytesCopied = "raw control characters and bytes in strings are copied";
const char* const UnterminatedString = "a string without closing quote ends with the text";
const char* const WhitespaceBytes = "every byte from 1 to 32 is whitespace";
const char* const UnpairedSurrogate = "an unpaired surrogate escape produces nothing";

// Must-reject files this reader accepts, with the rule that accepts each.
const std::map<std::string, const char*> AcceptedDespiteN = {
    {"n_array_comma_after_close.json", TrailingText},
    {"n_array_extra_close.json", TrailingText},
    {"n_array_just_minus.json", NumberScan},
    {"n_multidigit_number_then_00.json", ZeroEndsText},
    {"n_number_-01.json", NumberScan},
    {"n_number_0.3e+.json", NumberScan},
    {"n_number_0.3e.json", NumberScan},
    {"n_number_0_capital_E+.json", NumberScan},
    {"n_number_0_capital_E.json", NumberScan},
    {"n_number_0e+.json", NumberScan},
    {"n_number_0e.json", NumberScan},
    {"n_number_1.0e+.json", NumberScan},
    {"n_number_1.0e-.json", NumberScan},
    {"n_number_1.0e.json", NumberScan},
    {"n_number_neg_int_starting_with_zero.json", NumberScan},
    {"n_number_neg_real_without_int_part.json", NumberScan},
    {"n_number_with_leading_zero.json", NumberScan},
    {"n_object_trailing_comment.json", TrailingText},
    {"n_object_trailing_comment_open.json", TrailingText},
    {"n_object_trailing_comment_slash_open.json", TrailingText},
    {"n_object_trailing_comment_slash_open_incomplete.json", TrailingText},
    {"n_object_with_trailing_garbage.json", TrailingText},
    {"n_string_escape_x.json", EscapeStandsForItself},
    {"n_string_escaped_ctrl_char_tab.json", EscapeStandsForItself},
    {"n_string_escaped_emoji.json", EscapeStandsForItself},
    {"n_string_incomplete_surrogate_escape_invalid.json", UnpairedSurrogate},
    {"n_string_invalid_backslash_esc.json", EscapeStandsForItself},
    {"n_string_invalid_utf8_after_escape.json", EscapeStandsForItself},
    {"n_string_single_doublequote.json", UnterminatedString},
    {"n_string_unescaped_newline.json", RawBytesCopied},
    {"n_string_unescaped_tab.json", RawBytesCopied},
    {"n_string_unicode_CapitalU.json", EscapeStandsForItself},
    {"n_string_with_trailing_garbage.json", TrailingText},
    {"n_structure_array_trailing_garbage.json", TrailingText},
    {"n_structure_array_with_extra_array_close.json", TrailingText},
    {"n_structure_close_unopened_array.json", TrailingText},
    {"n_structure_double_array.json", TrailingText},
    {"n_structure_number_with_trailing_garbage.json", TrailingText},
    {"n_structure_object_followed_by_closing_object.json", TrailingText},
    {"n_structure_object_with_trailing_garbage.json", TrailingText},
    {"n_structure_trailing_#.json", TrailingText},
    {"n_structure_whitespace_formfeed.json", WhitespaceBytes},
};

// Must-accept files that are accepted with a value other than the text says.
const std::map<std::string, const char*> AcceptedDifferently = {
    {"y_string_null_escape.json", "the escape \\u0000 produces nothing"},
};

// Implementation-defined files and this reader's answer (true: accepted).
const std::map<std::string, bool> ImplementationDefined = {
    {"i_string_UTF-16LE_with_BOM.json", false},
    {"i_string_utf16BE_no_BOM.json", false},
    {"i_string_utf16LE_no_BOM.json", false},
    {"i_structure_UTF-8_BOM_empty_object.json", false}, // a BOM is no whitespace
    {"i_structure_500_nested_arrays.json", false},      // deeper than JSON::MaxDepth
};

std::string SuiteDir() {
    return std::string(VISOR_TESTDATA_DIR) + "/json_test_suite";
}

std::vector<std::string> ListFiles(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* entry = readdir(d))
            if (std::string(entry->d_name).size() > 5 &&
                std::string(entry->d_name).rfind(".json") != std::string::npos)
                names.push_back(entry->d_name);
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
    std::vector<std::string> parsing = ListFiles(SuiteDir() + "/test_parsing");
    if (parsing.empty())
        GTEST_SKIP() << "no conformance files under " << SuiteDir();

    int accepted = 0, rejected = 0;
    std::vector<std::string> all;
    for (const std::string& name : parsing)
        all.push_back("test_parsing/" + name);
    for (const std::string& name : ListFiles(SuiteDir() + "/test_transform"))
        all.push_back("test_transform/" + name);

    for (const std::string& relative : all) {
        SCOPED_TRACE(relative);
        std::string name = relative.substr(relative.find('/') + 1);
        const char* error = nullptr;
        Ptr<JSON> root =
            Ptr<JSON>::Adopt(JSON::Load((SuiteDir() + "/" + relative).c_str(), &error));
        (root ? accepted : rejected)++;

        char kind = relative.rfind("test_parsing/", 0) == 0 ? name[0] : 't';
        if (kind == 'y' || kind == 't') {
            EXPECT_TRUE(root) << (error ? error : "no error text");
        } else if (kind == 'n') {
            EXPECT_EQ(bool(root), AcceptedDespiteN.count(name) == 1);
        } else if (ImplementationDefined.count(name)) {
            EXPECT_EQ(bool(root), ImplementationDefined.at(name));
        } else {
            EXPECT_TRUE(root) << "not in the list of implementation-defined answers";
        }
        if (!root) {
            EXPECT_NE(error, nullptr) << "a rejected document must say why";
            continue;
        }
        // What was accepted prints, re-parses, and prints the same again.
        std::string printed = Print(root.GetPtr());
        Ptr<JSON> again = Ptr<JSON>::Adopt(JSON::Parse(printed.c_str()));
        ASSERT_TRUE(again) << printed;
        EXPECT_EQ(Print(again.GetPtr()), printed);
    }
    // The lists name real files; a renamed file must not silently drop out of them.
    for (const auto& entry : AcceptedDespiteN)
        EXPECT_TRUE(std::find(parsing.begin(), parsing.end(), entry.first) != parsing.end())
            << entry.first;
    for (const auto& entry : AcceptedDifferently)
        EXPECT_TRUE(std::find(parsing.begin(), parsing.end(), entry.first) != parsing.end())
            << entry.first;
    RecordProperty("accepted", accepted);
    RecordProperty("rejected", rejected);
}

TEST(JSONConformanceSuite, NullEscapeIsDropped) {
    std::string path = SuiteDir() + "/test_parsing/y_string_null_escape.json";
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        GTEST_SKIP() << "no conformance files under " << SuiteDir();
    Ptr<JSON> root = Ptr<JSON>::Adopt(JSON::Load(path.c_str()));
    ASSERT_TRUE(root);
    EXPECT_EQ(root->GetFirstItem()->Value, "");
}
