// The viewer's steering: thrust along the frame's axes, braking, mouse look and head frames.
#include "app/flyer.h"

#include <gtest/gtest.h>

#include <cmath>

namespace ombrel {
namespace {

constexpr float pi = 3.14159265f;

void expectNear(const vec3& a, const vec3& b, float tolerance = 1e-4f) {
    EXPECT_NEAR(a.x, b.x, tolerance);
    EXPECT_NEAR(a.y, b.y, tolerance);
    EXPECT_NEAR(a.z, b.z, tolerance);
}

void expectOrthonormal(const ViewFrame& f) {
    EXPECT_NEAR(length(f.right), 1.0f, 1e-4f);
    EXPECT_NEAR(length(f.up), 1.0f, 1e-4f);
    EXPECT_NEAR(length(f.forward), 1.0f, 1e-4f);
    EXPECT_NEAR(dot(f.right, f.up), 0.0f, 1e-4f);
    EXPECT_NEAR(dot(f.right, f.forward), 0.0f, 1e-4f);
    EXPECT_NEAR(dot(f.up, f.forward), 0.0f, 1e-4f);
}

TEST(Flyer, ThrustFollowsTheFrameAxes) {
    Flyer f;
    f.setInput(1, 0, 0);
    expectNear(f.body.force, {0, 0, -350});
    f.setInput(0, -1, 1);
    expectNear(f.body.force, {-350, 350, 0});
    f.look(pi / 2, 0, 1.0f); // now facing +x
    f.setInput(1, 0, 0);
    expectNear(f.body.force, {350, 0, 0}, 1e-2f);
}

TEST(Flyer, LookTurnsTowardTheMotionWithoutAPitchLimitAndStaysOrthonormal) {
    Flyer f;
    f.look(pi / 2, 0, 1.0f);
    expectNear(f.frame.forward, {1, 0, 0});
    expectNear(f.frame.up, {0, 1, 0});
    f.look(-pi / 4, 0, 2.0f); // sensitivity scales the angle
    expectNear(f.frame.forward, {0, 0, -1});
    f.look(0, pi / 2, 1.0f);
    expectNear(f.frame.forward, {0, 1, 0});
    f.look(0, pi / 2, 1.0f);
    // Past straight up: now looking backwards, upside down.
    expectNear(f.frame.forward, {0, 0, 1});
    expectNear(f.frame.up, {0, -1, 0});
    for (int i = 0; i < 2000; ++i)
        f.look(0.013f * std::sin(float(i)), 0.021f * std::cos(0.7f * float(i)), 1.0f);
    expectOrthonormal(f.frame);
}

TEST(Flyer, UpdateViewPutsTheBodyAtTheEye) {
    Flyer f;
    f.body.position = {3, -2, 5};
    f.updateView();
    const vec4 eye = f.frame.view * vec4(3, -2, 5, 1);
    expectNear(eye.xyz(), {0, 0, 0});
    const vec4 ahead = f.frame.view * vec4(3, -2, 4, 1); // one unit along forward
    expectNear(ahead.xyz(), {0, 0, -1});
}

TEST(Flyer, HeadFrameWithYawTurnsAboutWorldUp) {
    Flyer f;
    f.orientFromHead(mat4::identity());
    expectNear(f.frame.forward, {0, 0, -1});
    f.yaw = pi / 2;
    f.orientFromHead(mat4::identity());
    expectNear(f.frame.forward, {-1, 0, 0});
    expectNear(f.frame.up, {0, 1, 0});
    expectOrthonormal(f.frame);
}

TEST(Flyer, PlaceStopsTheBodyAndKeepsAVerticalViewDefined) {
    Flyer f;
    f.body.velocity = {1, 2, 3};
    f.place({0, 60, 0}, {0, -5, 0});
    expectNear(f.body.velocity, {0, 0, 0});
    expectNear(f.frame.forward, {0, -1, 0});
    expectOrthonormal(f.frame);
    for (float v : f.frame.view.m)
        EXPECT_TRUE(std::isfinite(v));
}

} // namespace
} // namespace ombrel
