// Library strings: buffer sharing, the one empty buffer, and copies across threads.
#include "hmd/devices/visor_string.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using Visor::String;

TEST(VisorString, CopiesShareOneBufferReleasedOnceAcrossThreads) {
    String a("profile"), b = a, e, f(""), g(nullptr), h("abc", 0), zero("a\0b", 3);
    EXPECT_TRUE(a.SharesBufferWith(b) && !a.SharesBufferWith(String("profile")));
    EXPECT_TRUE(e.SharesBufferWith(f) && e.SharesBufferWith(g) && e.SharesBufferWith(h));
    EXPECT_TRUE(zero.GetSize() == 3 && zero != "a");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&a] {
            for (int i = 0; i < 10000; ++i)
                ASSERT_EQ(String(a).GetSize(), 7u);
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(a, "profile");
}
