// Shared fixture of the HMD support tests: a fresh temporary folder, the library log captured
// for assertions, and a file-size limit that fails writes as a full disk does.
#pragma once

#include "hmd/devices/log.h"
#include "hmd/devices/system.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <ftw.h>
#include <iterator>
#include <mutex>
#include <string>
#include <sys/resource.h>
#include <utility>

namespace visor_test {

class SupportTest : public ::testing::Test {
protected:
    SupportTest() {
        std::string pattern = ::testing::TempDir() + "visor_support_XXXXXX";
        Dir = mkdtemp(&pattern[0]) ? pattern : "/nonexistent";
        Visor::System::Init();
        Visor::Log::SetOutputSink(&SupportTest::Capture, this);
    }
    ~SupportTest() override {
        Visor::Log::SetOutputSink(nullptr, nullptr);
        Visor::System::Destroy();
        nftw(
            Dir.c_str(), [](const char* p, const struct stat*, int, FTW*) { return remove(p); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }
    std::string path(const std::string& name) const { return Dir + "/" + name; }
    bool write(const std::string& name, const std::string& bytes) const {
        return bool(std::ofstream(path(name), std::ios::binary) << bytes);
    }
    std::string read(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string takeLog() {
        std::lock_guard<std::mutex> lock(LogLock);
        return std::exchange(LogText, std::string());
    }

    std::string Dir;

private:
    static void Capture(void* user, Visor::LogMessageType, const char* text) {
        SupportTest* self = static_cast<SupportTest*>(user);
        std::lock_guard<std::mutex> lock(self->LogLock);
        self->LogText += text;
    }
    std::mutex LogLock;
    std::string LogText;
};

// While it lives no file can grow beyond limit bytes: writes past it fail with EFBIG, as they
// would on a full disk (the signal the kernel sends with it is ignored meanwhile).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit) : OldHandler(std::signal(SIGXFSZ, SIG_IGN)) {
        getrlimit(RLIMIT_FSIZE, &Old);
        setrlimit(RLIMIT_FSIZE, &(const rlimit&)rlimit{limit, Old.rlim_max});
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &Old);
        std::signal(SIGXFSZ, OldHandler);
    }

private:
    void (*OldHandler)(int);
    rlimit Old;
};

} // namespace visor_test
