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

TEST_F(LogTest, PrefixesAndLineBreaksFollowTheMessageType) {
    TextToLog("Visor::DeviceManager - %s.\n", "initialized");
    ErrorToLog("cannot open %s", "/dev/hidraw3");
    ASSERT_EQ(Lines.size(), 2u);
    EXPECT_EQ(Lines[0].Type, Log_Text);
    EXPECT_EQ(Lines[0].Text, "Visor::DeviceManager - initialized.\n");
    EXPECT_EQ(Lines[1].Text, "Error: cannot open /dev/hidraw3\n");
}

TEST_F(LogTest, LongMessagesAreCutAndKeepTheirOneLineBreak) {
    std::string big(5000, 'x');
    TextToLog("%s", big.c_str());
    ErrorToLog("%s", big.c_str());
    ASSERT_EQ(Lines.size(), 2u);
    EXPECT_EQ(Lines[0].Text, big.substr(0, 2047));
    const std::string& t = Lines[1].Text;
    EXPECT_EQ(t.size(), 2047u);
    EXPECT_EQ(t.rfind("Error: ", 0), 0u);
    EXPECT_EQ(t.find('\n'), t.size() - 1);
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

TEST_F(LogTest, DestroyedDefaultLogUninstallsItselfAndThenNothingIsLogged) {
    {
        Log own(LogMask_All);
        Log::SetDefaultLog(&own);
        TextToLog("through own\n");
    }
    EXPECT_EQ(Log::GetDefaultLog(), nullptr);
    TextToLog("after\n");
    ErrorToLog("nor this");
    ASSERT_EQ(Lines.size(), 1u);
    EXPECT_EQ(Lines[0].Text, "through own\n");
}

TEST_F(LogTest, InitialisationInstallsTheStaticLogAndASecondOneChangesOnlyTheMask) {
    System::Destroy();
    EXPECT_EQ(Allocator::GetInstance(), nullptr);
    System::Init();
    EXPECT_EQ(Log::GetDefaultLog(), Log::GetStaticLog());
    Allocator* allocator = Allocator::GetInstance();
    Log own;
    Log::SetDefaultLog(&own);
    System::Init(LogMask_Regular);
    EXPECT_EQ(Allocator::GetInstance(), allocator);
    EXPECT_EQ(Log::GetDefaultLog(), &own);
    EXPECT_EQ(Log::GetStaticLog()->GetLoggingMask(), LogMask_Regular);
}

} // namespace
