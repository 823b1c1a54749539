// JSON reader, printer and file load/save of the HMD library.
//
// [SECTION] Reader: whitespace, values, numbers, strings, arrays, objects
// [SECTION] Printer: numbers, escaped strings, containers
// [SECTION] Tree building and lookup
// [SECTION] Files
#include "hmd/support/json.h"

#include "hmd/devices/log.h"
#include "hmd/support/file.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace Visor {

namespace {

const char* const ErrInvalidSyntax = "Syntax Error: Invalid syntax";
const char* const ErrMissingQuote = "Syntax Error: Missing quote";
const char* const ErrMissingOpeningBracket = "Syntax Error: Missing opening bracket";
const char* const ErrMissingEndingBracket = "Syntax Error: Missing ending bracket";
const char* const ErrMissingOpeningBrace = "Syntax Error: Missing opening brace";
const char* const ErrMissingColon = "Syntax Error: Missing colon";
const char* const ErrMissingClosingBrace = "Syntax Error: Missing closing brace";
const char* const ErrNoMemory = "Error: Failed to allocate memory";
const char* const ErrTooDeep = "Syntax Error: Nesting too deep";
const char* const ErrInvalidEscape = "Syntax Error: Invalid unicode escape";

// ---------------------------------------------------------------------------------------------
// [SECTION] Reader

inline bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Every byte from 1 to 32 is whitespace; the terminating zero is not.
inline const char* SkipWhitespace(const char* p) {
    while (*p && (unsigned char)*p <= 32)
        ++p;
    return p;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Four hex digits at p, or -1. Stops at the terminating zero, which is no hex digit.
int ParseHex4(const char* p) {
    int code = 0;
    for (int i = 0; i < 4; ++i) {
        int digit = HexValue(p[i]);
        if (digit < 0)
            return -1;
        code = code * 16 + digit;
    }
    return code;
}

bool AppendUtf8(StringBuffer& out, uint32_t code) {
    char bytes[4];
    int count;
    if (code < 0x80) {
        bytes[0] = char(code);
        count = 1;
    } else if (code < 0x800) {
        bytes[0] = char(0xC0 | (code >> 6));
        bytes[1] = char(0x80 | (code & 0x3F));
        count = 2;
    } else if (code < 0x10000) {
        bytes[0] = char(0xE0 | (code >> 12));
        bytes[1] = char(0x80 | ((code >> 6) & 0x3F));
        bytes[2] = char(0x80 | (code & 0x3F));
        count = 3;
    } else {
        bytes[0] = char(0xF0 | (code >> 18));
        bytes[1] = char(0x80 | ((code >> 12) & 0x3F));
        bytes[2] = char(0x80 | ((code >> 6) & 0x3F));
        bytes[3] = char(0x80 | (code & 0x3F));
        count = 4;
    }
    return out.AppendData(bytes, size_t(count));
}

class Reader {
public:
    explicit Reader(const char** error) : pError(error) {}

    // Parses one value at p into node; the position after it, or null with the error set.
    const char* ParseValue(JSON* node, const char* p, int depth);

private:
    const char* Fail(const char* text) {
        if (pError)
            *pError = text;
        return nullptr;
    }
    const char* ParseNumber(JSON* node, const char* p);
    const char* ParseString(JSON* node, const char* p);
    const char* ParseArray(JSON* node, const char* p, int depth);
    const char* ParseObject(JSON* node, const char* p, int depth);

    const char** pError;
    StringBuffer Scratch; // reused by every string of the document
};

const char* Reader::ParseValue(JSON* node, const char* p, int depth) {
    if (std::strncmp(p, "null", 4) == 0) {
        node->Type = JSON_Null;
        return p + 4;
    }
    if (std::strncmp(p, "false", 5) == 0) {
        node->Type = JSON_Bool;
        node->Value = "false";
        node->dValue = 0;
        return p + 5;
    }
    if (std::strncmp(p, "true", 4) == 0) {
        node->Type = JSON_Bool;
        node->Value = "true";
        node->dValue = 1;
        return p + 4;
    }
    switch (*p) {
    case '"':
        return ParseString(node, p);
    case '[':
        return ParseArray(node, p, depth);
    case '{':
        return ParseObject(node, p, depth);
    case '-':
        return ParseNumber(node, p);
    default:
        if (IsDigit(*p))
            return ParseNumber(node, p);
        return Fail(ErrInvalidSyntax);
    }
}

// Scans by the reader's own rules (one leading zero is taken, and a second zero cannot start
// the integer part; a '.' needs a digit after it), then converts the scanned text with
// correct rounding instead of summing digits in floating point, which drifts by an ulp
// (0.3 would read as 0.30000000000000004). Out-of-range values become infinity or zero.
const char* Reader::ParseNumber(JSON* node, const char* p) {
    const char* start = p;
    bool negative = false;
    if (*p == '-') {
        negative = true;
        ++p;
    }
    const char* digits = p;
    if (*p == '0')
        ++p;
    if (*p >= '1' && *p <= '9')
        while (IsDigit(*p))
            ++p;
    const char* integerEnd = p;
    if (*p == '.' && IsDigit(p[1])) {
        ++p;
        while (IsDigit(*p))
            ++p;
    }
    const char* mantissaEnd = p;
    int64_t exponent = 0;
    if (*p == 'e' || *p == 'E') {
        ++p;
        bool negativeExponent = false;
        if (*p == '+' || *p == '-')
            negativeExponent = *p++ == '-';
        while (IsDigit(*p)) {
            // Saturate: beyond this every nonzero mantissa is out of range anyway.
            if (exponent < 100000000)
                exponent = exponent * 10 + (*p - '0');
            ++p;
        }
        if (negativeExponent)
            exponent = -exponent;
    }

    double value = 0;
    if (mantissaEnd > digits) {
        auto result = std::from_chars(digits, p, value);
        if (result.ec == std::errc::result_out_of_range) {
            // Overflow or underflow, told apart by the power of ten of the first nonzero digit
            // (the '.' stands at integerEnd).
            const char* q = digits;
            while (q < mantissaEnd && (*q == '0' || *q == '.'))
                ++q;
            int64_t power = q < integerEnd ? integerEnd - q - 1 : integerEnd - q;
            value = (q < mantissaEnd && power + exponent > 0) ? HUGE_VAL : 0.0;
        } else if (result.ec != std::errc()) {
            value = 0;
        }
    }
    node->Type = JSON_Number;
    node->dValue = negative ? -value : value;
    node->Value = String(start, size_t(p - start));
    return p;
}

const char* Reader::ParseString(JSON* node, const char* p) {
    if (*p != '"')
        return Fail(ErrMissingQuote);
    ++p;
    Scratch.Clear();
    for (;;) {
        // Copy plain runs in one piece.
        const char* run = p;
        while (*p && *p != '"' && *p != '\\')
            ++p;
        if (p > run && !Scratch.AppendData(run, size_t(p - run)))
            return Fail(ErrNoMemory);
        if (*p != '\\')
            break; // closing quote, or the end of the text
        ++p;
        char c = *p;
        if (!c)
            break; // a backslash at the very end: the string ends with the text
        ++p;
        char plain = c;
        switch (c) {
        case 'b':
            plain = '\b';
            break;
        case 'f':
            plain = '\f';
            break;
        case 'n':
            plain = '\n';
            break;
        case 'r':
            plain = '\r';
            break;
        case 't':
            plain = '\t';
            break;
        case 'u': {
            int code = ParseHex4(p);
            if (code < 0)
                return Fail(ErrInvalidEscape);
            p += 4;
            uint32_t point = uint32_t(code);
            if (code >= 0xD800 && code <= 0xDBFF) {
                // A high surrogate needs a low one right after; the pair is one code point.
                // Without one it produces nothing and the following text is read on its own.
                int low = (p[0] == '\\' && p[1] == 'u') ? ParseHex4(p + 2) : -1;
                if (low < 0xDC00 || low > 0xDFFF)
                    continue;
                p += 6;
                point = ((uint32_t(code & 0x3FF) << 10) | uint32_t(low & 0x3FF)) + 0x10000;
            } else if ((code >= 0xDC00 && code <= 0xDFFF) || code == 0) {
                continue; // a lone low surrogate and the code 0 produce nothing
            }
            if (!AppendUtf8(Scratch, point))
                return Fail(ErrNoMemory);
            continue;
        }
        default:
            break; // any other escaped character stands for itself
        }
        if (!Scratch.AppendChar(plain))
            return Fail(ErrNoMemory);
    }
    if (*p == '"')
        ++p;
    node->Type = JSON_String;
    node->Value = Scratch.ToString();
    if (node->Value.GetSize() != Scratch.GetSize())
        return Fail(ErrNoMemory);
    return p;
}

const char* Reader::ParseArray(JSON* node, const char* p, int depth) {
    if (*p != '[')
        return Fail(ErrMissingOpeningBracket);
    if (depth > JSON::MaxDepth)
        return Fail(ErrTooDeep);
    node->Type = JSON_Array;
    p = SkipWhitespace(p + 1);
    if (*p == ']')
        return p + 1;
    for (;;) {
        JSON* child = new JSON(JSON_Null);
        if (!child)
            return Fail(ErrNoMemory);
        node->Children.PushBack(child);
        p = ParseValue(child, SkipWhitespace(p), depth + 1);
        if (!p)
            return nullptr;
        p = SkipWhitespace(p);
        if (*p == ']')
            return p + 1;
        if (*p != ',')
            return Fail(ErrMissingEndingBracket);
        ++p;
    }
}

const char* Reader::ParseObject(JSON* node, const char* p, int depth) {
    if (*p != '{')
        return Fail(ErrMissingOpeningBrace);
    if (depth > JSON::MaxDepth)
        return Fail(ErrTooDeep);
    node->Type = JSON_Object;
    p = SkipWhitespace(p + 1);
    if (*p == '}')
        return p + 1;
    for (;;) {
        JSON* member = new JSON(JSON_Null);
        if (!member)
            return Fail(ErrNoMemory);
        node->Children.PushBack(member);
        p = ParseString(member, SkipWhitespace(p));
        if (!p)
            return nullptr;
        member->Name = std::move(member->Value);
        member->Type = JSON_Null;
        p = SkipWhitespace(p);
        if (*p != ':')
            return Fail(ErrMissingColon);
        p = ParseValue(member, SkipWhitespace(p + 1), depth + 1);
        if (!p)
            return nullptr;
        p = SkipWhitespace(p);
        if (*p == '}')
            return p + 1;
        if (*p != ',')
            return Fail(ErrMissingClosingBrace);
        ++p;
    }
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Printer

bool AppendTabs(StringBuffer& out, int count) {
    for (int i = 0; i < count; ++i)
        if (!out.AppendChar('\t'))
            return false;
    return true;
}

bool AppendEscaped(StringBuffer& out, const String& text) {
    static const char hex[] = "0123456789abcdef";
    if (!out.AppendChar('"'))
        return false;
    const char* p = text.ToCStr();
    const char* end = p + text.GetSize();
    while (p < end) {
        const char* run = p;
        while (p < end && (unsigned char)*p >= 32 && *p != '"' && *p != '\\')
            ++p;
        if (p > run && !out.AppendData(run, size_t(p - run)))
            return false;
        if (p == end)
            break;
        unsigned char c = (unsigned char)*p++;
        char escaped[6] = {'\\', 0, 0, 0, 0, 0};
        size_t size = 2;
        switch (c) {
        case '"':
        case '\\':
            escaped[1] = char(c);
            break;
        case 8:
            escaped[1] = 'b';
            break;
        case 9:
            escaped[1] = 't';
            break;
        case 10:
            escaped[1] = 'n';
            break;
        case 12:
            escaped[1] = 'f';
            break;
        case 13:
            escaped[1] = 'r';
            break;
        default:
            escaped[1] = 'u';
            escaped[2] = '0';
            escaped[3] = '0';
            escaped[4] = hex[c >> 4];
            escaped[5] = hex[c & 15];
            size = 6;
            break;
        }
        if (!out.AppendData(escaped, size))
            return false;
    }
    return out.AppendChar('"');
}

// Whether text reads back as exactly d (the sign of zero included), by the reader's conversion.
bool ReadsBackExactly(const char* text, int size, double d) {
    double back = 0;
    auto result = std::from_chars(text, text + size, back);
    if (result.ec != std::errc() || result.ptr != text + size)
        return false;
    std::uint64_t backBits = 0, bits = 0;
    std::memcpy(&backBits, &back, sizeof(back));
    std::memcpy(&bits, &d, sizeof(d));
    return backBits == bits;
}

} // namespace

int JSON::FormatNumber(double d, char* out) {
    const double epsilon = 2.220446049250313e-16;
    char* end = out + NumberTextSize;
    std::to_chars_result result;
    if (std::isnan(d)) {
        // JSON has no NaN; null is what other readers expect in its place.
        std::memcpy(out, "null", 4);
        return 4;
    }
    if (std::isinf(d)) {
        // Out of any double's range, so this reader (and most) read it back as infinity.
        const char* text = d > 0 ? "1e+999" : "-1e+999";
        size_t size = std::strlen(text);
        std::memcpy(out, text, size);
        return int(size);
    }
    if (d >= -2147483648.0 && d <= 2147483647.0 && std::fabs(d - double(int32_t(d))) <= epsilon)
        result = std::to_chars(out, end, int32_t(d));
    else if (std::fabs(d - std::trunc(d)) <= epsilon && std::fabs(d) < 1e60)
        result = std::to_chars(out, end, d, std::chars_format::fixed, 0);
    else if (std::fabs(d) >= 1e-6 && std::fabs(d) <= 1e9)
        result = std::to_chars(out, end, d, std::chars_format::fixed, 6);
    else
        result = std::to_chars(out, end, d, std::chars_format::scientific, 6);
    if (result.ec == std::errc() && ReadsBackExactly(out, int(result.ptr - out), d))
        return int(result.ptr - out);
    // The classic forms keep six decimals (and the integer form swallows anything within an
    // epsilon of an integer), so where they lose bits the shortest exact text is printed.
    result = std::to_chars(out, end, d);
    return result.ec == std::errc() ? int(result.ptr - out) : 0;
}

JSON::~JSON() {
    // Releasing children one by one would recurse once per level, and a tree built in code has
    // no depth limit: the children of every node this destructor is last to hold move to one
    // worklist first, so each node dies with an empty list.
    List<JSON> pending;
    while (JSON* child = Children.PopFront())
        pending.PushBack(child);
    while (JSON* node = pending.PopFront()) {
        if (node->GetRefCount() == 1)
            while (JSON* child = node->Children.PopFront())
                pending.PushBack(child);
        node->Release();
    }
}

namespace {

// nesting counts containers from the root as the reader does. A deeper container is refused
// rather than printed, as the reader would refuse the text; this also bounds the recursion.
bool PrintValue(const JSON* node, StringBuffer& out, int depth, int nesting, bool formatted) {
    const List<JSON>& children = node->Children;
    if ((node->Type == JSON_Array || node->Type == JSON_Object) && nesting > JSON::MaxDepth)
        return false;
    switch (node->Type) {
    case JSON_Null:
        return out.AppendString("null");
    case JSON_Bool:
        return out.AppendString(node->dValue == 0 ? "false" : "true");
    case JSON_Number: {
        char text[JSON::NumberTextSize];
        return out.AppendData(text, size_t(JSON::FormatNumber(node->dValue, text)));
    }
    case JSON_String:
        return AppendEscaped(out, node->Value);
    case JSON_Array: {
        if (!out.AppendChar('['))
            return false;
        for (const JSON* child = children.GetFirst(); child; child = children.GetNext(child)) {
            if (child != children.GetFirst() && !out.AppendString(formatted ? ", " : ","))
                return false;
            if (!PrintValue(child, out, depth + 1, nesting + 1, formatted))
                return false;
        }
        return out.AppendChar(']');
    }
    case JSON_Object: {
        if (!out.AppendChar('{'))
            return false;
        if (children.IsEmpty()) {
            if (formatted && (!out.AppendChar('\n') || !AppendTabs(out, depth - 1)))
                return false;
            return out.AppendChar('}');
        }
        if (formatted && !out.AppendChar('\n'))
            return false;
        for (const JSON* child = children.GetFirst(); child; child = children.GetNext(child)) {
            if (formatted && !AppendTabs(out, depth + 1))
                return false;
            if (!AppendEscaped(out, child->Name) || !out.AppendChar(':'))
                return false;
            if (formatted && !out.AppendChar('\t'))
                return false;
            if (!PrintValue(child, out, depth + 1, nesting + 1, formatted))
                return false;
            if (child != children.GetLast() && !out.AppendChar(','))
                return false;
            if (formatted && !out.AppendChar('\n'))
                return false;
        }
        if (formatted && !AppendTabs(out, depth))
            return false;
        return out.AppendChar('}');
    }
    default:
        return false;
    }
}

} // namespace

bool JSON::WriteValue(StringBuffer& out, int depth, bool formatted) const {
    return PrintValue(this, out, depth, 1, formatted);
}

char* JSON::WriteValue(int depth, bool formatted) const {
    StringBuffer out;
    if (!WriteValue(out, depth, formatted))
        return nullptr;
    return out.Release();
}

// ---------------------------------------------------------------------------------------------
// Parse entry

JSON* JSON::Parse(const char* text, const char** error) {
    if (error)
        *error = nullptr;
    if (!text) {
        if (error)
            *error = ErrInvalidSyntax;
        return nullptr;
    }
    JSON* root = new JSON(JSON_Object);
    if (!root)
        return nullptr;
    Reader reader(error);
    if (!reader.ParseValue(root, SkipWhitespace(text), 1)) {
        root->Release();
        return nullptr;
    }
    return root;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Tree building and lookup

JSON* JSON::AddItem(const char* name, JSON* item) {
    if (!item)
        return nullptr;
    if (name)
        item->Name = name;
    Children.PushBack(item);
    return item;
}

JSON* JSON::AppendString(const char* name, const char* text) {
    JSON* item = new JSON(JSON_String);
    if (item)
        item->Value = text;
    return AddItem(name, item);
}

JSON* JSON::AddNumberItem(const char* name, double value) {
    JSON* item = new JSON(JSON_Number);
    if (item)
        item->dValue = value;
    return AddItem(name, item);
}

JSON* JSON::AddBoolItem(const char* name, bool value) {
    JSON* item = new JSON(JSON_Bool);
    if (item) {
        item->dValue = value ? 1 : 0;
        item->Value = value ? "true" : "false";
    }
    return AddItem(name, item);
}

JSON* JSON::AddNullItem(const char* name) {
    return AddItem(name, new JSON(JSON_Null));
}

int JSON::GetItemCount() const {
    int count = 0;
    for (const JSON* child = Children.GetFirst(); child; child = Children.GetNext(child))
        ++count;
    return count;
}

JSON* JSON::GetItemByIndex(int index) const {
    if (index < 0)
        return nullptr;
    JSON* child = Children.GetFirst();
    while (child && index-- > 0)
        child = Children.GetNext(child);
    return child;
}

JSON* JSON::GetItemByName(const char* name) const {
    for (JSON* child = Children.GetFirst(); child; child = Children.GetNext(child))
        if (child->Name == name)
            return child;
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// [SECTION] Files

JSON* JSON::Load(const char* path, const char** error) {
    if (error)
        *error = nullptr;
    SysFile file;
    if (!file.Open(path, File::Open_Read))
        return nullptr;
    int64_t length = file.GetLength64();
    // Read takes a 32-bit count; anything that large is no document of this library.
    if (length < 0 || length >= INT32_MAX) {
        file.Close();
        return nullptr;
    }
    char* text = static_cast<char*>(std::malloc(size_t(length) + 1));
    if (!text) {
        file.Close();
        return nullptr;
    }
    int got = file.Read(reinterpret_cast<uint8_t*>(text), int(length));
    file.Close();
    JSON* root = nullptr;
    if (got == int(length)) {
        text[length] = 0;
        root = Parse(text, error);
    }
    std::free(text);
    return root;
}

bool JSON::Save(const char* path) {
    StringBuffer text;
    if (!WriteValue(text, 0, true)) {
        ErrorToLog("Visor::JSON - cannot save \"%s\": the tree nests deeper than %d levels or "
                   "memory ran out.",
                   path ? path : "", int(MaxDepth));
        return false;
    }
    return SysFile::ReplaceContents(path, reinterpret_cast<const uint8_t*>(text.GetData()),
                                    text.GetSize());
}

} // namespace Visor
