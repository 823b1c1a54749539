// The render core on a real GL context (run under xvfb-run): reference counting, shader programs
// and their logs, textures and framebuffers, uniform tables, materials and batches.
#include "render_fixture.h"

#include <climits>
#include <cmath>
#include <string>
#include <vector>

using namespace render_test;

namespace {

class RenderGl : public GlTest {
protected:
    ombrel::test::LogCapture capture;
};

std::vector<std::string> events;

// Records its destruction; `held` lets one object keep another alive, like a batch its material.
struct Tracked : ombrel::Shareable {
    explicit Tracked(std::string n) : name(std::move(n)) {}
    ~Tracked() override { events.push_back(name); }
    std::string name;
    Ref<Tracked> held;
};

TEST(RefCounting, LastReleaseDeletesInsideTheCallAndCascadesThroughHolders) {
    events.clear();
    Ref<Tracked> batch = new Tracked("batch"), copy = batch;
    batch->held = new Tracked("material");
    Ref<Tracked> program = batch->held->held = new Tracked("program");
    EXPECT_EQ(batch->refCount(), 2);
    batch = nullptr;
    EXPECT_TRUE(events.empty());
    copy = new Tracked("other"); // replacing the last reference deletes during the assignment
    EXPECT_EQ(events, (std::vector<std::string>{"batch", "material"}));
    EXPECT_EQ(program->refCount(), 1);
    // Self-assignment, through a raw pointer, an alias or a move, never drops the object.
    Tracked* raw = copy.get();
    copy = raw;
    copy = static_cast<const Ref<Tracked>&>(copy);
    copy = std::move(copy);
    EXPECT_EQ(raw->refCount(), 1);
    // An object kept alive only by the old one survives being assigned over it.
    copy->held = new Tracked("inner");
    copy = copy->held;
    EXPECT_EQ(events.back(), "other");
    EXPECT_EQ(copy->name, "inner");
    EXPECT_EQ(copy->refCount(), 1);
}

const char* const kVertex = "attribute vec2 av2_vertex;\n"
                            "void main(){ gl_Position = vec4(av2_vertex, 0., 1.); }";
const char* const kFragment = "void main(){ gl_FragColor = vec4(1.); }";

// Each row: the texts, then the log lines expected (each a prefix; the numbered source lines
// and brackets are fixed texts). A failed program keeps no names; no program leaks a shader.
TEST_F(RenderGl, ProgramFailuresLogTheSourceOrTheErrorsAndNoProgramLeaksNames) {
    const struct {
        const char* name;
        const char* vertex;
        const char* fragment;
        std::vector<std::string> lines;
    } rows[] = {
        // A final newline logs one more, empty, numbered line; the fragment is never compiled.
        // clang-format off
        {"vertex", "void main(){\ngl_Position = undeclared_thing;\n}\n", "void main(){ nope; }",
         {"for shader [", "1: void main(){", "2: gl_Position = undeclared_thing;", "3: }", "4: ",
          "]", "there were errors:\n"}},
        {"fragment", kVertex, "void main(){ gl_FragColor = nope; }",
         {"for shader [", "1: void main(){ gl_FragColor = nope; }", "]", "there were errors:\n"}},
        {"link without main", kVertex, "vec4 color(){ return vec4(1.); }", {"there were errors:\n"}},
        // clang-format on
        {"null source", nullptr, kFragment, {"compileShader: no source text"}},
        {"valid pair", kVertex, kFragment, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const GLuint probe = glCreateShader(GL_VERTEX_SHADER);
        glDeleteShader(probe);
        ombrel::test::LogCapture capture;
        Ref<Program> program = new Program(row.vertex, row.fragment);
        const bool built = row.lines.empty();
        const GLuint name = program->name();
        const GLuint vertex = program->vertexShader(), fragment = program->fragmentShader();
        EXPECT_TRUE(built ? name && vertex && fragment : (name | vertex | fragment) == 0);
        program = nullptr; // releasing a built program deletes it and its shaders
        EXPECT_FALSE(glIsProgram(name));
        for (GLuint shader = probe; shader < probe + 8; ++shader) // Mesa reuses freed names
            EXPECT_FALSE(glIsShader(shader)) << shader;
        ASSERT_EQ(capture.lines().size(), row.lines.size());
        for (size_t i = 0; i < row.lines.size(); ++i)
            EXPECT_EQ(capture.lines()[i].rfind(row.lines[i], 0), 0u) << capture.lines()[i];
        // The errors follow their heading.
        EXPECT_TRUE(built || capture.lines().back().size() > row.lines.back().size() + 1);
    }
}

TEST(TextureMetaTest, BytesPerPixelAndFourBytePaddedStride) {
    const struct {
        int width, format, bytesPerPixel, stride;
    } rows[] = {{255, 5, 4, 1020},  {3, 1, 1, 4},  {5, 2, 2, 12}, {3, 4, 3, 12},
                {256, 7, 16, 4096}, {10, 0, 0, 0}, {10, 8, 0, 0}, {10, -3, 0, 0}};
    for (const auto& row : rows) {
        const TextureMeta meta(row.width, 1, row.format);
        EXPECT_EQ(meta.bytesPerPixel, row.bytesPerPixel) << "format " << row.format;
        EXPECT_EQ(meta.stride, row.stride) << "format " << row.format << ", width " << row.width;
    }
    // The padding is worked out in 64 bits: the sanitizer build traps a 32-bit overflow here.
    EXPECT_EQ(TextureMeta(INT_MAX, 1, 7).bytesPerPixel, 16);
}

TEST_F(RenderGl, BadTextureMetaChangesNothingAndDepthNeedsColour) {
    Ref<Framebuffer> target = makeTarget({5});
    Texture& texture = *target->color(0);
    const Rgba8 texel{1, 2, 3, 4};
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, texel.data());
    // Unknown formats do nothing and say nothing; a negative size is logged and ignored.
    for (int format : {5, 4, 0, 8, -1})
        texture.setup(TextureMeta(kSize, kSize, format));
    EXPECT_TRUE(capture.lines().empty());
    texture.setup(TextureMeta(-4, 4, 5));
    EXPECT_EQ(texture.meta().width, kSize);
    EXPECT_EQ(readPixel<Rgba8>(*target, 0, 0, 0), texel);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0], "Texture::setup: invalid size -4x4, storage left unchanged");
    // A depth buffer needs a colour texture to take its size from; a second replaces the first.
    Ref<Framebuffer> framebuffer = new Framebuffer();
    framebuffer->attachDepth();
    EXPECT_EQ(framebuffer->depthRenderbuffer(), 0u);
    ASSERT_EQ(capture.lines().size(), 2u);
    EXPECT_EQ(capture.lines()[1].rfind("Framebuffer::attachDepth: no colour texture in slot 0", 0),
              0u);
    Ref<Texture> kept = makeTexture(5);
    framebuffer->attachColor(kept.get(), 0);
    framebuffer->attachDepth();
    const GLuint first = framebuffer->depthRenderbuffer(), name = framebuffer->name();
    framebuffer->attachDepth();
    const GLuint depth = framebuffer->depthRenderbuffer();
    EXPECT_FALSE(glIsRenderbuffer(first) && first != depth);
    framebuffer = nullptr;
    EXPECT_FALSE(glIsFramebuffer(name) || glIsRenderbuffer(depth));
    EXPECT_EQ(kept->refCount(), 1);
}

