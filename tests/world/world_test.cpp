// World: scene order and portal crossings between the scenes.
#include <gtest/gtest.h>

#include <string>

#include <typeinfo>

#include "tests/support/log_capture.h"
#include "world/sectors.h"
#include "world/world.h"

namespace ombrel {
namespace {

void expectVec(const vec3& got, const vec3& want) {
    EXPECT_NEAR(got.x, want.x, 1e-4f);
    EXPECT_NEAR(got.y, want.y, 1e-4f);
    EXPECT_NEAR(got.z, want.z, 1e-4f);
}

TEST(World, HoldsTheFiveScenesInOrderStartingAtTheFirst) {
    World world;
    ASSERT_EQ(world.sectorCount(), 5);
    EXPECT_EQ(&world.currentSector(), &world.sector(0));
    EXPECT_EQ(typeid(world.sector(0)), typeid(SectorStart));
    EXPECT_EQ(typeid(world.sector(1)), typeid(SectorWarehouse));
    EXPECT_EQ(typeid(world.sector(2)), typeid(SectorMetaballs));
    EXPECT_EQ(typeid(world.sector(3)), typeid(SectorEndfall));
    EXPECT_EQ(typeid(world.sector(4)), typeid(SectorLandscape));
}

// The three crossings of the journey, each shifted by the offset between the link's anchors.
struct Crossing {
    int from;
    vec3 before;
    int to;
    vec3 after;
};

class WorldCrossing : public ::testing::TestWithParam<Crossing> {};

TEST_P(WorldCrossing, ShiftsPositionAndChangesScene) {
    const Crossing& c = GetParam();
    World world;
    world.current = c.from;
    vec3 p = c.before;
    EXPECT_TRUE(world.cross(p));
    EXPECT_EQ(world.current, c.to);
    expectVec(p, c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Journey, WorldCrossing,
    ::testing::Values(Crossing{0, vec3(-33, -14, -10), 1, vec3(21, 0, 18)},
                      Crossing{1, vec3(2, -80, -41), 2, vec3(0, 30, 0)},
                      Crossing{2, vec3(0, -70, 0), 3, vec3(0, 70, 0)},
                      // Back through the knee tunnel from the warehouse to the start room.
                      Crossing{1, vec3(21, 0, 38), 0, vec3(-33, -14, 10)}),
    [](const ::testing::TestParamInfo<Crossing>& info) {
        return "From" + std::to_string(info.param.from) + "To" + std::to_string(info.param.to);
    });

// Outside every exit (on an exit box's face counts as outside), anywhere in the final scene,
// and right after a crossing, nothing moves.
TEST(World, CrossesOnlyFromInsideAnExitAndOncePerCall) {
    World world;
    for (vec3 p : {vec3(0, 0, 0), vec3(-33, -14, -2)}) {
        EXPECT_FALSE(world.cross(p));
        EXPECT_EQ(world.current, 0);
    }
    world.current = 3;
    for (vec3 p : {vec3(0, 100, 0), vec3(0, -60, 0), vec3(-33, -14, -8), vec3(2, -70, -41),
                   vec3(21, 0, 36), vec3(0, -10, 0)}) {
        vec3 q = p;
        EXPECT_FALSE(world.cross(q));
        EXPECT_EQ(world.current, 3);
        EXPECT_EQ(q, p);
    }
    world.current = 1;
    vec3 p(2, -80, -41);
    ASSERT_TRUE(world.cross(p));
    ASSERT_EQ(world.current, 2);
    // (0, 30, 0) is not in the metaballs room's exit: a second call leaves it alone.
    EXPECT_FALSE(world.cross(p));
    EXPECT_EQ(world.current, 2);
    expectVec(p, vec3(0, 30, 0));
}

// A scene whose exit names a scene that does not exist must not send the viewer off the list.
class BrokenSector : public Worldsector {
public:
    BrokenSector() { addExit(vec3(0, 0, 0), vec3(1, 1, 1), 9, 0x0909); }
    float distance(const vec3&, float) const override { return 1.0f; }
};

TEST(World, ExitToMissingSceneIsRefusedWithALogLine) {
    World world;
    world.sectors[0].reset(new BrokenSector());
    test::LogCapture log;
    vec3 p(0.5f, 0, 0);
    EXPECT_FALSE(world.cross(p));
    EXPECT_EQ(world.current, 0);
    EXPECT_EQ(p, vec3(0.5f, 0, 0));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].find("missing sector 9"), std::string::npos);
}

} // namespace
} // namespace ombrel
