// Scene 2: the rotating room pierced by a vertical shaft, with four orbiting metaballs.
#include "world/sector_shapes.h"
#include "world/sectors.h"
#include "world/world.h"

namespace ombrel {

namespace {

const char* const metaballsWorld =
    R"GLSL(float s_room(vec3 at){ return -obj_box(tr_rotate_z(at, t*.5), vec3(12.)); }
float s_metaballs(vec3 at){
float _t = t*.3, f = 0.;
for(int i = 0; i < 4; ++i){
float fi = float(i);
vec3 r = 4.*vec3(sin(_t*fi), sin(fi + _t), cos(_t - fi)) - at;
f += 3./dot(r, r);
}
return 1. - f;
}
float s_extrusion(vec3 at){
return obj_box(tr_repeat(tr_rotate_x(at, t*.1) - vec3(t, 0., 0.), vec3(2.)), vec3(.8));
}
float world(vec3 at, float d){
float way = obj_cylinder_y(at, 3.);
return op_or(op_nxor(s_room(at), way), op_and(s_metaballs(at), s_extrusion(at)));
}
)GLSL";

const char* const metaballsMaterial = R"GLSL(material_t world_material(vec3 p, vec3 n){
material_t m = material_t(vec3(1.), 20.);
if(s_metaballs(p) < s_room(p)) m = material_t(vec3(.6, .7, .9), 200.);
return m;
}
vec3 world_enlight(vec3 e, vec3 p, vec3 n, material_t m){
return occlusion(p, n)*m.diffuse*.4*(1. - smoothstep(16., 32., abs(p.y)))
+ enlight_point(e, p, n, m, light_t(2.*vec3(.9, .4, .2), 8.*vec3(cos(t), sin(.3*t)*.9, sin(t))))
+ enlight_point(e, p, n, m, light_t(2.*vec3(.2, .4, .9), 8.*vec3(cos(t), -sin(.3*t)*.9, -sin(t))));
}
)GLSL";

} // namespace

SectorMetaballs::SectorMetaballs() {
    worldText = metaballsWorld;
    materialText = metaballsMaterial;
    addAnchor(linkWarehouseMetaballs, vec3(0, 40, 0));
    addAnchor(linkMetaballsEndfall, vec3(0, -40, 0));
    addExit(vec3(0, -60, 0), vec3(4, 20, 4), World::endfall, linkMetaballsEndfall);
}

// The field sum of the metaballs at scene time t (the same orbits as s_metaballs).
static float metaballField(const vec3& at, float t) {
    float t3 = t * 0.3f, f = 0.0f;
    for (int i = 0; i < 4; ++i) {
        float fi = static_cast<float>(i);
        vec3 r = vec3(std::sin(t3 * fi), std::sin(fi + t3), std::cos(t3 - fi)) * 4.0f - at;
        f += 3.0f / dot(r, r);
    }
    return f;
}

// Room and shaft; the blobs collide at field 2.5, inside their drawn surface at 1, and the
// cube lattice is ignored.
float SectorMetaballs::distance(const vec3& at, float t) const {
    float s = std::sin(t * 0.5f), c = std::cos(t * 0.5f);
    vec3 turned(at.x * c - at.y * s, at.x * s + at.y * c, at.z);
    float room = -shapes::box(turned, vec3(12, 12, 12));
    float way = std::sqrt(at.x * at.x + at.z * at.z) - 3.0f;
    return std::min(2.5f - metaballField(at, t), std::max(-way, room));
}

} // namespace ombrel
