// Buffers, uniform blocks, materials and batches, shown by what real draws render.
#include "render_fixture.h"

#include <string>

using namespace render_test;
using ombrel::UniformFloat;
using ombrel::UniformMat4;
using ombrel::UniformState;
using ombrel::UniformVec4;

namespace {

const char* const kNineFloats = "uniform float uf_0; uniform float uf_1; uniform float uf_2;\n"
                                "uniform float uf_3; uniform float uf_4; uniform float uf_5;\n"
                                "uniform float uf_6; uniform float uf_7; uniform float uf_8;\n"
                                "void main(){\n"
                                "gl_FragData[0] = vec4(uf_0, uf_1, uf_2, uf_3);\n"
                                "gl_FragData[1] = vec4(uf_4, uf_5, uf_6, uf_7);\n"
                                "gl_FragData[2] = vec4(uf_8, 0., 0., 1.);\n"
                                "}";

const char* const kFloatAndByte = "uniform vec4 uv4_position;\n"
                                  "uniform vec4 uv4_color;\n"
                                  "void main(){\n"
                                  "gl_FragData[0] = uv4_position;\n"
                                  "gl_FragData[1] = uv4_color;\n"
                                  "}";

const char* const kWhite = "void main(){ gl_FragData[0] = vec4(1.); }";

class BatchDraw : public GlTest {};
class UniformSlots : public GlTest {};
class MaterialState : public GlTest {};
class BufferLoad : public GlTest {};

} // namespace

// --- Uniform slot tables --------------------------------------------------------------------

TEST_F(UniformSlots, SameLocationTwiceKeepsOneSlotAndTheNinthLocationIsIgnored) {
    Ref<Framebuffer> target = makeTarget({7, 7, 7});
    Ref<Batch> batch = makeQuadBatch(kNineFloats);
    UniformState& uniforms = batch->material->uniforms;
    for (int i = 0; i < 8; ++i) {
        float value = float(i + 1);
        uniforms.setUniform(uniform(*batch, ("uf_" + std::to_string(i)).c_str()), UniformFloat,
                            &value);
    }
    float again = 10, ninth = 9;
    uniforms.setUniform(uniform(*batch, "uf_0"), UniformFloat, &again);
    uniforms.setUniform(uniform(*batch, "uf_8"), UniformFloat, &ninth);
    EXPECT_EQ(uniforms.find(uniform(*batch, "uf_8")), nullptr);
    batch->draw();

    EXPECT_EQ(readFloat(*target, 0, 3, 3), (Rgba32f{10, 2, 3, 4}));
    EXPECT_EQ(readFloat(*target, 1, 3, 3), (Rgba32f{5, 6, 7, 8}));
    EXPECT_EQ(readFloat(*target, 2, 3, 3), (Rgba32f{0, 0, 0, 1}));
}

TEST_F(UniformSlots, BatchValuesFollowTheMaterialsAndAllAreUploadedAtEveryDraw) {
    Ref<Framebuffer> target = makeTarget({7, 7, 7});
    Ref<Batch> batch = makeQuadBatch(kNineFloats);
    float fromMaterial = 1, fromBatch = 2, other = 3;
    batch->material->uniforms.setUniform(uniform(*batch, "uf_1"), UniformFloat, &fromMaterial);
    batch->material->uniforms.setUniform(uniform(*batch, "uf_3"), UniformFloat, &other);
    batch->uniforms.setUniform(uniform(*batch, "uf_1"), UniformFloat, &fromBatch);
    batch->draw();
    // Something else changes the program's value behind the material's back.
    glUseProgram(batch->material->program->name());
    glUniform1f(uniform(*batch, "uf_3"), 99);
    glUseProgram(0);
    batch->draw();
    EXPECT_EQ(readFloat(*target, 0, 0, 0), (Rgba32f{0, 2, 0, 3}));
}

