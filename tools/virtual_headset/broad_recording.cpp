// Reader and 1 kHz resampler for the IMU benchmark's CSV excerpts, and the tilt error measure.
#include "tools/virtual_headset/broad_recording.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <utility>

namespace Visor {

namespace {

const char* const Header = "t_s,gyr_x,gyr_y,gyr_z,acc_x,acc_y,acc_z,opt_qw,opt_qx,opt_qy,opt_qz,"
                           "movement";
enum { Columns = 12, Time = 0, Gyro = 1, Accel = 4, RefW = 7, Moving = 11 };
constexpr double MaxDurationS = 3600.0;

struct Row {
    double Values[Columns];
};

bool Fail(std::string* error, std::size_t line, const std::string& what) {
    if (error)
        *error = "line " + std::to_string(line) + ": " + what;
    return false;
}

// Splits one line into numbers; "nan" parses as not-a-number.
bool ParseRow(const std::string& line, Row* row, std::string* what) {
    const char* p = line.c_str();
    for (int column = 0; column < Columns; ++column) {
        char* end = nullptr;
        errno = 0;
        row->Values[column] = std::strtod(p, &end);
        const char expected = column + 1 < Columns ? ',' : '\0';
        if (end == p || *end != expected || errno == ERANGE) {
            *what = "field " + std::to_string(column + 1) +
                    " is not a number or the row does "
                    "not have 12 fields";
            return false;
        }
        p = end + 1;
    }
    for (int column = 0; column < RefW; ++column)
        if (!std::isfinite(row->Values[column])) {
            *what = "field " + std::to_string(column + 1) + " must be a finite number";
            return false;
        }
    return true;
}

std::int32_t Counts(double value) {
    const double counts = std::round(value / SensorCountScale);
    return static_cast<std::int32_t>(
        std::clamp(counts, double(SensorTripletMin), double(SensorTripletMax)));
}

Vector3f Lerp3(const Row& a, const Row& b, int first, double f) {
    auto at = [&](int c) { return float(a.Values[c] + (b.Values[c] - a.Values[c]) * f); };
    return Vector3f(at(first), at(first + 1), at(first + 2));
}

// The reference of one row in the tracker's world; Valid false when missing or degenerate.
BroadRecording::Reference RowReference(const Row& row) {
    BroadRecording::Reference ref;
    const double* q = row.Values + RefW; // w, x, y, z
    const double len = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    ref.Moving = row.Values[Moving] != 0;
    if (!(len > 0.5 && len < 2.0))
        return ref;
    // Turning both frames by the same axis change moves only the vector part.
    const Vector3f v =
        BroadToTrackerAxes(Vector3f(float(q[1] / len), float(q[2] / len), float(q[3] / len)));
    ref.Orientation = Quatf(v.x, v.y, v.z, float(q[0] / len));
    ref.Valid = true;
    return ref;
}

void Resample(const std::vector<Row>& rows, BroadRecording* out) {
    const double t0 = rows.front().Values[Time];
    const auto count = std::size_t((rows.back().Values[Time] - t0) * 1000.0) + 1;
    out->Samples.resize(count);
    out->References.resize(count);
    std::size_t i = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const double t = t0 + double(k) * 0.001;
        while (i + 2 < rows.size() && rows[i + 1].Values[Time] <= t)
            ++i;
        const Row& a = rows[i];
        const Row& b = rows[i + 1];
        const double f =
            std::clamp((t - a.Values[Time]) / (b.Values[Time] - a.Values[Time]), 0.0, 1.0);
        const Vector3f gyro = BroadToTrackerAxes(Lerp3(a, b, Gyro, f));
        const Vector3f accel = BroadToTrackerAxes(Lerp3(a, b, Accel, f));
        SensorSample& s = out->Samples[k];
        s.GyroX = Counts(gyro.x), s.GyroY = Counts(gyro.y), s.GyroZ = Counts(gyro.z);
        s.AccelX = Counts(accel.x), s.AccelY = Counts(accel.y), s.AccelZ = Counts(accel.z);

        // Normalised linear blend on the shorter arc.
        const BroadRecording::Reference ra = RowReference(a), rb = RowReference(b);
        BroadRecording::Reference& ref = out->References[k];
        ref.Moving = ra.Moving;
        ref.Valid = ra.Valid && rb.Valid;
        if (!ref.Valid)
            continue;
        const Quatf& p = ra.Orientation;
        Quatf q = rb.Orientation;
        if (p.x * q.x + p.y * q.y + p.z * q.z + p.w * q.w < 0)
            q = Quatf(-q.x, -q.y, -q.z, -q.w);
        const auto g = float(f);
        ref.Orientation = Quatf(p.x + (q.x - p.x) * g, p.y + (q.y - p.y) * g, p.z + (q.z - p.z) * g,
                                p.w + (q.w - p.w) * g);
        ref.Orientation.Normalize();
    }
}

} // namespace

