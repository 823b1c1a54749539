// Library strings: buffer sharing, the one empty buffer, copies across threads, and the
// text-building buffer.
#include "hmd/support/visor_string.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using Visor::String;
using Visor::StringBuffer;

TEST(VisorString, CopiesShareOneBufferAndEveryEmptyStringTheStaticOne) {
    String a("profile"), b = a, e, f(""), g(nullptr), h("abc", 0), zero("a\0b", 3);
    EXPECT_TRUE(a.SharesBufferWith(b) && !a.SharesBufferWith(String("profile")));
    EXPECT_TRUE(e.SharesBufferWith(f) && e.SharesBufferWith(g) && e.SharesBufferWith(h));
    String moved(std::move(b));
    EXPECT_TRUE(b.IsEmpty() && moved == "profile"); // NOLINT(bugprone-use-after-move)
    EXPECT_TRUE(zero.GetSize() == 3 && zero != "a");
    std::vector<std::thread> threads; // copies on many threads release the buffer once
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&a] {
            for (int i = 0; i < 10000; ++i)
                ASSERT_EQ(String(a).GetSize(), 7u);
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(a, "profile");
}

TEST(StringBuffer, GrowsFormatsAndReleases) {
    StringBuffer buffer;
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(buffer.AppendFormat("%d,", i));
        expected += std::to_string(i) + ",";
    }
    ASSERT_TRUE(buffer.AppendFormat("%s", std::string(300, 'z').c_str()));
    expected += std::string(300, 'z');
    char* released = buffer.Release();
    EXPECT_EQ(std::string(released), expected);
    std::free(released);
    released = buffer.Release();
    EXPECT_STREQ(released, "") << "an empty buffer still hands out text";
    std::free(released);
}
