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
constexpr float thrustGain = 350.0f; // force per unit of key input
constexpr float cruiseDamping = 10.0f;
constexpr float brakeDamping = 210.0f; // E held

// Where the pilot wants to be. An axis marked free is left to gravity (falling down a shaft).
struct Waypoint {
    vec3 target;
    float reach;   // distance at which the next waypoint takes over
    bool fallFree; // no lift input: let the body drop
    bool brake;    // hold the brake on the final approach
};

// Per scene, the route a player would fly. Coordinates are those of the scene.
std::vector<Waypoint> routeFor(int scene) {
    switch (scene) {
    case World::start:
        // Down to the floor, into the tunnel mouth in the west wall, along the bend and out
        // through its exit box at z < -2.
        return {{{-10, -14, 11}, 1.0f, false, false},
                {{-33, -14, 11}, 1.0f, false, false},
                {{-33, -14, -12}, 0.5f, false, false}};
    case World::warehouse:
        // Along the knee's middle bar, round the bend into the hall, down the hall to the shaft
        // opening, settle over it, then drop.
        return {{{21, 0, 21}, 1.0f, false, false},
                {{2, 0, 21}, 1.0f, false, false},
                {{2, 0, -41}, 0.15f, false, true},
                {{2, -200, -41}, 0.0f, true, false}};
    default: // the metaballs shaft and the final scene: drop
        return {{{0, -200, 0}, 0.0f, true, false}};
    }
}

// Bang-bang key input on one axis: push towards a capped approach speed.
float keyFor(float offset, float speed, float maxSpeed, float gain) {
    const float want = std::clamp(offset * gain, -maxSpeed, maxSpeed);
    const float dead = 0.05f;
    if (want - speed > dead)
        return 1.0f;
    if (want - speed < -dead)
        return -1.0f;
    return 0.0f;
}

class Pilot {
public:
    // Sets thrust and damping on the body for the coming step, as held keys would.
    void steer(int scene, BodyState& body) {
        if (scene != scene_) {
            scene_ = scene;
            route_ = routeFor(scene);
            leg_ = 0;
        }
        const Waypoint& w = route_[leg_];
        const vec3 off = w.target - body.position;
        const float horizontalSpeed =
            std::sqrt(body.velocity.x * body.velocity.x + body.velocity.z * body.velocity.z);
        if (w.reach > 0 && length(off) < w.reach && horizontalSpeed < 0.5f &&
            leg_ + 1 < route_.size())
            ++leg_;

        const float maxSpeed = 6.0f;
        // The frame looks down -z with +x to the right and +y up, so the strafe, lift and
        // forward keys map onto the scene axes x, y and -z.
        const float strafe = keyFor(off.x, body.velocity.x, maxSpeed, 1.5f);
        const float forward = -keyFor(off.z, body.velocity.z, maxSpeed, 1.5f);
        const float lift = w.fallFree ? 0.0f : keyFor(off.y, body.velocity.y, maxSpeed, 1.5f);
        body.force = vec3(strafe, lift, -forward) * thrustGain;
        // Brake over the last few units of a precise approach, and when nearing the final
        // scene's floor so that the touch-down is soft.
        const bool approaching = w.brake && length(off) < 4.0f;
        const bool landing = scene == World::endfall && body.position.y < 0.0f;
        body.damping = (approaching || landing) ? brakeDamping : cruiseDamping;
    }

private:
    int scene_ = -1;
    std::vector<Waypoint> route_;
    size_t leg_ = 0;
};

TEST(Journey, PilotFliesFromTheStartRoomToRestInTheFinalScene) {
    Raymarcher marcher; // world and integrator only: no GL is touched
    World& world = marcher.world;
    BodyState body;
    Pilot pilot;

    std::vector<int> scenes{world.current};
    int restSteps = 0, steps = 0;
    for (unsigned ms = 0; steps < 15000; ms += 16, ++steps) { // 240 s at most
        const float t = ms / 1000.0f;
        pilot.steer(world.current, body);
        marcher.integrate(body, t, stepSeconds);
        if (world.cross(body.position))
            scenes.push_back(world.current);

        ASSERT_GT(world.currentSector().distance(body.position, t + stepSeconds), 0.0f)
            << "body centre inside solid in scene " << world.current << " at (" << body.position.x
            << ", " << body.position.y << ", " << body.position.z << "), step " << steps;

        restSteps =
            (world.current == World::endfall && length(body.velocity) < 1e-3f) ? restSteps + 1 : 0;
        if (restSteps > 60) // a second without motion
            break;
    }

    EXPECT_EQ(scenes,
              (std::vector<int>{World::start, World::warehouse, World::metaballs, World::endfall}));
    EXPECT_GT(restSteps, 60) << "still moving after " << steps * stepSeconds << " s";
    // At rest on the flat floor (y = -10) with the penalty force carrying the weight.
    EXPECT_NEAR(body.position.y, -8.0f - 50.0f * 4.59f / 18000.0f, 2e-3f);
}

} // namespace
