// The whole journey without GL: a scripted pilot steers the viewer's body from the start room
// through the knee tunnel, the warehouse and its shaft, down the metaballs room into the final
// scene, using only the integrator and the portal crossing at fixed 16 ms steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "world/raymarcher.h"

using namespace ombrel;

namespace {

constexpr float stepSeconds = 0.016f;

// Where the pilot wants to be, in the scene's coordinates. The next waypoint takes over within
// `reach` of this one once nearly at rest; reach 0 lets the body drop under gravity.
struct Waypoint {
    vec3 target;
    float reach;
    bool brake; // hold the brake on the final approach
};

std::vector<Waypoint> routeFor(int scene) {
    switch (scene) {
    case World::start: // to the floor, into the tunnel in the west wall, out through its exit
        return {
            {{-10, -14, 11}, 1, false}, {{-33, -14, 11}, 1, false}, {{-33, -14, -12}, 0.5f, false}};
    case World::warehouse: // round the knee into the hall, settle over the shaft, then drop
        return {{{21, 0, 21}, 1, false},
                {{2, 0, 21}, 1, false},
                {{2, 0, -41}, 0.15f, true},
                {{2, -200, -41}, 0, false}};
    default: // down the metaballs shaft and onto the final scene's floor
        return {{{0, -200, 0}, 0, false}};
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
        const bool landing = world.current == World::endfall && body.position.y < 0.0f;
        body.damping = (w.brake && length(off) < 4.0f) || landing ? 210.0f : 10.0f;

        const float t = ms / 1000.0f;
        marcher.integrate(body, t, stepSeconds);
        if (world.cross(body.position)) {
            scenes.push_back(world.current);
            route = routeFor(world.current);
            leg = 0;
        }
        ASSERT_GT(world.currentSector().distance(body.position, t + stepSeconds), 0.0f)
            << "body centre inside solid in scene " << world.current << " at (" << body.position.x
            << ", " << body.position.y << ", " << body.position.z << "), step " << steps;
        const bool still = world.current == World::endfall && length(body.velocity) < 1e-3f;
        restSteps = still ? restSteps + 1 : 0;
    }
    EXPECT_EQ(scenes,
              (std::vector<int>{World::start, World::warehouse, World::metaballs, World::endfall}));
    EXPECT_GT(restSteps, 60) << "still moving after " << steps * stepSeconds << " s";
    // At rest on the flat floor (y = -10) with the penalty force carrying the weight.
    EXPECT_NEAR(body.position.y, -8.0f - 50.0f * 4.59f / 18000.0f, 2e-3f);
}

} // namespace
