// The viewer: a small physical body with a view frame, steered by the movement keys, by mouse
// look and (with a head-mounted display) by the head orientation.
#pragma once

#include "render/math.h"
#include "world/body.h"

namespace ombrel {

struct Flyer {
    static constexpr float baseDamping = 10.0f;
    static constexpr float brakeDamping = 200.0f; // added while E is held

    Flyer();

    // Key input, each -1, 0 or +1; the thrust follows the frame's current axes.
    void setInput(float forward, float strafe, float lift);
    void setBraking(bool braking) { body.damping = baseDamping + (braking ? brakeDamping : 0.0f); }

    // Mono mouse look: turn about the world up axis by -dx * sensitivity, then pitch about the
    // new right axis by dy * sensitivity. Pitch is not limited: the view can roll over the top.
    void look(float dx, float dy, float sensitivity);

    // Rebuilds the axes from a head orientation matrix (row 1 the head's up, row 2 its backward
    // direction) turned by yaw about the world up axis. The view matrix is left as it was.
    void orientFromHead(const mat4& head);

    // translation = -position, then the view matrix.
    void updateView();

    // Puts the body at position looking along direction, at rest. A direction along the world
    // up axis takes -Z as its up hint, so the frame stays defined.
    void place(const vec3& position, const vec3& direction);

    const vec3& position() const { return body.position; }
    const vec3& forward() const { return frame.forward; }

    float yaw = 0;
    ViewFrame frame;
    BodyState body; // position, velocity, force, damping 10, mass 50, radius 2
    float forwardInput = 0;
    float strafeInput = 0;
    float liftInput = 0;
    float thrustGain = 350.0f;
};

} // namespace ombrel
