// Scene base: portal lookups shared by every scene.
#include "world/worldsector.h"

#include "world/sector_shapes.h"

namespace ombrel {

int Worldsector::findExit(const vec3& position) const {
    for (size_t i = 0; i < exits.size(); ++i) {
        const Exit& e = exits[i];
        // Strict: a position on a face is outside, so a viewer shifted onto the matching face
        // of the target scene's exit does not bounce straight back.
        if (shapes::box(position - e.centre, e.halfSize) < 0.0f)
            return static_cast<int>(i);
    }
    return -1;
}

vec3 Worldsector::anchor(int32_t link) const {
    for (const Anchor& a : anchors) {
        if (a.link == link)
            return a.position;
    }
    return vec3(0, 0, 0);
}

void Worldsector::addAnchor(int32_t link, const vec3& position) {
    anchors.push_back(Anchor{link, position});
}

void Worldsector::addExit(const vec3& centre, const vec3& halfSize, int32_t target, int32_t link) {
    exits.push_back(Exit{centre, halfSize, target, link});
}

} // namespace ombrel
