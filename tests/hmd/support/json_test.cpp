// JSON reader and printer: the reader's rules and error texts, the printing rules, and
// parse-print-parse round trips.
#include "hmd/support/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

using Visor::JSON;
using Visor::Ptr;

namespace {

Ptr<JSON> Parse(const std::string& text, const char** error = nullptr) {
    return Ptr<JSON>::Adopt(JSON::Parse(text.c_str(), error));
}

std::string Print(const JSON* node, int depth = 0, bool formatted = false) {
    char* text = node->WriteValue(depth, formatted);
    std::string result = text ? text : "<null>";
    std::free(text);
    return result;
}

std::string ParseError(const std::string& text) {
    const char* error = nullptr;
    Ptr<JSON> root = Parse(text, &error);
    EXPECT_FALSE(root) << text;
    return error ? error : "<none>";
}

std::string Printed(double value) {
    char text[JSON::NumberTextSize];
    return std::string(text, size_t(JSON::FormatNumber(value, text)));
}

} // namespace

TEST(JSONReader, ReadsValuesMembersInOrderAndIgnoresTrailingText) {
    Ptr<JSON> root = Parse(R"( {"b": [null, true, false], "a": "x", "c": {"d": [)"
                           " \t\r\n\x01 ]}} ] garbage");
    ASSERT_TRUE(root);
    ASSERT_EQ(root->GetItemCount(), 3);
    EXPECT_EQ(root->GetItemByIndex(1)->Name, "a");
    EXPECT_EQ(root->GetItemByName("a")->Value, "x");
    JSON* b = root->GetItemByIndex(0);
    EXPECT_EQ(b->Name, "b");
    ASSERT_EQ(b->GetItemCount(), 3);
    EXPECT_EQ(b->GetItemByIndex(0)->Type, Visor::JSON_Null);
    EXPECT_EQ(b->GetItemByIndex(1)->Value, "true");
    EXPECT_EQ(b->GetItemByIndex(1)->dValue, 1.0);
    EXPECT_EQ(b->GetItemByIndex(2)->Value, "false");
    JSON* c = root->GetItemByName("c");
    ASSERT_TRUE(c);
    EXPECT_TRUE(c->Value.IsEmpty()); // the name moves out of Value, empty for a container
    EXPECT_EQ(c->GetItemByName("d")->GetItemCount(), 0);
    EXPECT_EQ(root->GetItemByName("missing"), nullptr);
    EXPECT_TRUE(Parse("[1]]"));
}

TEST(JSONReader, ReportsTheErrorTextOfThePartThatFailed) {
    EXPECT_EQ(ParseError(""), "Syntax Error: Invalid syntax");
    EXPECT_EQ(ParseError("nul"), "Syntax Error: Invalid syntax");
    EXPECT_EQ(ParseError("[1,"), "Syntax Error: Invalid syntax");
    EXPECT_EQ(ParseError("[1 2]"), "Syntax Error: Missing ending bracket");
    EXPECT_EQ(ParseError("[1"), "Syntax Error: Missing ending bracket");
    EXPECT_EQ(ParseError("{1: 2}"), "Syntax Error: Missing quote");
    EXPECT_EQ(ParseError("{\"a\" 1}"), "Syntax Error: Missing colon");
    EXPECT_EQ(ParseError("{\"a\": 1 \"b\": 2}"), "Syntax Error: Missing closing brace");
    EXPECT_EQ(ParseError("{\"a\": 1,"), "Syntax Error: Missing quote");
    EXPECT_EQ(ParseError("[{\"a\": [tru]}]"), "Syntax Error: Invalid syntax");
}

