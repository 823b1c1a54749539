// Real inertial recordings (CSV excerpts of a public IMU benchmark with an optical reference)
// turned into what the headset's tracker would have sent: one raw sample per millisecond in the
// tracker's axes, beside the reference orientation in the tracker's world frame; and the tilt
// error of an orientation filter against that reference.
//
// Threads: plain functions and values; any thread.
#pragma once

#include "hmd/tracking/quat.h"
#include "hmd/tracking/sensor_reports.h"

#include <cstdio>
#include <istream>
#include <string>
#include <vector>

namespace Visor {

struct BroadRecording {
    struct Reference {
        Quatf Orientation;   // rotates tracker axes into the world, +Y up
        bool Valid = false;  // the optical system had a solution on both sides of this sample
        bool Moving = false; // inside the trial's movement phase
    };

    // Sample k stands for the millisecond k after the first recorded sample; counts as the
    // tracker reports them (value / 0.0001, saturated to 21 bits). Ready for QueueSamples.
    std::vector<SensorSample> Samples;
    std::vector<Reference> References; // one per sample
};

// The recording's axes differ from the tracker's: the IMU's +Z is up at rest and its world has
// Z up, the tracker's +Y. Tracker (x, y, z) = IMU (x, z, -y), a proper rotation, applied to the
// sensor vectors and to both frames of the reference.
Vector3f BroadToTrackerAxes(const Vector3f& imu);

// Reads columns t_s, gyr_x..z (rad/s), acc_x..z (m/s^2), opt_qw..qz (IMU to earth, "nan" where
// missing) and movement, and resamples them linearly to 1 kHz. False, with a line-numbered
// message in *error and *out emptied, for a wrong header, a wrong field count, a field that is
// not a number (not-a-number is allowed only in the reference), times that do not increase,
// fewer than two rows or more than an hour.
bool ParseBroadRecording(std::istream& in, BroadRecording* out, std::string* error);
bool LoadBroadRecording(const std::string& path, BroadRecording* out, std::string* error);

// The angle in radians between the world's up as seen from the sensor by an estimated and by a
// reference orientation: the tilt error, blind to heading (which the filter does not correct).
float TiltError(const Quatf& estimate, const Quatf& reference);

// Tilt errors of a replay, one per millisecond, summarised per window and over the movement.
class TiltErrorLog {
public:
    struct Summary {
        float Median = 0, Max = 0; // degrees
        std::size_t Count = 0;     // samples with a reference
    };

    explicit TiltErrorLog(unsigned windowMs = 5000) : WindowMs(windowMs ? windowMs : 1) {}
    // The next millisecond; one without a valid reference only advances time.
    void Add(const Quatf& estimate, const BroadRecording::Reference& reference);
    std::size_t WindowCount() const { return (Errors.size() + WindowMs - 1) / WindowMs; }
    Summary Window(std::size_t index) const;
    Summary Moving() const;
    // One line per window ("  10 s: median / max") and one for the movement phase.
    void Print(std::FILE* out) const;

private:
    unsigned WindowMs;
    std::vector<float> Errors; // degrees; not-a-number where no reference
    std::vector<bool> IsMoving;
};

} // namespace Visor
