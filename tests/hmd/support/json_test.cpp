// JSON reader and printer: the reader's rules and error texts over one table, exact number
// round trips, indentation, trees too deep to print, and the conformance collection.
#include "hmd/support/json.h"

#include "tests/hmd/support/support_fixture.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <random>

using Visor::JSON;
using Visor::Ptr;

namespace {

std::string Print(const JSON* node, int depth = 0, bool formatted = false) {
    char* text = node->WriteValue(depth, formatted);
    std::string result = text ? text : "<null>";
    std::free(text);
    return result;
}

std::string Nested(int depth, const char* open, const char* inner, char close) {
    std::string text;
    for (int i = 0; i < depth; ++i)
        text += open;
    return text + inner + std::string(size_t(depth), close);
}

const std::string Invalid = "Syntax Error: Invalid syntax",
                  NoBracket = "Syntax Error: Missing ending bracket",
                  BadEscape = "Syntax Error: Invalid unicode escape",
                  TooDeep = "Syntax Error: Nesting too deep";
const int Max = JSON::MaxDepth;

} // namespace

// Each text is parsed from a heap block of its exact size, so a sanitizer sees any overread.
// What parses is compared by its compact print, which must read back to the same print.
TEST(JSONReader, ParsesEachTextToItsTreeOrItsErrorText) {
    const struct {
        const char* name;
        std::string text, expected;
    } rows[] = {
        {"order, whitespace, trailing text",
         " {\"b\": [null, true, false], \"a\": \"x\", \"c\": {\"d\": [ \t\r\n\x01 ]}} ] junk",
         R"({"b":[null,true,false],"a":"x","c":{"d":[]}})"},
        {"elements without comma", "[1 2]", NoBracket},
        {"name without quote", "{1: 2}", "Syntax Error: Missing quote"},
        {"member without colon", "{\"a\" 1}", "Syntax Error: Missing colon"},
        {"error deep inside", "[{\"a\": [tru]}]", Invalid},
        {"one leading zero is skipped", "012", "12"},
        {"a second one ends the number", "[0012]", NoBracket},
        {"exponent without digits, lone minus", "[2e+, -]", "[2,-0]"},
        {"classic number forms where exact",
         "[-2147483648, 2147483648, 123456789.5, 1e60, 1e-7, -0.0, 1.5e300, 1e59]",
         "[-2147483648,2147483648,123456789.500000,1.000000e+60,1.000000e-07,-0,1.500000e+300,"
         "99999999999999997168788049560464200849936328366177157906432]"},
        {"shortest exact text elsewhere", "[0.1234567891, 1e-20, 1234567890.5, 5e-324]",
         "[0.1234567891,1e-20,1234567890.5,5e-324]"},
        {"correct rounding", "[0.3, 9007199254740993, 2.2250738585072014e-308]",
         "[0.300000,9007199254740992,2.2250738585072014e-308]"},
        {"out of range", "[1e999, -1e-999, 123e99999999999999999999, 100000e-400, 0.000001e400]",
         "[1e+999,-0,1e+999,0,1e+999]"},
        {"many digits scaled back", "0." + std::string(400, '0') + "1e401", "1"},
        {"escapes", R"("a\b\f\n\r\t\/\"\\\q")", R"("a\b\f\n\r\t/\"\\q")"},
        {"unicode escapes", R"("\u00e9\u20AC\ud83d\ude00\udbff\udfff")",
         "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\""},
        {"lone surrogates and code zero", R"("a\udc00b\ud800c\u0000d\ud800")", R"("abcd")"},
        {"escape after a lone high surrogate", R"("\ud800\u0041\ud800\ud800\udc00")",
         "\"A\xF0\x90\x80\x80\""},
        {"escape cut after 3 digits", "\"\\u123", BadEscape},
        {"low surrogate cut", "\"\\ud800\\u12", BadEscape},
        {"raw bytes copied", "\"tab\there \x01 \xC3\xA9 \xFF\"",
         "\"tab\\there \\u0001 \xC3\xA9 \xFF\""},
        {"unterminated string", "\"abc\\", R"("abc")"},
        {"at the depth limit", Nested(Max - 1, "[", "{}", ']'), Nested(Max - 1, "[", "{}", ']')},
        {"too deep", Nested(Max - 1, "{\"k\":", "[[]]", '}'), TooDeep},
        {"far too deep", std::string(100000, '['), TooDeep},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::unique_ptr<char[]> exact(new char[row.text.size() + 1]);
        std::memcpy(exact.get(), row.text.c_str(), row.text.size() + 1);
        const char* error = nullptr;
        Ptr<JSON> root = Ptr<JSON>::Adopt(JSON::Parse(exact.get(), &error));
        if (row.expected.rfind("Syntax Error", 0) == 0) {
            EXPECT_EQ(root ? "<parsed>" : error ? error : "<none>", row.expected);
            continue;
        }
        ASSERT_TRUE(root) << error;
        std::string printed = Print(root.GetPtr());
        EXPECT_EQ(printed, row.expected);
        EXPECT_EQ(Print(Ptr<JSON>::Adopt(JSON::Parse(printed.c_str())).GetPtr()), printed);
    }
}

