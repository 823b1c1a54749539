// The viewer as a physical body: a damped sphere under gravity and thrust that collides with the
// current scene's processor-side distance field, advanced by fixed fourth-order Runge-Kutta steps.
#pragma once

#include "render/math.h"

namespace ombrel {

class Worldsector;

// Twelve floats, in this order; the application's viewer embeds one and the physics advances it
// in place.
struct BodyState {
    vec3 position;      // sphere centre, in the current scene's coordinates
    vec3 velocity;      // units per second
    vec3 force;         // thrust from input, in scene axes
    float damping = 10; // linear damping coefficient
    float mass = 50;    //
    float radius = 2;   // collision radius
};
static_assert(sizeof(BodyState) == 12 * sizeof(float), "BodyState is twelve packed floats");

struct BodyDerivative {
    vec3 positionRate;
    vec3 velocityRate;
};

namespace physics {
constexpr vec3 gravity{0.0f, -4.59f, 0.0f};    // acceleration
constexpr float collisionStiffness = 18000.0f; // force per unit of penetration
constexpr float gradientStep = 0.001f;         // forward-difference step of the gradient
} // namespace physics

// Unit gradient of scene's distance at p (forward differences). Where the field is flat the
// gradient has no direction and the result is (0, 0, 0).
vec3 gradient(const Worldsector& scene, const vec3& p, float t);

// Penalty force on a sphere of radius r centred at p: it pushes out along the gradient and grows
// linearly with penetration; zero when the sphere is clear or the gradient has no direction.
// The velocity is accepted for the integrator's sake and not used.
vec3 collide(const Worldsector& scene, const vec3& p, const vec3& v, float r, float t);

// Rates of the state advanced by the incoming derivative k over dt. Damping acts on the velocity
// at the start of the step, not on the advanced one.
BodyDerivative evaluate(const Worldsector& scene, const BodyState& state, float t, float dt,
                        const BodyDerivative& k);

// Advances position and velocity by dt seconds from scene time t (all four evaluations use t);
// force, damping, mass and radius are read only.
void integrate(const Worldsector& scene, BodyState& state, float t, float dt);

} // namespace ombrel
