// Fuzz target for the HMD library's JSON reader: what parses must print both ways to text that
// reads back to the same tree, numbers bit for bit, and prints again unchanged.
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
    if (a->Type != b->Type || a->Name != b->Name || std::memcmp(&a->dValue, &b->dValue, 8) != 0 ||
        (a->Type != Visor::JSON_Number && a->Value != b->Value)) // a number's text may change
        std::abort();
    const JSON *x = a->GetFirstItem(), *y = b->GetFirstItem();
    for (; x || y; x = a->GetNextItem(x), y = b->GetNextItem(y))
        (x && y) ? ExpectSameTree(x, y) : std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    JSON* root = ParseChecked(text.c_str());
    if (!root)
        return 0;
    for (bool formatted : {true, false}) {
        char* printed = root->WriteValue(0, formatted);
        JSON* again = printed ? ParseChecked(printed) : nullptr;
        if (!again)
            std::abort(); // memory never runs out here: the reader refused the printer
        ExpectSameTree(root, again);
        char* reprinted = again->WriteValue(0, formatted);
        if (!reprinted || std::strcmp(printed, reprinted) != 0)
            std::abort();
        std::free(reprinted);
        std::free(printed);
        again->Release();
    }
    root->Release();
    return 0;
}
