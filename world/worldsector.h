// Scene base: a raymarched place with its GLSL texts, far distance, processor-side collision
// distance and the portals (anchors and exit boxes) that join it to other scenes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "render/math.h"

namespace ombrel {

// One end of a portal link: the link's point in this scene's coordinates.
struct Anchor {
    int32_t link;
    vec3 position;
};
static_assert(sizeof(Anchor) == 16, "Anchor is a 16-byte record");

// A box (centre +- halfSize) that moves the viewer to scene `target` through `link`.
struct Exit {
    vec3 centre;
    vec3 halfSize;
    int32_t target;
    int32_t link;
};
static_assert(sizeof(Exit) == 32, "Exit is a 32-byte record");

// Link identifiers: lower scene index in the high byte, higher in the low byte.
constexpr int32_t linkStartWarehouse = 0x0001;
constexpr int32_t linkWarehouseMetaballs = 0x0102;
constexpr int32_t linkMetaballsEndfall = 0x0203;

class Worldsector {
public:
    Worldsector() = default;
    virtual ~Worldsector() = default;
    Worldsector(const Worldsector&) = delete;
    Worldsector& operator=(const Worldsector&) = delete;

    // Signed distance for collisions at scene time t (seconds); positive in free space. A
    // simplified copy of the GLSL world(): it never reads the texts.
    virtual float distance(const vec3& at, float t) const = 0;

    // Index of the first exit whose box strictly contains position, or -1.
    int findExit(const vec3& position) const;
    // Position of the first anchor of link, or (0, 0, 0) when this scene has none.
    vec3 anchor(int32_t link) const;

    float far = 100.0f;
    std::string worldText;    // world(vec3 at, float d) and the distance functions it uses
    std::string materialText; // world_material(...) and world_enlight(...)
    std::vector<Exit> exits;
    std::vector<Anchor> anchors;

protected:
    void addAnchor(int32_t link, const vec3& position);
    void addExit(const vec3& centre, const vec3& halfSize, int32_t target, int32_t link);
};

} // namespace ombrel
