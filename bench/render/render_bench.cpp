// Costs of the render core's hot paths: matrix products, uniform table updates and uploads,
// and batch draws into an offscreen target. GL cases skip when no context can be made.
#include "render/batch.h"
#include "render/buffer.h"
#include "render/material.h"
#include "render/math.h"
#include "render/program.h"
#include "render/texture.h"

#include <GLFW/glfw3.h>
#include <benchmark/benchmark.h>

#include <vector>

using namespace ombrel;

namespace {

bool makeContext() {
    static GLFWwindow* window = nullptr;
    static bool tried = false;
    if (tried)
        return window != nullptr;
    tried = true;
    if (!glfwInit())
        return false;
    glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 2);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 1);
    window = glfwCreateWindow(64, 64, "", nullptr, nullptr);
    if (!window)
        return false;
    glfwMakeContextCurrent(window);
    glewExperimental = GL_TRUE;
    return glewInit() == GLEW_OK;
}

const char* const kVertex = "attribute vec2 av2_vertex;\n"
                            "void main(){ gl_Position = vec4(av2_vertex, 0., 1.); }";
const char* const kFragment = "uniform float uf_t; uniform vec3 uv3_origin;\n"
                              "uniform vec4 uv4_dir; uniform mat4 um4_mvp;\n"
                              "void main(){\n"
                              "gl_FragData[0] = um4_mvp * uv4_dir + vec4(uv3_origin, uf_t);\n"
                              "}";

// The point cloud's shape: textured points drawn from a static buffer of texel coordinates.
const char* const kPointVertex = "uniform mat4 um4_mvp;\n"
                                 "uniform sampler2D us2_coords;\n"
                                 "attribute vec2 av2_vertex;\n"
                                 "void main(){\n"
                                 "vec4 posz = texture2D(us2_coords, av2_vertex);\n"
                                 "gl_Position = um4_mvp * vec4(posz.xyz, 1.);\n"
                                 "gl_PointSize = 1.;\n"
                                 "}";
const char* const kPointFragment = "void main(){ gl_FragColor = vec4(1.); }";

void BM_Mat4Product(benchmark::State& state) {
    Camera camera(vec3(1, 1, 1), vec3(0, 0, 0), vec3(0, 1, 0), 60, 1, 0.1f, 100);
    mat4 m = camera.projection;
    for (auto _ : state) {
        m = m * camera.view;
        benchmark::DoNotOptimize(m);
        m = camera.projection;
    }
}
BENCHMARK(BM_Mat4Product);

void BM_CameraUpdate(benchmark::State& state) {
    Camera camera(vec3(1, 1, 1), vec3(0, 0, 0), vec3(0, 1, 0), 60, 1, 0.1f, 100);
    float x = 0;
    for (auto _ : state) {
        camera.translation.x = x += 0.001f;
        camera.update();
        benchmark::DoNotOptimize(camera.viewProjection);
    }
}
BENCHMARK(BM_CameraUpdate);

// The raymarcher's per-frame uniform block: eight slots walked for the last one.
void BM_SetUniformInAFullTable(benchmark::State& state) {
    UniformState uniforms;
    const float values[16] = {};
    for (int location = 0; location < 8; ++location)
        uniforms.setUniform(location, location == 7 ? UniformMat4 : UniformVec4, values);
    for (auto _ : state) {
        uniforms.setUniform(7, UniformMat4, values);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_SetUniformInAFullTable);

void BM_BatchDrawQuad(benchmark::State& state) {
    if (!makeContext()) {
        state.SkipWithError("no GL context (run under xvfb-run)");
        return;
    }
    const int size = int(state.range(0));
    Ref<Framebuffer> target = new Framebuffer();
    Ref<Texture> positions = new Texture(), colors = new Texture();
    positions->setup(TextureMeta(size, size, TextureRGBA32F));
    colors->setup(TextureMeta(size, size, TextureRGBA8));
    target->attachColor(positions.get(), 0);
    target->attachColor(colors.get(), 1);
    const float quad[8] = {-1, -1, 1, -1, 1, 1, -1, 1};
    Ref<Buffer> buffer = new Buffer(GL_ARRAY_BUFFER);
    buffer->load(quad, sizeof quad);
    Ref<Program> program = new Program(kVertex, kFragment);
    Ref<Material> material = new Material(program.get());
    Ref<Batch> batch = new Batch();
    batch->setMaterial(material.get());
    batch->count = 4;
    batch->mode = GL_TRIANGLE_FAN;
    const GLint vertex = glGetAttribLocation(program->name(), "av2_vertex");
    const GLint t = glGetUniformLocation(program->name(), "uf_t");
    const GLint mvp = glGetUniformLocation(program->name(), "um4_mvp");
    target->bind();
    glViewport(0, 0, size, size);
    const mat4 identity;
    float time = 0;
    for (auto _ : state) {
        time += 0.016f;
        material->uniforms.setUniform(t, UniformFloat, &time);
        material->uniforms.setUniform(mvp, UniformMat4, identity.m);
        batch->clearAttributes();
        batch->setAttribute(vertex, buffer.get(), 2, 0, 0);
        batch->draw();
        glFinish(); // the driver queues work; count it in the iteration that issued it
    }
    state.SetItemsProcessed(state.iterations() * size * size);
}
BENCHMARK(BM_BatchDrawQuad)->Arg(8)->Arg(128)->Unit(benchmark::kMicrosecond);

// 65536 points reading a float texture: the per-eye cost of the point-cloud pass.
void BM_BatchDrawPoints(benchmark::State& state) {
    if (!makeContext()) {
        state.SkipWithError("no GL context (run under xvfb-run)");
        return;
    }
    const int side = 256;
    Ref<Framebuffer> target = new Framebuffer();
    Ref<Texture> color = new Texture(), coords = new Texture();
    color->setup(TextureMeta(side, side, TextureRGBA8));
    coords->setup(TextureMeta(side, side, TextureRGBA32F));
    target->attachColor(color.get(), 0);
    std::vector<float> vertices(size_t(side) * side * 2);
    for (int i = 0; i < side * side; ++i) {
        vertices[size_t(i) * 2] = float(i % side) / side;
        vertices[size_t(i) * 2 + 1] = float(i / side) / side;
    }
    Ref<Buffer> buffer = new Buffer(GL_ARRAY_BUFFER);
    buffer->load(vertices.data(), uint32_t(vertices.size() * sizeof(float)));
    Ref<Program> program = new Program(kPointVertex, kPointFragment);
    Ref<Material> material = new Material(program.get());
    material->uniforms.setSampler(glGetUniformLocation(program->name(), "us2_coords"),
                                  coords.get());
    Ref<Batch> batch = new Batch();
    batch->setMaterial(material.get());
    batch->setAttribute(glGetAttribLocation(program->name(), "av2_vertex"), buffer.get(), 2, 0, 8);
    batch->count = side * side;
    batch->mode = GL_POINTS;
    const GLint mvp = glGetUniformLocation(program->name(), "um4_mvp");
    target->bind();
    glViewport(0, 0, side, side);
    const mat4 identity;
    for (auto _ : state) {
        material->uniforms.setUniform(mvp, UniformMat4, identity.m);
        batch->draw();
        glFinish(); // the driver queues work; count it in the frame that issued it
    }
    state.SetItemsProcessed(state.iterations() * side * side);
}
BENCHMARK(BM_BatchDrawPoints)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
