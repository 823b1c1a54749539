// Motion scripts: the text parser and the millisecond-by-millisecond player.
#include "tools/virtual_headset/motion_script.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>

namespace Visor {

namespace {

constexpr double Gravity = 9.81;
constexpr double CountsPerUnit = 10000.0; // one raw count is 0.0001 of the physical unit
constexpr double Pi = 3.14159265358979323846;
constexpr double DegToRad = Pi / 180.0;

MotionQuat AxisAngle(const double axis[3], double angle) {
    const double s = std::sin(angle / 2);
    return {axis[0] * s, axis[1] * s, axis[2] * s, std::cos(angle / 2)};
}

MotionQuat Conjugate(const MotionQuat& q) {
    return {-q.X, -q.Y, -q.Z, q.W};
}

// q applied to v: q v q*.
void Rotate(const MotionQuat& q, const double v[3], double out[3]) {
    const MotionQuat p = MultiplyQuat(MultiplyQuat(q, {v[0], v[1], v[2], 0}), Conjugate(q));
    out[0] = p.X;
    out[1] = p.Y;
    out[2] = p.Z;
}

std::int32_t ToCounts(double value) {
    const double counts = std::round(value * CountsPerUnit);
    // The packer saturates to 21 bits; this only keeps the conversion defined.
    return static_cast<std::int32_t>(std::max(-4.0e6, std::min(4.0e6, counts)));
}

// A number with an attached unit, e.g. "30deg/s"; scale per unit from units, null-terminated
// pairs. False when the number or the unit is wrong.
struct Unit {
    const char* Name;
    double Scale;
};

bool ParseQuantity(const std::string& token, const Unit* units, double* value) {
    const char* begin = token.c_str();
    char* end = nullptr;
    const double number = std::strtod(begin, &end);
    if (end == begin || !std::isfinite(number))
        return false;
    for (const Unit* u = units; u->Name; ++u)
        if (token.compare(static_cast<std::size_t>(end - begin), std::string::npos, u->Name) == 0) {
            *value = number * u->Scale;
            return true;
        }
    return false;
}

const Unit DurationUnits[] = {{"ms", 1}, {"s", 1000}, {nullptr, 0}};
const Unit AngleUnits[] = {{"deg", DegToRad}, {"rad", 1}, {nullptr, 0}};
const Unit RateUnits[] = {{"deg/s", DegToRad}, {"rad/s", 1}, {nullptr, 0}};

bool ParsePlain(const std::string& token, double* value) {
    const char* begin = token.c_str();
    char* end = nullptr;
    *value = std::strtod(begin, &end);
    return end != begin && *end == 0 && std::isfinite(*value);
}

// Parses one line's words into script; returns an empty string or what was wrong.
std::string ParseLine(const std::vector<std::string>& w, MotionScript& script) {
    const std::string& verb = w[0];
    std::size_t next = 1;
    auto take = [&](std::string* token) {
        if (next >= w.size())
            return false;
        *token = w[next++];
        return true;
    };
    auto duration = [&](std::uint32_t* ms) -> std::string {
        std::string token;
        double value = 0;
        if (!take(&token))
            return "'" + verb + "' needs a duration, as in '" + verb + " 2s'";
        if (!ParseQuantity(token, DurationUnits, &value))
            return "'" + token + "' is not a duration (ms or s)";
        if (!(value >= 1 && value <= MotionScript::MaxSegmentMs))
            return "duration '" + token + "' must be at least 1ms and at most 1 hour";
        *ms = static_cast<std::uint32_t>(std::lround(value));
        return {};
    };
    auto quantity = [&](const Unit* units, const char* what, double* value) -> std::string {
        std::string token;
        if (!take(&token))
            return "'" + verb + "' needs " + what;
        if (!ParseQuantity(token, units, value))
            return "'" + token + "' is not " + what;
        return {};
    };

    std::string error;
    MotionSegment segment;
    if (verb == "still") {
        segment.Type = MotionSegment::Still;
        if (!(error = duration(&segment.DurationMs)).empty())
            return error;
        std::string token;
        if (take(&token)) {
            if (token != "tilt")
                return "unexpected '" + token + "' after the duration (expected 'tilt')";
            if (!(error = quantity(AngleUnits, "an angle (deg or rad)", &segment.TiltRad)).empty())
                return error;
            if (!take(&token) || token != "axis")
                return "'tilt' needs an axis, as in 'tilt 10deg axis 1 0 0'";
            for (double& a : segment.Axis)
                if (!take(&token) || !ParsePlain(token, &a))
                    return "the tilt axis needs three numbers";
            const double length =
                std::sqrt(segment.Axis[0] * segment.Axis[0] + segment.Axis[1] * segment.Axis[1] +
                          segment.Axis[2] * segment.Axis[2]);
            if (!(length > 1e-9))
                return "the tilt axis has no length";
            for (double& a : segment.Axis)
                a /= length;
            segment.HasTilt = true;
        }
    } else if (verb == "yaw") {
        segment.Type = MotionSegment::Yaw;
        if (!(error = duration(&segment.DurationMs)).empty() ||
            !(error = quantity(RateUnits, "a rate (deg/s or rad/s)", &segment.RateRad)).empty())
            return error;
    } else if (verb == "nod") {
        segment.Type = MotionSegment::Nod;
        double period = 0;
        if (!(error = duration(&segment.DurationMs)).empty() ||
            !(error = quantity(AngleUnits, "an amplitude (deg or rad)", &segment.AmplitudeRad))
                 .empty() ||
            !(error = quantity(DurationUnits, "a period (ms or s)", &period)).empty())
            return error;
        if (!(period >= 2 && period <= MotionScript::MaxSegmentMs))
            return "the nod period must be at least 2ms and at most 1 hour";
        segment.PeriodMs = static_cast<std::uint32_t>(std::lround(period));
    } else if (verb == "gyro-bias") {
        std::string token;
        double bias[3];
        for (double& b : bias)
            if (!take(&token) || !ParsePlain(token, &b))
                return "'gyro-bias' needs three numbers and a unit, as in 'gyro-bias 0.5 0 0 "
                       "deg/s'";
        const Unit* unit = RateUnits;
        if (!take(&token))
            return "'gyro-bias' needs a unit (deg/s or rad/s)";
        while (unit->Name && token != unit->Name)
            ++unit;
        if (!unit->Name)
            return "'" + token + "' is not a rate unit (deg/s or rad/s)";
        for (int i = 0; i < 3; ++i)
            script.GyroBias[i] = bias[i] * unit->Scale;
    } else if (verb == "gyro-noise") {
        double noise = 0, seed = 0;
        std::string token;
        if (!(error = quantity(RateUnits, "a rate (deg/s or rad/s)", &noise)).empty())
            return error;
        if (noise < 0)
            return "the noise level cannot be negative";
        if (take(&token)) {
            if (token != "seed" || !take(&token) || !ParsePlain(token, &seed) || seed < 0 ||
                seed > 4294967295.0 || seed != std::floor(seed))
                return "'gyro-noise' takes 'seed N' with N a whole number below 2^32";
        }
        script.GyroNoise = noise;
        script.NoiseSeed = static_cast<std::uint32_t>(seed);
    } else {
        return "unknown segment '" + verb + "' (still, yaw, nod, gyro-bias or gyro-noise)";
    }
    if (next < w.size())
        return "unexpected '" + w[next] + "' at the end of the line";
    if (verb == "still" || verb == "yaw" || verb == "nod")
        script.Segments.push_back(segment);
    return {};
}

} // namespace

MotionQuat MultiplyQuat(const MotionQuat& a, const MotionQuat& b) {
    return {a.W * b.X + a.X * b.W + a.Y * b.Z - a.Z * b.Y,
            a.W * b.Y - a.X * b.Z + a.Y * b.W + a.Z * b.X,
            a.W * b.Z + a.X * b.Y - a.Y * b.X + a.Z * b.W,
            a.W * b.W - a.X * b.X - a.Y * b.Y - a.Z * b.Z};
}

double AngleBetween(const MotionQuat& a, const MotionQuat& b) {
    const double dot = std::fabs(a.X * b.X + a.Y * b.Y + a.Z * b.Z + a.W * b.W);
    return 2 * std::acos(std::min(1.0, dot));
}

std::uint64_t MotionScript::GetDurationMs() const {
    std::uint64_t total = 0;
    for (const MotionSegment& s : Segments)
        total += s.DurationMs;
    return total;
}

bool MotionScript::Parse(const std::string& text, std::string* error) {
    *this = MotionScript();
    std::istringstream lines(text);
    std::string line;
    for (unsigned number = 1; std::getline(lines, line); ++number) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;)
            w.push_back(word);
        if (w.empty())
            continue;
        std::string what = ParseLine(w, *this);
        if (!what.empty()) {
            *this = MotionScript();
            if (error)
                *error = "line " + std::to_string(number) + ": " + what;
            return false;
        }
    }
    if (Segments.empty()) {
        if (error)
            *error = "the script has no segments";
        return false;
    }
    return true;
}

