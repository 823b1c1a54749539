// Frame time of the demo on the current GL driver, per scene: the trace of one tile, the
// point-cloud draw, and the whole frame, each bounded by glFinish; the stereo frame for a
// 1280 by 800 headset split the same way (trace, left eye, right eye, distortion pass); and, as
// the reference, the same scene raymarched directly at one ray per window pixel (both eyes at
// the window's size) by a shader built from the same scene texts. Prints medians, 95th
// percentiles and the ratios of the frame times.
//
// Usage: app_frame_bench [--size WxH] [--frames N] [--reference-frames N] [--sector S]
// Needs a display (run under xvfb-run -a -s "-screen 0 1920x1080x24"). The figures are only as
// quiet as the machine: the load average is printed before and after the run.
#include <GL/glew.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/nadirport.h"
#include "app/stereo_rig.h"
#include "hmd/tracking/hmd_device.h"
#include "render/batch.h"
#include "render/buffer.h"
#include "render/material.h"
#include "render/program.h"
#include "shell/window_shell.h"
#include "world/glsl_library.h"
#include "world/world.h"

using namespace ombrel;

namespace {

// Replaces the scattered-ray main: one ray per pixel through a pinhole with the demo's mono
// field of view, shaded exactly as the tracer shades its samples, written to the window.
const char* const referenceMain = R"GLSL(uniform vec3 uv3_right;
uniform vec3 uv3_up;
uniform vec2 uv2_scale;
void main(){
ray_t ray;
ray.o = uv3_origin;
ray.d = normalize(uv4_dir.xyz + vv2_pos.x*uv2_scale.x*uv3_right + vv2_pos.y*uv2_scale.y*uv3_up);
float L = trace(ray, uf_near, uf_far);
if(L < 0. || L >= uf_far){ gl_FragColor = vec4(0., 0., 0., 1.); return; }
vec3 pos = ray.o + ray.d*abs(L);
vec3 nor = normal(pos, L*.01);
material_t material = world_material(pos, nor);
vec3 color = world_enlight(uv3_origin, pos, nor, material)
 + enlight_point(uv3_origin, pos, nor, material, light_t(vec3(.5), uv3_origin));
gl_FragColor = vec4(color, 1.);
}
)GLSL";

// The 1, 5 and 15 minute load averages, as the kernel reports them.
std::string loadAverage() {
    char text[64] = "unknown";
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (!std::fgets(text, sizeof text, f))
            std::snprintf(text, sizeof text, "unknown");
        std::fclose(f);
    }
    std::string s = text;
    // Keep the three averages; the rest is the run-queue and last process id.
    size_t cut = 0;
    for (int fields = 0; fields < 3 && cut != std::string::npos; ++fields)
        cut = s.find(' ', cut + (fields ? 1 : 0));
    return cut == std::string::npos ? s : s.substr(0, cut);
}

double nowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

struct Summary {
    double median = 0, p95 = 0;
};

Summary summarise(std::vector<double> v) {
    Summary s;
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    const auto at = [&](double q) {
        const double i = q * double(v.size() - 1);
        const size_t lo = size_t(std::floor(i)), hi = size_t(std::ceil(i));
        return v[lo] + (v[hi] - v[lo]) * (i - double(lo));
    };
    s.median = at(0.5);
    s.p95 = at(0.95);
    return s;
}

struct Options {
    int width = 1280, height = 800;
    int frames = 40;
    int referenceFrames = 5;
    int sector = -1; // all
};

class FrameBench : public IViewport {
public:
    explicit FrameBench(const Options& o) : options_(o) {}

    void init(IViewportHost* host, GraphicsContext* context) override {
        host_ = host;
        demo_.init(host, context);
        // The headset's own description, without the device stack: the rendering half alone.
        Visor::HmdParameters display;
        display.ResolutionH = 1280;
        display.ResolutionV = 800;
        display.ScreenSizeH = 0.14976f;
        display.ScreenSizeV = 0.0936f;
        display.EyeToScreen = 0.041f;
        display.LensSeparation = 0.0635f;
        display.EyeSeparation = 0.064f;
        const float k[4] = {1, 0.22f, 0.24f, 0};
        std::copy(k, k + 4, display.DistortionCoeffs);
        stereo_.setupRendering(display);
    }
    void resize(int width, int height) override { demo_.resize(width, height); }
    void close() override {
        stereo_.close();
        demo_.close();
    }

