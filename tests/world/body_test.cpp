// Viewer body physics against closed-form fields: one step of gravity, damping and thrust, the
// penalty force and its guards (flat fields, zero mass), and a drop onto a floor.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <tuple>

#include "tests/support/log_capture.h"
#include "world/body.h"
#include "world/worldsector.h"

using namespace ombrel;

namespace {

// A scene made of one closed-form distance function, for driving the integrator directly.
class FieldSector : public Worldsector {
public:
    explicit FieldSector(std::function<float(const vec3&)> field) : field_(std::move(field)) {}
    float distance(const vec3& at, float) const override { return field_(at); }

private:
    std::function<float(const vec3&)> field_;
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
        const FieldSector& scene;
        vec3 velocity, force;
        float damping, mass;
        vec3 want;
    } rows[] = {
        {"free fall", open, vec3(), vec3(), 10, 50, vec3(0, fall, 0)},
        {"flat solid: only gravity", flatSolid, vec3(), vec3(), 10, 50, vec3(0, fall, 0)},
        // Damping scales by k / m of the start-of-step speed.
        {"cruise", open, vec3(10, 0, -4), vec3(), 10, 50,
         vec3(10, 0, -4) * (1 - 0.2f * step) + vec3(0, fall, 0)},
        {"brake", open, vec3(10, 0, 0), vec3(), 210, 50, vec3(10 - 10 * 4.2f * step, fall, 0)},
        {"thrust", open, vec3(), vec3(350, 0, 0), 10, 50, vec3(7 * step, fall, 0)},
        {"zero mass is skipped", open, vec3(1, 2, 3), vec3(), 10, 0, vec3(1, 2, 3)},
    };
    for (const Row& row : rows) {
        test::LogCapture log;
        BodyState body;
        std::tie(body.velocity, body.force, body.damping, body.mass) =
            std::tie(row.velocity, row.force, row.damping, row.mass);
        integrate(row.scene, body, 0.0f, step);
        EXPECT_LT(length(body.velocity - row.want), 1e-5f) << row.name;
        EXPECT_EQ(body.force, row.force) << row.name; // read, never written
        // Constant acceleration from rest in y: RK4 is exact, s = a dt^2 / 2.
        EXPECT_NEAR(body.position.y, row.mass > 0 ? 0.5f * fall * step : 0.0f, 1e-7f) << row.name;
        EXPECT_EQ(log.lines().size(), row.mass > 0 ? 0u : 1u) << row.name;
    }
}

TEST(BodyStep, BodyDroppedOnAFloorNeverSinksThroughIt) {
    BodyState body;
    body.position = vec3(0, 30, 0);
    float lowest = body.position.y;
    for (int i = 0; i < 2000; ++i) {
        integrate(floorPlane, body, i * step, step);
        lowest = std::min(lowest, body.position.y);
    }
    // Falling 28 units gives at most sqrt(2 g 28) = 16 units/s at impact; the spring of stiffness
    // 18000 stops that within 16 * sqrt(50 / 18000) = 0.84 units of penetration.
    EXPECT_GT(lowest, 2.0f - 0.85f);
    EXPECT_LT(lowest, 2.0f - 0.3f); // the contact is a spring, not a hard stop
}

} // namespace
