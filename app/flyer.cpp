// Steering of the viewer: thrust from keys, mouse look and the head-frame rebuild.
#include "app/flyer.h"

#include <cmath>

namespace ombrel {

namespace {

constexpr vec3 worldUp{0.0f, 1.0f, 0.0f};

vec3 turn(const mat4& r, const vec3& v) {
    return (r * vec4(v, 0.0f)).xyz();
}

} // namespace

Flyer::Flyer() {
    frame.setFrame(vec3(0, 0, 0), vec3(0, 0, -1), worldUp);
}

void Flyer::setInput(float forward, float strafe, float lift) {
    forwardInput = forward;
    strafeInput = strafe;
    liftInput = lift;
    body.force = (frame.forward * forwardInput + frame.right * strafeInput + frame.up * liftInput) *
                 thrustGain;
}

void Flyer::look(float dx, float dy, float sensitivity) {
    const mat4 yawTurn = mat4::rotation(worldUp, -dx * sensitivity);
    frame.forward = normalize(turn(yawTurn, frame.forward));
    frame.right = normalize(turn(yawTurn, frame.right));
    frame.up = cross(frame.right, frame.forward);
    frame.right = cross(frame.forward, frame.up);
    const mat4 pitchTurn = mat4::rotation(frame.right, dy * sensitivity);
    frame.forward = normalize(turn(pitchTurn, frame.forward));
    frame.up = cross(frame.right, frame.forward);
}

void Flyer::orientFromHead(const mat4& head) {
    frame.forward = normalize(-vec3(head(2, 0), head(2, 1), head(2, 2)));
    const vec3 headUp = normalize(vec3(head(1, 0), head(1, 1), head(1, 2)));
    frame.right = cross(frame.forward, headUp);
    frame.up = cross(frame.right, frame.forward);
    const mat4 yawTurn = mat4::rotation(worldUp, yaw);
    frame.forward = normalize(turn(yawTurn, frame.forward));
    frame.right = normalize(turn(yawTurn, frame.right));
    frame.up = cross(frame.right, frame.forward);
    frame.right = cross(frame.forward, frame.up);
}

void Flyer::updateView() {
    frame.translation = -body.position;
    frame.updateView();
}

void Flyer::place(const vec3& position, const vec3& direction) {
    const vec3 forward = normalize(direction);
    const bool vertical = std::fabs(forward.y) > 0.999f;
    frame.setFrame(-position, forward, vertical ? vec3(0, 0, -1) : worldUp);
    body.position = position;
    body.velocity = vec3();
    updateView();
}

} // namespace ombrel