// 64 floats of storage: a value that does not fit is dropped whole, and a larger type at an
// existing location stays inside the slot it already has.
TEST(UniformStorage, ValuesThatDoNotFitAreIgnoredAndSlotsKeepTheirSize) {
    UniformState uniforms;
    float matrix[16];
    for (int i = 0; i < 16; ++i)
        matrix[i] = float(i);
    for (int location = 0; location < 4; ++location)
        uniforms.setUniform(location, UniformMat4, matrix);
    float value = 7;
    uniforms.setUniform(4, UniformFloat, &value);
    EXPECT_EQ(uniforms.slot(4).type, 0u);
    EXPECT_EQ(uniforms.find(4), nullptr);
    EXPECT_EQ(uniforms.values()[63], 15.0f);

    UniformState small;
    float one = 1, two = 2;
    small.setUniform(5, UniformFloat, &one);
    small.setUniform(6, UniformFloat, &two);
    const float vec[4] = {10, 20, 30, 40};
    small.setUniform(5, UniformVec4, vec);
    EXPECT_EQ(small.slot(0).type, uint32_t(UniformFloat));
    EXPECT_EQ(*small.find(5), 10.0f);
    EXPECT_EQ(*small.find(6), 2.0f);
}

TEST_F(UniformSlots, SamplerTableHoldsTwoAndReplacesByLocation) {
    const char* fragment = "uniform sampler2D us2_a; uniform sampler2D us2_b;\n"
                           "uniform sampler2D us2_c;\n"
                           "void main(){\n"
                           "gl_FragData[0] = texture2D(us2_a, vec2(.5));\n"
                           "gl_FragData[1] = texture2D(us2_b, vec2(.5));\n"
                           "gl_FragData[2] = texture2D(us2_c, vec2(.5));\n"
                           "}";
    Ref<Framebuffer> target = makeTarget({5, 5, 5});
    Ref<Batch> batch = makeQuadBatch(fragment);
    auto solid = [&](Rgba8 color) {
        Ref<Texture> texture = makeTexture(5, 1, 1);
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, color.data());
        return texture;
    };
    Ref<Texture> a = solid({10, 20, 30, 40}), b = solid({50, 60, 70, 80});
    Ref<Texture> c = solid({90, 100, 110, 120}), d = solid({130, 140, 150, 160});
    UniformState& uniforms = batch->material->uniforms;
    uniforms.setSampler(uniform(*batch, "us2_a"), a.get());
    uniforms.setSampler(uniform(*batch, "us2_b"), b.get());
    uniforms.setSampler(uniform(*batch, "us2_c"), c.get()); // table full: ignored
    uniforms.setSampler(uniform(*batch, "us2_b"), d.get()); // replaces b
    EXPECT_EQ(c->refCount(), 1);
    EXPECT_EQ(b->refCount(), 1);
    EXPECT_EQ(uniforms.sampler(1).texture, d.get());
    target->bind();
    batch->draw();

    EXPECT_EQ(readByte(*target, 0, 2, 2), (Rgba8{10, 20, 30, 40}));
    EXPECT_EQ(readByte(*target, 1, 2, 2), (Rgba8{130, 140, 150, 160}));
    // The ignored sampler keeps its default unit 0, which shows the first texture.
    EXPECT_EQ(readByte(*target, 2, 2, 2), (Rgba8{10, 20, 30, 40}));
}

// --- Drawing ----------------------------------------------------------------------------------

TEST_F(BatchDraw, WritesExactFloatAndByteAttachments) {
    Ref<Framebuffer> target = makeTarget({7, 5});
    Ref<Batch> batch = makeQuadBatch(kFloatAndByte);
    const float position[4] = {1.5f, -2.25f, 123456.75f, 0.123456789f};
    const float color[4] = {51 / 255.0f, 1, 0, 200 / 255.0f};
    batch->material->uniforms.setUniform(uniform(*batch, "uv4_position"), UniformVec4, position);
    batch->material->uniforms.setUniform(uniform(*batch, "uv4_color"), UniformVec4, color);
    batch->draw();
    for (int y : {0, kSize - 1})
        for (int x : {0, kSize - 1}) {
            EXPECT_EQ(readFloat(*target, 0, x, y),
                      (Rgba32f{position[0], position[1], position[2], position[3]}));
            EXPECT_EQ(readByte(*target, 1, x, y), (Rgba8{51, 255, 0, 200}));
        }
}

