// Proves that setting uniforms, samplers and attributes and drawing allocate nothing: this
// binary replaces the global operator new and counts every call around a draw loop. The GL
// driver's own C malloc calls inside glDrawArrays are not counted; the claim is about this code.
#include "render/math.h"
#include "render_fixture.h"

#include <cstdlib>
#include <new>

namespace {
long allocations = 0;
} // namespace

void* operator new(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    ++allocations;
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

using namespace render_test;
using ombrel::UniformFloat;
using ombrel::UniformMat4;
using ombrel::UniformVec3;
using ombrel::UniformVec4;

namespace {
class Allocations : public GlTest {};
} // namespace

TEST_F(Allocations, CounterSeesOrdinaryAllocations) {
    const long before = allocations;
    delete new int(3);
    EXPECT_EQ(allocations - before, 1);
}

TEST_F(Allocations, UniformsAttributesAndDrawsAllocateNothing) {
    const char* fragment = "uniform float uf_t; uniform vec3 uv3_origin; uniform vec4 uv4_dir;\n"
                           "uniform mat4 um4_mvp; uniform sampler2D us2_a;\n"
                           "uniform sampler2D us2_b;\n"
                           "void main(){\n"
                           "gl_FragData[0] = um4_mvp * uv4_dir + vec4(uv3_origin, uf_t)\n"
                           "  + texture2D(us2_a, vec2(.5)) + texture2D(us2_b, vec2(.5));\n"
                           "}";
    Ref<Framebuffer> target = makeTarget({7, 5});
    Ref<Batch> batch = makeQuadBatch(fragment);
    Ref<Material> other = new Material(batch->material->program.get());
    Ref<Buffer> quad = makeQuad();
    Ref<Texture> a = makeTexture(5, 1, 1), b = makeTexture(7, 1, 1);
    GLint program = batch->material->program->name();
    GLint vertex = glGetAttribLocation(program, "av2_vertex");
    GLint t = glGetUniformLocation(program, "uf_t");
    GLint origin = glGetUniformLocation(program, "uv3_origin");
    GLint dir = glGetUniformLocation(program, "uv4_dir");
    GLint mvp = glGetUniformLocation(program, "um4_mvp");
    GLint samplerA = glGetUniformLocation(program, "us2_a");
    GLint samplerB = glGetUniformLocation(program, "us2_b");

    Camera camera(vec3(0, 0, 5), vec3(0, 0, 0), vec3(0, 1, 0), 60, 1, 0.1f, 100);
    auto frame = [&](int i) {
        Material* material = i % 2 ? other.get() : batch->material.get();
        // The material swap of the raymarcher: the batch's reference changes every frame.
        Ref<Material> keep = batch->material;
        batch->setMaterial(material);
        float time = float(i) * 0.016f;
        camera.translation = vec3(0, 0, -5 - time);
        camera.update();
        mat4 upload = camera.viewProjection.transposed();
        const vec4 direction(camera.forward, 2.0f);
        material->uniforms.setUniform(t, UniformFloat, &time);
        material->uniforms.setUniform(origin, UniformVec3, &camera.translation.x);
        material->uniforms.setUniform(dir, UniformVec4, &direction.x);
        batch->uniforms.setUniform(mvp, UniformMat4, upload.m);
        material->uniforms.setSampler(samplerA, i % 3 ? a.get() : b.get());
        material->uniforms.setSampler(samplerB, b.get());
        batch->clearAttributes();
        batch->setAttribute(vertex, quad.get(), 2, 0, 0);
        target->bind();
        batch->draw();
        batch->setMaterial(keep.get());
    };
    frame(0); // the driver builds its shader variants on first use
    frame(1);

    const long before = allocations;
    for (int i = 0; i < 500; ++i)
        frame(i);
    EXPECT_EQ(allocations - before, 0);
    EXPECT_NE(readFloat(*target, 0, 1, 1)[3], 0.0f);
}
