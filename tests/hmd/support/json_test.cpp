// JSON reader and printer: the reader's rules and error texts over one table, the number
// printer's forms and exact round trip, escapes and indentation, and trees too deep to print.
#include "hmd/support/json.h"

#include "tests/hmd/support/support_fixture.h"

#include <cmath>
#include <cstring>
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

std::string Printed(double value) {
    char text[JSON::NumberTextSize];
    return std::string(text, size_t(JSON::FormatNumber(value, text)));
}

std::string Nested(int depth, char open, const char* inner = "") {
    std::string text;
    for (int i = 0; i < depth; ++i)
        text += open == '{' ? "{\"k\":" : "[";
    return text + inner + std::string(size_t(depth), open == '{' ? '}' : ']');
}

const std::string Invalid = "Syntax Error: Invalid syntax",
                  NoBracket = "Syntax Error: Missing ending bracket",
                  BadEscape = "Syntax Error: Invalid unicode escape",
                  TooDeep = "Syntax Error: Nesting too deep";

} // namespace

// Each text is parsed from a heap block of its exact size, so a sanitizer sees any overread;
// what parses is compared by its compact print, which must also read back to the same print.
TEST(JSONReader, ParsesEachTextToItsTreeOrItsErrorText) {
    const struct {
        const char* name;
        std::string text, expected;
    } rows[] = {
        {"order, whitespace bytes, trailing text",
         " {\"b\": [null, true, false], \"a\": \"x\", \"c\": {\"d\": [ \t\r\n\x01 ]}} ] junk",
         R"({"b":[null,true,false],"a":"x","c":{"d":[]}})"},
        {"array ends at its bracket", "[1]]", "[1]"},
        {"empty text", "", Invalid},
        {"cut literal", "nul", Invalid},
        {"value missing after comma", "[1,", Invalid},
        {"elements without comma", "[1 2]", NoBracket},
        {"unclosed array", "[1", NoBracket},
        {"name without quote", "{1: 2}", "Syntax Error: Missing quote"},
        {"member without colon", "{\"a\" 1}", "Syntax Error: Missing colon"},
        {"members without comma", "{\"a\": 1 \"b\": 2}", "Syntax Error: Missing closing brace"},
        {"text ends after comma", "{\"a\": 1,", "Syntax Error: Missing quote"},
        {"error deep inside", "[{\"a\": [tru]}]", Invalid},
        {"exponent", "-12.50e+1", "-125"},
        {"capital exponent", "0.5E-2", "0.005000"},
        {"second leading zero ends the number", "0012", "0"},
        {"one leading zero is skipped", "012", "12"},
        {"rest of 0012 is no separator", "[0012]", NoBracket},
        {"dot without digit", "1.", "1"},
        {"exponent without digits", "2e+", "2"},
        {"lone minus", "-", "-0"},
        {"rounding 0.3", "0.3", "0.300000"},
        {"rounding smallest normal", "2.2250738585072014e-308", "2.2250738585072014e-308"},
        {"rounding largest", "1.7976931348623157e308", "1.7976931348623157e+308"},
        {"rounding half way", "9007199254740993", "9007199254740992"},
        {"overflow", "1e999", "1e+999"},
        {"negative overflow", "-1e999", "-1e+999"},
        {"underflow", "1e-999", "0"},
        {"huge exponent", "123e99999999999999999999999", "1e+999"},
        {"zero with huge exponent", "0e99999999999999999999999", "0"},
        {"digits scaled below range", "100000e-400", "0"},
        {"fraction scaled above range", "0.000001e400", "1e+999"},
        {"many digits", std::string(5000, '9'), "1e+999"},
        {"many digits scaled back", "1" + std::string(400, '0') + "e-400", "1"},
        {"many fraction digits scaled back", "0." + std::string(400, '0') + "1e401", "1"},
        {"escapes", R"("a\b\f\n\r\t\/\"\\\q")", R"("a\b\f\n\r\t/\"\\q")"},
        {"two-byte escape", R"("\u00e9")", "\"\xC3\xA9\""},
        {"three-byte escape", R"("\u20AC")", "\"\xE2\x82\xAC\""},
        {"surrogate pair", R"("\ud83d\ude00")", "\"\xF0\x9F\x98\x80\""},
        {"highest code point", R"("\udbff\udfff")", "\"\xF4\x8F\xBF\xBF\""},
        {"lone low surrogate", R"("a\udc00b")", R"("ab")"},
        {"lone high surrogate", R"("a\ud800b")", R"("ab")"},
        {"high surrogate at the end", R"("a\ud800")", R"("a")"},
        {"escape after a lone high surrogate", R"("\ud800\u0041")", R"("A")"},
        {"high surrogate before a pair", R"("\ud800\ud800\udc00")", "\"\xF0\x90\x80\x80\""},
        {"code zero", R"("x\u0000y")", R"("xy")"},
        {"escape cut after u", "\"\\u", BadEscape},
        {"escape cut after 1 digit", "\"\\u1", BadEscape},
        {"escape cut after 2 digits", "\"\\u12", BadEscape},
        {"escape cut after 3 digits", "\"\\u123", BadEscape},
        {"escape of no hex digits", "\"\\uzzzz\"", BadEscape},
        {"low surrogate cut", "\"\\ud800\\u12", BadEscape},
        {"short escape in array", "[\"\\u00\"]", BadEscape},
        {"raw bytes copied", "\"tab\there \x01 \xC3\xA9 \xFF\"",
         "\"tab\\there \\u0001 \xC3\xA9 \xFF\""},
        {"unterminated string", "\"abc", R"("abc")"},
        {"backslash at the end", "\"abc\\", R"("abc")"},
        {"unterminated string in array", "[\"abc", NoBracket},
        {"arrays at the depth limit", Nested(JSON::MaxDepth, '['), Nested(JSON::MaxDepth, '[')},
        {"objects at the depth limit", Nested(JSON::MaxDepth - 1, '{', "{}"),
         Nested(JSON::MaxDepth - 1, '{', "{}")},
        {"arrays too deep", Nested(JSON::MaxDepth + 1, '['), TooDeep},
        {"array too deep in objects", Nested(JSON::MaxDepth, '{', "[]"), TooDeep},
        {"unclosed brackets", std::string(100000, '['), TooDeep},
        {"objects far too deep", Nested(50000, '{'), TooDeep},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        char* exact = static_cast<char*>(std::malloc(row.text.size() + 1));
        std::memcpy(exact, row.text.c_str(), row.text.size() + 1);
        const char* error = nullptr;
        Ptr<JSON> root = Ptr<JSON>::Adopt(JSON::Parse(exact, &error));
        std::free(exact);
        if (row.expected.rfind("Syntax Error", 0) == 0) {
            EXPECT_FALSE(root);
            EXPECT_EQ(error ? error : "<none>", row.expected);
            continue;
        }
        ASSERT_TRUE(root) << error;
        std::string printed = Print(root.GetPtr());
        EXPECT_EQ(printed, row.expected);
        Ptr<JSON> again = Ptr<JSON>::Adopt(JSON::Parse(printed.c_str()));
        ASSERT_TRUE(again);
        EXPECT_EQ(Print(again.GetPtr()), printed);
    }
}

