// Library log: prefixes, added line breaks, truncation of long lines, and the default log.
#include "hmd/devices/system.h"

#include <gtest/gtest.h>
#include <string>

using namespace Visor;

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        System::Init();
        Log::SetOutputSink(&Sink, &Out);
    }
    void TearDown() override {
        Log::SetOutputSink(nullptr, nullptr);
        Log::SetDefaultLog(Log::GetStaticLog());
    }
    static void Sink(void* out, LogMessageType, const char* text) {
        *static_cast<std::string*>(out) += text;
    }
    std::string Out;
};

TEST_F(LogTest, ErrorsArePrefixedAndEveryLineIsCutToTheBufferWithItsOneBreak) {
    const std::string big(5000, 'x');
    const std::size_t room = MaxLogBufferMessageSize - 1;
    TextToLog("Visor::DeviceManager - %s.\n", "initialized");
    ErrorToLog("cannot open %s", "/dev/hidraw3");
    TextToLog("%s", big.c_str());
    ErrorToLog("%s", big.c_str());
    EXPECT_EQ(Out, "Visor::DeviceManager - initialized.\nError: cannot open /dev/hidraw3\n" +
                       big.substr(0, room) + "Error: " + big.substr(0, room - 8) + "\n");
}

TEST_F(LogTest, ADestroyedDefaultLogUninstallsItself) {
    {
        Log own(LogMask_All);
        Log::SetDefaultLog(&own);
        TextToLog("through own\n");
    }
    EXPECT_EQ(Log::GetDefaultLog(), nullptr);
    ErrorToLog("nowhere to go");
    EXPECT_EQ(Out, "through own\n");
}

} // namespace
