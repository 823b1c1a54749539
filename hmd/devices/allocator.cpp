// The library allocator: installed instance, heap-backed default and aligned blocks.
#include "hmd/devices/allocator.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace Visor {

namespace {
std::atomic<Allocator*> installed{nullptr};
}

Allocator* Allocator::GetInstance() {
    return installed.load(std::memory_order_acquire);
}
void Allocator::SetInstance(Allocator* a) {
    installed.store(a, std::memory_order_release);
}

void* Allocator::AllocFromLibrary(std::size_t size) {
    Allocator* a = GetInstance();
    return a ? a->Alloc(size) : std::malloc(size);
}

void Allocator::FreeToLibrary(void* p) {
    Allocator* a = GetInstance();
    if (a)
        a->Free(p);
    else
        std::free(p);
}

// Used for library objects made before initialisation; the same heap as the default. Never
// destroyed, like the installed default, so blocks can be freed during process exit.
static DefaultAllocator& FallbackAllocator() {
    static DefaultAllocator* fallback = new DefaultAllocator;
    return *fallback;
}

void* Allocator::AllocAlignedFromLibrary(std::size_t size, std::size_t align) {
    Allocator* a = GetInstance();
    return a ? a->AllocAligned(size, align) : FallbackAllocator().AllocAligned(size, align);
}

void Allocator::FreeAlignedToLibrary(void* p) {
    Allocator* a = GetInstance();
    if (a)
        a->FreeAligned(p);
    else
        FallbackAllocator().FreeAligned(p);
}

void* Allocator::AllocAligned(std::size_t size, std::size_t align) {
    std::size_t a = align > 4 ? align : 4;
    // Only powers of two make a meaningful alignment; anything else is a caller bug.
    if ((a & (a - 1)) != 0 || a > 0x80000000u || size > SIZE_MAX - a)
        return nullptr;
    auto* block = static_cast<unsigned char*>(Alloc(size + a));
    if (!block)
        return nullptr;
    std::uintptr_t start = reinterpret_cast<std::uintptr_t>(block);
    // Always move up by at least 4 bytes (the heap aligns to 4 or more) for the distance.
    std::uintptr_t result = (start + a) & ~(std::uintptr_t(a) - 1);
    std::uint32_t distance = static_cast<std::uint32_t>(result - start);
    unsigned char* p = block + distance;
    std::memcpy(p - 4, &distance, 4);
    return p;
}

void Allocator::FreeAligned(void* p) {
    if (!p)
        return;
    auto* bytes = static_cast<unsigned char*>(p);
    std::uint32_t distance;
    std::memcpy(&distance, bytes - 4, 4);
    Free(bytes - distance);
}

void* DefaultAllocator::Alloc(std::size_t size) {
    return std::malloc(size);
}

void* DefaultAllocator::AllocWithSource(std::size_t size, const char*, unsigned) {
    return Alloc(size);
}

void* DefaultAllocator::Realloc(void* p, std::size_t newSize) {
    return std::realloc(p, newSize);
}

void DefaultAllocator::Free(void* p) {
    std::free(p);
}

} // namespace Visor
