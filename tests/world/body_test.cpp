// Viewer body physics: free fall, penalty collision, damping, the flat-gradient guard and the
// rest height on the final scene's floor.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "tests/support/log_capture.h"
#include "world/body.h"
#include "world/sectors.h"

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

class BodyPhysics : public ::testing::Test {
protected:
    FieldSector open{[](const vec3&) { return 1000.0f; }};
    FieldSector floor{[](const vec3& at) { return at.y; }}; // ground plane y = 0
    // Inside solid everywhere with no slope: the gradient has no direction.
    FieldSector flatSolid{[](const vec3&) { return -5.0f; }};
    BodyState body; // at the origin, at rest, no thrust, damping 10, mass 50, radius 2
};

TEST_F(BodyPhysics, FallsFreelyUnderGravityInOpenSpace) {
    integrate(open, body, 0.0f, step);
    EXPECT_NEAR(body.velocity.x, 0.0f, 1e-7f);
    EXPECT_NEAR(body.velocity.y, -0.07344f, 1e-6f);
    EXPECT_NEAR(body.velocity.z, 0.0f, 1e-7f);
    // Constant acceleration: RK4 is exact, s = g dt^2 / 2.
    EXPECT_NEAR(body.position.y, -0.5f * 4.59f * step * step, 1e-7f);
}

TEST_F(BodyPhysics, PenetrationOfOneHundredthPushesWithOneHundredEighty) {
    const vec3 f = collide(floor, vec3(3, 1.99f, -7), vec3(0, -5, 0), 2.0f, 0.0f);
    EXPECT_NEAR(f.x, 0.0f, 1e-3f);
    EXPECT_NEAR(f.y, 180.0f, 0.01f);
    EXPECT_NEAR(f.z, 0.0f, 1e-3f);
    // Clear of the floor, or exactly touching it, is no penetration.
    EXPECT_EQ(collide(floor, vec3(0, 2.5f, 0), vec3(), 2.0f, 0.0f), vec3());
    EXPECT_EQ(collide(floor, vec3(0, 2.0f, 0), vec3(), 2.0f, 0.0f), vec3());
}

TEST_F(BodyPhysics, GradientIsTheUnitNormalOfASlopedSurface) {
    const vec3 n = normalize(vec3(1, 2, -2));
    FieldSector slope{[n](const vec3& at) { return dot(at, n) + 4.0f; }};
    const vec3 g = gradient(slope, vec3(5, -1, 2), 0.0f);
    EXPECT_NEAR(length(g), 1.0f, 1e-5f);
    EXPECT_NEAR(g.x, n.x, 2e-3f);
    EXPECT_NEAR(g.y, n.y, 2e-3f);
    EXPECT_NEAR(g.z, n.z, 2e-3f);
}

TEST_F(BodyPhysics, FlatFieldInsidePenetrationGivesNoForceInsteadOfNaN) {
    EXPECT_EQ(gradient(flatSolid, vec3(1, 2, 3), 0.0f), vec3());
    EXPECT_EQ(collide(flatSolid, vec3(1, 2, 3), vec3(), 2.0f, 0.0f), vec3());
    integrate(flatSolid, body, 0.0f, step);
    EXPECT_TRUE(std::isfinite(body.position.y) && std::isfinite(body.velocity.y));
    EXPECT_NEAR(body.velocity.y, -0.07344f, 1e-6f); // only gravity acted
}

TEST_F(BodyPhysics, DampingScalesSpeedByTheStartOfStepFactorAndThrustAddsForceOverMass) {
    body.velocity = vec3(10, 0, -4);
    integrate(open, body, 0.0f, step);
    const float factor = 1.0f - 0.2f * step; // k / m = 0.2 per second
    EXPECT_NEAR(body.velocity.x, 10.0f * factor, 1e-5f);
    EXPECT_NEAR(body.velocity.z, -4.0f * factor, 1e-5f);
    // A braking viewer (damping 210) loses 6.72 % of its speed per step.
    body.velocity = vec3(10, 0, 0);
    body.damping = 210.0f;
    integrate(open, body, 0.0f, step);
    EXPECT_NEAR(body.velocity.x, 10.0f * (1.0f - 4.2f * step), 1e-5f);
    // From rest, thrust alone: a = F / m; the force is read, never written.
    body.velocity = vec3();
    body.damping = 10.0f;
    body.force = vec3(350, 0, 0);
    integrate(open, body, 0.0f, step);
    EXPECT_NEAR(body.velocity.x, 7.0f * step, 1e-6f);
    EXPECT_EQ(body.force, vec3(350, 0, 0));
}

TEST_F(BodyPhysics, MasslessBodyIsLeftUntouchedAndLogged) {
    test::LogCapture log;
    body.mass = 0.0f;
    body.velocity = vec3(1, 2, 3);
    integrate(open, body, 0.0f, step);
    EXPECT_EQ(body.velocity, vec3(1, 2, 3));
    EXPECT_EQ(body.position, vec3());
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].find("mass"), std::string::npos);
}

TEST_F(BodyPhysics, BodyDroppedOnAFloorNeverSinksThroughIt) {
    body.position = vec3(0, 30, 0);
    float lowest = body.position.y;
    for (int i = 0; i < 2000; ++i) {
        integrate(floor, body, i * step, step);
        lowest = std::min(lowest, body.position.y);
    }
    // Falling 28 units gives at most sqrt(2 g 28) = 16 units/s at impact; the spring of stiffness
    // 18000 stops that within 16 * sqrt(50 / 18000) = 0.84 units of penetration.
    EXPECT_GT(lowest, 2.0f - 0.85f);
    EXPECT_LT(lowest, 2.0f - 0.3f); // the contact is a spring, not a hard stop
}

TEST(BodyOnFinalScene, ComesToRestWhereTheFloorCarriesItsWeight) {
    SectorEndfall scene;
    BodyState body;
    body.position = vec3(0, 70, 0);
    float t = 0;
    for (int i = 0; i < 20000; ++i, t += step)
        integrate(scene, body, t, step);
    // Penalty force 18000 * depth balances the weight 50 * 4.59.
    const float depth = 50.0f * 4.59f / 18000.0f;
    EXPECT_NEAR(body.position.y, -8.0f - depth, 1e-3f);
    EXPECT_NEAR(body.position.x, 0.0f, 1e-4f);
    EXPECT_NEAR(body.position.z, 0.0f, 1e-4f);
    EXPECT_LT(length(body.velocity), 1e-3f);
}

} // namespace
