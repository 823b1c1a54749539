// Captures engine log lines for the lifetime of the object.
#pragma once

#include <string>
#include <vector>

namespace ombrel::test {

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::vector<std::string>& lines() const { return lines_; }
    void clear() { lines_.clear(); }

private:
    static void receive(void* user, const char* line);
    std::vector<std::string> lines_;
};

} // namespace ombrel::test
