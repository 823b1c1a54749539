// Allocator, aligned blocks, library-allocated objects, reference counts and the list.
#include "hmd/devices/allocator.h"
#include "hmd/devices/list.h"
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

TEST(AlignedAllocation, AlreadyAlignedBlockGetsResultExactlyAlignmentIn) {
    ArenaAllocator a;
    a.Offset = 0;
    void* p = a.AllocAligned(100, 64);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(static_cast<unsigned char*>(p), a.Arena + 64);
    EXPECT_EQ(a.LastSize, 164u);
    std::uint32_t stored;
    std::memcpy(&stored, static_cast<unsigned char*>(p) - 4, 4);
    EXPECT_EQ(stored, 64u);
    a.FreeAligned(p);
    EXPECT_EQ(a.LastFreed, a.Arena);
}

TEST(AlignedAllocation, MisalignedBlockMovesUpToNextMultiple) {
    ArenaAllocator a;
    a.Offset = 20;
    void* p = a.AllocAligned(10, 16);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(static_cast<unsigned char*>(p), a.Arena + 32);
    a.FreeAligned(p);
    EXPECT_EQ(a.LastFreed, a.Arena + 20);
}

TEST(AlignedAllocation, AlignmentBelowFourAlignsToFour) {
    ArenaAllocator a;
    a.Offset = 8;
    void* p = a.AllocAligned(10, 1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(static_cast<unsigned char*>(p), a.Arena + 12);
    EXPECT_EQ(a.LastSize, 14u);
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
    for (std::size_t align : {1u, 4u, 16u, 64u, 4096u}) {
        auto* p = static_cast<unsigned char*>(a->AllocAligned(333, align));
        ASSERT_NE(p, nullptr);
        std::size_t effective = align < 4 ? 4 : align;
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % effective, 0u) << align;
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
    Allocator::SetInstance(previous);
}

TEST(RefCount, AdoptTakesOverTheCreatorsReference) {
    int destroyed = 0;
    {
        Ptr<Counted> p = Ptr<Counted>::Adopt(new Counted(&destroyed));
        EXPECT_EQ(p->GetRefCount(), 1);
        Ptr<Counted> moved = std::move(p);
        EXPECT_FALSE(p);
        EXPECT_EQ(moved->GetRefCount(), 1);
    }
    EXPECT_EQ(destroyed, 1);
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

struct Item : ListNode<Item> {
    explicit Item(int v) : Value(v) {}
    int Value;
};

TEST(IntrusiveList, KeepsOrderAndUnlinksCleanly) {
    Item a(1), b(2), c(3);
    List<Item> list;
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_EQ(list.GetFirst(), nullptr);
    list.PushBack(&b);
    list.PushFront(&a);
    list.PushBack(&c);
    int expected = 1;
    for (Item* i = list.GetFirst(); i; i = list.GetNext(i))
        EXPECT_EQ(i->Value, expected++);
    EXPECT_EQ(list.GetLast(), &c);
    EXPECT_EQ(list.GetPrev(&a), nullptr);

    b.RemoveNode();
    EXPECT_FALSE(b.IsLinked());
    EXPECT_EQ(b.pNext, nullptr);
    EXPECT_EQ(list.GetNext(&a), &c);
    b.RemoveNode(); // unlinked: nothing happens

    list.PushBack(&a); // moving a linked node relinks it at the end
    EXPECT_EQ(list.GetFirst(), &c);
    EXPECT_EQ(list.GetLast(), &a);
    EXPECT_EQ(list.PopFront(), &c);
    list.Clear();
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_FALSE(a.IsLinked());
}

} // namespace
