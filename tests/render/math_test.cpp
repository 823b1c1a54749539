// Engine math: vector operations, matrix layout and products, view frame and camera.
#include "render/math.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

constexpr float kPi = 3.14159265f;

void expectNear(const vec4& actual, const vec4& expected, float tolerance = 1e-5f) {
    EXPECT_NEAR(actual.x, expected.x, tolerance);
    EXPECT_NEAR(actual.y, expected.y, tolerance);
    EXPECT_NEAR(actual.z, expected.z, tolerance);
    EXPECT_NEAR(actual.w, expected.w, tolerance);
}

void expectNear(const vec3& actual, const vec3& expected, float tolerance = 1e-5f) {
    EXPECT_NEAR(actual.x, expected.x, tolerance);
    EXPECT_NEAR(actual.y, expected.y, tolerance);
    EXPECT_NEAR(actual.z, expected.z, tolerance);
}

mat4 sequenceMatrix(float start) {
    float values[16];
    for (int i = 0; i < 16; ++i)
        values[i] = start + float(i) * 1.5f - float(i * i) * 0.25f;
    return mat4(values);
}

} // namespace

TEST(Vec3, CrossFollowsTheRightHandRule) {
    EXPECT_EQ(cross(vec3(1, 0, 0), vec3(0, 1, 0)), vec3(0, 0, 1));
    EXPECT_EQ(cross(vec3(0, 1, 0), vec3(0, 0, 1)), vec3(1, 0, 0));
    EXPECT_EQ(cross(vec3(2, 3, 4), vec3(5, 6, 7)),
              vec3(3 * 7 - 4 * 6, 4 * 5 - 2 * 7, 2 * 6 - 3 * 5));
}

TEST(Vec3, NormalizeGivesUnitLengthAndLeavesZeroAlone) {
    vec3 n = normalize(vec3(3, 0, 4));
    expectNear(n, vec3(0.6f, 0, 0.8f));
    EXPECT_NEAR(length(n), 1.0f, 1e-6f);
    // A zero vector must not turn into NaN that would spread through the physics.
    EXPECT_EQ(normalize(vec3(0, 0, 0)), vec3(0, 0, 0));
    EXPECT_EQ(normalize(vec4(0, 0, 0, 0)), vec4(0, 0, 0, 0));
}

TEST(Mat4, StoresRowsWithTranslationInTheLastColumn) {
    mat4 t = mat4::translation(1, 2, 3);
    EXPECT_EQ(vec3(t.m[3], t.m[7], t.m[11]), vec3(1, 2, 3));
    EXPECT_EQ(t * vec4(0, 0, 0, 1), vec4(1, 2, 3, 1));
    // Directions (w = 0) are not moved.
    EXPECT_EQ(t * vec4(5, 6, 7, 0), vec4(5, 6, 7, 0));
}

TEST(Mat4, RotationIsRightHanded) {
    expectNear(mat4::rotation(vec3(0, 1, 0), kPi / 2) * vec4(1, 0, 0, 0), vec4(0, 0, -1, 0));
    expectNear(mat4::rotation(vec3(0, 0, 1), kPi / 2) * vec4(1, 0, 0, 0), vec4(0, 1, 0, 0));
    expectNear(mat4::rotation(vec3(1, 0, 0), kPi / 2) * vec4(0, 1, 0, 1), vec4(0, 0, 1, 1));
}

TEST(Mat4, ProductComposesTransformsRightToLeftAndIdentityChangesNothing) {
    mat4 a = sequenceMatrix(1), b = sequenceMatrix(-2);
    EXPECT_EQ(a * mat4::identity(), a);
    EXPECT_EQ(mat4::identity() * a, a);
    vec4 v(0.5f, -1, 2, 1);
    expectNear((a * b) * v, a * (b * v), 1e-3f);
    // Translate then rotate differs from rotate then translate.
    mat4 r = mat4::rotation(vec3(0, 0, 1), kPi / 2), t = mat4::translation(1, 0, 0);
    expectNear((r * t) * vec4(0, 0, 0, 1), vec4(0, 1, 0, 1));
    expectNear((t * r) * vec4(0, 0, 0, 1), vec4(1, 0, 0, 1));
}

