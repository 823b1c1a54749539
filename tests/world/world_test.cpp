// World: portal crossings between the scenes, the exit lookups they rest on, portals open at
// both ends, and a broken exit.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/log_capture.h"
#include "world/world.h"

namespace ombrel {
namespace {

// A scene with made-up exits and anchors, and one exit to a scene that does not exist.
class TestSector : public Worldsector {
public:
    TestSector() {
        addExit(vec3(0, 0, 0), vec3(2, 2, 2), World::warehouse, 7);
        addExit(vec3(1, 0, 0), vec3(2, 2, 2), World::metaballs, 8); // overlaps the first
        addExit(vec3(10, 0, 0), vec3(1, 1, 1), 9, 0x0909);
        addAnchor(7, vec3(1, 2, 3));
        addAnchor(7, vec3(9, 9, 9)); // a later anchor of the same link is never used
    }
    float distance(const vec3&, float) const override { return 1.0f; }
};

// The first exit holding the point wins; a point on a face is outside.
TEST(WorldPortals, ExitTestIsStrictFirstWinsAndAnchorsAreFirstOfLinkOrOrigin) {
    const struct {
        vec3 at;
        int exit;
    } rows[] = {{vec3(0.5f, 0, 0), 0},
                {vec3(-1.999f, 0, 1.999f), 0},
                {vec3(-2, 0, 0), -1},
                {vec3(2.5f, 0, 0), 1}};
    TestSector s;
    for (const auto& row : rows)
        EXPECT_EQ(s.findExit(row.at), row.exit) << row.at.x << ", " << row.at.y << ", " << row.at.z;
    EXPECT_EQ(s.anchor(7), vec3(1, 2, 3));
    EXPECT_EQ(s.anchor(8), vec3(0, 0, 0));
}

// Each row: scene and position before a call to cross, and the scene and position after it.
TEST(WorldPortals, CrossingShiftsByTheAnchorOffsetOnlyFromInsideAnExit) {
    const struct {
        const char* name;
        int from;
        vec3 before;
        int to;
        vec3 after;
    } rows[] = {
        {"start to warehouse", World::start, vec3(-33, -14, -10), World::warehouse,
         vec3(21, 0, 18)},
        {"back through the knee", World::warehouse, vec3(21, 0, 38), World::start,
         vec3(-33, -14, 10)},
        {"on the exit's face", World::start, vec3(-33, -14, -2), World::start, vec3(-33, -14, -2)},
        {"just crossed: no bounce", World::metaballs, vec3(0, 30, 0), World::metaballs,
         vec3(0, 30, 0)},
        {"final scene has no exit", World::endfall, vec3(0, -60, 0), World::endfall,
         vec3(0, -60, 0)},
    };
    for (const auto& row : rows) {
        World world;
        world.current = row.from;
        vec3 p = row.before;
        EXPECT_EQ(world.cross(p), row.to != row.from) << row.name;
        EXPECT_EQ(world.current, row.to) << row.name;
        EXPECT_LT(length(p - row.after), 1e-4f) << row.name;
    }
}

TEST(WorldPortals, ExitToAMissingSceneIsRefusedWithALogLine) {
    World world;
    world.sectors[World::start].reset(new TestSector());
    test::LogCapture log;
    vec3 p(10.5f, 0, 0);
    EXPECT_FALSE(world.cross(p));
    EXPECT_EQ(world.current, World::start);
    EXPECT_EQ(p, vec3(10.5f, 0, 0));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0], "World: exit 2 of scene 0 leads to missing scene 9; exit ignored");
}

// A body of radius 2 fits at the centre of every exit and where the crossing moves it, which
// lies outside every exit of the target scene, and both scenes anchor the link.
TEST(WorldPortals, BothEndsOfEveryExitAreAnchoredAndOpen) {
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
