// Engine log: lines reach the installed sink, cut to the buffer size.
#include "shell/log.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <string>

TEST(EngineLog, FormatsOneLinePerCallAndCutsLongLinesToTheBuffer) {
    ombrel::test::LogCapture capture;
    ombrel::log("value %d of %s", 3, "four");
    ombrel::log("%s", std::string(5000, 'x').c_str());
    ASSERT_EQ(capture.lines().size(), 2u);
    EXPECT_EQ(capture.lines()[0], "value 3 of four");
    EXPECT_EQ(capture.lines()[1], std::string(1023, 'x'));
}
