// The fixed GLSL texts of the raymarching program. GLSL 1.10 style: no version line,
// gl_FragData outputs, varyings, float uniforms only.
//
// Index:
//   glslPrelude - shader inputs, `t`, hash / noise / fnoise, ray_t, material_t, light_t
//   glslLibrary - vmax, obj_*, tr_*, op_*, obj_knee
//   (scene world text: world(vec3 at, float d))
//   glslTracer  - normal, trace, enlight_direct, enlight_point, occlusion
//   (scene material text: world_material, world_enlight)
//   glslMain    - world_background, main
#include "world/glsl_library.h"

namespace ombrel {

const char* const glslPrelude = R"GLSL(uniform float uf_t;
uniform vec3 uv3_origin;
uniform vec4 uv4_dir;
uniform float uf_near, uf_far;
varying vec2 vv2_pos;
float t = uf_t;
float hash(float v){ return fract(sin(v)*46927.7295); }
float hash(vec2 v){ return hash(dot(v, vec2(79., 313.))); }
float hash(vec3 v){ return hash(dot(v, vec3(79., 313., 723.))); }
float noise(vec2 v){
vec2 F = floor(v), f = fract(v), e = vec2(1., 0.);
f = f*f*(3. - 2.*f);
return mix(mix(hash(F), hash(F + e.xy), f.x), mix(hash(F + e.yx), hash(F + e.xx), f.x), f.y);
}
float noise(vec3 v){
vec3 F = floor(v), f = fract(v);
vec2 e = vec2(1., 0.);
f = f*f*(3. - 2.*f);
return mix(mix(mix(hash(F), hash(F + e.xyy), f.x), mix(hash(F + e.yxy), hash(F + e.xxy), f.x), f.y),
mix(mix(hash(F + e.yyx), hash(F + e.xyx), f.x), mix(hash(F + e.yxx), hash(F + e.xxx), f.x), f.y), f.z);
}
float fnoise(vec2 v){
return .5*noise(v) + .25*noise(1.99*v) + .125*noise(4.01*v) + .0625*noise(8.21*v) + .03125*noise(15.61*v);
}
float fnoise(vec3 v){
return .5*noise(v) + .25*noise(1.99*v) + .125*noise(4.01*v);
}
struct ray_t { vec3 o; vec3 d; };
struct material_t { vec3 diffuse; float specular; };
struct light_t { vec3 color; vec3 v; };
)GLSL";

const std::string glslLibrary = R"GLSL(float vmax(vec3 v){ return max(v.x, max(v.y, v.z)); }
float obj_ball(vec3 at, float r){ return length(at) - r; }
float obj_box(vec3 at, vec3 size){ return vmax(abs(at) - size); }
float obj_plane(vec3 at, vec4 p){ return dot(at, p.xyz) - p.w; }
float obj_cylinder_x(vec3 at, float r){ return length(at.yz) - r; }
float obj_cylinder_y(vec3 at, float r){ return length(at.xz) - r; }
float obj_cylinder_z(vec3 at, float r){ return length(at.xy) - r; }
vec3 tr_repeat(vec3 at, vec3 spc){ return mod(at, spc) - spc*.5; }
vec3 tr_rotate_x(vec3 at, float angle){
float s = sin(angle), c = cos(angle);
return vec3(at.x, at.y*c - at.z*s, at.y*s + at.z*c);
}
vec3 tr_rotate_y(vec3 at, float angle){
float s = sin(angle), c = cos(angle);
return vec3(at.x*c + at.z*s, at.y, -at.x*s + at.z*c);
}
vec3 tr_rotate_z(vec3 at, float angle){
float s = sin(angle), c = cos(angle);
return vec3(at.x*c - at.y*s, at.x*s + at.y*c, at.z);
}
float op_or(float a, float b){ return min(a, b); }
float op_and(float a, float b){ return max(a, b); }
float op_nxor(float a, float b){ return max(a, -b); }
float obj_knee(vec3 at){
return op_or(op_or(obj_box(at, vec3(3., 3., 12.)), obj_box(at + vec3(9., 0., 9.), vec3(12., 3., 3.))),
obj_box(at - vec3(9., 0., 9.), vec3(12., 3., 3.)));
}
)GLSL";

const char* const glslTracer = R"GLSL(vec3 normal(vec3 at, float d){
vec2 e = vec2(.1*d, 0.);
float W = world(at, d);
return normalize(vec3(world(at + e.xyy, d) - W, world(at + e.yxy, d) - W, world(at + e.yyx, d) - W));
}
float trace(ray_t r, float lmin, float lmax){
float L = lmin;
for(int i = 0; i < 256; ++i){
float d = world(r.o + r.d*L, .01*L);
L += d;
if(L > lmax || d < .01*L){ L = -min(L, lmax); break; }
}
return -L;
}
vec3 enlight_direct(vec3 e, vec3 p, vec3 n, material_t m, light_t l, float Lmax){
float tr = Lmax > 0. ? trace(ray_t(p, l.v), .01, Lmax) : Lmax;
if(tr >= Lmax){
vec3 c = max(0., dot(l.v, n))*m.diffuse*l.color;
if(m.specular > 0.){
vec3 h = normalize(l.v + normalize(e - p));
c += (m.specular + 8.)/(8.*3.141593)*l.color*pow(dot(h, n), m.specular);
}
return c;
}
return vec3(0.);
}
vec3 enlight_point(vec3 e, vec3 p, vec3 n, material_t m, light_t l){
vec3 dir = l.v - p;
float ldir = sqrt(dot(dir, dir));
return enlight_direct(e, p, n, m, light_t(l.color, dir/ldir), ldir)/ldir;
}
float occlusion(vec3 at, vec3 nor){
float o = 0., L = .2, K = 16.;
for(int i = 0; i < 5; ++i){
float kk = K/L;
float d = world(at + nor*L, .01);
o += max(0., L - max(0., d))*kk;
L += .2;
K *= .5;
}
return max(0., 1. - o/31.);
}
)GLSL";

const char* const glslMain = R"GLSL(vec3 world_background(ray_t r){ return vec3(0.); }
void main(){
ray_t ray;
ray.o = uv3_origin;
vec3 dirand = vec3(hash(vv2_pos.x + t), hash(vv2_pos.y + t), hash(vv2_pos + t)) - .5;
ray.d = normalize(uv4_dir.xyz + uv4_dir.w*dirand*sign(dot(dirand, uv4_dir.xyz)));
float L = trace(ray, uf_near, uf_far);
vec3 pos = ray.o + ray.d*abs(L);
if(L < 0. || L >= uf_far){
gl_FragData[0] = vec4(pos, 100.*5.);
gl_FragData[1] = vec4(world_background(ray), 0.);
return;
}
vec3 nor = normal(pos, L*.01);
material_t material = world_material(pos, nor);
vec3 color = world_enlight(uv3_origin, pos, nor, material)
 + enlight_point(uv3_origin, pos, nor, material, light_t(vec3(.5), uv3_origin));
gl_FragData[0] = vec4(pos, L*5.);
gl_FragData[1] = vec4(color, 0.);
}
)GLSL";

std::string assembleFragmentSource(const std::string& worldText, const std::string& materialText) {
    std::string source;
    source.reserve(4500 + worldText.size() + materialText.size());
    source += glslPrelude;
    source += glslLibrary;
    source += worldText;
    source += glslTracer;
    source += materialText;
    source += glslMain;
    return source;
}

} // namespace ombrel
