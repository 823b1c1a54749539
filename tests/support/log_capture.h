// Captures engine log lines for the lifetime of the object.
#pragma once

#include "shell/log.h"

#include <string>
#include <vector>

namespace ombrel::test {

class LogCapture {
public:
    LogCapture() { setLogSink(&LogCapture::receive, this); }
    ~LogCapture() { setLogSink(nullptr, nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::vector<std::string>& lines() const { return lines_; }
    void clear() { lines_.clear(); }

private:
    static void receive(void* user, const char* line) {
        static_cast<LogCapture*>(user)->lines_.emplace_back(line);
    }
    std::vector<std::string> lines_;
};

} // namespace ombrel::test
