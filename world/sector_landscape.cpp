// Scene 4: open noise terrain under a sun. Built and compiled with the others, but no portal
// leads here.
#include "world/sectors.h"
#include "world/world.h"

namespace ombrel {

namespace {

// The height difference is scaled by 0.1 so that march steps stay short on steep noise.
const char* const landscapeWorld = R"GLSL(float height(vec2 at){
float v = fnoise(at*.05) - .5;
return (v*v*v*v - 1.)*100.;
}
float world(vec3 at, float d){ return (at.y - height(at.xz))*.1; }
)GLSL";

const char* const landscapeMaterial = R"GLSL(material_t world_material(vec3 p, vec3 n){
return material_t(vec3(1.), 200.);
}
vec3 world_enlight(vec3 e, vec3 p, vec3 n, material_t m){
return occlusion(p, n)*m.diffuse*.2
+ enlight_direct(e, p, n, m, light_t(vec3(.8), normalize(vec3(1., .5, 1.))), 100.);
}
)GLSL";

} // namespace

SectorLandscape::SectorLandscape() {
    far = 5000.0f;
    worldText = landscapeWorld;
    materialText = landscapeMaterial;
    // The same portal data as the start room.
    addAnchor(linkStartWarehouse, vec3(-33, -14, 2));
    addExit(vec3(-33, -14, -8), vec3(3, 3, 6), World::warehouse, linkStartWarehouse);
}

// A flat floor at the lowest terrain height (-100): the drawn terrain never dips below it.
float SectorLandscape::distance(const vec3& at, float /*t*/) const {
    return at.y + 100.0f;
}

} // namespace ombrel
