// The world without GL: portal crossings, body physics against closed-form fields, and the
// journey a scripted pilot flies from the start room to rest in the final scene.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <vector>

#include "tests/support/log_capture.h"
#include "world/raymarcher.h"

namespace ombrel {
namespace {

// Each row: scene and position before a call to cross, and the scene and position after it. A
// point on an exit box's face is outside, so a body shifted onto the matching face of the
// target's exit does not bounce straight back.
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
    world.sectors[World::start]->exits.push_back(Exit{vec3(), vec3(1, 1, 1), 9, 0x0909});
    test::LogCapture log;
    vec3 p(0.5f, 0, 0);
    EXPECT_FALSE(world.cross(p));
    EXPECT_EQ(world.current, World::start);
    EXPECT_EQ(p, vec3(0.5f, 0, 0));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0], "World: exit 1 of scene 0 leads to missing scene 9; exit ignored");
}

// A scene made of one closed-form distance function, for driving the integrator directly.
struct FieldSector : Worldsector {
    explicit FieldSector(float (*f)(const vec3&)) : field(f) {}
    float distance(const vec3& at, float) const override { return field(at); }
    float (*field)(const vec3&);
};

constexpr float step = 0.016f;
const vec3 slope = normalize(vec3(1, 2, -2));
const FieldSector open{[](const vec3&) { return 1000.0f; }};
const FieldSector floorPlane{[](const vec3& at) { return at.y; }};
const FieldSector slopePlane{[](const vec3& at) { return dot(at, slope) + 4.0f; }};
// Inside solid everywhere with no slope: the gradient has no direction.
const FieldSector flatSolid{[](const vec3&) { return -5.0f; }};

// Penetration d gives a force of 18000 d along the unit gradient; touching is no penetration.
TEST(BodyCollision, PushesOutAlongTheUnitGradientOnlyWhenPenetrating) {
    struct Row {
        const char* name;
        const FieldSector& scene;
        vec3 at;
        vec3 want;
    } rows[] = {
        {"floor", floorPlane, vec3(3, 1.99f, -7), vec3(0, 180, 0)},
        {"slope", slopePlane, slope * -2.01f, slope * 180.0f},
        {"clear", floorPlane, vec3(0, 2.5f, 0), vec3()},
        {"touching", floorPlane, vec3(0, 2, 0), vec3()},
        {"flat field", flatSolid, vec3(1, 2, 3), vec3()},
    };
    // A zero vector must not normalize to NaN, which would spread through the physics.
    EXPECT_EQ(normalize(vec3()), vec3());
    for (const Row& row : rows)
        EXPECT_LT(length(collide(row.scene, row.at, vec3(), 2.0f, 0.0f) - row.want), 0.05f)
            << row.name;
}

// One 16 ms step from the origin of a body of mass 50 and radius 2.
TEST(BodyStep, GravityDampingAndThrustOverOneStep) {
    const float fall = -4.59f * step;
    struct Row {
        const char* name;
        vec3 velocity, force;
        float damping, mass;
        vec3 want;
    } rows[] = {
        {"free fall", vec3(), vec3(), 10, 50, vec3(0, fall, 0)},
        // Damping scales by k / m of the start-of-step speed.
        {"braking", vec3(10, 0, -4), vec3(), 210, 50,
         vec3(10, 0, -4) * (1 - 4.2f * step) + vec3(0, fall, 0)},
        {"thrust", vec3(), vec3(350, 0, 0), 10, 50, vec3(7 * step, fall, 0)},
        {"zero mass is skipped", vec3(1, 2, 3), vec3(), 10, 0, vec3(1, 2, 3)},
    };
    for (const Row& row : rows) {
        test::LogCapture log;
        BodyState body;
        std::tie(body.velocity, body.force, body.damping, body.mass) =
            std::tie(row.velocity, row.force, row.damping, row.mass);
        integrate(open, body, 0.0f, step);
        EXPECT_LT(length(body.velocity - row.want), 1e-5f) << row.name;
        EXPECT_EQ(body.force, row.force) << row.name; // read, never written
        // Constant acceleration from rest in y: RK4 is exact, s = a dt^2 / 2.
        EXPECT_NEAR(body.position.y, row.mass > 0 ? 0.5f * fall * step : 0.0f, 1e-7f) << row.name;
        EXPECT_EQ(log.lines().size(), row.mass > 0 ? 0u : 1u) << row.name;
    }
}

