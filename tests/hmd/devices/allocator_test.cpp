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
        return size + Offset > sizeof Arena ? nullptr : Arena + Offset;
    }
    void Free(void* p) override { LastFreed = p; }
    alignas(256) unsigned char Arena[1024];
    std::size_t Offset = 0;
    int Allocs = 0;
    void* LastFreed = nullptr;
};

TEST(AlignedAllocation, BlocksAreAlignedAndFitTheHeapBlockAndNonsenseIsRefused) {
    // Effective 0 means refused: by the heap (too big for the arena), or before reaching it
    // (24 is not a power of two; size plus alignment overflows). Below 4 the alignment is 4.
    struct Row {
        std::size_t Offset, Size, Align, Effective;
        int HeapCalls;
    } rows[] = {{0, 100, 64, 64, 1},        {20, 100, 16, 16, 1}, {8, 100, 1, 4, 1},
                {3, 100, 256, 256, 1},      {0, 4096, 16, 0, 1},  {0, 16, 24, 0, 0},
                {0, SIZE_MAX - 8, 16, 0, 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.Size << " aligned to " << row.Align);
        ArenaAllocator a;
        a.Offset = row.Offset;
        auto* p = static_cast<unsigned char*>(a.AllocAligned(row.Size, row.Align));
        EXPECT_EQ(a.Allocs, row.HeapCalls);
        if (!row.Effective) {
            EXPECT_EQ(p, nullptr);
            continue;
        }
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % row.Effective, 0u);
        // The stored distance below the block, the request within what the heap gave.
        EXPECT_GE(p, a.Arena + row.Offset + 4);
        EXPECT_LE(p + row.Size, a.Arena + row.Offset + row.Size + row.Effective);
        a.FreeAligned(p);
        EXPECT_EQ(a.LastFreed, a.Arena + row.Offset);
    }
}

struct Counted : RefCountBase<Counted> {
    explicit Counted(int* destroyed) : Destroyed(destroyed) {}
    ~Counted() override { ++*Destroyed; }
    int* Destroyed;
};

// A library thread may still end while the process exits (the device manager does not wait for
// its thread): its last Release frees after static destructors ran. The exit handler stands
// for it, registered before the library's statics so that it runs after their destruction.
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
