// Scenes: collision distances at known points, portal data and the exit and anchor lookups.
#include <gtest/gtest.h>

#include <cmath>

#include "world/sectors.h"
#include "world/world.h"

namespace ombrel {
namespace {

constexpr float eps = 1e-4f;

// --- Collision distances ------------------------------------------------------------------

TEST(SectorDistance, StartRoomWallsAndKneeTunnel) {
    SectorStart s;
    EXPECT_NEAR(s.distance(vec3(0, 0, 0), 0), 16.0f, eps);
    EXPECT_NEAR(s.distance(vec3(0, -15, 0), 0), 1.0f, eps);
    // Inside the tunnel, outside the room: free space 3 from the tunnel walls.
    EXPECT_NEAR(s.distance(vec3(-33, -14, 2), 0), 3.0f, eps);
    // Behind a wall, away from the tunnel: solid.
    EXPECT_LT(s.distance(vec3(0, 20, 0), 0), 0.0f);
    // The wall alcoves and the balls are not solid for the viewer: the lattice ball at
    // (0, 3, 0) region does not change the wall distance.
    EXPECT_NEAR(s.distance(vec3(0, 3, 0), 0), 13.0f, eps);
    // Time is not used.
    EXPECT_EQ(s.distance(vec3(3, -2, 5), 0), s.distance(vec3(3, -2, 5), 123.0f));
}

TEST(SectorDistance, WarehouseShaftTunnelAndCratesTurnedPerTile) {
    SectorWarehouse s;
    EXPECT_NEAR(s.distance(vec3(0, 0, 0), 0), 2.5f, eps);
    // Down the shaft below the hall the shaft wall, 3 away, is the nearest surface.
    EXPECT_NEAR(s.distance(vec3(2, -60, -41), 0), 3.0f, eps);
    // Below the shaft's bottom (y = -83) it is solid.
    EXPECT_LT(s.distance(vec3(2, -90, -41), 0), 0.0f);
    // The tunnel back to the start room is open at its anchor.
    EXPECT_NEAR(s.distance(vec3(21, 0, 30), 0), 3.0f, eps);
    // Crate centres of the row at x = -4, y = -3: z = 2.5 + 5n. Tile 0 is not turned.
    EXPECT_NEAR(s.distance(vec3(-4, -3, 2.5f), 0), -1.5f, eps);
    EXPECT_NEAR(s.distance(vec3(-2, -3, 3.5f), 0), 0.5f, eps);
    // The crate of tile 1 (centre z = 7.5) is turned about y by 4 sin(1): the point (2, 0, 1)
    // from its centre lies at (2c + s, 0, -2s + c) in the crate's own axes.
    float a = std::sin(1.0f) * 4.0f, c = std::cos(a), sn = std::sin(a);
    float x = 2 * c + sn, z = -2 * sn + c;
    EXPECT_NEAR(s.distance(vec3(-2, -3, 8.5f), 0), std::max(std::fabs(x), std::fabs(z)) - 1.5f,
                eps);
}

TEST(SectorDistance, MetaballsShaftRoomAndBlobs) {
    SectorMetaballs s;
    for (float y : {100.0f, 40.0f, 13.0f, -20.0f, -60.0f, -100.0f}) {
        for (float t : {0.0f, 1.0f, 2.5f, 10.0f}) {
            EXPECT_GT(s.distance(vec3(0, y, 0), t), 0.0f) << "y " << y << " t " << t;
        }
    }
    // Far above, the blob term caps the distance at 2.5.
    EXPECT_NEAR(s.distance(vec3(0, 100, 0), 0), 2.5f, 0.01f);
    EXPECT_NEAR(s.distance(vec3(11.5f, 0, 0), 0), 0.5f, 1e-3f);
    // At t = pi/2 the room has turned by pi/4 about z: the same point is 12 - 11.5 cos(pi/4)
    // from two faces, more than the blob term's cap, which then decides.
    float blobCap = s.distance(vec3(11.5f, 0, 0), 1.5707963f);
    EXPECT_GT(blobCap, 2.0f);
    EXPECT_LT(blobCap, 2.5f);
    // Outside the room (not in the shaft) it is solid.
    EXPECT_LT(s.distance(vec3(0, 0, 14), 0), 0.0f);
    // Ball 0 sits at (0, 0, 4) at t = 0; its processor surface lies where the field is 2.5.
    EXPECT_LT(s.distance(vec3(0, 0, 4.1f), 0), 0.0f);
    // Between the field values 1 (drawn) and 2.5 (solid) the viewer passes.
    EXPECT_GT(s.distance(vec3(0, -1.5f, 4), 0), 0.0f);
}

TEST(SectorDistance, EndfallCratesNotFloorNearOrigin) {
    SectorEndfall s;
    EXPECT_NEAR(s.distance(vec3(0, 0, 0), 0), 8.5f, eps);
    // Between crates the flat floor at y = -10 decides.
    EXPECT_NEAR(s.distance(vec3(5, -8, 0), 0), 2.0f, eps);
    // Far above, the crates' slab bound (20 above its top) is nearer than the floor.
    EXPECT_NEAR(s.distance(vec3(0, 70, 0), 0), 65.0f, eps);
    // The crates stand on a 20-unit grid centred at (+-10, -10, +-10): inside one it is solid.
    EXPECT_LT(s.distance(vec3(10, -9, 10), 0), 0.0f);
    EXPECT_LT(s.distance(vec3(-30, -9, 50), 0), 0.0f);
}

TEST(SectorDistance, LandscapeFloor) {
    SectorLandscape s;
    EXPECT_NEAR(s.distance(vec3(0, 0, 0), 0), 100.0f, eps);
    EXPECT_NEAR(s.distance(vec3(1234, -99, -777), 3), 1.0f, eps);
}

// --- Portal data and lookups --------------------------------------------------------------

// A scene with made-up exits and anchors, to test the lookups on their own.
class TestSector : public Worldsector {
public:
    TestSector() {
        addExit(vec3(0, 0, 0), vec3(2, 2, 2), 1, 7);
        addExit(vec3(1, 0, 0), vec3(2, 2, 2), 2, 8); // overlaps the first
        addAnchor(7, vec3(1, 2, 3));
        addAnchor(7, vec3(9, 9, 9)); // a later anchor of the same link is never used
    }
    float distance(const vec3&, float) const override { return 1.0f; }
};

TEST(SectorPortals, ExitTestIsStrictAndAnchorsAreFirstOfLinkOrOrigin) {
    TestSector s;
    EXPECT_EQ(s.findExit(vec3(0, 0, 0)), 0);
    EXPECT_EQ(s.findExit(vec3(0.5f, 0, 0)), 0); // overlapping exits: the first added wins
    EXPECT_EQ(s.findExit(vec3(-1.999f, 1.999f, -1.999f)), 0);
    // On a face: outside (the second box starts at x = -1, so x = -2 is outside both).
    EXPECT_EQ(s.findExit(vec3(-2, 0, 0)), -1);
    EXPECT_EQ(s.findExit(vec3(0, 2, 0)), -1);
    EXPECT_EQ(s.findExit(vec3(3, 0, 0)), -1);
    // Only the second box reaches past x = 2.
    EXPECT_EQ(s.findExit(vec3(2.5f, 0, 0)), 1);
    EXPECT_EQ(s.anchor(7), vec3(1, 2, 3));
    EXPECT_EQ(s.anchor(8), vec3(0, 0, 0));
}

// Both ends of every portal must be reachable: a body of radius 2 fits at the exit's centre
// and at the place the crossing moves it to, and it lands outside every exit of the target
// scene, so it does not bounce straight back.
TEST(SectorPortals, BothEndsOfEveryExitAreAnchoredAndOpen) {
    World world;
    for (int i = 0; i < world.sectorCount(); ++i) {
        const Worldsector& from = world.sector(i);
        for (const Exit& e : from.exits) {
            ASSERT_GE(e.target, 0);
            ASSERT_LT(e.target, world.sectorCount());
            const Worldsector& to = world.sector(e.target);
            // A link joins two scenes that both hold an anchor for it.
            auto has = [&](const Worldsector& s) {
                for (const Anchor& a : s.anchors)
                    if (a.link == e.link)
                        return true;
                return false;
            };
            EXPECT_TRUE(has(from) && has(to)) << "scene " << i << " link " << e.link;
            vec3 landing = e.centre + (to.anchor(e.link) - from.anchor(e.link));
            EXPECT_EQ(to.findExit(landing), -1) << "scene " << i << " to " << e.target;
            for (float t : {0.0f, 0.7f, 3.0f}) {
                EXPECT_GE(from.distance(e.centre, t), 2.0f - 1e-4f) << "scene " << i << " t " << t;
                EXPECT_GE(to.distance(landing, t), 2.0f - 1e-4f)
                    << "scene " << e.target << " t " << t;
            }
        }
    }
}

} // namespace
} // namespace ombrel