// Where the pilot wants to be, in the scene's coordinates. The next waypoint takes over within
// `reach` of this one once nearly at rest; reach 0 lets the body drop under gravity, and a
// precise approach (reach under half a unit) brakes over its last few units.
struct Waypoint {
    vec3 target;
    float reach;
};

std::vector<Waypoint> routeFor(int scene) {
    switch (scene) {
    case World::start: // to the floor, into the tunnel in the west wall, out through its exit
        return {{{-10, -14, 11}, 1}, {{-33, -14, 11}, 1}, {{-33, -14, -12}, 0.5f}};
    case World::warehouse: // round the knee into the hall, settle over the shaft, then drop
        return {{{21, 0, 21}, 1}, {{2, 0, 21}, 1}, {{2, 0, -41}, 0.15f}, {{2, -200, -41}, 0}};
    default: // down the metaballs shaft and onto the final scene's floor
        return {{{0, -200, 0}, 0}};
    }
}

// Bang-bang key input on one axis: push towards an approach speed capped at 6 units/s.
float keyFor(float offset, float speed) {
    const float want = std::clamp(offset * 1.5f, -6.0f, 6.0f);
    return want - speed > 0.05f ? 1.0f : want - speed < -0.05f ? -1.0f : 0.0f;
}

TEST(Journey, PilotFliesFromTheStartRoomToRestInTheFinalScene) {
    Raymarcher marcher; // world and integrator only: no GL is touched
    World& world = marcher.world;
    BodyState body;
    std::vector<Waypoint> route = routeFor(world.current);
    size_t leg = 0;
    std::vector<int> scenes{world.current};
    int restSteps = 0, steps = 0;
    for (unsigned ms = 0; steps < 15000 && restSteps <= 60; ms += 16, ++steps) { // 240 s at most
        // Thrust and damping for the coming step, as held keys would set them.
        const Waypoint& w = route[leg];
        const vec3 off = w.target - body.position;
        if (w.reach > 0 && length(off) < w.reach &&
            std::hypot(body.velocity.x, body.velocity.z) < 0.5f && leg + 1 < route.size())
            ++leg;
        const float lift = w.reach > 0 ? keyFor(off.y, body.velocity.y) : 0.0f;
        body.force =
            vec3(keyFor(off.x, body.velocity.x), lift, keyFor(off.z, body.velocity.z)) * 350.0f;
        // Brake on a precise approach, and near the final floor so that the touch-down is soft.
        const bool precise = w.reach > 0 && w.reach < 0.5f && length(off) < 4.0f;
        const bool landing = world.current == World::endfall && body.position.y < 0.0f;
        body.damping = precise || landing ? 210.0f : 10.0f;

        const float t = ms / 1000.0f;
        marcher.integrate(body, t, step);
        if (world.cross(body.position)) {
            scenes.push_back(world.current);
            route = routeFor(world.current);
            leg = 0;
        }
        ASSERT_GT(world.currentSector().distance(body.position, t + step), 0.0f)
            << "body centre inside solid in scene " << world.current << " at step " << steps;
        const bool still = world.current == World::endfall && length(body.velocity) < 1e-3f;
        restSteps = still ? restSteps + 1 : 0;
    }
    EXPECT_EQ(scenes,
              (std::vector<int>{World::start, World::warehouse, World::metaballs, World::endfall}));
    EXPECT_GT(restSteps, 60) << "still moving after " << steps * step << " s";
    // At rest on the flat floor (y = -10) with the penalty force carrying the weight.
    EXPECT_NEAR(body.position.y, -8.0f - 50.0f * 4.59f / 18000.0f, 2e-3f);
}

} // namespace
} // namespace ombrel
