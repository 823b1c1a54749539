// Uniform blocks, materials and batches, shown by what real draws render.
#include "render_fixture.h"

#include <cmath>
#include <string>
#include <vector>

using namespace render_test;

namespace {

class BatchDraw : public GlTest {};

// Each row: setUniform calls (location, type; values count up from `first`), then one lookup.
TEST(UniformSlots, EightSlotsSixtyFourFloatsAndASlotKeepsItsFirstSize) {
    struct Call {
        GLint location;
        uint32_t type;
        float first;
    };
    const uint32_t f = UniformFloat, m = UniformMat4;
    const struct {
        const char* name;
        std::vector<Call> calls;
        GLint probe;
        float want; // NaN: not stored
    } rows[] = {
        // clang-format off
        {"ninth location ignored", {{0, f, 0}, {1, f, 1}, {2, f, 2}, {3, f, 3}, {4, f, 4},
                                    {5, f, 5}, {6, f, 6}, {7, f, 7}, {8, f, 8}}, 8, NAN},
        {"same location reuses its slot", {{0, f, 0}, {1, f, 1}, {2, f, 2}, {3, f, 3}, {4, f, 4},
                                           {5, f, 5}, {6, f, 6}, {0, f, 10}, {7, f, 7}}, 7, 7},
        {"same location overwrites", {{3, f, 1}, {3, f, 10}}, 3, 10},
        {"64th float kept", {{0, m, 0}, {1, m, 0}, {2, m, 0}, {3, m, 9}}, 3, 9},
        {"past 64 floats", {{0, m, 0}, {1, m, 0}, {2, m, 0}, {3, m, 0}, {4, f, 4}}, 4, NAN},
        {"larger type stays in its slot", {{5, f, 1}, {6, f, 2}, {5, UniformVec4, 10}}, 6, 2},
        // clang-format on
    };
    for (const auto& row : rows) {
        UniformState uniforms;
        for (const Call& call : row.calls) {
            float values[16];
            for (int i = 0; i < 16; ++i)
                values[i] = call.first + float(i);
            uniforms.setUniform(call.location, call.type, values);
        }
        const float* got = uniforms.find(row.probe);
        if (std::isnan(row.want))
            EXPECT_EQ(got, nullptr) << row.name;
        else
            EXPECT_TRUE(got && *got == row.want) << row.name;
    }
}

TEST_F(BatchDraw, UploadsEveryValueAtEveryDrawBatchAfterMaterialIntoExactAttachments) {
    Ref<Framebuffer> target = makeTarget({7, 5});
    Ref<Batch> batch = makeQuadBatch("uniform vec4 uv4_position; uniform vec4 uv4_color;\n"
                                     "void main(){ gl_FragData[0] = uv4_position;\n"
                                     "gl_FragData[1] = uv4_color; }");
    const float position[4] = {1.5f, -2.25f, 123456.75f, 0.123456789f}, other[4] = {};
    const float color[4] = {51 / 255.0f, 1, 0, 200 / 255.0f};
    batch->material->uniforms.setUniform(uniform(*batch, "uv4_position"), UniformVec4, other);
    batch->material->uniforms.setUniform(uniform(*batch, "uv4_color"), UniformVec4, color);
    batch->uniforms.setUniform(uniform(*batch, "uv4_position"), UniformVec4, position);
    batch->draw();
    // Something else changes the program's value behind the material's back.
    glUseProgram(batch->material->program->name());
    glUniform4f(uniform(*batch, "uv4_color"), 1, 1, 1, 1);
    batch->draw();
    for (int at : {0, kSize - 1}) {
        EXPECT_EQ(readPixel<Rgba32f>(*target, 0, at, at),
                  (Rgba32f{position[0], position[1], position[2], position[3]}));
        EXPECT_EQ(readPixel<Rgba8>(*target, 1, at, at), (Rgba8{51, 255, 0, 200}));
    }
}

TEST_F(BatchDraw, SamplerTableHoldsTwoAndReplacesByLocation) {
    Ref<Framebuffer> target = makeTarget({5, 5});
    Ref<Batch> batch = makeQuadBatch("uniform sampler2D us2_a, us2_b;\nvoid main(){\n"
                                     "gl_FragData[0] = texture2D(us2_a, vec2(.5));\n"
                                     "gl_FragData[1] = texture2D(us2_b, vec2(.5)); }");
    Ref<Texture> textures[4];
    for (uint8_t i = 0; i < 4; ++i) {
        textures[i] = makeTexture(5, 1, 1);
        const Rgba8 texel{i, i, i, i};
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, texel.data());
    }
    UniformState& uniforms = batch->material->uniforms;
    const GLint a = uniform(*batch, "us2_a"), b = uniform(*batch, "us2_b");
    uniforms.setSampler(a, textures[0].get());
    uniforms.setSampler(b, textures[1].get());
    uniforms.setSampler(a + b + 1, textures[2].get()); // table full: ignored
    uniforms.setSampler(b, textures[3].get());         // replaces 1
    EXPECT_EQ(textures[1]->refCount() + textures[2]->refCount(), 2);
    target->bind();
    batch->draw();
    EXPECT_EQ(readPixel<Rgba8>(*target, 0, 2, 2)[0], 0);
    EXPECT_EQ(readPixel<Rgba8>(*target, 1, 2, 2)[0], 3);
}

