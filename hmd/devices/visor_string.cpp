// Library strings and the text-building buffer.
#include "hmd/devices/visor_string.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace Visor {

String::Data String::EmptyData = {0, {1}, {0}};

const String::Data* String::Allocate(const char* text, size_t size) {
    if (!text || size == 0)
        return &EmptyData;
    // Header plus the bytes plus the terminating zero (Bytes[1] already holds one byte).
    if (size > SIZE_MAX - sizeof(Data))
        return &EmptyData;
    void* block = std::malloc(sizeof(Data) + size);
    if (!block)
        return &EmptyData; // out of memory reads as an empty string rather than a crash
    Data* data = new (block) Data;
    data->Size = size;
    data->RefCount.store(1, std::memory_order_relaxed);
    std::memcpy(data->Bytes, text, size);
    data->Bytes[size] = 0;
    return data;
}

void String::Data::Release() const {
    if (this == &EmptyData)
        return;
    if (RefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        this->~Data();
        std::free(const_cast<Data*>(this));
    }
}

String::String(const char* text) : pData(Allocate(text, text ? std::strlen(text) : 0)) {}

String::String(const char* text, size_t size) : pData(Allocate(text, size)) {}

String& String::operator=(const String& other) {
    other.pData->AddRef();
    pData->Release();
    pData = other.pData;
    return *this;
}

String& String::operator=(String&& other) noexcept {
    if (this != &other) {
        pData->Release();
        pData = other.pData;
        other.pData = &EmptyData;
    }
    return *this;
}

bool String::operator==(const String& other) const {
    return pData == other.pData ||
           (pData->Size == other.pData->Size &&
            std::memcmp(pData->Bytes, other.pData->Bytes, pData->Size) == 0);
}

bool String::operator==(const char* text) const {
    if (!text)
        return IsEmpty();
    size_t size = std::strlen(text);
    return size == pData->Size && std::memcmp(pData->Bytes, text, size) == 0;
}

StringBuffer::~StringBuffer() {
    std::free(pData);
}

bool StringBuffer::Reserve(size_t size) {
    if (size < Capacity)
        return true;
    if (size >= SIZE_MAX / 2)
        return false;
    size_t capacity = Capacity ? Capacity : 64;
    while (capacity <= size)
        capacity *= 2;
    char* data = static_cast<char*>(std::realloc(pData, capacity));
    if (!data)
        return false;
    pData = data;
    Capacity = capacity;
    return true;
}

bool StringBuffer::AppendChar(char c) {
    if (!Reserve(Size + 1))
        return false;
    pData[Size++] = c;
    pData[Size] = 0;
    return true;
}

bool StringBuffer::AppendData(const char* data, size_t size) {
    if (size == 0)
        return true;
    if (size > SIZE_MAX / 2 || !Reserve(Size + size))
        return false;
    std::memcpy(pData + Size, data, size);
    Size += size;
    pData[Size] = 0;
    return true;
}

bool StringBuffer::AppendString(const char* text) {
    return text ? AppendData(text, std::strlen(text)) : true;
}

bool StringBuffer::AppendFormat(const char* format, ...) {
    char local[128];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(local, sizeof(local), format, args);
    va_end(args);
    if (length < 0)
        return false;
    if (size_t(length) < sizeof(local))
        return AppendData(local, size_t(length));
    if (!Reserve(Size + size_t(length)))
        return false;
    va_start(args, format);
    std::vsnprintf(pData + Size, size_t(length) + 1, format, args);
    va_end(args);
    Size += size_t(length);
    return true;
}

char* StringBuffer::Release() {
    if (!pData) {
        if (!Reserve(0))
            return nullptr;
        pData[0] = 0;
    }
    char* data = pData;
    pData = nullptr;
    Size = Capacity = 0;
    return data;
}

} // namespace Visor