    void draw(std::uint32_t, float) override {
        if (done_)
            return;
        done_ = true;
        std::printf("renderer: %s, window %dx%d, %d frames per scene, %d reference frames\n",
                    reinterpret_cast<const char*>(glGetString(GL_RENDERER)), demo_.windowWidth,
                    demo_.windowHeight, options_.frames, options_.referenceFrames);
        std::printf("load average before: %s\n", loadAverage().c_str());
        std::printf("%-10s %15s %15s %15s %15s %15s %15s %15s %17s %7s %7s %7s\n", "scene",
                    "trace med/p95", "cloud med/p95", "frame med/p95", "left med/p95",
                    "right med/p95", "warp med/p95", "stereo med/p95", "reference med/p95",
                    "ref/mon", "ref/st", "st/mon");
        for (int s = 0; s < demo_.raymarcher.world.sectorCount(); ++s)
            if (options_.sector < 0 || options_.sector == s)
                measure(s);
        std::printf("times in ms; frame = mono frame, stereo = trace + left + right + warp; "
                    "ratios of medians\n");
        std::printf("load average after: %s\n", loadAverage().c_str());
        host_->quit(0);
    }

private:
    void measure(int sector) {
        const Viewpoint v = arrivalPoint(sector);
        std::vector<double> trace, cloud, frame, reference, left, right, warp, stereo;
        const int w = demo_.windowWidth, h = demo_.windowHeight;

        // The two halves of a frame, each finished before the clock is read.
        demo_.placeViewer(sector, v.position, v.direction);
        glFinish();
        for (int i = 0; i < options_.frames + 4; ++i) {
            const float t = float(i) * 0.016f;
            const double t0 = nowMs();
            demo_.raymarcher.draw(t, demo_.flyer.body.position, demo_.flyer.frame.forward);
            glFinish();
            const double t1 = nowMs();
            glBindFramebuffer(GL_FRAMEBUFFER, 0);
            glViewport(0, 0, w, h);
            glClear(GL_DEPTH_BUFFER_BIT);
            demo_.pointCloud.draw(demo_.monoCamera.projection * demo_.flyer.frame.view);
            glFinish();
            const double t2 = nowMs();
            // The same traced points through the headset's two eyes and the lens warp.
            stereo_.updateEyeMatrices(demo_.flyer.frame.view);
            stereo_.beginEyes();
            stereo_.drawLeftEye(demo_.pointCloud);
            glFinish();
            const double t3 = nowMs();
            stereo_.drawRightEye(demo_.pointCloud);
            glFinish();
            const double t4 = nowMs();
            stereo_.drawDistortion(w, h);
            glFinish();
            const double t5 = nowMs();
            if (i >= 4) { // the first frames fill the four tiles and warm the driver
                trace.push_back(t1 - t0);
                cloud.push_back(t2 - t1);
                left.push_back(t3 - t2);
                right.push_back(t4 - t3);
                warp.push_back(t5 - t4);
                stereo.push_back((t1 - t0) + (t5 - t2));
            }
        }
        // The demo's own draw: input, physics steps, trace and point cloud. The viewer is put
        // back each frame so that every scene is timed from its arrival point.
        std::uint32_t ms = demo_.lastStepMs;
        for (int i = 0; i < options_.frames; ++i) {
            demo_.placeViewer(sector, v.position, v.direction);
            ms += 16;
            const double t0 = nowMs();
            demo_.draw(ms, 0.016f);
            glFinish();
            frame.push_back(nowMs() - t0);
        }
        drawReference(sector, v, reference);

        const Summary tr = summarise(trace), cl = summarise(cloud), fr = summarise(frame),
                      re = summarise(reference), le = summarise(left), ri = summarise(right),
                      wa = summarise(warp), st = summarise(stereo);
        static const char* const names[] = {"start", "warehouse", "metaballs", "endfall",
                                            "landscape"};
        const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
        std::printf("%-10s %7.2f/%7.2f %7.2f/%7.2f %7.2f/%7.2f %7.2f/%7.2f %7.2f/%7.2f "
                    "%7.2f/%7.2f %7.2f/%7.2f %8.1f/%8.1f %6.1fx %6.1fx %6.2fx\n",
                    names[sector], tr.median, tr.p95, cl.median, cl.p95, fr.median, fr.p95,
                    le.median, le.p95, ri.median, ri.p95, wa.median, wa.p95, st.median, st.p95,
                    re.median, re.p95, ratio(re.median, fr.median), ratio(re.median, st.median),
                    ratio(st.median, fr.median));
        std::fflush(stdout);
    }

