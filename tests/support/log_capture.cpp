// Log capture for tests: installs itself as the engine log sink.
#include "tests/support/log_capture.h"

#include "shell/log.h"

namespace ombrel::test {

LogCapture::LogCapture() {
    setLogSink(&LogCapture::receive, this);
}
LogCapture::~LogCapture() {
    setLogSink(nullptr, nullptr);
}

void LogCapture::receive(void* user, const char* line) {
    static_cast<LogCapture*>(user)->lines_.emplace_back(line);
}

} // namespace ombrel::test
