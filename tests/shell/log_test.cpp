// Engine log: lines reach the installed sink, cut to the buffer size.
#include "shell/log.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <string>

TEST(EngineLog, FormatsOneLinePerCallIntoTheSink) {
    ombrel::test::LogCapture capture;
    ombrel::log("value %d of %s", 3, "four");
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0], "value 3 of four");
}

TEST(EngineLog, CutsLongLinesToTheBufferAndTerminates) {
    ombrel::test::LogCapture capture;
    std::string big(5000, 'x');
    ombrel::log("%s", big.c_str());
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0].size(), 1023u);
}