bool MotionScript::Load(const std::string& path, std::string* error) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    if (!file || !(text << file.rdbuf())) {
        *this = MotionScript();
        if (error)
            *error = "cannot read motion script '" + path + "'";
        return false;
    }
    if (Parse(text.str(), error))
        return true;
    if (error)
        *error = path + ": " + *error;
    return false;
}

MotionPlayer::MotionPlayer(MotionScript script)
    : Script(std::move(script)), Noise(Script.NoiseSeed) {
    EnterSegment();
    Start = Current;
}

void MotionPlayer::EnterSegment() {
    if (SegmentIndex < Script.Segments.size()) {
        const MotionSegment& s = Script.Segments[SegmentIndex];
        if (s.Type == MotionSegment::Still && s.HasTilt)
            Current = AxisAngle(s.Axis, s.TiltRad);
    }
    SegmentStart = Current;
    SegmentMs = 0;
}

bool MotionPlayer::Next(SensorSample* sample, MotionQuat* truth) {
    while (SegmentIndex < Script.Segments.size() &&
           SegmentMs >= Script.Segments[SegmentIndex].DurationMs) {
        ++SegmentIndex;
        EnterSegment();
    }
    if (SegmentIndex >= Script.Segments.size())
        return false;
    const MotionSegment& s = Script.Segments[SegmentIndex];
    const double t1 = (SegmentMs + 1) * 0.001;
    double rate[3] = {0, 0, 0}; // in the tracker's frame
    if (s.Type == MotionSegment::Yaw) {
        const double up[3] = {0, 1, 0};
        Current = MultiplyQuat(AxisAngle(up, s.RateRad * t1), SegmentStart);
        // A turn about world up is the same turn about the same body axis throughout.
        const double worldRate[3] = {0, s.RateRad, 0};
        Rotate(Conjugate(SegmentStart), worldRate, rate);
    } else if (s.Type == MotionSegment::Nod) {
        const double right[3] = {1, 0, 0};
        const double w = 2 * Pi / (s.PeriodMs * 0.001);
        const double pitch0 = s.AmplitudeRad * std::sin(w * SegmentMs * 0.001);
        const double pitch1 = s.AmplitudeRad * std::sin(w * t1);
        Current = MultiplyQuat(SegmentStart, AxisAngle(right, pitch1));
        rate[0] = (pitch1 - pitch0) * 1000.0;
    }
    ++SegmentMs;
    ++ElapsedMs;

    const double worldUp[3] = {0, Gravity, 0};
    double accel[3];
    Rotate(Conjugate(Current), worldUp, accel);
    for (int i = 0; i < 3; ++i) {
        rate[i] += Script.GyroBias[i];
        if (Script.GyroNoise > 0)
            rate[i] += Script.GyroNoise * Gauss(Noise);
    }
    sample->AccelX = ToCounts(accel[0]);
    sample->AccelY = ToCounts(accel[1]);
    sample->AccelZ = ToCounts(accel[2]);
    sample->GyroX = ToCounts(rate[0]);
    sample->GyroY = ToCounts(rate[1]);
    sample->GyroZ = ToCounts(rate[2]);
    if (truth)
        *truth = Current;
    return true;
}

} // namespace Visor
