// Library log of the HMD library: message types with their prefixes, a logging mask, the
// process-wide default log and the TextToLog / ErrorToLog helpers.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace Visor {

enum LogMessageType : std::uint32_t {
    Log_Text = 0x100,      // no prefix; the format carries its own "\n"
    Log_Error = 0x101,     // "Error: " prefix, "\n" added
    Log_DebugText = 0x201, // "Debug: " prefix, "\n" added
    Log_Assert = 0x202,    // "Assert: " prefix, "\n" added
};

enum LogMaskConstants : std::uint32_t {
    LogMask_None = 0,
    LogMask_Regular = 0x100,
    LogMask_Debug = 0x200,
    LogMask_All = LogMask_Regular | LogMask_Debug,
};

// Every formatted line fits this buffer, terminating zero included.
constexpr std::size_t MaxLogBufferMessageSize = 2048;

// Receives finished log text (already prefixed and terminated). Installed process-wide.
using LogOutputSink = void (*)(void* user, LogMessageType type, const char* text);

// Thread-safe: any thread may log; each call formats into its own stack buffer.
class Log {
public:
    explicit Log(std::uint32_t mask = LogMask_Regular) : LoggingMask(mask) {}
    // A destroyed log that is still the default one uninstalls itself.
    virtual ~Log();

    // Drops the message when its type is masked off or is a debug type (debug text and
    // asserts are never written), else formats and outputs it.
    virtual void FormatToLog(LogMessageType type, const char* format, va_list args);

    void LogMessage(LogMessageType type, const char* format, ...)
        __attribute__((format(printf, 3, 4)));

    std::uint32_t GetLoggingMask() const { return LoggingMask.load(std::memory_order_relaxed); }
    void SetLoggingMask(std::uint32_t mask) { LoggingMask.store(mask, std::memory_order_relaxed); }

    // The default log, or null when none is installed.
    static Log* GetDefaultLog();
    static void SetDefaultLog(Log* log);
    // The library's static log object (installed by library initialisation).
    static Log* GetStaticLog();

    // Formats a message into buffer exactly as FormatToLog does (prefix, truncation, added
    // line break) and returns its length. Exposed for tests and custom logs.
    static std::size_t FormatLog(char* buffer, std::size_t bufferSize, LogMessageType type,
                                 const char* format, va_list args);
    static const char* GetPrefix(LogMessageType type);

    // Where output goes: a terminal on standard output gets it there, otherwise standard
    // error; an installed sink replaces both (null restores them).
    static void SetOutputSink(LogOutputSink sink, void* user);

protected:
    virtual void DefaultLogOutput(LogMessageType type, const char* text);

private:
    // Atomic because a second initialisation may change it while the device thread logs.
    std::atomic<std::uint32_t> LoggingMask;
};

// Send a text (Log_Text) or error (Log_Error) message to the default log; nothing happens
// when no default log is installed.
void TextToLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void ErrorToLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace Visor
