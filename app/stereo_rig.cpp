// The stereo rig: the headset bridge (display, tracker, fusion) and the per-eye rendering with
// the lens-distortion pass.
#include "app/stereo_rig.h"

#include <GL/glew.h>

#include <cmath>

#include "app/point_cloud.h"
#include "hmd/devices/system.h"
#include "hmd/tracking/hmd_device.h"
#include "hmd/tracking/sensor_device.h"
#include "render/buffer.h"
#include "render/material.h"
#include "render/program.h"
#include "shell/log.h"

namespace ombrel {

const char* const StereoRig::distortionVertexSource = "attribute vec2 av2_vertex;\n"
                                                      "varying vec2 vv2_pos;\n"
                                                      "void main(){\n"
                                                      "gl_Position = vec4(av2_vertex, 0., 1.);\n"
                                                      "vv2_pos = av2_vertex;\n"
                                                      "}";

// Each window half samples its own half of the stereo texture around that half's centre; the
// warp is isotropic in pixels (scale_in and scale_out undo the half's aspect).
const char* const StereoRig::distortionFragmentSource =
    "uniform float uf_aspect;\n"
    "uniform vec4 uv4_kDistort;\n"
    "uniform sampler2D us2_stereo;\n"
    "varying vec2 vv2_pos;\n"
    "vec2 barrelWarp(vec2 v, vec2 center, vec2 scale_in, vec2 scale_out, vec4 k) {vec2 p = (v - "
    "center) * scale_in;\n"
    "float l2 = dot(p, p);\n"
    "return center + scale_out * p * (k.x + l2*k.y + l2*l2*k.z + l2*l2*l2*k.w);\n"
    "}void main() {\n"
    "vec2 tc;if (vv2_pos.x > 0.) {tc = barrelWarp(vv2_pos, vec2(.5, 0.),vec2(1., 1. / "
    "uf_aspect), vec2(1., uf_aspect), uv4_kDistort);\n"
    "if (!all(equal(tc, clamp(tc,vec2(0.,-1.),vec2(1.,1.)))))\n"
    "{ gl_FragColor = vec4(0.); return; }\n"
    "} else {tc = barrelWarp(vv2_pos, vec2(-.5, 0.),vec2(1., 1. / uf_aspect), vec2(1., "
    "uf_aspect), uv4_kDistort);\n"
    "if (!all(equal(tc, clamp(tc,vec2(-1.,-1.),vec2(0.,1.)))))\n"
    "{ gl_FragColor = vec4(0.); return; }\n"
    "}tc = tc * .5 + .5;\n"
    "gl_FragColor = texture2D(us2_stereo, tc);\n"
    "}";

namespace {

// Only the library's regular and debug lines.
constexpr std::uint32_t hmdLogMask = 0x300;

bool positive(float v) {
    return std::isfinite(v) && v > 0.0f;
}

void setViewport(const int viewport[4]) {
    glViewport(viewport[0], viewport[1], viewport[2], viewport[3]);
}

// The rotation of the unit quaternion q, rows as applied to column vectors.
mat4 rotationOf(const Visor::Quatf& q) {
    const float x = q.x, y = q.y, z = q.z, w = q.w;
    const float rows[16] = {w * w + x * x - y * y - z * z,
                            2 * (x * y - w * z),
                            2 * (x * z + w * y),
                            0,
                            2 * (x * y + w * z),
                            w * w - x * x + y * y - z * z,
                            2 * (y * z - w * x),
                            0,
                            2 * (x * z - w * y),
                            2 * (y * z + w * x),
                            w * w - x * x - y * y + z * z,
                            0,
                            0,
                            0,
                            0,
                            1};
    return mat4(rows);
}

} // namespace

mat4 inverse(const mat4& a) {
    const float* m = a.m;
    float inv[16];
    inv[0] = m[5] * m[10] * m[15] - m[5] * m[11] * m[14] - m[9] * m[6] * m[15] +
             m[9] * m[7] * m[14] + m[13] * m[6] * m[11] - m[13] * m[7] * m[10];
    inv[4] = -m[4] * m[10] * m[15] + m[4] * m[11] * m[14] + m[8] * m[6] * m[15] -
             m[8] * m[7] * m[14] - m[12] * m[6] * m[11] + m[12] * m[7] * m[10];
    inv[8] = m[4] * m[9] * m[15] - m[4] * m[11] * m[13] - m[8] * m[5] * m[15] +
             m[8] * m[7] * m[13] + m[12] * m[5] * m[11] - m[12] * m[7] * m[9];
    inv[12] = -m[4] * m[9] * m[14] + m[4] * m[10] * m[13] + m[8] * m[5] * m[14] -
              m[8] * m[6] * m[13] - m[12] * m[5] * m[10] + m[12] * m[6] * m[9];
    inv[1] = -m[1] * m[10] * m[15] + m[1] * m[11] * m[14] + m[9] * m[2] * m[15] -
             m[9] * m[3] * m[14] - m[13] * m[2] * m[11] + m[13] * m[3] * m[10];
    inv[5] = m[0] * m[10] * m[15] - m[0] * m[11] * m[14] - m[8] * m[2] * m[15] +
             m[8] * m[3] * m[14] + m[12] * m[2] * m[11] - m[12] * m[3] * m[10];
    inv[9] = -m[0] * m[9] * m[15] + m[0] * m[11] * m[13] + m[8] * m[1] * m[15] -
             m[8] * m[3] * m[13] - m[12] * m[1] * m[11] + m[12] * m[3] * m[9];
    inv[13] = m[0] * m[9] * m[14] - m[0] * m[10] * m[13] - m[8] * m[1] * m[14] +
              m[8] * m[2] * m[13] + m[12] * m[1] * m[10] - m[12] * m[2] * m[9];
    inv[2] = m[1] * m[6] * m[15] - m[1] * m[7] * m[14] - m[5] * m[2] * m[15] + m[5] * m[3] * m[14] +
             m[13] * m[2] * m[7] - m[13] * m[3] * m[6];
    inv[6] = -m[0] * m[6] * m[15] + m[0] * m[7] * m[14] + m[4] * m[2] * m[15] -
             m[4] * m[3] * m[14] - m[12] * m[2] * m[7] + m[12] * m[3] * m[6];
    inv[10] = m[0] * m[5] * m[15] - m[0] * m[7] * m[13] - m[4] * m[1] * m[15] +
              m[4] * m[3] * m[13] + m[12] * m[1] * m[7] - m[12] * m[3] * m[5];
    inv[14] = -m[0] * m[5] * m[14] + m[0] * m[6] * m[13] + m[4] * m[1] * m[14] -
              m[4] * m[2] * m[13] - m[12] * m[1] * m[6] + m[12] * m[2] * m[5];
    inv[3] = -m[1] * m[6] * m[11] + m[1] * m[7] * m[10] + m[5] * m[2] * m[11] -
             m[5] * m[3] * m[10] - m[9] * m[2] * m[7] + m[9] * m[3] * m[6];
    inv[7] = m[0] * m[6] * m[11] - m[0] * m[7] * m[10] - m[4] * m[2] * m[11] + m[4] * m[3] * m[10] +
             m[8] * m[2] * m[7] - m[8] * m[3] * m[6];
    inv[11] = -m[0] * m[5] * m[11] + m[0] * m[7] * m[9] + m[4] * m[1] * m[11] - m[4] * m[3] * m[9] -
              m[8] * m[1] * m[7] + m[8] * m[3] * m[5];
    inv[15] = m[0] * m[5] * m[10] - m[0] * m[6] * m[9] - m[4] * m[1] * m[10] + m[4] * m[2] * m[9] +
              m[8] * m[1] * m[6] - m[8] * m[2] * m[5];
    const float det = m[0] * inv[0] + m[1] * inv[4] + m[2] * inv[8] + m[3] * inv[12];
    if (!(det != 0.0f) || !std::isfinite(det))
        return mat4::identity();
    for (float& v : inv)
        v /= det;
    return mat4(inv);
}

StereoRig::~StereoRig() {
    // The filter lets go of the tracker before the last references go, so no frame is
    // delivered into a rig being torn down.
    fusion.AttachSensor(nullptr);
    distortionBatch = nullptr;
    target = nullptr;
    stereoTexture = nullptr;
    if (sensor)
        sensor->Release();
    if (hmd)
        hmd->Release();
}

void StereoRig::setup(GraphicsContext* context_, float near_, float far_) {
    context = context_;
    near = near_;
    far = far_;
    Visor::System::Init(hmdLogMask);
    Visor::DeviceManager* manager = Visor::DeviceManager::Create();
    if (!manager) {
        ombrel::log("StereoRig: the headset library did not start; drawing in mono");
        return;
    }
    Visor::HMDDevice* found = nullptr;
    {
        Visor::DescEnumerator displays =
            manager->Enumerate(Visor::EnumerationFilter{Visor::Type_HMD, true});
        found = static_cast<Visor::HMDDevice*>(displays.CreateDevice());
    } // the enumerator gives its handle back here
    if (hmd)
        hmd->Release();
    hmd = found;
    if (!hmd) {
        manager->Release();
        ombrel::log("StereoRig: no head-mounted display found; drawing in mono");
        return;
    }

    Visor::HmdParameters display;
    hmd->QueryInfo(&display);
    if (!setupRendering(display)) {
        // A display that cannot describe its screen is treated as absent.
        hmd->Release();
        hmd = nullptr;
        manager->Release();
        return;
    }

    Visor::SensorDevice* tracker = hmd->OpenSensor();
    if (sensor)
        sensor->Release();
    sensor = tracker;
    if (sensor)
        fusion.AttachSensor(sensor);
    manager->Release();
    ombrel::log("StereoRig: %s, %ux%u, %s", display.Product, display.ResolutionH,
                display.ResolutionV, sensor ? "tracking the head" : "no tracker, head fixed");
}

bool StereoRig::setupRendering(const Visor::HmdParameters& display) {
    const std::uint32_t width = display.ResolutionH, height = display.ResolutionV;
    if (width < 2 || height < 1 || width > 16384 || height > 16384 ||
        !positive(display.ScreenSizeH) || !positive(display.ScreenSizeV) ||
        !positive(display.EyeToScreen)) {
        ombrel::log("StereoRig: the display's description (%ux%u pixels, screen %gx%g m, lens "
                    "distance %g m) is unusable; drawing in mono",
                    width, height, double(display.ScreenSizeH), double(display.ScreenSizeV),
                    double(display.EyeToScreen));
        return false;
    }

    const float yScale = 2.0f * display.EyeToScreen / display.ScreenSizeV;
    const float xScale = yScale * (2.0f * float(height) / float(width));
    const float rows[16] = {
        xScale, 0, 0,  0, 0, yScale, 0, 0, 0, 0, far / (near - far), near * far / (near - far),
        0,      0, -1, 0};
    projection = mat4(rows);
    projectionCentreOffset = 1.0f - 2.0f * display.LensSeparation / display.ScreenSizeH;
    halfIpd = display.EyeSeparation * 0.5f;
    const int eyeWidth = int(width / 2);
    const int viewportLeft[4] = {0, 0, eyeWidth, int(height)};
    const int viewportRight[4] = {eyeWidth, 0, eyeWidth, int(height)};
    for (int i = 0; i < 4; ++i) {
        leftViewport[i] = viewportLeft[i];
        rightViewport[i] = viewportRight[i];
    }

    target = new Framebuffer();
    stereoTexture = new Texture();
    stereoTexture->magFilter = GL_LINEAR;
    stereoTexture->minFilter = GL_LINEAR;
    stereoTexture->setup(TextureMeta(int32_t(width), int32_t(height), TextureRGBA8));
    target->attachColor(stereoTexture.get(), 0);
    target->attachDepth();

    Ref<Buffer> quad = new Buffer(GL_ARRAY_BUFFER);
    const float corners[8] = {-1, -1, 1, -1, 1, 1, -1, 1};
    quad->load(corners, sizeof corners);

    Ref<Program> program = new Program(distortionVertexSource, distortionFragmentSource);
    distortionBatch = new Batch();
    Ref<Material> material = new Material(program.get());
    const GLuint name = program->name();
    UniformState& uniforms = material->uniforms;
    uniforms.setSampler(glGetUniformLocation(name, "us2_stereo"), stereoTexture.get());
    uniforms.setUniform(glGetUniformLocation(name, "uv4_kDistort"), UniformVec4,
                        display.DistortionCoeffs);
    const float aspect = float(width) / float(height);
    uniforms.setUniform(glGetUniformLocation(name, "uf_aspect"), UniformFloat, &aspect);
    distortionBatch->setMaterial(material.get());
    distortionBatch->setAttribute(glGetAttribLocation(name, "av2_vertex"), quad.get(), 2, 0, 0);
    distortionBatch->indexBuffer = nullptr;
    distortionBatch->first = 0;
    distortionBatch->count = 4;
    distortionBatch->mode = GL_TRIANGLE_FAN;
    // setup() and attachColor() leave the texture and the target bound; the window is the
    // default for whatever the caller draws next.
    Framebuffer::bind(nullptr);
    return true;
}

void StereoRig::close() {
    distortionBatch = nullptr;
    target = nullptr;
    stereoTexture = nullptr;
    fusion.Reset();
    if (sensor)
        sensor->Release();
    sensor = nullptr;
    if (hmd)
        hmd->Release();
    hmd = nullptr;
}

mat4 headMatrixOf(const Visor::Quatf& orientation) {
    return inverse(rotationOf(orientation));
}

mat4 StereoRig::headMatrix() const {
    // One copy of the orientation per frame, taken under the filter's lock.
    return headMatrixOf(fusion.ReadOrientation());
}

void StereoRig::updateEyeMatrices(const mat4& view) {
    const float h = projectionCentreOffset;
    leftEyeMatrix =
        mat4::translation(h, 0, 0) * projection * mat4::translation(halfIpd, 0, 0) * view;
    rightEyeMatrix =
        mat4::translation(-h, 0, 0) * projection * mat4::translation(-halfIpd, 0, 0) * view;
}

void StereoRig::render(PointCloud& cloud, int windowWidth, int windowHeight) {
    if (!target)
        return;
    beginEyes();
    drawLeftEye(cloud);
    drawRightEye(cloud);
    drawDistortion(windowWidth, windowHeight);
}

void StereoRig::beginEyes() {
    if (!target)
        return;
    target->bind();
    glViewport(0, 0, stereoTexture->meta().width, stereoTexture->meta().height);
    // Only depth: texels no point covers keep the previous frame's colour.
    glClear(GL_DEPTH_BUFFER_BIT);
}

void StereoRig::drawLeftEye(PointCloud& cloud) {
    setViewport(leftViewport);
    cloud.draw(leftEyeMatrix);
}

void StereoRig::drawRightEye(PointCloud& cloud) {
    setViewport(rightViewport);
    cloud.draw(rightEyeMatrix);
}

void StereoRig::drawDistortion(int windowWidth, int windowHeight) {
    if (!distortionBatch)
        return;
    Framebuffer::bind(nullptr);
    glViewport(0, 0, windowWidth, windowHeight);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    distortionBatch->draw();
}

} // namespace ombrel