// A default material leaves blend and depth state as they were; no attribute stays enabled.
TEST_F(BatchDraw, LeavesStateAsItWasAndTheAttributeTableHoldsEight) {
    Ref<Framebuffer> target = makeTarget({5});
    Ref<Batch> batch = makeQuadBatch("void main(){ gl_FragData[0] = vec4(1.); }");
    Ref<Buffer> extra = makeQuad();
    for (int i = 1; i < 9; ++i)
        batch->setAttribute(i, extra.get(), 2, 0, 8);
    EXPECT_EQ(extra->refCount(), 8); // the ninth (location 8) is ignored
    for (bool on : {true, false}) {
        on ? glEnable(GL_BLEND) : glDisable(GL_BLEND);
        on ? glEnable(GL_DEPTH_TEST) : glDisable(GL_DEPTH_TEST);
        glDepthMask(on ? GL_FALSE : GL_TRUE);
        glDepthFunc(on ? GL_GEQUAL : GL_LESS);
        batch->draw();
        GLint mask = -1, func = 0, max = 0, enabled = 0;
        glGetIntegerv(GL_DEPTH_WRITEMASK, &mask);
        glGetIntegerv(GL_DEPTH_FUNC, &func);
        EXPECT_EQ(glIsEnabled(GL_BLEND) + glIsEnabled(GL_DEPTH_TEST), on ? 2 : 0);
        EXPECT_EQ(mask, on ? GL_FALSE : GL_TRUE);
        EXPECT_EQ(func, on ? GL_GEQUAL : GL_LESS);
        glGetIntegerv(GL_MAX_VERTEX_ATTRIBS, &max);
        for (GLint i = 0; i < max; ++i) {
            glGetVertexAttribiv(i, GL_VERTEX_ATTRIB_ARRAY_ENABLED, &enabled);
            EXPECT_EQ(enabled, 0) << "attribute " << i;
        }
    }
    EXPECT_EQ(readPixel<Rgba8>(*target, 0, 4, 4), (Rgba8{255, 255, 255, 255}));
    batch->clearAttributes();
    EXPECT_EQ(extra->refCount(), 1);
}

TEST_F(BatchDraw, FailedProgramOrMissingMaterialDrawsNothing) {
    Ref<Framebuffer> target = makeTarget({5});
    ombrel::test::LogCapture capture;
    Ref<Batch> batch = makeQuadBatch("void main(){ gl_FragData[0] = broken; }");
    EXPECT_EQ(glGetError(), GLenum(GL_INVALID_VALUE)); // lookups on name 0 answer -1
    // Attribute 0 exercises the fixed-function path a compatibility context would otherwise take.
    Ref<Buffer> quad = makeQuad();
    batch->setAttribute(0, quad.get(), 2, 0, 0);
    batch->draw();
    EXPECT_EQ(readPixel<Rgba8>(*target, 0, 4, 4), (Rgba8{0, 0, 0, 0}));
    capture.clear();
    Ref<Batch> bare = new Batch();
    bare->count = 4;
    bare->draw();
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0].rfind("Batch::draw: no material", 0), 0u);
}

} // namespace