TEST(JSONNumbers, KeepTheSourceTextAndFollowTheScanRules) {
    Ptr<JSON> root = Parse("[-12.50e+1, 0.5E-2]");
    ASSERT_TRUE(root);
    EXPECT_EQ(root->GetItemByIndex(0)->Value, "-12.50e+1");
    EXPECT_EQ(root->GetItemByIndex(0)->dValue, -125.0);
    EXPECT_EQ(root->GetItemByIndex(1)->dValue, 0.005);
    Ptr<JSON> doubleZero = Parse("0012");
    ASSERT_TRUE(doubleZero);
    EXPECT_EQ(doubleZero->dValue, 0.0);
    EXPECT_EQ(doubleZero->Value, "0");
    Ptr<JSON> single = Parse("012");
    ASSERT_TRUE(single);
    EXPECT_EQ(single->dValue, 12.0);
    // Inside an array the unread rest of 0012 is no separator.
    EXPECT_EQ(ParseError("[0012]"), "Syntax Error: Missing ending bracket");
    // A '.' needs a digit after it; an exponent without digits counts as zero.
    EXPECT_EQ(Parse("1.")->dValue, 1.0);
    EXPECT_EQ(Parse("2e+")->dValue, 2.0);
    EXPECT_EQ(Parse("2e+")->Value, "2e+");
    EXPECT_TRUE(std::signbit(Parse("-")->dValue));
}

TEST(JSONNumbers, ConvertDecimalsWithCorrectRounding) {
    for (const char* text : {"0.3", "1.1", "123456.789", "2.2250738585072014e-308",
                             "1.7976931348623157e308", "9007199254740993"}) {
        Ptr<JSON> root = Parse(text);
        ASSERT_TRUE(root) << text;
        EXPECT_EQ(root->dValue, std::strtod(text, nullptr)) << text;
    }
}

TEST(JSONNumbers, OutOfRangeBecomesInfinityOrZeroNeverNaN) {
    EXPECT_EQ(Parse("1e999")->dValue, HUGE_VAL);
    EXPECT_EQ(Parse("-1e999")->dValue, -HUGE_VAL);
    EXPECT_EQ(Parse("1e-999")->dValue, 0.0);
    EXPECT_EQ(Parse("123e99999999999999999999999")->dValue, HUGE_VAL);
    EXPECT_EQ(Parse("0e99999999999999999999999")->dValue, 0.0);
    EXPECT_EQ(Parse("100000e-400")->dValue, 0.0);
    EXPECT_EQ(Parse("0.000001e400")->dValue, HUGE_VAL);
    std::string manyDigits(5000, '9');
    EXPECT_EQ(Parse(manyDigits)->dValue, HUGE_VAL);
    // Many digits scaled back into range stay finite and right.
    EXPECT_DOUBLE_EQ(Parse("1" + std::string(400, '0') + "e-400")->dValue, 1.0);
    EXPECT_DOUBLE_EQ(Parse("0." + std::string(400, '0') + "1e401")->dValue, 1.0);
}

