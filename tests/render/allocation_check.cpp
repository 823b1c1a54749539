// Proves that setting uniforms, samplers and attributes and drawing allocate nothing: this
// binary replaces the global operator new and counts every call around a draw loop. The GL
// driver's own C malloc calls are not counted; the claim is about this code.
#include "render_fixture.h"

#include <cstdlib>
#include <new>

// The replaced operators pair malloc with free, which GCC misreads once they are inlined.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
long allocations = 0;
} // namespace

// Array forms reach these through the library's definitions (the sanitizer's are uncounted).
void* operator new(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    ++allocations;
    return std::malloc(size ? size : 1);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

using namespace render_test;

using Allocations = GlTest;

TEST_F(Allocations, UniformsSamplersAttributesMaterialSwapsAndDrawsAllocateNothing) {
    Ref<Framebuffer> target = makeTarget({7});
    Ref<Batch> batch =
        makeQuadBatch("uniform float uf_t; uniform vec4 uv4_d;"
                      "uniform mat4 um4_m; uniform sampler2D us2_a, us2_b;\n"
                      "void main(){ gl_FragData[0] = um4_m * uv4_d + uf_t"
                      " + texture2D(us2_a, vec2(.5)) + texture2D(us2_b, vec2(.5)); }");
    Ref<Material> materials[2] = {batch->material, new Material(batch->material->program.get())};
    Ref<Buffer> quad = makeQuad();
    Ref<Texture> a = makeTexture(5, 1, 1), b = makeTexture(7, 1, 1);
    const GLint vertex = glGetAttribLocation(batch->material->program->name(), "av2_vertex");
    auto frame = [&](int i) {
        Material* material = materials[i % 2].get();
        batch->setMaterial(material); // the raymarcher's per-frame material swap
        const float values[16] = {float(i), 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
        material->uniforms.setUniform(uniform(*batch, "uf_t"), UniformFloat, values);
        material->uniforms.setUniform(uniform(*batch, "uv4_d"), UniformVec4, values);
        batch->uniforms.setUniform(uniform(*batch, "um4_m"), UniformMat4, values);
        material->uniforms.setSampler(uniform(*batch, "us2_a"), i % 3 ? a.get() : b.get());
        material->uniforms.setSampler(uniform(*batch, "us2_b"), b.get());
        batch->clearAttributes();
        batch->setAttribute(vertex, quad.get(), 2, 0, 0);
        target->bind();
        batch->draw();
    };
    frame(0); // the driver builds its shader variants on first use
    frame(1);
    const long before = allocations;
    delete new int(3); // the counter sees ordinary allocations
    EXPECT_EQ(allocations - before, 1);
    for (int i = 0; i < 500; ++i)
        frame(i);
    EXPECT_EQ(allocations - before, 1);
    EXPECT_NE(readPixel<Rgba32f>(*target, 0, 1, 1)[3], 0.0f);
}