Vector3f BroadToTrackerAxes(const Vector3f& imu) {
    return Vector3f(imu.x, imu.z, -imu.y);
}

bool ParseBroadRecording(std::istream& in, BroadRecording* out, std::string* error) {
    out->Samples.clear();
    out->References.clear();
    std::string line;
    if (!std::getline(in, line))
        return Fail(error, 1, "empty file");
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line != Header)
        return Fail(error, 1, std::string("header is not \"") + Header + "\"");

    std::vector<Row> rows;
    std::string what;
    for (std::size_t number = 2; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        Row row;
        if (!ParseRow(line, &row, &what))
            return Fail(error, number, what);
        if (!rows.empty() && !(row.Values[Time] > rows.back().Values[Time]))
            return Fail(error, number, "time does not increase");
        if (!rows.empty() && row.Values[Time] - rows.front().Values[Time] > MaxDurationS)
            return Fail(error, number, "recording longer than an hour");
        rows.push_back(row);
    }
    if (rows.size() < 2)
        return Fail(error, rows.size() + 1, "fewer than two samples");
    Resample(rows, out);
    return true;
}

float TiltError(const Quatf& estimate, const Quatf& reference) {
    const Vector3f up(0, 1, 0);
    const float d = estimate.Conj().Rotate(up).Dot(reference.Conj().Rotate(up));
    return std::acos(std::clamp(d, -1.0f, 1.0f));
}

void TiltErrorLog::Add(const Quatf& estimate, const BroadRecording::Reference& reference) {
    constexpr float Degrees = 57.29578f;
    Errors.push_back(reference.Valid ? TiltError(estimate, reference.Orientation) * Degrees
                                     : std::nanf(""));
    IsMoving.push_back(reference.Moving);
}

namespace {

TiltErrorLog::Summary Summarise(std::vector<float> errors) {
    TiltErrorLog::Summary s;
    errors.erase(
        std::remove_if(errors.begin(), errors.end(), [](float e) { return std::isnan(e); }),
        errors.end());
    if (errors.empty())
        return s;
    std::sort(errors.begin(), errors.end());
    s.Median = errors[errors.size() / 2];
    s.Max = errors.back();
    s.Count = errors.size();
    return s;
}

} // namespace

TiltErrorLog::Summary TiltErrorLog::Window(std::size_t index) const {
    const std::size_t begin = std::min(index * WindowMs, Errors.size());
    const std::size_t end = std::min(begin + WindowMs, Errors.size());
    return Summarise(std::vector<float>(Errors.begin() + begin, Errors.begin() + end));
}

TiltErrorLog::Summary TiltErrorLog::Moving() const {
    std::vector<float> moving;
    for (std::size_t i = 0; i < Errors.size(); ++i)
        if (IsMoving[i])
            moving.push_back(Errors[i]);
    return Summarise(std::move(moving));
}

void TiltErrorLog::Print(std::FILE* out) const {
    std::fprintf(out, "tilt error in degrees, median / max per %u ms\n", WindowMs);
    for (std::size_t i = 0; i < WindowCount(); ++i) {
        const Summary s = Window(i);
        if (s.Count)
            std::fprintf(out, "  %6.1f s: %6.2f / %6.2f\n", double(i + 1) * WindowMs / 1000,
                         double(s.Median), double(s.Max));
    }
    const Summary m = Moving();
    std::fprintf(out, "  moving:   %6.2f / %6.2f (%zu samples)\n", double(m.Median), double(m.Max),
                 m.Count);
}

bool LoadBroadRecording(const std::string& path, BroadRecording* out, std::string* error) {
    std::ifstream file(path);
    if (!file) {
        out->Samples.clear();
        out->References.clear();
        if (error)
            *error = "cannot open " + path;
        return false;
    }
    return ParseBroadRecording(file, out, error);
}

} // namespace Visor
