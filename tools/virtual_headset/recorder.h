// visor_record's work, apart from its main so tests can run it on the virtual bus: finds a
// tracker through the HID layer, reads its feature reports, keeps it streaming and writes its
// input reports with their arrival times to a recording file (see recording.h).
//
// Threads: RunRecorder blocks the calling thread for the recording; it starts and ends its own
// device manager and device thread. System::Init must have been called.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

namespace Visor {

struct RecordOptions {
    enum : unsigned { DefaultSeconds = 10, MaxSeconds = 24 * 3600 };
    double Seconds = DefaultSeconds;
    std::string Device; // a hidraw node; empty: the first tracker found
    std::string Output;
    bool Help = false;
};

// Parses visor_record's arguments (argv[0] is the program). False with error saying what is
// wrong.
bool ParseRecordOptions(int argc, const char* const* argv, RecordOptions* options,
                        std::string* error);
const char* RecordUsage();

struct RecordSummary {
    std::string Path; // the tracker's node
    unsigned Reports = 0;
    unsigned KeepAlives = 0;
    bool ConnectionLost = false;
};

// Records for options.Seconds, or until stop (when not null) becomes true. Progress lines go to
// progress when not null. False with error when no tracker can be found or opened, or the file
// cannot be written.
bool RunRecorder(const RecordOptions& options, const std::atomic<bool>* stop, std::FILE* progress,
                 RecordSummary* summary, std::string* error);

} // namespace Visor