TEST_F(BatchDraw, FirstCountsVerticesWithoutIndicesAndBytesWithThem) {
    Ref<Framebuffer> target = makeTarget({5});
    Ref<Batch> batch = makeQuadBatch(kWhite);
    const Rgba8 white{255, 255, 255, 255}, none{0, 0, 0, 0};
    // Corners 1, 2, 3: the upper-right triangle only.
    batch->mode = GL_TRIANGLES;
    batch->first = 1;
    batch->count = 3;
    batch->draw();
    EXPECT_EQ(readByte(*target, 0, kSize - 1, kSize - 1), white);
    EXPECT_EQ(readByte(*target, 0, 0, 0), none);

    // Three unused indices, then the upper-left triangle (0, 2, 3).
    glClear(GL_COLOR_BUFFER_BIT);
    const uint16_t indices[6] = {0, 1, 2, 0, 2, 3};
    batch->indexBuffer = new Buffer(GL_ELEMENT_ARRAY_BUFFER);
    batch->indexBuffer->load(indices, sizeof indices);
    batch->indexType = GL_UNSIGNED_SHORT;
    batch->first = 3 * sizeof(uint16_t);
    batch->draw();
    EXPECT_EQ(readByte(*target, 0, 0, kSize - 1), white);
    EXPECT_EQ(readByte(*target, 0, kSize - 1, 0), none);
}

TEST_F(BatchDraw, LeavesNoVertexAttributeArrayEnabled) {
    Ref<Framebuffer> target = makeTarget({5});
    Ref<Batch> batch = makeQuadBatch(kWhite);
    Ref<Buffer> extra = makeQuad();
    batch->setAttribute(3, extra.get(), 2, 0, 8);
    batch->draw();
    GLint max = 0;
    glGetIntegerv(GL_MAX_VERTEX_ATTRIBS, &max);
    for (GLint i = 0; i < max; ++i) {
        GLint enabled = 1;
        glGetVertexAttribiv(i, GL_VERTEX_ATTRIB_ARRAY_ENABLED, &enabled);
        EXPECT_EQ(enabled, 0) << "attribute " << i;
    }
}

TEST_F(BatchDraw, AttributeTableIgnoresANinthAndClearReleasesBuffers) {
    OMBREL_REQUIRE_GL();
    Ref<Batch> batch = new Batch();
    Ref<Buffer> buffer = new Buffer();
    for (int i = 0; i < 9; ++i)
        batch->setAttribute(i, buffer.get(), 2, 0, 0);
    EXPECT_EQ(buffer->refCount(), 9);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(batch->attributes[i].location, i);
    batch->clearAttributes();
    EXPECT_EQ(buffer->refCount(), 1);
    for (const auto& slot : batch->attributes)
        EXPECT_EQ(slot.location, -1);
    batch->setAttribute(5, buffer.get(), 2, 0, 8);
    EXPECT_EQ(batch->attributes[0].location, 5);
    EXPECT_EQ(batch->attributes[0].stride, 8);
}

TEST_F(BatchDraw, FailedProgramHasNoNamesAndItsBatchDrawsNothing) {
    Ref<Framebuffer> target = makeTarget({5});
    ombrel::test::LogCapture capture;
    Ref<Batch> batch = makeQuadBatch("void main(){ gl_FragData[0] = broken; }");
    EXPECT_EQ(batch->material->program->name(), 0u);
    // Location queries on name 0 answer -1 and flag GL_INVALID_VALUE.
    EXPECT_EQ(glGetError(), GLenum(GL_INVALID_VALUE));
    // The failed program's attribute lookup gave -1; attribute 0 exercises the fixed-function
    // fallback a compatibility context would otherwise take.
    EXPECT_EQ(batch->attributes[0].location, -1);
    Ref<Buffer> quad = makeQuad();
    batch->setAttribute(0, quad.get(), 2, 0, 0);
    batch->draw();
    EXPECT_EQ(readByte(*target, 0, 4, 4), (Rgba8{0, 0, 0, 0}));
}

