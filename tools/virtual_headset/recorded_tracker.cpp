// Playback of recorded tracker sessions.
#include "tools/virtual_headset/recorded_tracker.h"

#include "hmd/tracking/sensor_reports.h"
#include "tools/virtual_headset/virtual_tracker.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace Visor {

RecordedTracker::RecordedTracker(Recording recording)
    : VirtualHidDevice(recording.Device, VirtualTracker::TrackerReportDescriptor()),
      Played(std::move(recording)) {}

int RecordedTracker::GetFeature(std::uint8_t* buffer, std::size_t size) {
    if (!buffer || size == 0)
        return -1;
    std::lock_guard<std::mutex> lock(Lock);
    const Recording::Feature* answer = Played.FindFeature(buffer[0]);
    if (!answer)
        return -1;
    const std::size_t length = std::min(size, answer->Bytes.size());
    std::memcpy(buffer, answer->Bytes.data(), length);
    return static_cast<int>(length);
}

bool RecordedTracker::SetFeature(const std::uint8_t* data, std::size_t size) {
    if (!data || size == 0)
        return false;
    std::lock_guard<std::mutex> lock(Lock);
    if (data[0] == SensorReport_KeepAlive && size >= SensorKeepAliveReport::PacketSize) {
        ++KeepAliveCount;
        return true;
    }
    if (data[0] != SensorReport_Config && data[0] != SensorReport_Range)
        return false;
    for (Recording::Feature& f : Played.Features)
        if (f.ReportId == data[0] && f.Bytes.size() == size) {
            f.Bytes.assign(data, data + size);
            return true;
        }
    return false;
}

unsigned RecordedTracker::GetKeepAliveCount() const {
    std::lock_guard<std::mutex> lock(Lock);
    return KeepAliveCount;
}

unsigned RecordedTracker::Advance(unsigned milliseconds) {
    std::vector<const Recording::Input*> due;
    {
        std::lock_guard<std::mutex> lock(Lock);
        ClockUs += milliseconds * 1000ull;
        for (; NextInput < Played.Inputs.size() && Played.Inputs[NextInput].TimeUs < ClockUs;
             ++NextInput)
            due.push_back(&Played.Inputs[NextInput]);
    }
    // Queued outside the lock: queueing takes it and wakes the listener. The inputs are never
    // changed after construction, so the pointers stay good.
    for (const Recording::Input* input : due)
        QueueInputReport(input->Bytes.data(), input->Bytes.size());
    return static_cast<unsigned>(due.size());
}

bool RecordedTracker::IsFinished() const {
    std::lock_guard<std::mutex> lock(Lock);
    return NextInput >= Played.Inputs.size();
}

} // namespace Visor
