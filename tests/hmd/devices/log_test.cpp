// Library log: prefixes, added line breaks, truncation, the mask and the default log.
#include "hmd/devices/log.h"
#include "hmd/devices/system.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace Visor;

namespace {

struct Captured {
    LogMessageType Type;
    std::string Text;
};

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        System::Init();
        Log::SetOutputSink(&LogTest::Sink, this);
    }
    void TearDown() override {
        Log::SetOutputSink(nullptr, nullptr);
        Log::GetStaticLog()->SetLoggingMask(LogMask_All);
        Log::SetDefaultLog(Log::GetStaticLog());
    }
    static void Sink(void* user, LogMessageType type, const char* text) {
        static_cast<LogTest*>(user)->Lines.push_back({type, text});
    }
    std::vector<Captured> Lines;
};

TEST_F(LogTest, TextHasNoPrefixAndNoAddedLineBreak) {
    TextToLog("Visor::DeviceManager - %s.\n", "initialized");
    ASSERT_EQ(Lines.size(), 1u);
    EXPECT_EQ(Lines[0].Type, Log_Text);
    EXPECT_EQ(Lines[0].Text, "Visor::DeviceManager - initialized.\n");
}

TEST_F(LogTest, ErrorGetsPrefixAndExactlyOneLineBreak) {
    ErrorToLog("cannot open %s", "/dev/hidraw3");
    ASSERT_EQ(Lines.size(), 1u);
    EXPECT_EQ(Lines[0].Text, "Error: cannot open /dev/hidraw3\n");
}

TEST_F(LogTest, LongTextIsCutAt2047Bytes) {
    std::string big(5000, 'x');
    TextToLog("%s", big.c_str());
    ASSERT_EQ(Lines.size(), 1u);
    EXPECT_EQ(Lines[0].Text.size(), 2047u);
    EXPECT_EQ(Lines[0].Text, big.substr(0, 2047));
}

TEST_F(LogTest, LongErrorKeepsItsLineBreakWithinTheBuffer) {
    std::string big(5000, 'y');
    ErrorToLog("%s", big.c_str());
    ASSERT_EQ(Lines.size(), 1u);
    const std::string& t = Lines[0].Text;
    EXPECT_EQ(t.size(), 2047u);
    EXPECT_EQ(t.rfind("Error: ", 0), 0u);
    EXPECT_EQ(t.back(), '\n');
    EXPECT_EQ(t.find('\n'), t.size() - 1);
}

TEST_F(LogTest, FormatLogMatchesPrefixTable) {
    char buffer[64];
    auto format = [&](LogMessageType type, const char* fmt, ...) {
        va_list args;
        va_start(args, fmt);
        std::size_t n = Log::FormatLog(buffer, sizeof buffer, type, fmt, args);
        va_end(args);
        EXPECT_EQ(n, std::string(buffer).size());
        return std::string(buffer);
    };
    EXPECT_EQ(format(Log_Text, "a%d", 1), "a1");
    EXPECT_EQ(format(Log_Error, "a%d", 2), "Error: a2\n");
    EXPECT_EQ(format(Log_DebugText, "a%d", 3), "Debug: a3\n");
    EXPECT_EQ(format(Log_Assert, "a%d", 4), "Assert: a4\n");
    EXPECT_EQ(format(Log_Error, "%s", std::string(200, 'z').c_str()).size(), 63u);
}

TEST_F(LogTest, MaskDropsRegularMessagesAndDebugTypesNeverPrint) {
    Log::GetStaticLog()->SetLoggingMask(LogMask_Debug);
    TextToLog("dropped\n");
    ErrorToLog("dropped");
    EXPECT_TRUE(Lines.empty());

    Log::GetStaticLog()->SetLoggingMask(LogMask_All);
    Log::GetStaticLog()->LogMessage(Log_DebugText, "debug %d", 1);
    Log::GetStaticLog()->LogMessage(Log_Assert, "assert %d", 2);
    EXPECT_TRUE(Lines.empty());

    Log::GetStaticLog()->SetLoggingMask(LogMask_Regular);
    TextToLog("kept\n");
    EXPECT_EQ(Lines.size(), 1u);
}

TEST_F(LogTest, NothingHappensWithoutDefaultLog) {
    Log::SetDefaultLog(nullptr);
    TextToLog("nobody hears this\n");
    ErrorToLog("nor this");
    EXPECT_TRUE(Lines.empty());
}

TEST_F(LogTest, DestroyedDefaultLogUninstallsItself) {
    {
        Log own(LogMask_All);
        Log::SetDefaultLog(&own);
        TextToLog("through own\n");
        EXPECT_EQ(Log::GetDefaultLog(), &own);
    }
    EXPECT_EQ(Log::GetDefaultLog(), nullptr);
    TextToLog("after\n");
    ASSERT_EQ(Lines.size(), 1u);
    EXPECT_EQ(Lines[0].Text, "through own\n");
}

TEST_F(LogTest, SecondInitialisationChangesOnlyTheMask) {
    Allocator* allocator = Allocator::GetInstance();
    Log own;
    Log::SetDefaultLog(&own);
    System::Init(LogMask_Regular);
    EXPECT_EQ(Allocator::GetInstance(), allocator);
    EXPECT_EQ(Log::GetDefaultLog(), &own);
    EXPECT_EQ(Log::GetStaticLog()->GetLoggingMask(), LogMask_Regular);
}

TEST(SystemTest, InitInstallsAllocatorAndStaticLogAfterDestroy) {
    System::Destroy();
    EXPECT_FALSE(System::IsInitialized());
    EXPECT_EQ(Allocator::GetInstance(), nullptr);
    EXPECT_EQ(Log::GetDefaultLog(), nullptr);
    System::Init();
    EXPECT_TRUE(System::IsInitialized());
    EXPECT_EQ(Log::GetDefaultLog(), Log::GetStaticLog());
    EXPECT_EQ(Log::GetStaticLog()->GetLoggingMask(), std::uint32_t(LogMask_All));
}

} // namespace