TEST_F(BatchDraw, WithoutAMaterialItLogsAndDrawsNothing) {
    Ref<Framebuffer> target = makeTarget({5});
    ombrel::test::LogCapture capture;
    Ref<Batch> batch = new Batch();
    batch->count = 4;
    batch->draw();
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_NE(capture.lines()[0].find("no material"), std::string::npos);
}

TEST_F(BatchDraw, SwappingMaterialsBetweenDrawsUsesEachProgram) {
    Ref<Framebuffer> target = makeTarget({7});
    Ref<Batch> batch = makeQuadBatch("void main(){ gl_FragData[0] = vec4(1., 0., 0., 1.); }");
    Ref<Material> first = batch->material;
    Ref<Material> second =
        new Material(new Program(kQuadVertex, "void main(){ gl_FragData[0] = vec4(2.); }"));
    batch->setMaterial(second.get());
    batch->draw();
    EXPECT_EQ(readFloat(*target, 0, 0, 0), (Rgba32f{2, 2, 2, 2}));
    batch->setMaterial(first.get());
    batch->draw();
    EXPECT_EQ(readFloat(*target, 0, 0, 0), (Rgba32f{1, 0, 0, 1}));
}

TEST_F(BatchDraw, ReleasingTheBatchCascadesToEveryGlObject) {
    Ref<Batch> batch = makeQuadBatch(kWhite);
    Ref<Texture> texture = makeTexture(5, 1, 1);
    batch->material->uniforms.setSampler(0, texture.get());
    batch->indexBuffer = new Buffer(GL_ELEMENT_ARRAY_BUFFER);
    GLuint program = batch->material->program->name();
    GLuint vertices = batch->attributes[0].buffer->name();
    GLuint indices = batch->indexBuffer->name();
    GLuint textureName = texture->name();
    texture = nullptr; // the material now holds the last reference
    batch = nullptr;
    EXPECT_FALSE(glIsProgram(program));
    EXPECT_FALSE(glIsBuffer(vertices));
    EXPECT_FALSE(glIsBuffer(indices));
    EXPECT_FALSE(glIsTexture(textureName));
}

// --- Material state ---------------------------------------------------------------------------

TEST_F(MaterialState, DefaultsLeaveBlendAndDepthExactlyAsTheyWere) {
    Ref<Framebuffer> target = makeTarget({5});
    Ref<Batch> batch = makeQuadBatch(kWhite);
    for (bool on : {true, false}) {
        if (on) {
            glEnable(GL_BLEND);
            glEnable(GL_DEPTH_TEST);
        } else {
            glDisable(GL_BLEND);
            glDisable(GL_DEPTH_TEST);
        }
        glDepthMask(on ? GL_FALSE : GL_TRUE);
        glDepthFunc(on ? GL_GEQUAL : GL_LESS);
        glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
        batch->draw();
        EXPECT_EQ(glIsEnabled(GL_BLEND), on ? GL_TRUE : GL_FALSE);
        EXPECT_EQ(glIsEnabled(GL_DEPTH_TEST), on ? GL_TRUE : GL_FALSE);
        GLint mask = -1, func = 0, src = 0;
        glGetIntegerv(GL_DEPTH_WRITEMASK, &mask);
        glGetIntegerv(GL_DEPTH_FUNC, &func);
        glGetIntegerv(GL_BLEND_SRC_RGB, &src);
        EXPECT_EQ(mask, on ? GL_FALSE : GL_TRUE);
        EXPECT_EQ(func, on ? GL_GEQUAL : GL_LESS);
        EXPECT_EQ(src, GL_SRC_ALPHA);
    }
    glDisable(GL_BLEND);
    glDisable(GL_DEPTH_TEST);
    glDepthMask(GL_TRUE);
    glDepthFunc(GL_LESS);
}

