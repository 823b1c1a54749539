// Scene 3: the final scene, a rolling ground with tumbling crates under a twisting THE END
// sign. It has no exit.
#include "world/sector_shapes.h"
#include "world/sectors.h"

namespace ombrel {

namespace {

// Index: height, s_ground, s_gboxes, s_theend (letters T H E _E N D, sliced into moving
// slabs), world.
const char* const endfallWorld = R"GLSL(float height(vec2 at){
float v = fnoise(at*.1) - .5;
return v*v*5.;
}
float s_ground(vec3 at){ return (at.y - height(at.xz) + 10.)*.5; }
float s_gboxes(vec3 at){
at.y += 10.;
vec2 tile = floor(at.xz/10.);
vec3 loc = tr_repeat(at + vec3(0., 50., 0.), vec3(20., 100., 20.));
return op_and(obj_box(tr_rotate_z(tr_rotate_y(loc, sin(tile.x)*4.), tile.y*17.), vec3(1.5)),
obj_box(at + vec3(0., 5., 0.), vec3(1000., 20., 1000.)));
}
float s_theend(vec3 at){
vec3 p = at;
at = (at - vec3(-7., -7., -12.))/2.;
float st = sin(t*.7);
at = tr_rotate_x(at, at.x*(.48 + .3*st) + st*st*st*5.7);
float T = op_or(obj_box(at, vec3(.125, .625, .125)),
obj_box(at - vec3(0., .5, 0.), vec3(.5, .125, .125)));
at.x -= 1.25;
float H = op_or(op_or(obj_box(at - vec3(.375, 0., 0.), vec3(.125, .625, .125)),
obj_box(at + vec3(.375, 0., 0.), vec3(.125, .625, .125))),
obj_box(at, vec3(.5, .125, .125)));
at.x -= 1.25; // KEMING
float E = op_or(op_or(op_or(obj_box(at + vec3(.375, 0., 0.), vec3(.125, .625, .125)),
obj_box(at + vec3(0., .5, 0.), vec3(.5, .125, .125))),
obj_box(at - vec3(0., .5, 0.), vec3(.5, .125, .125))),
obj_box(at + vec3(.125, 0., 0.), vec3(.375, .125, .125)));
at.x -= 1.75;
float _E = op_or(op_or(op_or(obj_box(at + vec3(.375, 0., 0.), vec3(.125, .625, .125)),
obj_box(at + vec3(0., .5, 0.), vec3(.5, .125, .125))),
obj_box(at - vec3(0., .5, 0.), vec3(.5, .125, .125))),
obj_box(at + vec3(.125, 0., 0.), vec3(.375, .125, .125)));
at.x -= 1.25; // KEMING
float N = op_or(op_or(obj_box(at - vec3(.375, 0., 0.), vec3(.125, .625, .125)),
obj_box(at + vec3(.375, 0., 0.), vec3(.125, .625, .125))),
obj_box(tr_rotate_z(at, .8), vec3(.5, .125, .125)));
at.x -= 1.25; // KEMING
float D = op_or(op_or(obj_box(at + vec3(.375, 0., 0.), vec3(.125, .625, .125)),
obj_box(tr_rotate_z(at - vec3(0., .225, 0.), .7), vec3(.45, .125, .125))),
obj_box(tr_rotate_z(at + vec3(0., .225, 0.), -.7), vec3(.45, .125, .125)));
float label = op_or(op_or(op_or(op_or(op_or(T, H), E), _E), N), D);
return op_and(label, obj_box(tr_repeat(tr_rotate_z(p + vec3(t*2.5, 0., 0.), .6), vec3(1.2)), vec3(.3, 2., 1.)));
}
float world(vec3 at, float d){
return op_or(op_or(s_ground(at), s_gboxes(at)), s_theend(at));
}
)GLSL";

// Ground white, crates wood, sign red and shiny; one bright point light and no ambient term.
const char* const endfallMaterial = R"GLSL(material_t world_material(vec3 p, vec3 n){
material_t m = material_t(vec3(1.), 0.);
float c = s_ground(p), d = s_gboxes(p);
if(d < c){ c = d; m = material_t(vec3(.9, .8, .6), 0.); }
d = s_theend(p);
if(d < c){ c = d; m = material_t(vec3(.9, .2, .2), 100.); }
return m;
}
vec3 world_enlight(vec3 e, vec3 p, vec3 n, material_t m){
return vec3(.0) + enlight_point(e, p, n, m, light_t(vec3(15.), vec3(-5., 3., -5.)));
}
)GLSL";

} // namespace

SectorEndfall::SectorEndfall() {
    worldText = endfallWorld;
    materialText = endfallMaterial;
    addAnchor(linkMetaballsEndfall, vec3(0, 100, 0));
}

// A flat floor at y = -10 plus the crates of s_gboxes; the relief and the sign are not solid.
float SectorEndfall::distance(const vec3& at, float /*t*/) const {
    vec3 p(at.x, at.y + 10.0f, at.z);
    float tileX = std::floor(p.x / 10.0f), tileZ = std::floor(p.z / 10.0f);
    vec3 loc = shapes::repeat(p + vec3(0, 50, 0), vec3(20, 100, 20));
    vec3 turned = shapes::rotateZ(shapes::rotateY(loc, std::sin(tileX) * 4.0f), tileZ * 17.0f);
    float crates = std::max(shapes::box(turned, vec3(1.5f, 1.5f, 1.5f)),
                            shapes::box(p + vec3(0, 5, 0), vec3(1000, 20, 1000)));
    return std::min(p.y, crates);
}

} // namespace ombrel
