// Matrix, view-frame and camera operations of the engine math.
#include "render/math.h"

#include <cmath>

float length(const vec3& v) {
    return std::sqrt(dot(v, v));
}

vec3 normalize(const vec3& v) {
    float l = length(v);
    return l > 0 ? v / l : v;
}

float length(const vec4& v) {
    return std::sqrt(dot(v, v));
}

vec4 normalize(const vec4& v) {
    float l = length(v);
    return l > 0 ? v * (1.0f / l) : v;
}

mat4::mat4() : m{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1} {}

mat4::mat4(const float values[16]) {
    for (int i = 0; i < 16; ++i)
        m[i] = values[i];
}

mat4 mat4::translation(float x, float y, float z) {
    mat4 t;
    t.m[3] = x;
    t.m[7] = y;
    t.m[11] = z;
    return t;
}

mat4 mat4::rotation(const vec3& axis, float angle) {
    const float x = axis.x, y = axis.y, z = axis.z;
    const float s = std::sin(angle), c = std::cos(angle), k = 1 - c;
    const float values[16] = {
        x * x * k + c,
        x * y * k - z * s,
        x * z * k + y * s,
        0, //
        x * y * k + z * s,
        y * y * k + c,
        y * z * k - x * s,
        0, //
        x * z * k - y * s,
        y * z * k + x * s,
        z * z * k + c,
        0, //
        0,
        0,
        0,
        1,
    };
    return mat4(values);
}

mat4 mat4::operator*(const mat4& b) const {
    // Rows of A against rows of B transposed (that is, its columns): contiguous dot products.
    const mat4 bt = b.transposed();
    mat4 p;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            const float* a = m + 4 * r;
            const float* col = bt.m + 4 * c;
            p.m[4 * r + c] = a[0] * col[0] + a[1] * col[1] + a[2] * col[2] + a[3] * col[3];
        }
    return p;
}

vec4 mat4::operator*(const vec4& v) const {
    const vec4 r0(m[0], m[1], m[2], m[3]), r1(m[4], m[5], m[6], m[7]);
    const vec4 r2(m[8], m[9], m[10], m[11]), r3(m[12], m[13], m[14], m[15]);
    return {dot(r0, v), dot(r1, v), dot(r2, v), dot(r3, v)};
}

mat4 mat4::transposed() const {
    mat4 t;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            t.m[4 * c + r] = m[4 * r + c];
    return t;
}

bool mat4::operator==(const mat4& o) const {
    for (int i = 0; i < 16; ++i)
        if (m[i] != o.m[i])
            return false;
    return true;
}

void ViewFrame::setFrame(const vec3& t, const vec3& f, const vec3& u) {
    translation = t;
    forward = normalize(f);
    // Normalised so that an up input not perpendicular to forward still gives unit axes.
    right = normalize(cross(forward, normalize(u)));
    up = cross(right, forward);
    updateView();
}

void ViewFrame::updateView() {
    const float values[16] = {
        right.x,    right.y,    right.z,    0, //
        up.x,       up.y,       up.z,       0, //
        -forward.x, -forward.y, -forward.z, 0, //
        0,          0,          0,          1,
    };
    view = mat4(values) * mat4::translation(translation);
}

Camera::Camera(const vec3& eye, const vec3& target, const vec3& upInput, float fov_, float aspect_,
               float near_, float far_) {
    setFrame(vec3(0, 0, 0), vec3(0, 0, -1), vec3(0, 1, 0));
    setProjection(fov_, aspect_, near_, far_);
    translation = -eye;
    forward = normalize(target - eye);
    right = normalize(cross(forward, normalize(upInput)));
    up = cross(right, forward);
    update();
}

void Camera::setProjection(float fov_, float aspect_, float near_, float far_) {
    const float f = 1.0f / std::tan(fov_ * 0.017453292f * 0.5f);
    const float a = (near_ + far_) / (near_ - far_);
    const float b = 2.0f * near_ * far_ / (near_ - far_);
    const float values[16] = {
        f / aspect_, 0, 0,  0, //
        0,           f, 0,  0, //
        0,           0, a,  b, //
        0,           0, -1, 0,
    };
    projection = mat4(values);
    fov = fov_;
    aspect = aspect_;
    near = near_;
    far = far_;
}

void Camera::update() {
    updateView();
    viewProjection = projection * view;
}