TEST_F(RenderGl, DrawBufferListFollowsSlotOrderAndBadSlotsAreLoggedAndIgnored) {
    Ref<Framebuffer> framebuffer = new Framebuffer();
    Ref<Texture> texture = makeTexture(5);
    framebuffer->attachColor(makeTexture(7).get(), 2);
    for (int slot : {0, 4, -1, 3})
        framebuffer->attachColor(texture.get(), slot);
    framebuffer->attachColor(nullptr, 3);
    EXPECT_EQ(capture.lines().size(), 2u);
    EXPECT_EQ(texture->refCount(), 2);
    framebuffer->bind();
    GLint first = 0, second = 0;
    glGetIntegerv(GL_DRAW_BUFFER0, &first);
    glGetIntegerv(GL_DRAW_BUFFER1, &second);
    EXPECT_EQ(first, GL_COLOR_ATTACHMENT0);
    EXPECT_EQ(second, GL_COLOR_ATTACHMENT2);
    EXPECT_EQ(framebuffer->drawBufferCount(), 2);
}

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
        EXPECT_TRUE(std::isnan(row.want) ? !got : got && *got == row.want) << row.name;
    }
}

TEST_F(RenderGl, UploadsEveryValueAtEveryDrawBatchAfterMaterialIntoExactAttachments) {
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

TEST_F(RenderGl, SamplerTableHoldsTwoAndReplacesByLocation) {
    Ref<Texture> a = makeTexture(5), b = makeTexture(5), c = makeTexture(5);
    UniformState uniforms;
    uniforms.setSampler(1, a.get());
    uniforms.setSampler(2, b.get());
    uniforms.setSampler(3, c.get()); // table full: ignored
    uniforms.setSampler(2, a.get()); // replaces b
    EXPECT_EQ(uniforms.sampler(1).texture.get(), a.get());
    EXPECT_EQ(a->refCount() + b->refCount() + c->refCount(), 5);
}

// A default material leaves blend and depth state as they were; no attribute stays enabled.
TEST_F(RenderGl, LeavesStateAsItWasAndTheAttributeTableHoldsEight) {
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

TEST_F(RenderGl, FailedProgramOrMissingMaterialDrawsNothing) {
    Ref<Framebuffer> target = makeTarget({5});
    Ref<Batch> batch = makeQuadBatch("void main(){ gl_FragData[0] = broken; }");
    glGetError(); // lookups on name 0 answer -1 and flag an error
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
