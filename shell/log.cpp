// Engine log: formats into a static buffer and hands the line to the installed sink.
#include "shell/log.h"

#include <cstdarg>
#include <cstdio>

namespace ombrel {

namespace {
char logBuffer[1024];
LogSink logSink = nullptr;
void* logSinkUser = nullptr;
} // namespace

void setLogSink(LogSink sink, void* user) {
    logSink = sink;
    logSinkUser = user;
}

void log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    // vsnprintf always terminates, so an over-long line is simply cut.
    std::vsnprintf(logBuffer, sizeof logBuffer, format, args);
    va_end(args);
    if (logSink) {
        logSink(logSinkUser, logBuffer);
        return;
    }
    std::fputs(logBuffer, stderr);
    std::fputs("\n", stderr);
}

} // namespace ombrel
