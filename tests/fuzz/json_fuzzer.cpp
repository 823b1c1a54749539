// Fuzz target for the HMD library's JSON reader: any bytes are parsed as a document; what
// parses must print both ways to text that reads back to the same tree, every number to the
// same double bit for bit, and prints again unchanged.
#include "hmd/support/json.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

using Visor::JSON;

namespace {

// The reader promises a root with no error text, or no root with one.
JSON* ParseChecked(const char* text) {
    const char* error = nullptr;
    JSON* root = JSON::Parse(text, &error);
    if (!root && !error)
        std::abort();
    return root;
}

void ExpectSameTree(const JSON* a, const JSON* b) {
    bool sameValue = a->Type == Visor::JSON_Number || a->Value == b->Value; // numbers: dValue
    if (a->Type != b->Type || a->Name != b->Name || !sameValue ||
        std::memcmp(&a->dValue, &b->dValue, sizeof(double)) != 0)
        std::abort();
    const JSON *x = a->GetFirstItem(), *y = b->GetFirstItem();
    for (; x && y; x = a->GetNextItem(x), y = b->GetNextItem(y))
        ExpectSameTree(x, y);
    if (x || y)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The reader takes zero-terminated text; a NUL inside the input ends the document early,
    // which is part of what is being tested.
    std::string text(reinterpret_cast<const char*>(data), size);
    JSON* root = ParseChecked(text.c_str());
    if (!root)
        return 0;
    for (bool formatted : {true, false}) {
        char* printed = root->WriteValue(0, formatted);
        JSON* again = printed ? ParseChecked(printed) : nullptr;
        if (!again)
            std::abort(); // out of memory never happens here; the reader refused the printer
        ExpectSameTree(root, again);
        char* reprinted = again->WriteValue(0, formatted);
        if (!reprinted || std::strcmp(printed, reprinted) != 0)
            std::abort();
        std::free(reprinted);
        again->Release();
        std::free(printed);
    }
    root->Release();
    return 0;
}
