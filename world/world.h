// The scene list in its fixed order with the index of the scene the viewer is in, and the
// portal crossing that moves the viewer between scenes.
#pragma once

#include <memory>
#include <vector>

#include "world/worldsector.h"

namespace ombrel {

class World {
public:
    // Scene indices; exits store these as targets.
    enum : int { start = 0, warehouse = 1, metaballs = 2, endfall = 3, landscape = 4, sceneCount };

    // Builds the five scenes, each at its index; the viewer starts in the start room.
    World();

    Worldsector& currentSector() const { return *sectors[current]; }
    Worldsector& sector(int index) const { return *sectors[index]; }
    int sectorCount() const { return static_cast<int>(sectors.size()); }

    // When position lies in an exit box of the current scene, shifts it by the offset between
    // the link's anchors and makes the exit's target current. At most one crossing per call.
    // Returns whether a crossing happened.
    bool cross(vec3& position);

    int current = start;
    std::vector<std::unique_ptr<Worldsector>> sectors;
};

} // namespace ombrel