TEST(ViewFrame, SetFrameBuildsOrthonormalAxesAndViewAndUpdateViewFollowsTheFields) {
    ViewFrame frame;
    frame.setFrame(vec3(-1, -2, -3), vec3(0, 0, -2), vec3(0, 3, 0));
    expectNear(frame.forward, vec3(0, 0, -1));
    expectNear(frame.right, vec3(1, 0, 0));
    expectNear(frame.up, vec3(0, 1, 0));
    // The eye (1, 2, 3) goes to the origin; a point ahead of it lies on -z.
    expectNear(frame.view * vec4(1, 2, 3, 1), vec4(0, 0, 0, 1));
    expectNear(frame.view * vec4(1, 2, -7, 1), vec4(0, 0, -10, 1));
    // A translation written directly is picked up by updateView.
    frame.translation = vec3(0, 0, -5);
    frame.updateView();
    expectNear(frame.view * vec4(0, 0, 5, 1), vec4(0, 0, 0, 1));
    // An up that is not perpendicular to the forward direction still gives unit, square axes.
    frame.setFrame(vec3(0, 0, 0), vec3(1, 0, -1), vec3(0, 1, 1));
    EXPECT_NEAR(length(frame.right), 1.0f, 1e-6f);
    EXPECT_NEAR(length(frame.up), 1.0f, 1e-6f);
    EXPECT_NEAR(dot(frame.right, frame.forward), 0.0f, 1e-6f);
    EXPECT_NEAR(dot(frame.up, frame.forward), 0.0f, 1e-6f);
}

TEST(Camera, ViewProjectionMapsKnownPointsToClipSpace) {
    // 90 degrees, square: the frustum edges are the 45-degree lines.
    Camera camera(vec3(0, 0, 5), vec3(0, 0, 0), vec3(0, 1, 0), 90, 1, 1, 3);
    expectNear(camera.forward, vec3(0, 0, -1));
    expectNear(camera.right, vec3(1, 0, 0));
    expectNear(camera.up, vec3(0, 1, 0));
    expectNear(camera.view * vec4(0, 0, 5, 1), vec4(0, 0, 0, 1));
    // f = 1, A = -2, B = -3.
    EXPECT_NEAR(camera.projection(0, 0), 1.0f, 1e-6f);
    EXPECT_NEAR(camera.projection(1, 1), 1.0f, 1e-6f);
    EXPECT_FLOAT_EQ(camera.projection(2, 2), -2.0f);
    EXPECT_FLOAT_EQ(camera.projection(2, 3), -3.0f);
    EXPECT_EQ(camera.projection(3, 2), -1.0f);
    auto ndc = [&](const vec4& world) {
        vec4 clip = camera.viewProjection * world;
        return vec3(clip.x / clip.w, clip.y / clip.w, clip.z / clip.w);
    };
    // Points on the axis at the near and far planes land on depth -1 and +1.
    expectNear(ndc(vec4(0, 0, 4, 1)), vec3(0, 0, -1));
    expectNear(ndc(vec4(0, 0, 2, 1)), vec3(0, 0, 1));
    // Two units ahead, the frustum is two units wide: (2, 2) is the top-right corner.
    vec3 corner = ndc(vec4(2, 2, 3, 1));
    EXPECT_NEAR(corner.x, 1, 1e-5f);
    EXPECT_NEAR(corner.y, 1, 1e-5f);
    // Clip w is the distance in front of the eye.
    EXPECT_NEAR((camera.viewProjection * vec4(0, 0, 3, 1)).w, 2, 1e-5f);
    // Aspect 2 halves x.
    camera.setProjection(90, 2, 1, 3);
    camera.update();
    EXPECT_NEAR(ndc(vec4(2, 2, 3, 1)).x, 0.5f, 1e-5f);
}