TEST_F(MaterialState, ModeOneDisablesAndOtherModesEnableWithTheFields) {
    Ref<Batch> batch = makeQuadBatch(kWhite);
    Material& material = *batch->material;
    auto integer = [](GLenum name) {
        GLint value = -1;
        glGetIntegerv(name, &value);
        return value;
    };
    glEnable(GL_BLEND);
    glEnable(GL_DEPTH_TEST);
    material.blendMode = 1;
    material.depthMode = 1;
    material.use();
    EXPECT_FALSE(glIsEnabled(GL_BLEND));
    EXPECT_FALSE(glIsEnabled(GL_DEPTH_TEST));

    material.blendMode = 2;
    material.blendSourceRgb = GL_SRC_ALPHA;
    material.blendDestinationRgb = GL_ONE_MINUS_SRC_ALPHA;
    material.blendDestinationAlpha = GL_ONE;
    material.blendColor[2] = 0.5f;
    material.blendEquationAlpha = GL_MAX;
    material.depthMode = 2;
    material.depthWrite = false;
    material.depthFunction = GL_LEQUAL;
    material.use();
    EXPECT_TRUE(glIsEnabled(GL_BLEND));
    EXPECT_EQ(integer(GL_BLEND_SRC_RGB), GL_SRC_ALPHA);
    EXPECT_EQ(integer(GL_BLEND_DST_RGB), GL_ONE_MINUS_SRC_ALPHA);
    EXPECT_EQ(integer(GL_BLEND_DST_ALPHA), GL_ONE);
    EXPECT_EQ(integer(GL_BLEND_EQUATION_ALPHA), GL_MAX);
    EXPECT_EQ(integer(GL_BLEND_EQUATION_RGB), GL_FUNC_ADD);
    float color[4] = {};
    glGetFloatv(GL_BLEND_COLOR, color);
    EXPECT_EQ(color[2], 0.5f);
    EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST));
    EXPECT_EQ(integer(GL_DEPTH_WRITEMASK), GL_FALSE);
    EXPECT_EQ(integer(GL_DEPTH_FUNC), GL_LEQUAL);
    glDisable(GL_BLEND);
    glDisable(GL_DEPTH_TEST);
    glDepthMask(GL_TRUE);
    glDepthFunc(GL_LESS);
    glBlendEquation(GL_FUNC_ADD);
    glBlendFunc(GL_ONE, GL_ZERO);
}

// --- Buffers ----------------------------------------------------------------------------------

TEST_F(BufferLoad, SameSizeUpdatesInPlaceAndAnotherSizeRespecifies) {
    Ref<Buffer> buffer = new Buffer(GL_ARRAY_BUFFER);
    EXPECT_EQ(buffer->size(), 0u);
    const float first[4] = {1, 2, 3, 4};
    buffer->load(first, sizeof first);
    GLint usage = 0, size = 0;
    glGetBufferParameteriv(GL_ARRAY_BUFFER, GL_BUFFER_USAGE, &usage);
    EXPECT_EQ(usage, GL_STATIC_DRAW);
    EXPECT_EQ(buffer->size(), sizeof first);

    // Mark the store so that only a fresh glBufferData could reset its usage.
    glBufferData(GL_ARRAY_BUFFER, sizeof first, first, GL_STREAM_DRAW);
    const float second[4] = {5, 6, 7, 8};
    buffer->load(second, sizeof second);
    glGetBufferParameteriv(GL_ARRAY_BUFFER, GL_BUFFER_USAGE, &usage);
    EXPECT_EQ(usage, GL_STREAM_DRAW);
    float back[4] = {};
    glGetBufferSubData(GL_ARRAY_BUFFER, 0, sizeof back, back);
    EXPECT_EQ(back[0], 5);
    EXPECT_EQ(back[3], 8);

    const float bigger[6] = {9, 9, 9, 9, 9, 10};
    buffer->load(bigger, sizeof bigger);
    glGetBufferParameteriv(GL_ARRAY_BUFFER, GL_BUFFER_USAGE, &usage);
    glGetBufferParameteriv(GL_ARRAY_BUFFER, GL_BUFFER_SIZE, &size);
    EXPECT_EQ(usage, GL_STATIC_DRAW);
    EXPECT_EQ(size, GLint(sizeof bigger));
    EXPECT_EQ(buffer->size(), sizeof bigger);
}
