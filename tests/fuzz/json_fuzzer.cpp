// Fuzz target for the HMD library's JSON reader (visor_support): any bytes are parsed as a
// document; what parses is printed both ways, and the printed text must parse again and settle
// into a fixed point.
#include "hmd/support/json.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

using Visor::JSON;

namespace {

// Parses text and checks what the reader promises: a root with an error text of null, or no
// root with an error text.
JSON* ParseChecked(const char* text) {
    const char* error = nullptr;
    JSON* root = JSON::Parse(text, &error);
    if (!root && !error)
        std::abort(); // a failure without a reason (memory never runs out here)
    return root;
}

char* Print(const JSON* root, bool formatted) {
    char* text = root->WriteValue(0, formatted);
    if (!text)
        std::abort();
    return text;
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
        // A printed number may change form once when read back (1.9999999 prints as
        // "2.000000", which reads as 2 and then prints as "2"); from the second print on, the
        // text must stay the same.
        char* first = Print(root, formatted);
        JSON* again = ParseChecked(first);
        if (!again)
            std::abort(); // the printer wrote something its own reader refuses
        char* second = Print(again, formatted);
        JSON* third = ParseChecked(second);
        if (!third)
            std::abort();
        char* reprinted = Print(third, formatted);
        if (std::strcmp(second, reprinted) != 0)
            std::abort();
        std::free(reprinted);
        third->Release();
        std::free(second);
        again->Release();
        std::free(first);
    }
    root->Release();
    return 0;
}
