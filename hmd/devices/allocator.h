// Process-wide allocator of the HMD library: the abstract Allocator, the heap-backed
// DefaultAllocator and the aligned allocation every allocator shares.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Visor {

class Allocator {
public:
    virtual ~Allocator() = default;
    virtual void* Alloc(std::size_t size) = 0;
    // The source position is accepted for callers that record it; this library ignores it.
    virtual void* AllocWithSource(std::size_t size, const char* file, unsigned line) = 0;
    virtual void* Realloc(void* p, std::size_t newSize) = 0;
    virtual void Free(void* p) = 0;
    // A block whose address is a multiple of max(align, 4); the distance to the heap block
    // is stored in the 4 bytes before the result. Null on failure. Release with FreeAligned.
    virtual void* AllocAligned(std::size_t size, std::size_t align);
    virtual void FreeAligned(void* p);
    // Library shutdown: the singleton forgets itself.
    virtual void ReleaseSingleton() {}

    // The installed allocator, or null before library initialisation. Any thread.
    static Allocator* GetInstance();
    static void SetInstance(Allocator* a);

    // Allocation for library objects: the installed allocator, or the C heap (which the
    // default allocator also uses) before initialisation, so objects made early stay freeable.
    static void* AllocFromLibrary(std::size_t size);
    static void FreeToLibrary(void* p);
    static void* AllocAlignedFromLibrary(std::size_t size, std::size_t align);
    static void FreeAlignedToLibrary(void* p);
};

// The one process-wide instance of an allocator class, with an in-use flag.
template <class D> class Allocator_SingletonSupport : public Allocator {
public:
    static D* InitSystemSingleton() {
        // Made on the heap and never destroyed: a library thread that ends while the process
        // exits still frees through it after static destructors have run.
        static D* instance = new D;
        instance->pInstance = instance;
        instance->InUse = true;
        return instance;
    }
    void ReleaseSingleton() override {
        InUse = false;
        pInstance = nullptr;
    }
    bool IsInUse() const { return InUse; }

protected:
    D* pInstance = nullptr;
    bool InUse = false;
};

class DefaultAllocator : public Allocator_SingletonSupport<DefaultAllocator> {
public:
    void* Alloc(std::size_t size) override;
    void* AllocWithSource(std::size_t size, const char* file, unsigned line) override;
    void* Realloc(void* p, std::size_t newSize) override;
    void Free(void* p) override;
};

} // namespace Visor