TEST(JSONReader, NodesKeepTheSourceTextAndTheMemberNames) {
    Ptr<JSON> root = Ptr<JSON>::Adopt(JSON::Parse(R"({"n": -12.50e+1, "t": true, "c": {}})"));
    ASSERT_TRUE(root);
    ASSERT_EQ(root->GetItemCount(), 3);
    EXPECT_EQ(root->GetItemByIndex(0)->Value, "-12.50e+1");
    EXPECT_EQ(root->GetItemByIndex(0)->Name, "n");
    EXPECT_EQ(root->GetItemByName("t")->Value, "true");
    EXPECT_EQ(root->GetItemByName("t")->dValue, 1.0);
    EXPECT_TRUE(root->GetItemByName("c")->Value.IsEmpty()) << "the name moves out of Value";
    EXPECT_EQ(root->GetItemByName("missing"), nullptr);
    EXPECT_EQ(root->GetItemByIndex(3), nullptr);
}

// The classic forms stay where they read back exactly; elsewhere the shortest exact text.
TEST(JSONPrinter, NumbersKeepTheirFormsAndReadBackExactly) {
    const struct {
        double value;
        const char* text;
    } rows[] = {
        {-7, "-7"},
        {2147483647.0, "2147483647"},
        {-2147483648.0, "-2147483648"},
        {2147483648.0, "2147483648"},
        {1e10, "10000000000"},
        {1e59, "99999999999999997168788049560464200849936328366177157906432"},
        {1.5, "1.500000"},
        {1e-6, "0.000001"},
        {123456789.5, "123456789.500000"},
        {1e60, "1.000000e+60"},
        {1e-7, "1.000000e-07"},
        {-0.0, "-0"},
        {0.1234567891, "0.1234567891"},
        {1e-20, "1e-20"},
        {1234567890.5, "1234567890.5"},
        {0.1 + 0.2, "0.30000000000000004"},
        {5e-324, "5e-324"},
        {HUGE_VAL, "1e+999"},
        {-HUGE_VAL, "-1e+999"},
        {std::nan(""), "null"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Printed(row.value), row.text);

    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> plain(-1e7, 1e7);
    for (int i = 0; i < 100000; ++i) {
        uint64_t bits = random();
        double value = plain(random);
        if (i % 2)
            std::memcpy(&value, &bits, sizeof(value));
        if (!std::isfinite(value))
            continue;
        std::string text = Printed(value);
        Ptr<JSON> back = Ptr<JSON>::Adopt(JSON::Parse(text.c_str()));
        ASSERT_TRUE(back) << text;
        ASSERT_EQ(std::memcmp(&back->dValue, &value, sizeof(value)), 0)
            << text << " read back as " << Printed(back->dValue);
    }
}

TEST(JSONPrinter, EscapesQuotesBackslashesAndControlBytes) {
    Ptr<JSON> root = Ptr<JSON>::Adopt(JSON::CreateArray());
    root->AppendString(nullptr, "q\"b\\ \b\t\n\f\r \x01\x1f\x7f \xC3\xA9/");
    EXPECT_EQ(Print(root.GetPtr()),
              "[\"q\\\"b\\\\ \\b\\t\\n\\f\\r \\u0001\\u001f\x7f \xC3\xA9/\"]");
}

// An empty object closes one tab short of its depth, unlike a filled one; profile files
// written this way must keep the same bytes.
TEST(JSONPrinter, BuiltTreesPrintTabIndented) {
    Ptr<JSON> root = Ptr<JSON>::Adopt(JSON::CreateObject());
    root->AppendString("a", "Ann");
    root->AddNumberItem("h", 1.75);
    JSON* list = root->AddArrayItem("b");
    list->AddNumberItem(nullptr, 1);
    list->AddBoolItem(nullptr, false);
    list->AddNullItem(nullptr);
    JSON* inner = root->AddObjectItem("c");
    inner->AddBoolItem("d", true);
    inner->AddObjectItem("e");
    EXPECT_EQ(Print(root.GetPtr(), 0, true),
              "{\n\t\"a\":\t\"Ann\",\n\t\"h\":\t1.750000,\n\t\"b\":\t[1, false, null],\n"
              "\t\"c\":\t{\n\t\t\"d\":\ttrue,\n\t\t\"e\":\t{\n\t}\n\t}\n}");
    EXPECT_EQ(Print(root.GetPtr()),
              R"({"a":"Ann","h":1.750000,"b":[1,false,null],"c":{"d":true,"e":{}}})");
    EXPECT_EQ(Print(inner->GetItemByName("e"), 3, true), "{\n\t\t}");
}

using JSONDeepTrees = visor_test::SupportTest;

TEST_F(JSONDeepTrees, PrintToTheReadersLimitAndDestroyWithoutRecursion) {
    auto chain = [](int depth) {
        Ptr<JSON> root = Ptr<JSON>::Adopt(JSON::CreateArray());
        JSON* node = root.GetPtr();
        for (int i = 1; i < depth; ++i)
            node = node->AddArrayItem(nullptr);
        return root;
    };
    EXPECT_EQ(Print(chain(JSON::MaxDepth).GetPtr()), Nested(JSON::MaxDepth, '['));
    EXPECT_EQ(Print(chain(JSON::MaxDepth + 1).GetPtr()), "<null>") << "the reader would refuse it";

    // A million levels built in code: saving refuses with a log line and keeps the old file,
    // and the tree goes without overflowing the stack.
    Ptr<JSON> deep = chain(1000000);
    ASSERT_TRUE(write("doc.json", "old"));
    EXPECT_FALSE(deep->Save(path("doc.json").c_str()));
    EXPECT_EQ(read("doc.json"), "old");
    EXPECT_NE(takeLog().find("Visor::JSON - cannot save \"" + path("doc.json") +
                            "\": the tree nests deeper than 128 levels"),
              std::string::npos)
        << takeLog();
    // A subtree still held elsewhere outlives its parent whole.
    Ptr<JSON> kept(deep->GetFirstItem());
    deep.Clear();
    EXPECT_EQ(kept->GetItemCount(), 1);
    EXPECT_EQ(kept->GetFirstItem()->GetItemCount(), 1);
}
