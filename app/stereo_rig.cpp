// The stereo rig without headset support: it records its set-up and never opens a display.
#include "app/stereo_rig.h"

#include "shell/log.h"

namespace ombrel {

void StereoRig::setup(GraphicsContext* context_, float near_, float far_) {
    context = context_;
    near = near_;
    far = far_;
    ombrel::log("StereoRig: no head-mounted display support in this build; drawing in mono");
}

void StereoRig::close() {
    leftEyeMatrix = mat4::identity();
    rightEyeMatrix = mat4::identity();
}

void StereoRig::updateEyeMatrices(const mat4& view) {
    // Without display parameters both eyes see from the centre.
    leftEyeMatrix = view;
    rightEyeMatrix = view;
}

void StereoRig::render(PointCloud&, int, int) {}

} // namespace ombrel
