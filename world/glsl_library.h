// The four fixed GLSL texts that surround every scene's own texts in the raymarching fragment
// program: prelude, distance-field library, tracer and main (joined in that order around the
// scene's world and material texts).
#pragma once

#include <string>

namespace ombrel {

// Uniforms (uf_t, uv3_origin, uv4_dir, uf_near, uf_far), the varying vv2_pos, the global `t`,
// hash and value noise, and the structures ray_t, material_t and light_t.
extern const char* const glslPrelude;

// Distance primitives (obj_*), space transforms (tr_*), combinations (op_*) and obj_knee.
// A global string object, built before main() runs; read it only after static construction.
extern const std::string glslLibrary;

// normal, trace, enlight_direct, enlight_point and occlusion; expects world() before it.
extern const char* const glslTracer;

// world_background and main(); expects world_material() and world_enlight() before it.
extern const char* const glslMain;

// The six pieces joined with nothing between them, in the order the program needs.
std::string assembleFragmentSource(const std::string& worldText, const std::string& materialText);

} // namespace ombrel