TEST(JSONStrings, ResolveEscapesAndUnicodeBecomesUtf8) {
    EXPECT_EQ(std::string(Parse(R"("a\b\f\n\r\t\/\"\\\q")")->Value.ToCStr()), "a\b\f\n\r\t/\"\\q");
    EXPECT_EQ(Parse(R"("\u00e9")")->Value, "\xC3\xA9");
    EXPECT_EQ(Parse(R"("\u20AC")")->Value, "\xE2\x82\xAC");
    EXPECT_EQ(Parse(R"("\ud83d\ude00")")->Value, "\xF0\x9F\x98\x80");
    EXPECT_EQ(Parse(R"("\udbff\udfff")")->Value, "\xF4\x8F\xBF\xBF");
}

TEST(JSONStrings, LoneSurrogatesAndCodeZeroProduceNothing) {
    EXPECT_EQ(Parse(R"("a\udc00b")")->Value, "ab");
    EXPECT_EQ(Parse(R"("a\ud800b")")->Value, "ab");
    EXPECT_EQ(Parse(R"("a\ud800")")->Value, "a");
    // The escape after an unpaired high surrogate is read on its own.
    EXPECT_EQ(Parse(R"("\ud800\u0041")")->Value, "A");
    EXPECT_EQ(Parse(R"("\ud800\ud800\udc00")")->Value, "\xF0\x90\x80\x80");
    Ptr<JSON> zero = Parse(R"("x\u0000y")");
    EXPECT_EQ(zero->Value, "xy");
    EXPECT_EQ(zero->Value.GetSize(), 2u);
}

TEST(JSONStrings, TruncatedEscapesFailWithoutReadingPastTheText) {
    // Each text is copied to a heap block of its exact size so a sanitizer sees any overread.
    const char* texts[] = {"\"\\u",       "\"\\u1",         "\"\\u12",    "\"\\u123",
                           "\"\\uzzzz\"", "\"\\ud800\\u12", "[\"\\u00\"]"};
    for (const char* text : texts) {
        std::string copy(text);
        char* exact = static_cast<char*>(std::malloc(copy.size() + 1));
        std::memcpy(exact, copy.c_str(), copy.size() + 1);
        const char* error = nullptr;
        JSON* root = JSON::Parse(exact, &error);
        EXPECT_EQ(root, nullptr) << text;
        EXPECT_STREQ(error, "Syntax Error: Invalid unicode escape") << text;
        std::free(exact);
    }
}

TEST(JSONStrings, RawBytesAreCopiedAndAnUnterminatedStringEndsWithTheText) {
    EXPECT_EQ(Parse("\"tab\there \x01 \xC3\xA9 \xFF\"")->Value, "tab\there \x01 \xC3\xA9 \xFF");
    EXPECT_EQ(Parse("\"abc")->Value, "abc");
    EXPECT_EQ(Parse("\"abc\\")->Value, "abc");
    EXPECT_EQ(ParseError("[\"abc"), "Syntax Error: Missing ending bracket");
}

class JSONNesting : public ::testing::Test {
protected:
    static std::string Nested(int depth, char open, char close, const char* inner = "") {
        std::string text;
        for (int i = 0; i < depth; ++i)
            text += open == '{' ? std::string("{\"k\":") : std::string(1, open);
        text += inner;
        for (int i = 0; i < depth; ++i)
            text += close;
        return text;
    }
};

TEST_F(JSONNesting, AcceptsTheDepthLimitAndRefusesDeeperWithAnErrorText) {
    EXPECT_TRUE(Parse(Nested(JSON::MaxDepth, '[', ']')));
    EXPECT_TRUE(Parse(Nested(JSON::MaxDepth - 1, '{', '}', "{}")));
    EXPECT_EQ(ParseError(Nested(JSON::MaxDepth + 1, '[', ']')), "Syntax Error: Nesting too deep");
    EXPECT_EQ(ParseError(Nested(JSON::MaxDepth, '{', '}', "[]")), "Syntax Error: Nesting too deep");
    EXPECT_EQ(ParseError(std::string(100000, '[')), "Syntax Error: Nesting too deep");
    EXPECT_EQ(ParseError(Nested(50000, '{', '}')), "Syntax Error: Nesting too deep");
}

TEST(JSONPrinter, NumbersFollowTheFormatRules) {
    EXPECT_EQ(Printed(-7), "-7");
    EXPECT_EQ(Printed(-0.0), "0");
    EXPECT_EQ(Printed(2147483647.0), "2147483647");
    EXPECT_EQ(Printed(-2147483648.0), "-2147483648");
    EXPECT_EQ(Printed(2147483648.0), "2147483648");
    EXPECT_EQ(Printed(1.5), "1.500000");
    EXPECT_EQ(Printed(1e10), "10000000000");
    EXPECT_EQ(Printed(1e59), "99999999999999997168788049560464200849936328366177157906432");
    EXPECT_EQ(Printed(1e60), "1.000000e+60");
    EXPECT_EQ(Printed(1e-7), "1.000000e-07");
    EXPECT_EQ(Printed(1e-6), "0.000001");
    EXPECT_EQ(Printed(123456789.5), "123456789.500000");
    EXPECT_EQ(Printed(1234567890.5), "1.234568e+09");
    // JSON has no infinity or NaN: infinity prints as a number that reads back as infinity.
    EXPECT_EQ(Printed(HUGE_VAL), "1e+999");
    EXPECT_EQ(Printed(-HUGE_VAL), "-1e+999");
    EXPECT_EQ(Printed(std::nan("")), "null");
}

TEST(JSONPrinter, EscapesQuotesBackslashesAndControlBytes) {
    Ptr<JSON> root = Ptr<JSON>::Adopt(JSON::CreateArray());
    root->AppendString(nullptr, "q\"b\\ \b\t\n\f\r \x01\x1f\x7f \xC3\xA9/");
    EXPECT_EQ(Print(root.GetPtr()),
              "[\"q\\\"b\\\\ \\b\\t\\n\\f\\r \\u0001\\u001f\x7f \xC3\xA9/\"]");
}

// An empty object closes one tab short of its depth, unlike a filled one; profile files
// written this way must keep the same bytes.
TEST(JSONPrinter, FormattedObjectsIndentWithTabs) {
    Ptr<JSON> root = Parse(R"({"a": 1, "b": [1, "x", false], "c": {"d": null, "e": {}}})");
    ASSERT_TRUE(root);
    EXPECT_EQ(Print(root.GetPtr(), 0, true), "{\n"
                                             "\t\"a\":\t1,\n"
                                             "\t\"b\":\t[1, \"x\", false],\n"
                                             "\t\"c\":\t{\n"
                                             "\t\t\"d\":\tnull,\n"
                                             "\t\t\"e\":\t{\n"
                                             "\t}\n"
                                             "\t}\n"
                                             "}");
    EXPECT_EQ(Print(root.GetPtr()), R"({"a":1,"b":[1,"x",false],"c":{"d":null,"e":{}}})");
    Ptr<JSON> empty = Ptr<JSON>::Adopt(JSON::CreateObject());
    EXPECT_EQ(Print(empty.GetPtr(), 0, true), "{\n}");
    EXPECT_EQ(Print(empty.GetPtr(), 3, true), "{\n\t\t}");
}

TEST(JSONPrinter, PrintsBuiltTrees) {
    Ptr<JSON> root = Ptr<JSON>::Adopt(JSON::CreateObject());
    root->AppendString("name", "Ann");
    root->AddNumberItem("height", 1.75);
    root->AddBoolItem("on", true);
    root->AddNullItem("none");
    JSON* list = root->AddArrayItem("list");
    list->AddNumberItem(nullptr, 1);
    list->AddObjectItem(nullptr);
    EXPECT_EQ(Print(root.GetPtr()),
              R"({"name":"Ann","height":1.750000,"on":true,"none":null,"list":[1,{}]})");
}

namespace {

void ExpectSameTree(const JSON* a, const JSON* b, const std::string& where) {
    ASSERT_EQ(a->Type, b->Type) << where;
    EXPECT_EQ(a->Name, b->Name) << where;
    if (a->Type == Visor::JSON_String || a->Type == Visor::JSON_Bool) {
        EXPECT_EQ(a->Value, b->Value) << where;
    }
    if (a->Type == Visor::JSON_Number) {
        EXPECT_EQ(Printed(a->dValue), Printed(b->dValue)) << where;
    }
    ASSERT_EQ(a->GetItemCount(), b->GetItemCount()) << where;
    const JSON* x = a->GetFirstItem();
    const JSON* y = b->GetFirstItem();
    for (int i = 0; x && y; ++i, x = a->GetNextItem(x), y = b->GetNextItem(y))
        ExpectSameTree(x, y, where + "/" + std::to_string(i));
}

} // namespace

TEST(JSONRoundTrip, ParsePrintParseKeepsTheTree) {
    const char* document = R"({
        "Visor Profile Version": 1,
        "text": "tab\t quote\" slash\\ \u00e9 \ud83d\ude00 ctl\u0001",
        "numbers": [0, -1, 2147483647, 4294967296, 1.5, -0.001, 1e-9, 6.02e23, 1e300, 1e999],
        "flags": [true, false, null],
        "nested": {"empty": {}, "list": [[], [{}], {"k": "v"}]}
    })";
    Ptr<JSON> first = Parse(document);
    ASSERT_TRUE(first);
    for (bool formatted : {true, false}) {
        std::string printed = Print(first.GetPtr(), 0, formatted);
        Ptr<JSON> second = Parse(printed);
        ASSERT_TRUE(second) << printed;
        ExpectSameTree(first.GetPtr(), second.GetPtr(), "");
        // Printing is stable once a value has been through the printer.
        EXPECT_EQ(Print(second.GetPtr(), 0, formatted), printed);
    }
}
