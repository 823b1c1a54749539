// Scenes: processor collision distances at known points, and portals whose both ends are open.
#include <gtest/gtest.h>

#include <cmath>

#include "world/world.h"

namespace ombrel {
namespace {

// Distances at points worked out by hand; where only the sign is known, want is +1 (free
// space) or -1 (solid) and exact is false.
TEST(SectorDistance, KnownPointsOfEveryScene) {
    // Tile 1's crate (centre z = 7.5) is turned about y by 4 sin(1): the point (2, 0, 1) from
    // its centre lies at (2c + s, 0, -2s + c) in the crate's own axes.
    const float a = std::sin(1.0f) * 4.0f, c = std::cos(a), s = std::sin(a);
    const float turned = std::max(std::fabs(2 * c + s), std::fabs(-2 * s + c)) - 1.5f;
    const struct {
        const char* name;
        int scene;
        vec3 at;
        float t, want;
        bool exact;
    } rows[] = {
        {"room centre", World::start, vec3(0, 0, 0), 0, 16, true},
        {"tunnel, outside the room", World::start, vec3(-33, -14, 2), 0, 3, true},
        {"balls and alcoves are not solid", World::start, vec3(0, 3, 0), 5, 13, true},
        {"behind a wall", World::start, vec3(0, 20, 0), 0, -1, false},
        {"hall", World::warehouse, vec3(0, 0, 0), 0, 2.5f, true},
        {"down the shaft", World::warehouse, vec3(2, -60, -41), 0, 3, true},
        {"below the shaft", World::warehouse, vec3(2, -90, -41), 0, -1, false},
        {"crate of tile 0", World::warehouse, vec3(-2, -3, 3.5f), 0, 0.5f, true},
        {"turned crate of tile 1", World::warehouse, vec3(-2, -3, 8.5f), 0, turned, true},
        {"near the room's face", World::metaballs, vec3(11.5f, 0, 0), 0, 0.5f, true},
        {"outside the room", World::metaballs, vec3(0, 0, 14), 0, -1, false},
        {"inside ball 0", World::metaballs, vec3(0, 0, 4.1f), 0, -1, false},
        {"between drawn and solid field", World::metaballs, vec3(0, -1.5f, 4), 0, 1, false},
        {"final scene origin", World::endfall, vec3(0, 0, 0), 0, 8.5f, true},
        {"floor between crates", World::endfall, vec3(5, -8, 0), 0, 2, true},
        {"crates' slab bound", World::endfall, vec3(0, 70, 0), 0, 65, true},
        {"inside a crate", World::endfall, vec3(-30, -9, 50), 0, -1, false},
        {"landscape floor", World::landscape, vec3(1234, -99, -777), 3, 1, true},
    };
    World world;
    for (const auto& row : rows) {
        const float d = world.sector(row.scene).distance(row.at, row.t);
        if (row.exact)
            EXPECT_NEAR(d, row.want, 1e-4f) << row.name;
        else
            EXPECT_GT(d * row.want, 0.0f) << row.name << ": " << d;
    }
}

// A body of radius 2 fits at the centre of every exit and where the crossing moves it, which
// lies outside every exit of the target scene, and both scenes anchor the link.
TEST(SectorPortals, BothEndsOfEveryExitAreAnchoredAndOpen) {
    World world;
    for (int i = 0; i < world.sectorCount(); ++i) {
        const Worldsector& from = world.sector(i);
        for (const Exit& e : from.exits) {
            SCOPED_TRACE("scene " + std::to_string(i) + " to " + std::to_string(e.target));
            ASSERT_TRUE(e.target >= 0 && e.target < world.sectorCount());
            const Worldsector& to = world.sector(e.target);
            auto anchored = [&](const Worldsector& s) {
                for (const Anchor& a : s.anchors)
                    if (a.link == e.link)
                        return true;
                return false;
            };
            EXPECT_TRUE(anchored(from) && anchored(to));
            const vec3 landing = e.centre + (to.anchor(e.link) - from.anchor(e.link));
            EXPECT_EQ(to.findExit(landing), -1);
            for (float t : {0.0f, 0.7f, 3.0f})
                EXPECT_TRUE(from.distance(e.centre, t) >= 2.0f - 1e-4f &&
                            to.distance(landing, t) >= 2.0f - 1e-4f);
        }
    }
}

} // namespace
} // namespace ombrel
