// Scene 0: the start room with its alcoves, coloured balls and the knee tunnel to the
// warehouse.
#include "world/sector_shapes.h"
#include "world/sectors.h"
#include "world/world.h"

namespace ombrel {

namespace {

// Free space is the room plus the wall alcoves plus the knee tunnel; the balls are solid.
const char* const startWorld = R"GLSL(float s_room(vec3 at){
float room = -obj_box(at, vec3(16.));
float wallcells = obj_box(tr_repeat(at - vec3(0., 0., 0.), vec3(8., 8., 36.)), vec3(3.));
return op_nxor(room, op_or(wallcells, obj_knee(at + vec3(33., 14., -2.))));
}
float s_objs(vec3 at){
vec3 rpt = tr_repeat(at - vec3(0., -1., 0.), vec3(8., 8., 37.));
return op_and(obj_ball(rpt, 2.), -obj_box(at - vec3(4., 4., 18.), vec3(3.)));
}
float world(vec3 at, float d){ return op_or(s_room(at), s_objs(at)); }
)GLSL";

// Each ball cell gets its own colour and shininess from its lattice slot.
const char* const startMaterial = R"GLSL(material_t world_material(vec3 p, vec3 n){
material_t m = material_t(vec3(1.), 20.);
if(s_objs(p) < s_room(p)){
vec3 slot = floor(p/8.);
m.diffuse = vec3(hash(slot), hash(slot + vec3(6.)), hash(slot + vec3(16.)));
m.specular = 200.*hash(slot.xz);
}
return m;
}
vec3 world_enlight(vec3 e, vec3 p, vec3 n, material_t m){
return occlusion(p, n)*m.diffuse*.2
+ enlight_point(e, p, n, m, light_t(vec3(2.7, 2.7, 2.7), vec3(10., 12., 10.)))
+ enlight_point(e, p, n, m, light_t(vec3(2.7, 2.7, 2.7), vec3(10., 12., -10.)))
+ enlight_point(e, p, n, m, light_t(vec3(2.7, 2.7, 2.7), vec3(-10., 12., -10.)))
+ enlight_point(e, p, n, m, light_t(vec3(2.7, 2.7, 2.7), vec3(-10., 12., 10.)))
+ enlight_point(e, p, n, m, light_t(vec3(.7, .2, .2), vec3(-33., -11.5, 2.)));
}
)GLSL";

} // namespace

SectorStart::SectorStart() {
    worldText = startWorld;
    materialText = startMaterial;
    addAnchor(linkStartWarehouse, vec3(-33, -14, 2));
    addExit(vec3(-33, -14, -8), vec3(3, 3, 6), World::warehouse, linkStartWarehouse);
}

// Room and tunnel only: the alcoves and balls are not solid for the viewer.
float SectorStart::distance(const vec3& at, float /*t*/) const {
    float box = shapes::box(at, vec3(16, 16, 16));
    float knee = shapes::knee(at + vec3(33, 14, -2));
    return std::max(-box, -knee);
}

} // namespace ombrel
