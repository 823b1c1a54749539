// Head tracking and stereo output. This build has no head-mounted display support yet: the rig
// never finds a display, so every frame takes the application's mono path. The operations are
// the ones the application calls, so the headset side can be filled in behind them.
#pragma once

#include "render/math.h"

namespace ombrel {

class GraphicsContext;
class PointCloud;

class StereoRig {
public:
    // Looks for a head-mounted display and, with one, builds the stereo target and the lens
    // distortion pass. near and far bound the per-eye projection.
    void setup(GraphicsContext* context, float near, float far);
    // Releases the GL objects and the devices; safe when setup found nothing.
    void close();

    bool displayOpen() const { return false; }

    // Head orientation as a row-major matrix (row 1 up, row 2 backward, in world axes); the
    // identity without a tracker.
    mat4 headMatrix() const { return mat4::identity(); }

    // Both eyes' clip matrices from the viewer's view matrix.
    void updateEyeMatrices(const mat4& view);

    // Draws the point cloud once per eye into the stereo target and warps it to the window.
    void render(PointCloud& cloud, int windowWidth, int windowHeight);

    GraphicsContext* context = nullptr;
    mat4 leftEyeMatrix;
    mat4 rightEyeMatrix;
    float near = 0.01f;
    float far = 100.0f;
};

} // namespace ombrel
