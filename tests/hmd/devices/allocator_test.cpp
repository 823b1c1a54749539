// Allocator: aligned blocks, refused requests, and freeing after static destructors ran.
#include "hmd/devices/refcount.h"
#include "hmd/devices/system.h"
#include "hmd/devices/timer.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>

using namespace Visor;

namespace {

// Hands out one arena block at a chosen misalignment, to pin the aligned layout.
struct ArenaAllocator : DefaultAllocator {
    void* Alloc(std::size_t size) override {
        ++Allocs;
        return size + Offset > sizeof Arena ? nullptr : (LastSize = size, Arena + Offset);
    }
    void Free(void* p) override { LastFreed = p; }
    alignas(256) unsigned char Arena[1024];
    std::size_t Offset = 0, LastSize = 0;
    int Allocs = 0;
    void* LastFreed = nullptr;
};

TEST(AlignedAllocation, BlocksAreAlignedHoldTheRequestAndFreeTheHeapBlock) {
    struct Row {
        std::size_t Offset, Align, Effective;
    } rows[] = {{0, 64, 64}, {20, 16, 16}, {8, 1, 4}, {3, 256, 256}}; // at least 4
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Align);
        ArenaAllocator a;
        a.Offset = row.Offset;
        auto* p = static_cast<unsigned char*>(a.AllocAligned(100, row.Align));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % row.Effective, 0u);
        EXPECT_GE(p, a.Arena + row.Offset + 4) << "room for the stored distance";
        EXPECT_LE(p + 100, a.Arena + row.Offset + a.LastSize);
        a.FreeAligned(p);
        EXPECT_EQ(a.LastFreed, a.Arena + row.Offset);
    }
}

TEST(AlignedAllocation, FailureAndNonsenseRequestsGiveNull) {
    ArenaAllocator a;
    EXPECT_EQ(a.AllocAligned(4096, 16), nullptr); // the heap refuses
    EXPECT_EQ(a.AllocAligned(16, 24), nullptr);   // not a power of two
    EXPECT_EQ(a.AllocAligned(SIZE_MAX - 8, 16), nullptr);
    EXPECT_EQ(a.Allocs, 1) << "nonsense never reaches the heap";
    a.FreeAligned(nullptr);
    EXPECT_EQ(a.LastFreed, nullptr);
}

struct Counted : RefCountBase<Counted> {
    explicit Counted(int* destroyed) : Destroyed(destroyed) {}
    ~Counted() override { ++*Destroyed; }
    int* Destroyed;
};

// A library thread may still be ending while the process exits (the device manager asks its
// thread to exit without waiting): its last Release then frees through the library allocator
// after static destructors have run. The exit handler stands for that thread, registered
// before the allocator exists so that it runs after any static of the library is destroyed.
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
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // statics made after the handler
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
