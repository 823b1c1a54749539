// Library log: formatting with prefixes and truncation, the default log and its output.
#include "hmd/devices/log.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "hmd/devices/platform.h"

namespace Visor {

namespace {

std::atomic<Log*> defaultLog{nullptr};

// The sink is swapped by tests while other threads may log, so it is read under a lock.
std::mutex sinkLock;
LogOutputSink outputSink = nullptr;
void* outputSinkUser = nullptr;

// 0 unknown, 1 terminal on standard output, 2 no terminal. Racing first checks agree, so the
// answer is cached without a lock.
std::atomic<int> consoleState{0};

bool HasConsole() {
    int state = consoleState.load(std::memory_order_relaxed);
    if (state == 0) {
        state = Platform::StdoutIsTerminal() ? 1 : 2;
        consoleState.store(state, std::memory_order_relaxed);
    }
    return state == 1;
}

} // namespace

Log::~Log() {
    Log* self = this;
    defaultLog.compare_exchange_strong(self, nullptr);
}

Log* Log::GetDefaultLog() {
    return defaultLog.load(std::memory_order_acquire);
}
void Log::SetDefaultLog(Log* log) {
    defaultLog.store(log, std::memory_order_release);
}

Log* Log::GetStaticLog() {
    static Log staticLog(LogMask_Regular);
    return &staticLog;
}

const char* Log::GetPrefix(LogMessageType type) {
    switch (type) {
    case Log_Error:
        return "Error: ";
    case Log_DebugText:
        return "Debug: ";
    case Log_Assert:
        return "Assert: ";
    default:
        return nullptr;
    }
}

std::size_t Log::FormatLog(char* buffer, std::size_t bufferSize, LogMessageType type,
                           const char* format, va_list args) {
    if (bufferSize == 0)
        return 0;
    buffer[0] = 0;
    const char* prefix = GetPrefix(type);
    std::size_t used = 0;
    // A prefixed message always ends in its added line break, so keep one byte for it.
    std::size_t limit = prefix ? bufferSize - 1 : bufferSize;
    if (prefix) {
        int n = std::snprintf(buffer, limit, "%s", prefix);
        used = n < 0 ? 0 : std::strlen(buffer);
    }
    if (used + 1 < limit) {
        int n = std::vsnprintf(buffer + used, limit - used, format, args);
        if (n >= 0)
            used += std::strlen(buffer + used);
    }
    if (prefix && used + 1 < bufferSize) {
        buffer[used++] = '\n';
        buffer[used] = 0;
    }
    return used;
}

void Log::FormatToLog(LogMessageType type, const char* format, va_list args) {
    if ((type & GetLoggingMask()) == 0 || (type & LogMask_Debug) != 0)
        return;
    char buffer[MaxLogBufferMessageSize];
    FormatLog(buffer, sizeof buffer, type, format, args);
    DefaultLogOutput(type, buffer);
}

void Log::LogMessage(LogMessageType type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    FormatToLog(type, format, args);
    va_end(args);
}

void Log::SetOutputSink(LogOutputSink sink, void* user) {
    std::lock_guard<std::mutex> guard(sinkLock);
    outputSink = sink;
    outputSinkUser = user;
}

void Log::DefaultLogOutput(LogMessageType type, const char* text) {
    {
        std::lock_guard<std::mutex> guard(sinkLock);
        if (outputSink) {
            outputSink(outputSinkUser, type, text);
            return;
        }
    }
    std::FILE* out = HasConsole() ? stdout : stderr;
    std::fputs(text, out);
    std::fflush(out);
}

void TextToLog(const char* format, ...) {
    Log* log = Log::GetDefaultLog();
    if (!log)
        return;
    va_list args;
    va_start(args, format);
    log->FormatToLog(Log_Text, format, args);
    va_end(args);
}

void ErrorToLog(const char* format, ...) {
    Log* log = Log::GetDefaultLog();
    if (!log)
        return;
    va_list args;
    va_start(args, format);
    log->FormatToLog(Log_Error, format, args);
    va_end(args);
}

} // namespace Visor
