// Library log: prefixes, added line breaks, truncation, debug types and the default log.
#include "hmd/devices/system.h"
#include "tests/hmd/devices/thread_test_support.h"

using namespace Visor;

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { System::Init(); }
    void TearDown() override { Log::SetDefaultLog(Log::GetStaticLog()); }
    visor_test::LogText Out;
};

TEST_F(LogTest, ErrorsArePrefixedAndEveryLineIsCutToTheBufferWithItsOneBreak) {
    const std::string big(5000, 'x');
    const std::size_t room = MaxLogBufferMessageSize - 1;
    TextToLog("Visor::DeviceManager - %s.\n", "initialized");
    ErrorToLog("cannot open %s", "/dev/hidraw3");
    TextToLog("%s", big.c_str());
    ErrorToLog("%s", big.c_str());
    EXPECT_EQ(Out.Get(), "Visor::DeviceManager - initialized.\nError: cannot open /dev/hidraw3\n" +
                             big.substr(0, room) + "Error: " + big.substr(0, room - 8) + "\n");
}

TEST_F(LogTest, DebugTypesNeverPrintAndADestroyedDefaultLogUninstallsItself) {
    Log::GetStaticLog()->LogMessage(Log_DebugText, "debug %d", 1);
    Log::GetStaticLog()->LogMessage(Log_Assert, "assert %d", 2);
    {
        Log own(LogMask_All);
        Log::SetDefaultLog(&own);
        TextToLog("through own\n");
    }
    EXPECT_EQ(Log::GetDefaultLog(), nullptr);
    ErrorToLog("nor this");
    EXPECT_EQ(Out.Get(), "through own\n");
}

} // namespace
