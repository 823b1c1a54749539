// Runge-Kutta integration of the viewer's body against a scene's collision distance.
#include "world/body.h"

#include <cmath>

#include "shell/log.h"
#include "world/worldsector.h"

namespace ombrel {

vec3 gradient(const Worldsector& scene, const vec3& p, float t) {
    const float h = physics::gradientStep;
    const float d = scene.distance(p, t);
    const vec3 g{scene.distance(p + vec3(h, 0, 0), t) - d, scene.distance(p + vec3(0, h, 0), t) - d,
                 scene.distance(p + vec3(0, 0, h), t) - d};
    const float len = length(g);
    // A flat spot (or a non-finite field) gives no direction to push along.
    if (!(len > 0.0f) || !std::isfinite(len))
        return {};
    return g / len;
}

vec3 collide(const Worldsector& scene, const vec3& p, const vec3& /*v*/, float r, float t) {
    const float d = scene.distance(p, t) - r;
    if (!(d < 0.0f))
        return {};
    // A zero gradient yields a zero force rather than a division by zero.
    return gradient(scene, p, t) * (-physics::collisionStiffness * d);
}

BodyDerivative evaluate(const Worldsector& scene, const BodyState& state, float t, float dt,
                        const BodyDerivative& k) {
    const vec3 p = state.position + k.positionRate * dt;
    const vec3 v = state.velocity + k.velocityRate * dt;
    BodyDerivative out;
    out.positionRate = v;
    out.velocityRate =
        (collide(scene, p, v, state.radius, t) + state.force - state.velocity * state.damping) /
            state.mass +
        physics::gravity;
    return out;
}

void integrate(const Worldsector& scene, BodyState& state, float t, float dt) {
    // A massless body would turn the state into infinities and NaNs for good; keep it as it is.
    if (!(state.mass > 0.0f) || !std::isfinite(state.mass)) {
        log("BodyState: mass %g is not a positive number; physics step skipped", state.mass);
        return;
    }
    const BodyDerivative a = evaluate(scene, state, t, 0.0f, BodyDerivative{});
    const BodyDerivative b = evaluate(scene, state, t, dt * 0.5f, a);
    const BodyDerivative c = evaluate(scene, state, t, dt * 0.5f, b);
    const BodyDerivative d = evaluate(scene, state, t, dt, c);
    const float sixth = dt * 0.16666667f;
    state.position +=
        (a.positionRate + (b.positionRate + c.positionRate) * 2.0f + d.positionRate) * sixth;
    state.velocity +=
        (a.velocityRate + (b.velocityRate + c.velocityRate) * 2.0f + d.velocityRate) * sixth;
}

} // namespace ombrel
