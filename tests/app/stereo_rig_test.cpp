// The stereo rig on a real GL context (the distortion pass read back from the window) and on a
// virtual headset under the umockdev preload (description, head matrix, close).
#include "app/stereo_rig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "app/point_cloud.h"
#include "hmd/devices/system.h"
#include "hmd/devices/threads.h"
#include "hmd/tracking/hmd_device.h"
#include "tests/support/gl_test_context.h"
#include "tests/support/hid_testbed.h"
#include "tools/virtual_headset/motion_script.h"
#include "tools/virtual_headset/virtual_tracker_stream.h"

namespace ombrel {
namespace {

// The virtual tracker's 7-inch panel at any resolution, with K = (k0, k1, 0.24 if k1, 0).
Visor::HmdParameters panel(std::uint32_t w, std::uint32_t h, float k1 = 0.22f, float k0 = 1) {
    Visor::HmdParameters p;
    p.ResolutionH = w, p.ResolutionV = h, p.ScreenSizeH = 0.14976f, p.ScreenSizeV = 0.0936f;
    p.EyeToScreen = 0.041f, p.LensSeparation = 0.0635f, p.EyeSeparation = 0.064f;
    const float k[4] = {k0, k1, k1 == 0 ? 0 : 0.24f, 0};
    std::copy(k, k + 4, p.DistortionCoeffs);
    return p;
}

int liveProgramsAndFramebuffers() {
    int n = 0;
    for (GLuint name = 1; name < 2048; ++name)
        n += (glIsProgram(name) ? 1 : 0) + (glIsFramebuffer(name) ? 1 : 0);
    return n;
}

// The distortion pass alone over a 64x40 texture whose r and g count columns and rows and whose
// b marks the right half. Without lens terms the window shows the texture unchanged; with the
// headset's, the corners of both halves are black and each lens centre keeps its texel. No pixel
// centre of the quad reliably interpolates to x = 0, so a point is drawn there on a pixel centre
// of an odd-width window: with K0 = 0.5 the left eye's rule samples at 3/8 of the width (texels
// 23 and 24, rows 19 and 20 blended), the right eye's at 5/8.
TEST(DistortionPass, WarpsEachHalfAboutItsLensCentreAndGivesTheCentreLineToTheLeftEye) {
    OMBREL_REQUIRE_GL();
    for (int row = 0; row < 3; ++row) {
        const int w = row < 2 ? 64 : 63, h = row < 2 ? 40 : 39;
        StereoRig rig;
        ASSERT_TRUE(rig.setupRendering(panel(64, 40, row == 1 ? 0.22f : 0, row == 2 ? 0.5f : 1)));
        if (row == 2) {
            const float centre[2] = {0, 0};
            rig.distortionBatch->attributes[0].buffer->load(centre, sizeof centre);
            rig.distortionBatch->count = 1;
            rig.distortionBatch->mode = GL_POINTS;
            glDisable(GL_VERTEX_PROGRAM_POINT_SIZE);
        }
        std::vector<test::Rgba8> texels, window(size_t(w * h));
        for (int i = 0; i < 64 * 40; ++i)
            texels.push_back({(unsigned char)(4 * (i % 64)), (unsigned char)(6 * (i / 64)),
                              (unsigned char)(i % 64 < 32 ? 0 : 255), 255});
        glBindTexture(GL_TEXTURE_2D, rig.stereoTexture->name());
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, 64, 40, GL_RGBA, GL_UNSIGNED_BYTE, texels.data());
        rig.drawDistortion(w, h);
        glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, window.data());
        for (int i = 0; i < w * h; ++i) {
            const int x = i % w, y = i / w;
            const bool corner = x % 32 % 31 == 0 && y % 39 == 0, centre = x % 32 == 16 && y == 20;
            test::Rgba8 want = corner && row == 1 ? test::Rgba8{0, 0, 0, 0} : texels[size_t(i)];
            if (row == 2)
                want = {94, 117, 0, 255};
            const test::Rgba8 got = window[size_t(i)];
            if (!(row == 0 || (row == 1 && (corner || centre)) || (row == 2 && i == 19 * 63 + 31)))
                continue;
            EXPECT_LE(std::max({std::abs(got.r - want.r), std::abs(got.g - want.g),
                                std::abs(got.b - want.b), std::abs(got.a - want.a)}),
                      2)
                << "case " << row << " pixel " << x << "," << y;
        }
    }
}

// Nothing on the bus, or a display without a usable screen: nothing is created. The virtual
// headset's 1280x800 panel: 640x800 eyes, aspect 1.6, stereo frames whose head matrix follows a
// quarter turn to the left; close lets the devices go and the filter back to the identity.
using StereoRigHeadset = Visor::test::HidTestbedTest;
TEST_F(StereoRigHeadset, FindsTheHeadsetAndFollowsAHeadTurn) {
    OMBREL_REQUIRE_GL();
    const int objects = liveProgramsAndFramebuffers();
    StereoRig rig;
    rig.setup(nullptr, 0.01f, 100.0f);
    for (const Visor::HmdParameters& unusable : {panel(0, 800), panel(1, 800), panel(1280, 0)})
        EXPECT_FALSE(rig.setupRendering(unusable));
    EXPECT_FALSE(rig.displayOpen() || rig.hmd || rig.sensor);
    EXPECT_EQ(liveProgramsAndFramebuffers(), objects);

    auto tracker = std::make_shared<Visor::VirtualTracker>();
    ASSERT_FALSE(Testbed->AddDevice(tracker).empty());
    Visor::VirtualTrackerStream stream;
    ASSERT_TRUE(stream.Start(tracker));
    rig.setup(nullptr, 0.01f, 100.0f);
    ASSERT_TRUE(rig.displayOpen() && rig.sensor);
    const int *l = rig.leftViewport, *r = rig.rightViewport;
    EXPECT_EQ(std::vector<int>({l[0], l[1], l[2], l[3], r[0], r[1], r[2], r[3]}),
              std::vector<int>({0, 0, 640, 800, 640, 0, 640, 800}));
    const Material& material = *rig.distortionBatch->material;
    const float* aspect =
        material.uniforms.find(glGetUniformLocation(material.program->name(), "uf_aspect"));
    ASSERT_TRUE(aspect);
    EXPECT_EQ(*aspect, 1.6f);
    Visor::MotionScript script;
    ASSERT_TRUE(script.Parse("still 100ms\nyaw 1s 90deg/s\nstill 60s", nullptr));
    auto player = std::make_shared<Visor::MotionPlayer>(script);
    tracker->SetSampleSource([player](Visor::SensorSample* s) { return player->Next(s, nullptr); });
    PointCloud nothing; // an empty cloud: the passes run, no points
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1400);
    while (std::chrono::steady_clock::now() < end) {
        rig.updateEyeMatrices(rig.headMatrix());
        rig.render(nothing, 64, 40);
    }
    EXPECT_LT(length(rig.headMatrix() * vec4(0, 0, -1, 0) - vec4(1, 0, 0, 0)), 0.05f);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    rig.close();
    stream.Stop();
    EXPECT_FALSE(rig.hmd || rig.sensor || rig.target);
    EXPECT_EQ(rig.headMatrix(), mat4::identity());
    Visor::Thread::FinishAllThreads();
    Visor::System::Destroy();
}

} // namespace
} // namespace ombrel
