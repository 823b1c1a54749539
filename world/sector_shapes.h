// Processor copies of the distance-field library's primitives, for the scenes' collision
// distances. Each mirrors the GLSL function of the same role (mod is GLSL's floored mod).
#pragma once

#include <algorithm>
#include <cmath>

#include "render/math.h"

namespace ombrel::shapes {

inline float vmax(const vec3& v) {
    return std::max(v.x, std::max(v.y, v.z));
}
inline vec3 abs3(const vec3& v) {
    return {std::fabs(v.x), std::fabs(v.y), std::fabs(v.z)};
}

// Half extents in size; a bound outside the edges, like obj_box.
inline float box(const vec3& at, const vec3& size) {
    return vmax(abs3(at) - size);
}

inline float glslMod(float x, float y) {
    return x - y * std::floor(x / y);
}

// Centred cells of size spc, like tr_repeat.
inline vec3 repeat(const vec3& at, const vec3& spc) {
    return vec3(glslMod(at.x, spc.x), glslMod(at.y, spc.y), glslMod(at.z, spc.z)) - spc * 0.5f;
}

inline vec3 rotateY(const vec3& at, float angle) {
    float s = std::sin(angle), c = std::cos(angle);
    return {at.x * c + at.z * s, at.y, -at.x * s + at.z * c};
}

inline vec3 rotateZ(const vec3& at, float angle) {
    float s = std::sin(angle), c = std::cos(angle);
    return {at.x * c - at.y * s, at.x * s + at.y * c, at.z};
}

// The S-shaped tunnel shared by the portals of link 0x0001, like obj_knee.
inline float knee(const vec3& at) {
    return std::min(std::min(box(at, vec3(3, 3, 12)), box(at + vec3(9, 0, 9), vec3(12, 3, 3))),
                    box(at - vec3(9, 0, 9), vec3(12, 3, 3)));
}

} // namespace ombrel::shapes
