// Shared pieces of the GL tests: a clean context per test, a full-screen quad batch, small
// targets and read-back.
#pragma once

#include "render/batch.h" // with buffers, materials, programs and textures
#include "tests/support/gl_test_context.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <array>

namespace render_test {

using namespace ombrel;

inline const char* const kQuadVertex =
    "attribute vec2 av2_vertex;\nvoid main(){ gl_Position = vec4(av2_vertex, 0., 1.); }";

inline const float kQuad[8] = {-1, -1, 1, -1, 1, 1, -1, 1}; // a triangle fan over the viewport

using Rgba32f = std::array<float, 4>;
using Rgba8 = std::array<uint8_t, 4>;

// Texel (x, y) of colour attachment `slot`, as floats or as bytes.
template <typename Pixel> Pixel readPixel(const Framebuffer& framebuffer, int slot, int x, int y) {
    Pixel p{};
    glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer.name());
    glReadBuffer(GL_COLOR_ATTACHMENT0 + slot);
    glReadPixels(x, y, 1, 1, GL_RGBA, sizeof p[0] == 1 ? GL_UNSIGNED_BYTE : GL_FLOAT, p.data());
    return p;
}

// A context, a clean GL state and a square offscreen target of float and 8-bit colour textures.
class GlTest : public ::testing::Test {
protected:
    static constexpr int kSize = 8;

    void SetUp() override {
        OMBREL_REQUIRE_GL();
        while (glGetError() != GL_NO_ERROR) {
        }
        glDisable(GL_BLEND);
        glDisable(GL_DEPTH_TEST);
    }
    void TearDown() override {
        if (!ombrel::test::glTestWindow())
            return; // SetUp found no context: nothing to reset
        ombrel::Framebuffer::bind(nullptr);
        glBindBuffer(GL_ARRAY_BUFFER, 0);
        glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
        glUseProgram(0);
        EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    }

    Ref<Texture> makeTexture(int format, int width = kSize, int height = kSize) {
        Ref<Texture> texture = new Texture();
        texture->setup(TextureMeta(width, height, format));
        return texture;
    }
    // Slot i gets formats[i]; the target is bound, cleared to zero and fills the viewport.
    Ref<Framebuffer> makeTarget(std::initializer_list<int> formats) {
        Ref<Framebuffer> framebuffer = new Framebuffer();
        int slot = 0;
        for (int format : formats)
            framebuffer->attachColor(makeTexture(format).get(), slot++);
        framebuffer->bind();
        glViewport(0, 0, kSize, kSize);
        glClearColor(0, 0, 0, 0);
        glClear(GL_COLOR_BUFFER_BIT);
        return framebuffer;
    }

    static Ref<Buffer> makeQuad() {
        Ref<Buffer> quad = new Buffer(GL_ARRAY_BUFFER);
        quad->load(kQuad, sizeof kQuad);
        return quad;
    }
    // A batch drawing the quad as a triangle fan with the given fragment text.
    Ref<Batch> makeQuadBatch(const char* fragment) {
        Ref<Program> program = new Program(kQuadVertex, fragment);
        Ref<Batch> batch = new Batch();
        batch->setMaterial(new Material(program.get()));
        batch->setAttribute(glGetAttribLocation(program->name(), "av2_vertex"), makeQuad().get(), 2,
                            0, 0);
        batch->count = 4;
        batch->mode = GL_TRIANGLE_FAN;
        return batch;
    }

    static GLint uniform(const Batch& batch, const char* name) {
        return glGetUniformLocation(batch.material->program->name(), name);
    }
};

} // namespace render_test
