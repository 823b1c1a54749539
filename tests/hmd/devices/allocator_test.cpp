// Allocator, aligned blocks, library-allocated objects and reference counts.
#include "hmd/devices/allocator.h"
#include "hmd/devices/refcount.h"
#include "hmd/devices/system.h"
#include "hmd/devices/timer.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>

using namespace Visor;

namespace {

// Hands out blocks from an arena at a chosen misalignment, to pin the aligned layout.
class ArenaAllocator : public Allocator {
public:
    void* Alloc(std::size_t size) override {
        if (size + Offset > sizeof Arena)
            return nullptr;
        ++Allocs;
        LastSize = size;
        return Arena + Offset;
    }
    void* AllocWithSource(std::size_t size, const char*, unsigned) override { return Alloc(size); }
    void* Realloc(void*, std::size_t) override { return nullptr; }
    void Free(void* p) override {
        ++Frees;
        LastFreed = p;
    }
    alignas(256) unsigned char Arena[1024];
    std::size_t Offset = 0;
    std::size_t LastSize = 0;
    int Allocs = 0, Frees = 0;
    void* LastFreed = nullptr;
};

TEST(AlignedAllocation, BlocksAreAlignedAndFreeGivesBackTheHeapBlock) {
    // Heap blocks at several misalignments; below four the alignment is four.
    struct Case {
        std::size_t Offset, Align, Effective;
    } cases[] = {{0, 64, 64}, {20, 16, 16}, {8, 1, 4}, {3, 256, 256}};
    for (const Case& c : cases) {
        ArenaAllocator a;
        a.Offset = c.Offset;
        auto* p = static_cast<unsigned char*>(a.AllocAligned(100, c.Align));
        ASSERT_NE(p, nullptr) << c.Align;
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % c.Effective, 0u) << c.Align;
        // The block holds the stored offset below the result and all requested bytes above it.
        EXPECT_GE(p, a.Arena + c.Offset + 4) << c.Align;
        EXPECT_LE(p + 100, a.Arena + c.Offset + a.LastSize) << c.Align;
        a.FreeAligned(p);
        EXPECT_EQ(a.LastFreed, a.Arena + c.Offset) << c.Align;
    }
}

TEST(AlignedAllocation, FailureAndNonsenseRequestsGiveNull) {
    ArenaAllocator a;
    EXPECT_EQ(a.AllocAligned(4096, 16), nullptr); // the heap refuses
    EXPECT_EQ(a.AllocAligned(16, 24), nullptr);   // not a power of two
    EXPECT_EQ(a.AllocAligned(SIZE_MAX - 8, 16), nullptr);
    EXPECT_EQ(a.Allocs, 0); // nonsense never reaches the heap; the arena refused the first
    a.FreeAligned(nullptr);
    EXPECT_EQ(a.Frees, 0);
}

TEST(AlignedAllocation, DefaultAllocatorBlocksAreAlignedAndWritable) {
    System::Init();
    Allocator* a = Allocator::GetInstance();
    ASSERT_NE(a, nullptr);
    for (std::size_t align : {16u, 4096u}) {
        auto* p = static_cast<unsigned char*>(a->AllocAligned(333, align));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % align, 0u) << align;
        std::memset(p, 0xAB, 333);
        a->FreeAligned(p);
    }
}

struct Counted : RefCountBase<Counted> {
    explicit Counted(int* destroyed) : Destroyed(destroyed) {}
    ~Counted() override { ++*Destroyed; }
    int* Destroyed;
};

class CountingAllocator : public DefaultAllocator {
public:
    void* Alloc(std::size_t size) override {
        ++Allocs;
        return DefaultAllocator::Alloc(size);
    }
    void Free(void* p) override {
        if (p)
            ++Frees;
        DefaultAllocator::Free(p);
    }
    int Allocs = 0, Frees = 0;
};

TEST(RefCount, LibraryObjectsUseTheInstalledAllocatorAndDieOnLastRelease) {
    System::Init();
    Allocator* previous = Allocator::GetInstance();
    CountingAllocator counting;
    Allocator::SetInstance(&counting);
    int destroyed = 0;
    Counted* c = new Counted(&destroyed);
    EXPECT_EQ(counting.Allocs, 1);
    EXPECT_EQ(c->GetRefCount(), 1);
    {
        Ptr<Counted> a(c);
        Ptr<Counted> b = a;
        EXPECT_EQ(c->GetRefCount(), 3);
    }
    EXPECT_EQ(c->GetRefCount(), 1);
    c->Release();
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(counting.Frees, 1);
    {
        Ptr<Counted> adopted = Ptr<Counted>::Adopt(new Counted(&destroyed));
        Ptr<Counted> moved = std::move(adopted);
        EXPECT_EQ(moved->GetRefCount(), 1) << "adopting takes over the creator's reference";
    }
    EXPECT_EQ(destroyed, 2);
    Allocator::SetInstance(previous);
}

// A thread of the library may still be ending while the process exits (the device manager
// asks its thread to exit without waiting): its last Release then frees through the library
// allocator after static destructors have run. The exit handler below stands for that thread,
// registered before the allocator exists so that it runs after any static of the library
// would have been destroyed.
namespace AtExit {
Counted* Leftover = nullptr;
void* EarlyBlock = nullptr;
int Destroyed = 0;
void FreeAfterStatics() {
    Leftover->Release();
    (void)Timer::GetTicks();
    System::Destroy();
    Allocator::FreeAlignedToLibrary(EarlyBlock);
    std::fflush(stdout);
    std::_Exit(Destroyed == 1 ? 0 : 3);
}
} // namespace AtExit

TEST(AllocatorLifetime, LibraryObjectsCanBeFreedWhileTheProcessExits) {
    // A fresh process, so that the library's statics are made after the handler is in place.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::atexit(&AtExit::FreeAfterStatics);
            AtExit::EarlyBlock = Allocator::AllocAlignedFromLibrary(64, 16);
            System::Init();
            (void)Timer::GetTicks();
            AtExit::Leftover = new Counted(&AtExit::Destroyed);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
