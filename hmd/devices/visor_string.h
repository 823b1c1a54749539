// Library strings: UTF-8 text in a shared, reference-counted, immutable buffer, plus a growable
// byte buffer for building text. Copies share the buffer; every empty string uses one static
// buffer.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace Visor {

// Any thread may copy, read and drop strings; a buffer is never changed once built.
class String {
public:
    String() : pData(&EmptyData) {}
    String(const char* text);
    String(const char* text, size_t size);
    String(const String& other) : pData(other.pData) { pData->AddRef(); }
    String(String&& other) noexcept : pData(other.pData) { other.pData = &EmptyData; }
    ~String() { pData->Release(); }

    String& operator=(const String& other);
    String& operator=(String&& other) noexcept;
    String& operator=(const char* text) { return *this = String(text); }

    // Always zero-terminated; the text may hold zero bytes of its own (GetSize counts them).
    const char* ToCStr() const { return pData->Bytes; }
    size_t GetSize() const { return pData->Size; }
    bool IsEmpty() const { return pData->Size == 0; }
    // True when both strings share one buffer (used by tests of the sharing rule).
    bool SharesBufferWith(const String& other) const { return pData == other.pData; }

    bool operator==(const String& other) const;
    bool operator!=(const String& other) const { return !(*this == other); }
    bool operator==(const char* text) const;
    bool operator!=(const char* text) const { return !(*this == text); }

private:
    struct Data {
        size_t Size;
        // The static empty buffer is never counted: it outlives every string and is shared freely.
        mutable std::atomic<int32_t> RefCount;
        char Bytes[1];

        void AddRef() const {
            if (this != &EmptyData)
                RefCount.fetch_add(1, std::memory_order_relaxed);
        }
        void Release() const;
    };

    static Data EmptyData;
    static const Data* Allocate(const char* text, size_t size);

    const Data* pData;
};

// A growable byte buffer for building text; operations report allocation failure by false and
// leave the buffer as it was. Not shared between threads.
class StringBuffer {
public:
    StringBuffer() = default;
    StringBuffer(const StringBuffer&) = delete;
    StringBuffer& operator=(const StringBuffer&) = delete;
    ~StringBuffer();

    bool AppendChar(char c);
    bool AppendData(const char* data, size_t size);
    bool AppendString(const char* text);
    // Formatted append; false when the text could not be formatted or stored.
    bool AppendFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));

    size_t GetSize() const { return Size; }
    const char* GetData() const { return pData ? pData : ""; }
    void Clear() { Size = 0; }
    // Hands the zero-terminated text to the caller (to be freed with std::free); null when empty
    // storage could not be allocated.
    char* Release();
    String ToString() const { return String(GetData(), Size); }

private:
    bool Reserve(size_t size);

    char* pData = nullptr;
    size_t Size = 0;
    size_t Capacity = 0;
};

} // namespace Visor
