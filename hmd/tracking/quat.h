// Single-precision 3-vectors and rotation quaternions for the tracking code: Hamilton product,
// vector rotation, axis-angle construction, conjugate and normalisation.
#pragma once

#include <cmath>

namespace Visor {

struct Vector3f {
    float x = 0, y = 0, z = 0;

    Vector3f() = default;
    Vector3f(float x_, float y_, float z_) : x(x_), y(y_), z(z_) {}

    Vector3f operator+(const Vector3f& b) const { return Vector3f(x + b.x, y + b.y, z + b.z); }
    Vector3f operator*(float s) const { return Vector3f(x * s, y * s, z * s); }
    Vector3f operator/(float s) const { return Vector3f(x / s, y / s, z / s); }
    float Dot(const Vector3f& b) const { return x * b.x + y * b.y + z * b.z; }
    float Length() const { return std::sqrt(x * x + y * y + z * z); }
};

// (x, y, z, w) with w the scalar part; the identity is (0, 0, 0, 1).
struct Quatf {
    float x = 0, y = 0, z = 0, w = 1;

    Quatf() = default;
    Quatf(float x_, float y_, float z_, float w_) : x(x_), y(y_), z(z_), w(w_) {}

    // Angle in radians about a unit axis.
    static Quatf FromAxisAngle(const Vector3f& axis, float angle) {
        const float half = angle * 0.5f;
        const float s = static_cast<float>(std::sin(static_cast<double>(half)));
        const float c = static_cast<float>(std::cos(static_cast<double>(half)));
        return Quatf(axis.x * s, axis.y * s, axis.z * s, c);
    }

    // Hamilton product this * q: q's rotation is applied first.
    Quatf operator*(const Quatf& q) const {
        return Quatf(w * q.x + x * q.w + y * q.z - z * q.y, w * q.y - x * q.z + y * q.w + z * q.x,
                     w * q.z + x * q.y - y * q.x + z * q.w, w * q.w - x * q.x - y * q.y - z * q.z);
    }

    Quatf Conj() const { return Quatf(-x, -y, -z, w); }
    float Length() const { return std::sqrt(x * x + y * y + z * z + w * w); }
    // Divides by the 4-vector length; a zero quaternion is left as it is.
    void Normalize() {
        const float len = Length();
        if (len > 0) {
            x /= len;
            y /= len;
            z /= len;
            w /= len;
        }
    }

    // q * (v, 0) * q*, keeping the vector part.
    Vector3f Rotate(const Vector3f& v) const {
        const Quatf r = (*this * Quatf(v.x, v.y, v.z, 0)) * Conj();
        return Vector3f(r.x, r.y, r.z);
    }
};

} // namespace Visor
