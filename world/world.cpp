// The scene list and portal crossing.
#include "world/world.h"

#include "shell/log.h"
#include "world/sectors.h"

namespace ombrel {

World::World() {
    sectors.resize(sceneCount);
    sectors[start].reset(new SectorStart());
    sectors[warehouse].reset(new SectorWarehouse());
    sectors[metaballs].reset(new SectorMetaballs());
    sectors[endfall].reset(new SectorEndfall());
    sectors[landscape].reset(new SectorLandscape());
}

bool World::cross(vec3& position) {
    const Worldsector& here = currentSector();
    int i = here.findExit(position);
    if (i < 0)
        return false;
    const Exit& e = here.exits[i];
    // The portal data is compiled in; still, a bad target must not index past the list.
    if (e.target < 0 || e.target >= sectorCount()) {
        log("World: exit %d of scene %d leads to missing scene %d; exit ignored", i, current,
            e.target);
        return false;
    }
    vec3 from = here.anchor(e.link);
    vec3 to = sector(e.target).anchor(e.link);
    position = position + (to - from);
    current = e.target;
    return true;
}

} // namespace ombrel