TEST(JSONPrinter, EveryNumberReadsBackExactly) {
    char text[JSON::NumberTextSize];
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> plain(-1e7, 1e7);
    for (uint64_t i = 0, bits; i < 100000; ++i) {
        double value = plain(random);
        if (i % 2 && (bits = random()))
            std::memcpy(&value, &bits, sizeof(value));
        std::string printed(text, size_t(JSON::FormatNumber(value, text)));
        Ptr<JSON> back = Ptr<JSON>::Adopt(JSON::Parse(printed.c_str()));
        ASSERT_TRUE(back && (std::isnan(value) || !std::memcmp(&back->dValue, &value, 8)))
            << printed;
    }
}

using JSONDeepTrees = visor_test::SupportTest;

TEST_F(JSONDeepTrees, PrintToTheReadersLimitAndDestroyWithoutRecursion) {
    auto chain = [](int depth) {
        Ptr<JSON> root = Ptr<JSON>::Adopt(JSON::CreateArray());
        for (JSON* node = root.GetPtr(); --depth > 0;)
            node = node->AddArrayItem(nullptr);
        return root;
    };
    EXPECT_EQ(Print(chain(Max).GetPtr()), Nested(Max, "[", "", ']'));
    EXPECT_EQ(Print(chain(Max + 1).GetPtr()), "<null>") << "the reader would refuse it";
    // A million levels: saving refuses with a log line, and the tree goes without recursion.
    Ptr<JSON> deep = chain(1000000);
    ASSERT_TRUE(write("doc.json", "old"));
    EXPECT_FALSE(deep->Save(path("doc.json").c_str()));
    EXPECT_EQ(read("doc.json"), "old");
    EXPECT_NE(takeLog().find("Visor::JSON - cannot save \"" + path("doc.json") +
                             "\": the tree nests deeper than 128 levels"),
              std::string::npos);
    Ptr<JSON> kept(deep->GetFirstItem()); // a subtree held elsewhere outlives its parent
    deep.Clear();
    EXPECT_EQ(kept->GetFirstItem()->GetItemCount(), 1);
}

// Every file of the JSON conformance collection, where present: none may crash or upset a
// sanitizer, must-accept files are accepted and refusals say why. This reader's own rules (see
// the reader table) accept 42 must-reject files and refuse 5 implementation-defined ones
// (UTF-16, a byte-order mark, nesting deeper than JSON::MaxDepth).
TEST(JSONConformanceSuite, EveryFileGetsTheReadersAnswer) {
    const std::string dir = std::string(VISOR_TESTDATA_DIR) + "/json_test_suite/";
    std::string acceptedN, refusedI;
    for (const char* part : {"test_parsing/", "test_transform/"}) {
        DIR* folder = opendir((dir + part).c_str());
        if (!folder)
            GTEST_SKIP() << "no conformance files under " << dir;
        while (dirent* entry = readdir(folder)) {
            std::string name = entry->d_name;
            if (name.size() < 6 || name.compare(name.size() - 5, 5, ".json") != 0)
                continue;
            const char* error = nullptr;
            Ptr<JSON> root = Ptr<JSON>::Adopt(JSON::Load((dir + part + name).c_str(), &error));
            char kind = part[5] == 'p' ? name[0] : 'y';
            EXPECT_TRUE(root || (kind != 'y' && error)) << part << name;
            (root ? acceptedN : refusedI) += kind == (root ? 'n' : 'i') ? name + " " : "";
        }
        closedir(folder);
    }
    EXPECT_EQ(std::count(acceptedN.begin(), acceptedN.end(), ' '), 42) << acceptedN;
    EXPECT_EQ(std::count(refusedI.begin(), refusedI.end(), ' '), 5) << refusedI;
}
