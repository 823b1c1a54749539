// Single-precision math of the engine: vectors, a row-major 4x4 matrix, the view frame and the
// perspective camera. Matrices act on column vectors (M * v) and are uploaded transposed.
#pragma once

struct vec3 {
    float x = 0, y = 0, z = 0;

    constexpr vec3() = default;
    constexpr vec3(float x_, float y_, float z_) : x(x_), y(y_), z(z_) {}

    constexpr vec3 operator+(const vec3& o) const { return {x + o.x, y + o.y, z + o.z}; }
    constexpr vec3 operator-(const vec3& o) const { return {x - o.x, y - o.y, z - o.z}; }
    constexpr vec3 operator-() const { return {-x, -y, -z}; }
    constexpr vec3 operator*(float s) const { return {x * s, y * s, z * s}; }
    constexpr vec3 operator/(float s) const { return {x / s, y / s, z / s}; }
    vec3& operator+=(const vec3& o) { return *this = *this + o; }
    vec3& operator-=(const vec3& o) { return *this = *this - o; }
    vec3& operator*=(float s) { return *this = *this * s; }
    constexpr bool operator==(const vec3& o) const { return x == o.x && y == o.y && z == o.z; }
    constexpr bool operator!=(const vec3& o) const { return !(*this == o); }
};

constexpr vec3 operator*(float s, const vec3& v) {
    return v * s;
}
constexpr float dot(const vec3& a, const vec3& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
constexpr vec3 cross(const vec3& a, const vec3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
float length(const vec3& v);
// A zero vector has no direction: it is returned unchanged instead of becoming NaN.
vec3 normalize(const vec3& v);

struct vec4 {
    float x = 0, y = 0, z = 0, w = 0;

    constexpr vec4() = default;
    constexpr vec4(float x_, float y_, float z_, float w_) : x(x_), y(y_), z(z_), w(w_) {}
    constexpr vec4(const vec3& v, float w_) : x(v.x), y(v.y), z(v.z), w(w_) {}

    constexpr vec3 xyz() const { return {x, y, z}; }
    constexpr vec4 operator+(const vec4& o) const { return {x + o.x, y + o.y, z + o.z, w + o.w}; }
    constexpr vec4 operator-(const vec4& o) const { return {x - o.x, y - o.y, z - o.z, w - o.w}; }
    constexpr vec4 operator-() const { return {-x, -y, -z, -w}; }
    constexpr vec4 operator*(float s) const { return {x * s, y * s, z * s, w * s}; }
    constexpr bool operator==(const vec4& o) const {
        return x == o.x && y == o.y && z == o.z && w == o.w;
    }
    constexpr bool operator!=(const vec4& o) const { return !(*this == o); }
};

constexpr vec4 operator*(float s, const vec4& v) {
    return v * s;
}
constexpr float dot(const vec4& a, const vec4& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w;
}
float length(const vec4& v);
vec4 normalize(const vec4& v);

// Row-major: element (row r, column c) is m[4 * r + c]; a translation sits in m[3], m[7], m[11].
struct mat4 {
    float m[16];

    // Identity.
    mat4();
    explicit mat4(const float values[16]);

    static mat4 identity() { return mat4(); }
    static mat4 translation(float x, float y, float z);
    static mat4 translation(const vec3& t) { return translation(t.x, t.y, t.z); }
    // Right-handed rotation by angle radians about axis; the axis is used as given, so pass a
    // unit vector.
    static mat4 rotation(const vec3& axis, float angle);

    float& operator()(int row, int column) { return m[4 * row + column]; }
    float operator()(int row, int column) const { return m[4 * row + column]; }
    const float* data() const { return m; }

    mat4 operator*(const mat4& b) const;
    vec4 operator*(const vec4& v) const;
    mat4 transposed() const;
    bool operator==(const mat4& o) const;
    bool operator!=(const mat4& o) const { return !(*this == o); }
};

// A position and three orthonormal axes, with the view matrix built from them. Callers may write
// the fields directly and then call updateView().
struct ViewFrame {
    vec3 translation; // minus the eye position
    vec3 right;       // X
    vec3 up;          // Y
    vec3 forward;     // Z, the viewing direction
    mat4 view;        // rotation * translation

    void setFrame(const vec3& translation, const vec3& forward, const vec3& up);
    void updateView();
};

// A view frame with a perspective projection. The view-projection is refreshed only by update().
struct Camera : ViewFrame {
    mat4 projection;
    mat4 viewProjection;
    float fov = 0;    // vertical, degrees
    float aspect = 0; // width / height
    float near = 0;
    float far = 0;

    Camera(const vec3& eye, const vec3& target, const vec3& up, float fov, float aspect, float near,
           float far);

    void setProjection(float fov, float aspect, float near, float far);
    void update();
};
