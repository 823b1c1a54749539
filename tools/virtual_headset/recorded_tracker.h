// Plays a recording back as a tracker on the virtual bus: the recorded identity, the recorded
// feature answers, and the recorded input reports queued when its clock reaches their times.
//
// Threads: every operation may be called from any thread.
#pragma once

#include "tools/virtual_headset/recording.h"

namespace Visor {

class RecordedTracker : public VirtualHidDevice {
public:
    // The tracker's report descriptor: recordings are made of trackers.
    explicit RecordedTracker(Recording recording);

    // Reports 2 and 4 answer what was recorded until a write of the recorded length replaces
    // the answer; report 9 and any other recorded report answer as recorded; keep-alives
    // (report 8, five bytes) are counted. Anything else is refused.
    int GetFeature(std::uint8_t* buffer, std::size_t size) override;
    bool SetFeature(const std::uint8_t* data, std::size_t size) override;
    unsigned GetKeepAliveCount() const;

    // Advances the playback clock and queues, in order, every report recorded before the new
    // time. Returns the reports queued.
    unsigned Advance(unsigned milliseconds);
    // Whether every recorded report has been queued.
    bool IsFinished() const;

private:
    Recording Played;
    std::size_t NextInput = 0;
    std::uint64_t ClockUs = 0;
    unsigned KeepAliveCount = 0;
};

} // namespace Visor