    void drawReference(int sector, const Viewpoint& v, std::vector<double>& out) {
        const Worldsector& scene = demo_.raymarcher.world.sector(sector);
        std::string fragment;
        fragment += glslPrelude;
        fragment += glslLibrary;
        fragment += scene.worldText;
        fragment += glslTracer;
        fragment += scene.materialText;
        fragment += referenceMain;
        Ref<Program> program = new Program(raymarchVertexSource, fragment.c_str());
        if (!program->linked()) {
            std::printf("reference program for scene %d failed to build (see the log)\n", sector);
            return;
        }
        Ref<Material> material = new Material(program.get());
        Ref<Buffer> quad = new Buffer(GL_ARRAY_BUFFER);
        const float corners[8] = {-1, -1, 1, -1, 1, 1, -1, 1};
        quad->load(corners, sizeof corners);
        Ref<Batch> batch = new Batch();
        batch->setMaterial(material.get());
        batch->setAttribute(glGetAttribLocation(program->name(), "av2_vertex"), quad.get(), 2, 0,
                            0);
        batch->count = 4;
        batch->mode = GL_TRIANGLE_FAN;

        Flyer viewer;
        viewer.place(v.position, v.direction);
        const GLuint p = program->name();
        const float tanHalf = std::tan(demo_.monoCamera.fov * 0.017453292f * 0.5f);
        const float scale[2] = {tanHalf * demo_.monoCamera.aspect, tanHalf};
        const float origin[3] = {v.position.x, v.position.y, v.position.z};
        const float dir[4] = {viewer.frame.forward.x, viewer.frame.forward.y,
                              viewer.frame.forward.z, 2.0f};
        const float right[3] = {viewer.frame.right.x, viewer.frame.right.y, viewer.frame.right.z};
        const float up[3] = {viewer.frame.up.x, viewer.frame.up.y, viewer.frame.up.z};
        const float near = 0.01f, far = scene.far;
        UniformState& u = material->uniforms;
        u.setUniform(glGetUniformLocation(p, "uv3_origin"), UniformVec3, origin);
        u.setUniform(glGetUniformLocation(p, "uv4_dir"), UniformVec4, dir);
        u.setUniform(glGetUniformLocation(p, "uv3_right"), UniformVec3, right);
        u.setUniform(glGetUniformLocation(p, "uv3_up"), UniformVec3, up);
        u.setUniform(glGetUniformLocation(p, "uv2_scale"), UniformVec2, scale);
        u.setUniform(glGetUniformLocation(p, "uf_near"), UniformFloat, &near);
        u.setUniform(glGetUniformLocation(p, "uf_far"), UniformFloat, &far);
        const GLint timeLocation = glGetUniformLocation(p, "uf_t");

        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        glViewport(0, 0, demo_.windowWidth, demo_.windowHeight);
        glDisable(GL_DEPTH_TEST); // a full-screen pass; restored below for the demo
        for (int i = 0; i < options_.referenceFrames + 1; ++i) {
            const float t = float(i) * 0.016f;
            u.setUniform(timeLocation, UniformFloat, &t);
            const double t0 = nowMs();
            batch->draw();
            glFinish();
            if (i >= 1)
                out.push_back(nowMs() - t0);
        }
        glEnable(GL_DEPTH_TEST);
    }

    Options options_;
    Nadirport demo_;
    StereoRig stereo_;
    IViewportHost* host_ = nullptr;
    bool done_ = false;
};

bool parseArgs(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc)
            return false;
        const char* v = argv[++i];
        if (a == "--size") {
            if (std::sscanf(v, "%dx%d", &o.width, &o.height) != 2 || o.width < 16 || o.height < 16)
                return false;
        } else if (a == "--frames") {
            o.frames = std::atoi(v);
        } else if (a == "--reference-frames") {
            o.referenceFrames = std::atoi(v);
        } else if (a == "--sector") {
            o.sector = std::atoi(v);
        } else {
            return false;
        }
    }
    return o.frames > 0 && o.referenceFrames > 0 && o.sector >= -1 && o.sector < World::sceneCount;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseArgs(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: app_frame_bench [--size WxH] [--frames N] "
                     "[--reference-frames N] [--sector 0-%d]\n",
                     World::sceneCount - 1);
        return 2;
    }
    FrameBench bench(options);
    WindowShell shell(&bench, options.width, options.height);
    if (!shell.created())
        return 1;
    return shell.run();
}
