// Head tracking and stereo output: opens the head-mounted display and its tracker, fuses the
// tracker's frames into a head orientation, and draws each frame once per eye into an offscreen
// target that a lens-distortion pass warps onto the window. Without a display the rig stays
// empty and the application draws in mono.
#pragma once

#include "hmd/tracking/sensor_fusion.h"
#include "render/batch.h"
#include "render/math.h"
#include "render/shareable.h"
#include "render/texture.h"

namespace Visor {
class HMDDevice;
class SensorDevice;
struct HmdParameters;
} // namespace Visor

namespace ombrel {

class GraphicsContext;
class PointCloud;

class StereoRig {
public:
    static const char* const distortionVertexSource;
    static const char* const distortionFragmentSource;

    StereoRig() = default;
    // Detaches the fusion filter from the tracker, then drops whatever close() left held.
    ~StereoRig();
    StereoRig(const StereoRig&) = delete;
    StereoRig& operator=(const StereoRig&) = delete;

    // Looks for a head-mounted display and, with one, builds the stereo target and the lens
    // distortion pass and feeds its tracker into the fusion filter. near and far bound the
    // per-eye projection. Main thread with the context current.
    void setup(GraphicsContext* context, float near, float far);
    // The rendering half alone, from a display description: projection, viewports, target,
    // quad and distortion material. setup() calls it once the display has described itself.
    // False, with a log line and nothing created, for a description without a usable screen.
    bool setupRendering(const Visor::HmdParameters& display);
    // Releases the GL objects, resets the fusion filter and releases the devices; safe when
    // setup found nothing.
    void close();

    bool displayOpen() const { return target.get() != nullptr; }

    // Head orientation as a row-major matrix (row 1 up, row 2 backward, in world axes): the
    // inverse of the fused orientation's rotation; the identity without a tracker.
    mat4 headMatrix() const;

    // Both eyes' clip matrices from the viewer's view matrix.
    void updateEyeMatrices(const mat4& view);

    // Draws the point cloud once per eye into the stereo target and warps it to the window.
    void render(PointCloud& cloud, int windowWidth, int windowHeight);
    // render() in its parts, in this order, for tools that time them.
    void beginEyes();
    void drawLeftEye(PointCloud& cloud);
    void drawRightEye(PointCloud& cloud);
    void drawDistortion(int windowWidth, int windowHeight);

    GraphicsContext* context = nullptr;
    Ref<Framebuffer> target;
    Ref<Texture> stereoTexture;
    Ref<Batch> distortionBatch;
    // Each holds one reference, or is null.
    Visor::HMDDevice* hmd = nullptr;
    Visor::SensorDevice* sensor = nullptr;
    Visor::SensorFusion fusion;
    int leftViewport[4] = {0, 0, 0, 0}; // x, y, width, height
    int rightViewport[4] = {0, 0, 0, 0};
    mat4 leftEyeMatrix;
    mat4 rightEyeMatrix;
    float projectionCentreOffset = 0; // lens axis offset in each eye's clip x
    float halfIpd = 0;
    mat4 projection;
    float near = 0.01f;
    float far = 100.0f;
};

// The general 4x4 inverse (adjugate over determinant); the identity for a singular matrix.
mat4 inverse(const mat4& m);
// The head matrix of a fused orientation: the inverse of its rotation matrix.
mat4 headMatrixOf(const Visor::Quatf& orientation);

} // namespace ombrel
