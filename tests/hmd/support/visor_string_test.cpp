// Library strings: buffer sharing, the one empty buffer, and the text-building buffer.
#include "hmd/support/visor_string.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using Visor::String;
using Visor::StringBuffer;

TEST(VisorString, CopiesShareOneBufferAndEveryEmptyStringTheStaticOne) {
    String a("profile");
    String b = a;
    String c;
    c = b;
    EXPECT_TRUE(a.SharesBufferWith(c));
    EXPECT_EQ(a, String("profile"));
    EXPECT_FALSE(a.SharesBufferWith(String("profile")));

    String e, f(""), g(nullptr), h("abc", 0);
    EXPECT_TRUE(e.SharesBufferWith(f) && e.SharesBufferWith(g) && e.SharesBufferWith(h));
    EXPECT_STREQ(g.ToCStr(), "");

    String moved(std::move(c));
    EXPECT_TRUE(c.IsEmpty()); // NOLINT(bugprone-use-after-move): the moved-from state is defined
    EXPECT_EQ(moved, "profile");

    String zero("a\0b", 3);
    EXPECT_EQ(zero.GetSize(), 3u);
    EXPECT_NE(zero, "a");
}

TEST(VisorString, CopiesAcrossThreadsReleaseTheBufferOnce) {
    String shared("shared between threads");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&shared] {
            for (int i = 0; i < 10000; ++i) {
                String copy = shared;
                ASSERT_EQ(copy.GetSize(), 22u);
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(shared, "shared between threads");
}

TEST(StringBuffer, GrowsAndFormats) {
    StringBuffer buffer;
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(buffer.AppendFormat("%d,", i));
        expected += std::to_string(i) + ",";
    }
    std::string longText(300, 'z');
    ASSERT_TRUE(buffer.AppendFormat("%s", longText.c_str()));
    expected += longText;
    EXPECT_EQ(std::string(buffer.GetData(), buffer.GetSize()), expected);
    char* released = buffer.Release();
    EXPECT_EQ(std::string(released), expected);
    std::free(released);
    EXPECT_EQ(buffer.GetSize(), 0u);
    char* empty = buffer.Release();
    ASSERT_NE(empty, nullptr);
    EXPECT_STREQ(empty, "");
    std::free(empty);
}
