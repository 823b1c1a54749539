// Scripted head motion for the software tracker: segments of stillness, turning and nodding
// that yield one sensor sample per millisecond in the tracker's raw units, together with the
// true orientation, so that fused orientation can be checked against what was performed.
//
// Frames: the tracker's axes are X right, Y up, Z toward the viewer; the world has +Y up. An
// orientation is a unit quaternion (X, Y, Z, W) taking tracker-frame vectors to the world
// frame; a rotation in the head's own frame composes on the right.
//
// Text form, one segment or setting per line ('#' starts a comment):
//   still 2s [tilt 10deg axis 1 0 0]   held; a tilt sets the orientation to that rotation
//                                      (a jump the gyroscope does not see), none keeps it
//   yaw 3s 30deg/s                     constant turn about world up
//   nod 4s 15deg 1s                    pitch about the head's X axis: amplitude, period
//   gyro-bias 0.5 0 -0.2 deg/s         added to every gyroscope sample
//   gyro-noise 0.1 deg/s seed 7        Gaussian, standard deviation per axis
// Durations take ms or s, angles deg or rad, rates deg/s or rad/s.
//
// Threads: plain values; a MotionPlayer belongs to one thread at a time.
#pragma once

#include "hmd/tracking/sensor_reports.h"

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace Visor {

struct MotionQuat {
    double X = 0, Y = 0, Z = 0, W = 1;
};

struct MotionSegment {
    enum Kind { Still, Yaw, Nod };
    Kind Type = Still;
    std::uint32_t DurationMs = 0;
    bool HasTilt = false;       // Still: sets the orientation
    double TiltRad = 0;         // Still
    double Axis[3] = {1, 0, 0}; // Still: tilt axis, unit length
    double RateRad = 0;         // Yaw: radians per second about world up
    double AmplitudeRad = 0;    // Nod
    std::uint32_t PeriodMs = 0; // Nod
};

struct MotionScript {
    // Longest segment accepted from text: an hour.
    enum : std::uint32_t { MaxSegmentMs = 3600u * 1000u };

    std::vector<MotionSegment> Segments;
    double GyroBias[3] = {0, 0, 0}; // radians per second
    double GyroNoise = 0;           // radians per second, standard deviation
    std::uint32_t NoiseSeed = 1;

    std::uint64_t GetDurationMs() const;

    // Replaces the script with the parsed text. On failure the script is left empty and error
    // (when not null) says "line N: what was wrong".
    bool Parse(const std::string& text, std::string* error);
    // Reads and parses a file; error names the file when it cannot be read.
    bool Load(const std::string& path, std::string* error);
};

// Plays a script one millisecond at a time.
class MotionPlayer {
public:
    explicit MotionPlayer(MotionScript script);

    // The sample the tracker takes during the next millisecond (its average turn rate, gravity
    // at the millisecond's end) and the orientation at that millisecond's end, so integrating
    // the gyroscope from GetStartOrientation() follows the truth. False once the script is
    // over, filling nothing. truth may be null.
    bool Next(SensorSample* sample, MotionQuat* truth);
    MotionQuat GetStartOrientation() const { return Start; }
    std::uint64_t GetElapsedMs() const { return ElapsedMs; }

private:
    void EnterSegment();

    MotionScript Script;
    std::size_t SegmentIndex = 0;
    std::uint32_t SegmentMs = 0; // milliseconds played of the current segment
    MotionQuat SegmentStart;     // orientation where the current segment began
    MotionQuat Current;
    MotionQuat Start;
    std::uint64_t ElapsedMs = 0;
    std::mt19937 Noise;
    std::normal_distribution<double> Gauss;
};

// Quaternion helpers for comparing orientations: the product a * b, and the angle in radians
// between two orientations.
MotionQuat MultiplyQuat(const MotionQuat& a, const MotionQuat& b);
double AngleBetween(const MotionQuat& a, const MotionQuat& b);

} // namespace Visor
