// Scene 1: the warehouse hall with crates, fans and pipes; the knee tunnel leads back to the
// start room and a vertical shaft down to the metaballs room.
#include "world/sector_shapes.h"
#include "world/sectors.h"
#include "world/world.h"

namespace ombrel {

namespace {

const char* const warehouseWorld = R"GLSL(float s_room(vec3 at){
float room = -obj_box(at + vec3(0., 0., 10.), vec3(6., 4., 35.));
float corners = obj_box(tr_repeat(at, vec3(12., 8., 1.)), vec3(.5, .5, 1.));
float vent_chamber = obj_box(tr_repeat(at + vec3(20., 24., 0.), vec3(40., 140., 20.)), vec3(4., 50., 4.));
vec3 vg = tr_repeat(at, vec3(2., 10., 2.));
float vent_grid = obj_box(vg, vec3(10., .05, .1));
float gateways = op_or(obj_knee(at - vec3(21., 0., 30.)),
op_and(obj_cylinder_y(at - vec3(2., 0., -41.), 3.), obj_box(at - vec3(2., -40., -41.), vec3(4., 43., 4.))));
return op_nxor(op_or(op_or(op_nxor(room, vent_chamber), corners), vent_grid), gateways);
}
float s_boxes(vec3 at){
float tile = floor(at.z/5.);
return obj_box(tr_rotate_y(tr_repeat(at + vec3(24., 23., 0.), vec3(40., 40., 5.)), sin(tile)*4.), vec3(1.5));
}
float s_fan(vec3 at){
vec3 p = tr_rotate_y(tr_repeat(at + vec3(10., 13., 0.), vec3(20., 40., 20.)), t*4.);
return op_or(obj_box(p, vec3(3.5, .1, .2)), obj_box(p, vec3(.2, .1, 3.5)));
}
float s_pipe1(vec3 at){ return obj_cylinder_z(at - vec3(4.8, 2.8, 0.), .5); }
float s_pipe2(vec3 at){ return obj_cylinder_z(at - vec3(5.1, 1.4, 0.), .4); }
float world(vec3 at, float d){
return op_or(op_or(op_or(op_or(s_room(at), s_boxes(at)), s_fan(at)), s_pipe1(at)), s_pipe2(at));
}
)GLSL";

// The nearest of room, crates, fan and pipes picks the material.
const char* const warehouseMaterial = R"GLSL(material_t world_material(vec3 p, vec3 n){
material_t m = material_t(vec3(1.), 20.);
float c = s_room(p), d;
d = s_boxes(p);
if(d < c){ c = d; m = material_t(vec3(.9, .8, .6), 0.); }
d = s_fan(p);
if(d < c){ c = d; m = material_t(vec3(.4, .4, .0), 0.); }
d = s_pipe1(p);
if(d < c){ c = d; m = material_t(vec3(.4, 1., .4), 200.); }
d = s_pipe2(p);
if(d < c){ c = d; m = material_t(vec3(.4, .4, 1.), 200.); }
return m;
}
vec3 world_enlight(vec3 e, vec3 p, vec3 n, material_t m){
return occlusion(p, n)*m.diffuse*.2*(1. - smoothstep(8., 32., abs(p.y)))
+ enlight_point(e, p, n, m, light_t(vec3(8., 8., 8.), vec3(0., 12., 10.)))
+ enlight_point(e, p, n, m, light_t(vec3(8., 8., 8.), vec3(0., 12., -10.)))
+ enlight_point(e, p, n, m, light_t(vec3(.3, 1., .4), vec3(-5., 3., 0.)))
+ enlight_point(e, p, n, m, light_t(vec3(1., .4, .3)*(1. + sin(3.*t)), vec3(-5., 3., -20.)))
+ enlight_point(e, p, n, m, light_t(vec3(.7, .2, .2), vec3(21., 2.5, 30.)));
}
)GLSL";

// The crate rows of s_boxes: half size 1.5, every 5 units along z, turned about y per tile.
float crates(const vec3& at) {
    float tile = std::floor(at.z / 5.0f);
    vec3 cell = shapes::repeat(at + vec3(24, 23, 0), vec3(40, 40, 5));
    return shapes::box(shapes::rotateY(cell, std::sin(tile) * 4.0f), vec3(1.5f, 1.5f, 1.5f));
}

} // namespace

SectorWarehouse::SectorWarehouse() {
    worldText = warehouseWorld;
    materialText = warehouseMaterial;
    addAnchor(linkStartWarehouse, vec3(21, 0, 30));
    addAnchor(linkWarehouseMetaballs, vec3(2, -70, -41));
    addExit(vec3(21, 0, 36), vec3(3, 3, 6), World::start, linkStartWarehouse);
    addExit(vec3(2, -70, -41), vec3(4, 20, 4), World::metaballs, linkWarehouseMetaballs);
}

// Hall, knee tunnel, shaft and crates; chambers, ribs, vent grid, fans and pipes are not solid.
float SectorWarehouse::distance(const vec3& at, float /*t*/) const {
    float hall = shapes::box(at + vec3(0, 0, 10), vec3(6, 4, 35));
    float dx = at.x - 2.0f, dz = at.z + 41.0f;
    float shaft = std::max(std::sqrt(dx * dx + dz * dz) - 3.0f,
                           shapes::box(at - vec3(2, -40, -41), vec3(4, 43, 4)));
    float knee = shapes::knee(at - vec3(21, 0, 30));
    return std::min(std::max(-hall, -std::min(knee, shaft)), crates(at));
}

} // namespace ombrel
