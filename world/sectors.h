// The five scenes of the demo, in world order: start room (0), warehouse (1), metaballs (2),
// final scene (3) and the landscape (4), which no portal reaches.
#pragma once

#include "world/worldsector.h"

namespace ombrel {

// Cubic room with alcoves and coloured balls; the knee tunnel leads to the warehouse.
class SectorStart : public Worldsector {
public:
    SectorStart();
    float distance(const vec3& at, float t) const override;
};

// Long hall with crates and fans; knee tunnel back to the start, shaft down to the metaballs.
class SectorWarehouse : public Worldsector {
public:
    SectorWarehouse();
    float distance(const vec3& at, float t) const override;
};

// Rotating room pierced by a vertical shaft, with orbiting metaballs.
class SectorMetaballs : public Worldsector {
public:
    SectorMetaballs();
    float distance(const vec3& at, float t) const override;
};

// Rolling ground with crates under a THE END sign; no exit.
class SectorEndfall : public Worldsector {
public:
    SectorEndfall();
    float distance(const vec3& at, float t) const override;
};

// Open noise terrain with a far distance of 5000.
class SectorLandscape : public Worldsector {
public:
    SectorLandscape();
    float distance(const vec3& at, float t) const override;
};

} // namespace ombrel
