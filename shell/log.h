// Debug log of the engine and the application: one printf-style line per call.
#pragma once

namespace ombrel {

// Formats into one static 1024-byte buffer (cut to fit) and writes it with a line break.
// Main thread only: the buffer is shared.
void log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Where finished lines go; the line has no trailing line break. A null sink restores the
// default, standard error. Tests install one to assert on what was logged.
using LogSink = void (*)(void* user, const char* line);
void setLogSink(LogSink sink, void* user);

} // namespace ombrel
