// The fixed GLSL texts and the scenes' texts, run for real on the test GL context: every scene
// compiles cleanly, the library functions give the values their formulas promise, the tracer
// and main write the sample targets as the point cloud expects, and the scenes' GLSL shapes
// agree with the processor collision distances where those are copies of them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/gl_test_context.h"
#include "world/glsl_library.h"
#include "world/sectors.h"
#include "world/world.h"

namespace ombrel {
namespace {

const char* const vertexSource =
    "attribute vec2 av2_vertex;\nvarying vec2 vv2_pos;\nvoid main(){\n"
    "gl_Position = vec4(av2_vertex, 0., 1.);\nvv2_pos = av2_vertex;\n}";

// Stands in for a scene's material text where a test brings its own world.
const char* const plainMaterial =
    "material_t world_material(vec3 p, vec3 n){ return material_t(vec3(1.), 0.); }\n"
    "vec3 world_enlight(vec3 e, vec3 p, vec3 n, material_t m){ return vec3(0.); }\n";

constexpr int side = 16; // targets are side x side texels

GLuint compileShader(GLenum kind, const std::string& source, std::string& log) {
    GLuint shader = glCreateShader(kind);
    const char* text = source.c_str();
    glShaderSource(shader, 1, &text, nullptr);
    glCompileShader(shader);
    GLint length = 0;
    glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &length);
    if (length > 1) {
        std::string text(length, '\0');
        glGetShaderInfoLog(shader, length, nullptr, &text[0]);
        log += text.c_str();
    }
    return shader;
}

struct Linked {
    GLuint program = 0;
    bool ok = false;
    std::string log; // compile and link logs together; empty when everything is clean
};

Linked link(const std::string& fragmentSource) {
    Linked l;
    GLuint vs = compileShader(GL_VERTEX_SHADER, vertexSource, l.log);
    GLuint fs = compileShader(GL_FRAGMENT_SHADER, fragmentSource, l.log);
    l.program = glCreateProgram();
    glAttachShader(l.program, vs);
    glAttachShader(l.program, fs);
    glBindAttribLocation(l.program, 0, "av2_vertex");
    glLinkProgram(l.program);
    glDeleteShader(vs);
    glDeleteShader(fs);
    GLint status = 0, length = 0;
    glGetProgramiv(l.program, GL_LINK_STATUS, &status);
    glGetProgramiv(l.program, GL_INFO_LOG_LENGTH, &length);
    if (length > 1) {
        std::string text(length, '\0');
        glGetProgramInfoLog(l.program, length, nullptr, &text[0]);
        l.log += text.c_str();
    }
    l.ok = status == GL_TRUE;
    return l;
}

// A float target (attachment 0) and an 8-bit one (attachment 1), a points texture, and a
// full-target quad; everything is deleted and unbound again in TearDown.
class GlslRun : public ::testing::Test {
protected:
    void SetUp() override {
        OMBREL_REQUIRE_GL();
        if (GLEW_ARB_color_buffer_float) {
            glClampColorARB(GL_CLAMP_FRAGMENT_COLOR_ARB, GL_FALSE);
            glClampColorARB(GL_CLAMP_READ_COLOR_ARB, GL_FALSE);
        }
        glGenTextures(3, textures);
        makeTexture(textures[0], GL_RGBA32F_ARB, GL_FLOAT);
        makeTexture(textures[1], GL_RGBA8, GL_UNSIGNED_BYTE);
        makeTexture(textures[2], GL_RGBA32F_ARB, GL_FLOAT);
        glGenFramebuffers(1, &framebuffer);
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
        glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, textures[0], 0);
        glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT1, GL_TEXTURE_2D, textures[1], 0);
        ASSERT_EQ(glCheckFramebufferStatus(GL_FRAMEBUFFER), GLenum(GL_FRAMEBUFFER_COMPLETE));
        ready = true;
    }

    void TearDown() override {
        if (!ready)
            return;
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        glDeleteFramebuffers(1, &framebuffer);
        glDeleteTextures(3, textures);
        glUseProgram(0);
        for (GLuint p : programs)
            glDeleteProgram(p);
        glDisableVertexAttribArray(0);
        glViewport(0, 0, 64, 64);
        EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    }

    static void makeTexture(GLuint name, GLint format, GLenum type) {
        glBindTexture(GL_TEXTURE_2D, name);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        glTexImage2D(GL_TEXTURE_2D, 0, format, side, side, 0, GL_RGBA, type, nullptr);
        glBindTexture(GL_TEXTURE_2D, 0);
    }

    // Compiles, links and makes current; fails the test on any log text.
    GLuint use(const std::string& fragmentSource) {
        Linked l = link(fragmentSource);
        programs.push_back(l.program);
        EXPECT_TRUE(l.ok) << l.log;
        EXPECT_EQ(l.log, "");
        glUseProgram(l.program);
        return l.program;
    }

    void drawQuad() {
        static const float corners[8] = {-1, -1, 1, -1, 1, 1, -1, 1};
        GLenum buffers[2] = {GL_COLOR_ATTACHMENT0, GL_COLOR_ATTACHMENT1};
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
        glDrawBuffers(2, buffers);
        glViewport(0, 0, side, side);
        glEnableVertexAttribArray(0);
        glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, 0, corners);
        glDrawArrays(GL_TRIANGLE_FAN, 0, 4);
        glDisableVertexAttribArray(0);
    }

    std::vector<float> readFloats() {
        std::vector<float> texels(side * side * 4);
        glReadBuffer(GL_COLOR_ATTACHMENT0);
        glReadPixels(0, 0, side, side, GL_RGBA, GL_FLOAT, texels.data());
        return texels;
    }

    std::vector<unsigned char> readBytes() {
        std::vector<unsigned char> texels(side * side * 4);
        glReadBuffer(GL_COLOR_ATTACHMENT1);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadPixels(0, 0, side, side, GL_RGBA, GL_UNSIGNED_BYTE, texels.data());
        glReadBuffer(GL_COLOR_ATTACHMENT0);
        return texels;
    }

    // Evaluates `expr` (the arguments of a vec4 constructor, in terms of `at`) at up to 256
    // points, inside a program assembled around the given world and material texts.
    std::vector<vec4> evaluate(const std::string& worldText, const std::string& materialText,
                               const std::string& expr, const std::vector<vec3>& points,
                               float t = 0) {
        std::string source = assembleFragmentSource(worldText, materialText);
        // Replace the sample main with one that evaluates the expression per texel.
        source.resize(source.size() - std::strlen(glslMain));
        source += "uniform sampler2D us2_points;\nvoid main(){\n"
                  "vec3 at = texture2D(us2_points, gl_FragCoord.xy/16.).xyz;\n"
                  "gl_FragData[0] = vec4(" +
                  expr + ");\ngl_FragData[1] = vec4(0.);\n}\n";
        GLuint program = use(source);
        std::vector<float> data(side * side * 4, 0.0f);
        for (size_t i = 0; i < points.size() && i < size_t(side * side); ++i) {
            data[i * 4 + 0] = points[i].x;
            data[i * 4 + 1] = points[i].y;
            data[i * 4 + 2] = points[i].z;
        }
        glActiveTexture(GL_TEXTURE0);
        glBindTexture(GL_TEXTURE_2D, textures[2]);
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, side, side, GL_RGBA, GL_FLOAT, data.data());
        glUniform1i(glGetUniformLocation(program, "us2_points"), 0);
        glUniform1f(glGetUniformLocation(program, "uf_t"), t);
        drawQuad();
        glBindTexture(GL_TEXTURE_2D, 0);
        std::vector<float> texels = readFloats();
        std::vector<vec4> out;
        for (size_t i = 0; i < points.size(); ++i)
            out.emplace_back(texels[i * 4], texels[i * 4 + 1], texels[i * 4 + 2],
                             texels[i * 4 + 3]);
        return out;
    }

    // Evaluates against a test world given as the body of world(vec3 at, float d).
    std::vector<vec4> evaluateIn(const std::string& worldBody, const std::string& expr,
                                 const std::vector<vec3>& points) {
        return evaluate("float world(vec3 at, float d){ return " + worldBody + "; }\n",
                        plainMaterial, expr, points);
    }

    // Runs the real sample main over the target with the raymarcher's uniform values.
    void trace(const std::string& worldText, const std::string& materialText, vec3 origin,
               vec3 direction, float far, float t = 0.25f) {
        GLuint program = use(assembleFragmentSource(worldText, materialText));
        glUniform1f(glGetUniformLocation(program, "uf_t"), t);
        glUniform1f(glGetUniformLocation(program, "uf_near"), 0.01f);
        glUniform1f(glGetUniformLocation(program, "uf_far"), far);
        glUniform3f(glGetUniformLocation(program, "uv3_origin"), origin.x, origin.y, origin.z);
        glUniform4f(glGetUniformLocation(program, "uv4_dir"), direction.x, direction.y, direction.z,
                    2.0f);
        drawQuad();
    }

    // Points spread over a box, deterministic.
    static std::vector<vec3> scatter(vec3 lo, vec3 hi, int count = side * side) {
        std::vector<vec3> points;
        unsigned seed = 12345;
        auto next = [&seed] {
            seed = seed * 1664525u + 1013904223u;
            return float(seed >> 8) / float(1u << 24);
        };
        for (int i = 0; i < count; ++i) {
            float a = next(), b = next(), c = next();
            points.emplace_back(lo.x + (hi.x - lo.x) * a, lo.y + (hi.y - lo.y) * b,
                                lo.z + (hi.z - lo.z) * c);
        }
        return points;
    }

    bool ready = false;
    GLuint textures[3] = {0, 0, 0};
    GLuint framebuffer = 0;
    std::vector<GLuint> programs;
};

// --- Assembly -----------------------------------------------------------------------------

TEST(GlslAssembly, JoinsTheSixPiecesInOrderWithNothingBetween) {
    SectorStart s;
    std::string source = assembleFragmentSource(s.worldText, s.materialText);
    std::string expected = std::string(glslPrelude) + glslLibrary + s.worldText + glslTracer +
                           s.materialText + glslMain;
    EXPECT_EQ(source, expected);
    // No version line: the texts are GLSL 1.10.
    EXPECT_EQ(source.rfind("uniform float uf_t;", 0), 0u);
    EXPECT_EQ(source.find("#version"), std::string::npos);
}

TEST(GlslAssembly, EveryTextEndsItsLastLine) {
    // Pieces are joined without separators; each must end with a line break so that a
    // trailing comment or declaration cannot run into the next piece.
    World world;
    std::vector<std::string> texts = {glslPrelude, glslLibrary, glslTracer, glslMain};
    for (int i = 0; i < world.sectorCount(); ++i) {
        texts.push_back(world.sector(i).worldText);
        texts.push_back(world.sector(i).materialText);
    }
    for (const std::string& text : texts) {
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.back(), '\n') << text.substr(0, 40);
    }
}

// --- Every scene compiles -----------------------------------------------------------------

TEST_F(GlslRun, EverySceneCompilesAndLinksWithoutLogText) {
    World world;
    for (int i = 0; i < world.sectorCount(); ++i) {
        SCOPED_TRACE("scene " + std::to_string(i));
        Linked l =
            link(assembleFragmentSource(world.sector(i).worldText, world.sector(i).materialText));
        programs.push_back(l.program);
        EXPECT_TRUE(l.ok);
        EXPECT_EQ(l.log, "");
        for (const char* name : {"uf_t", "uf_near", "uf_far", "uv3_origin", "uv4_dir"})
            EXPECT_GE(glGetUniformLocation(l.program, name), 0) << name;
        EXPECT_EQ(glGetAttribLocation(l.program, "av2_vertex"), 0);
    }
}

// --- Library ------------------------------------------------------------------------------

TEST_F(GlslRun, BoxIsTheLargestPerAxisExcess) {
    std::vector<vec3> points = {vec3(0, 0, 0), vec3(3, 3, 3), vec3(-2, 0.5f, 0), vec3(0, 0, -7)};
    auto r = evaluateIn("1.", "obj_box(at, vec3(1., 2., 3.))", points);
    EXPECT_NEAR(r[0].x, -1.0f, 1e-5f);
    EXPECT_NEAR(r[1].x, 2.0f, 1e-5f); // corner direction: not the Euclidean distance
    EXPECT_NEAR(r[2].x, 1.0f, 1e-5f);
    EXPECT_NEAR(r[3].x, 4.0f, 1e-5f);
}

TEST_F(GlslRun, RepeatCentresCellsAlsoForNegativeCoordinates) {
    std::vector<vec3> points = {vec3(1, 9, -1), vec3(-3, -7, 17)};
    auto r = evaluateIn("1.", "tr_repeat(at, vec3(8., 8., 36.)), 0.", points);
    // mod(x, 8) - 4 with floored mod.
    EXPECT_NEAR(r[0].x, -3.0f, 1e-4f);
    EXPECT_NEAR(r[0].y, -3.0f, 1e-4f);
    EXPECT_NEAR(r[0].z, 17.0f, 1e-4f);
    EXPECT_NEAR(r[1].x, 1.0f, 1e-4f);
    EXPECT_NEAR(r[1].y, -3.0f, 1e-4f);
    EXPECT_NEAR(r[1].z, -1.0f, 1e-4f);
}

TEST_F(GlslRun, RotationsAreRightHanded) {
    std::vector<vec3> points = {vec3(1, 2, 3)};
    auto x = evaluateIn("1.", "tr_rotate_x(at, 1.5707963), 0.", points);
    auto y = evaluateIn("1.", "tr_rotate_y(at, 1.5707963), 0.", points);
    auto z = evaluateIn("1.", "tr_rotate_z(at, 1.5707963), 0.", points);
    // x: (x, y c - z s, y s + z c) = (1, -3, 2)
    EXPECT_NEAR(x[0].y, -3.0f, 1e-4f);
    EXPECT_NEAR(x[0].z, 2.0f, 1e-4f);
    // y: (x c + z s, y, -x s + z c) = (3, 2, -1)
    EXPECT_NEAR(y[0].x, 3.0f, 1e-4f);
    EXPECT_NEAR(y[0].z, -1.0f, 1e-4f);
    // z: (x c - y s, x s + y c, z) = (-2, 1, 3)
    EXPECT_NEAR(z[0].x, -2.0f, 1e-4f);
    EXPECT_NEAR(z[0].y, 1.0f, 1e-4f);
}

TEST_F(GlslRun, CombinationsAreUnionIntersectionAndDifference) {
    std::vector<vec3> points = {vec3(0, 0, 0)};
    auto r = evaluateIn("1.", "op_or(2., -1.), op_and(2., -1.), op_nxor(2., -1.), op_nxor(-3., 1.)",
                        points);
    EXPECT_EQ(r[0].x, -1.0f);
    EXPECT_EQ(r[0].y, 2.0f);
    EXPECT_EQ(r[0].z, 2.0f);  // a minus b: inside b means outside the result
    EXPECT_EQ(r[0].w, -1.0f); // inside a and outside b stays inside
}

TEST_F(GlslRun, PrimitivesMeasureFromTheirSurface) {
    std::vector<vec3> points = {vec3(3, 4, 12)};
    auto r = evaluateIn("1.",
                        "obj_ball(at, 3.), obj_cylinder_x(at, 1.), obj_cylinder_y(at, 1.), "
                        "obj_plane(at, vec4(0., 1., 0., 1.))",
                        points);
    EXPECT_NEAR(r[0].x, 10.0f, 1e-4f);
    EXPECT_NEAR(r[0].y, std::sqrt(16.0f + 144.0f) - 1.0f, 1e-4f);
    EXPECT_NEAR(r[0].z, std::sqrt(9.0f + 144.0f) - 1.0f, 1e-4f);
    EXPECT_NEAR(r[0].w, 3.0f, 1e-4f);
    auto c = evaluateIn("1.", "obj_cylinder_z(at, 2.)", points);
    EXPECT_NEAR(c[0].x, 3.0f, 1e-4f);
}

TEST_F(GlslRun, NoiseStaysInRangeAndMatchesCornerHashes) {
    auto points = scatter(vec3(-50, -50, -50), vec3(50, 50, 50));
    auto r = evaluateIn("1.", "noise(at.xy), noise(at), fnoise(at.xz), fnoise(at)", points);
    for (const vec4& v : r) {
        EXPECT_GE(v.x, 0.0f);
        EXPECT_LE(v.x, 1.0f);
        EXPECT_GE(v.y, 0.0f);
        EXPECT_LE(v.y, 1.0f);
        EXPECT_GE(v.z, 0.0f);
        EXPECT_LE(v.z, 0.96875f + 1e-5f);
        EXPECT_GE(v.w, 0.0f);
        EXPECT_LE(v.w, 0.875f + 1e-5f);
    }
    // At lattice points value noise is the corner's hash.
    std::vector<vec3> corners = {vec3(3, -2, 5), vec3(-7, 1, 0)};
    auto h = evaluateIn("1.", "noise(at.xy) - hash(at.xy), noise(at) - hash(at), 0., 0.", corners);
    for (const vec4& v : h) {
        EXPECT_NEAR(v.x, 0.0f, 1e-4f);
        EXPECT_NEAR(v.y, 0.0f, 1e-4f);
    }
}

TEST_F(GlslRun, KneeMatchesTheProcessorCopy) {
    auto points = scatter(vec3(-25, -5, -15), vec3(25, 5, 15));
    auto r = evaluateIn("1.", "obj_knee(at)", points);
    for (size_t i = 0; i < points.size(); ++i) {
        const vec3& p = points[i];
        // The S-bend: a bar along z joined to two bars along x.
        float bar = std::max({std::fabs(p.x) - 3, std::fabs(p.y) - 3, std::fabs(p.z) - 12});
        float b1 = std::max({std::fabs(p.x + 9) - 12, std::fabs(p.y) - 3, std::fabs(p.z + 9) - 3});
        float b2 = std::max({std::fabs(p.x - 9) - 12, std::fabs(p.y) - 3, std::fabs(p.z - 9) - 3});
        EXPECT_NEAR(r[i].x, std::min({bar, b1, b2}), 1e-4f) << i;
    }
}

// --- Tracer -------------------------------------------------------------------------------

TEST_F(GlslRun, TraceHitsLeavesOrGivesUp) {
    std::vector<vec3> points = {vec3(0, 0, 0)};
    // A floor at y = -5.
    auto r = evaluateIn("at.y + 5.",
                        "trace(ray_t(at, vec3(0., -1., 0.)), .01, 100.), "
                        "trace(ray_t(at, vec3(0., 1., 0.)), .01, 100.), "
                        "trace(ray_t(at, vec3(1., 0., 0.)), .01, 100.), 0.",
                        points);
    EXPECT_NEAR(r[0].x, 5.0f, 0.05f); // hit within 1 % of the distance travelled
    EXPECT_EQ(r[0].y, 100.0f);        // left the range: exactly lmax
    EXPECT_EQ(r[0].z, 100.0f);
    // A world that always stays 2 % ahead of the ray never settles in 256 steps.
    auto g = evaluateIn("2.*d", "trace(ray_t(at, vec3(0., 0., 1.)), .01, 100.)", points);
    EXPECT_LT(g[0].x, 0.0f);
}

TEST_F(GlslRun, NormalOcclusionAndLights) {
    // A floor at y = -5 meeting a wall at x = -0.3.
    std::string corner = "min(at.y + 5., at.x + .3)";
    std::vector<vec3> points = {vec3(0, -5, 0), vec3(5, 0, 0)};
    auto n = evaluateIn(corner, "normal(at, .01), occlusion(at, vec3(0., 1., 0.))", points);
    EXPECT_NEAR(n[0].x, 0.0f, 1e-3f);
    EXPECT_NEAR(n[0].y, 1.0f, 1e-3f);
    EXPECT_LT(n[0].w, 0.9f);          // the wall beside the floor occludes
    EXPECT_NEAR(n[1].w, 1.0f, 1e-6f); // open space: nothing occludes
    // A direct light with no shadow range lights the point even inside solid matter.
    auto d = evaluateIn("-1.",
                        "enlight_direct(at, at, vec3(0., 1., 0.), material_t(vec3(.5), 0.), "
                        "light_t(vec3(2.), vec3(0., 1., 0.)), 0.), 0.",
                        points);
    EXPECT_NEAR(d[0].x, 1.0f, 1e-5f);
    // A point light falls off with 1/distance (not its square) ...
    std::string light = "enlight_point(at, at, vec3(0., 1., 0.), material_t(vec3(1.), 0.), "
                        "light_t(vec3(4.), vec3(0., 0., 0.))), 0.";
    std::vector<vec3> onFloor = {vec3(0, -4, 0)};
    auto open = evaluateIn("at.y + 5.", light, onFloor);
    EXPECT_NEAR(open[0].x, 1.0f, 1e-3f);
    // ... and a ball between the point and the light casts a shadow.
    auto shadowed =
        evaluateIn("min(at.y + 5., length(at - vec3(0., -2., 0.)) - .5)", light, onFloor);
    EXPECT_EQ(shadowed[0].x, 0.0f);
}

// --- Main: the sample targets ---------------------------------------------------------------

TEST_F(GlslRun, HitsStoreFiveTimesTheirDistanceAndMissesStore500) {
    // Floor at y = -1, looking down: the scattered rays stay on the forward half-space and
    // all hit it.
    std::string floorWorld = "float world(vec3 at, float d){ return at.y + 1.; }\n";
    vec3 origin(0.5f, 0, -2);
    trace(floorWorld, plainMaterial, origin, vec3(0, -1, 0), 100.0f);
    std::vector<float> hits = readFloats();
    for (int i = 0; i < side * side; ++i) {
        const float* s = &hits[i * 4];
        vec3 pos(s[0], s[1], s[2]);
        float distance = length(pos - origin);
        ASSERT_NEAR(pos.y, -1.0f, 0.05f) << i;
        EXPECT_NEAR(s[3], 5.0f * distance, 0.01f * 5.0f * distance) << i;
    }
    // Looking up, every ray leaves: position at the far distance, 500, black.
    trace(floorWorld, plainMaterial, origin, vec3(0, 1, 0), 100.0f);
    std::vector<float> misses = readFloats();
    std::vector<unsigned char> colours = readBytes();
    for (int i = 0; i < side * side; ++i) {
        const float* s = &misses[i * 4];
        EXPECT_EQ(s[3], 500.0f) << i;
        EXPECT_NEAR(length(vec3(s[0], s[1], s[2]) - origin), 100.0f, 0.01f) << i;
        EXPECT_GT(s[1], 0.0f) << i;
        EXPECT_EQ(colours[i * 4 + 0] | colours[i * 4 + 1] | colours[i * 4 + 2], 0) << i;
    }
}

TEST_F(GlslRun, StartRoomSamplesLieInTheRoomAndAreLit) {
    SectorStart s;
    trace(s.worldText, s.materialText, vec3(0, 0, 0), vec3(0, 0, -1), s.far);
    std::vector<float> samples = readFloats();
    std::vector<unsigned char> colours = readBytes();
    int lit = 0;
    for (int i = 0; i < side * side; ++i) {
        const float* p = &samples[i * 4];
        ASSERT_LT(p[3], 500.0f) << "a closed room has no misses";
        // Flat walls at |x|, |y| = 16; the z walls have alcoves 5 deep.
        EXPECT_LE(std::fabs(p[0]), 16.2f);
        EXPECT_LE(std::fabs(p[1]), 16.2f);
        EXPECT_LE(std::fabs(p[2]), 21.2f);
        EXPECT_LE(p[2], 0.5f); // rays go forward (-z)
        lit += (colours[i * 4] | colours[i * 4 + 1] | colours[i * 4 + 2]) != 0;
    }
    EXPECT_GT(lit, side * side / 2);
}

// --- Scene texts against the processor collision distances ----------------------------------

// Each case names the GLSL expression that the processor distance copies: the scene's world
// without the parts that are not solid for the viewer.
struct Agreement {
    const char* name;
    int scene;
    const char* glsl;
    vec3 lo, hi;
    float t;
};

void PrintTo(const Agreement& a, std::ostream* os) {
    *os << a.name;
}

class SceneAgreement : public GlslRun, public ::testing::WithParamInterface<Agreement> {};

TEST_P(SceneAgreement, GlslShapesMatchCollisionDistance) {
    const Agreement& a = GetParam();
    World world;
    const Worldsector& s = world.sector(a.scene);
    auto points = scatter(a.lo, a.hi);
    auto r = evaluate(s.worldText, s.materialText, a.glsl, points, a.t);
    for (size_t i = 0; i < points.size(); ++i) {
        float cpu = s.distance(points[i], a.t);
        EXPECT_NEAR(r[i].x, cpu, 2e-3f * std::max(1.0f, std::fabs(cpu)))
            << a.name << " at (" << points[i].x << ", " << points[i].y << ", " << points[i].z
            << ")";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scenes, SceneAgreement,
    ::testing::Values(
        Agreement{"start", 0,
                  "op_nxor(-obj_box(at, vec3(16.)), obj_knee(at + vec3(33., 14., -2.)))",
                  vec3(-45, -20, -20), vec3(20, 20, 20), 0},
        Agreement{"warehouse", 1,
                  "op_or(op_nxor(-obj_box(at + vec3(0., 0., 10.), vec3(6., 4., 35.)), "
                  "op_or(obj_knee(at - vec3(21., 0., 30.)), "
                  "op_and(obj_cylinder_y(at - vec3(2., 0., -41.), 3.), "
                  "obj_box(at - vec3(2., -40., -41.), vec3(4., 43., 4.))))), s_boxes(at))",
                  vec3(-6, -4, -45), vec3(6, 4, 25), 0},
        Agreement{"warehouse_gateways", 1,
                  "op_or(op_nxor(-obj_box(at + vec3(0., 0., 10.), vec3(6., 4., 35.)), "
                  "op_or(obj_knee(at - vec3(21., 0., 30.)), "
                  "op_and(obj_cylinder_y(at - vec3(2., 0., -41.), 3.), "
                  "obj_box(at - vec3(2., -40., -41.), vec3(4., 43., 4.))))), s_boxes(at))",
                  vec3(-4, -90, -50), vec3(36, 4, 45), 0},
        Agreement{"metaballs", 2,
                  "op_or(1.5 + s_metaballs(at), op_nxor(s_room(at), obj_cylinder_y(at, 3.)))",
                  vec3(-14, -20, -14), vec3(14, 20, 14), 2.3f},
        Agreement{"endfall", 3, "op_or(at.y + 10., s_gboxes(at))", vec3(-60, -10, -60),
                  vec3(60, -7, 60), 0},
        Agreement{"endfall_high", 3, "op_or(at.y + 10., s_gboxes(at))", vec3(-60, -13, -60),
                  vec3(60, 40, 60), 0}),
    [](const ::testing::TestParamInfo<Agreement>& info) { return std::string(info.param.name); });

TEST_F(GlslRun, LandscapeTerrainNeverDipsBelowTheCollisionFloor) {
    SectorLandscape s;
    auto points = scatter(vec3(-3000, 0, -3000), vec3(3000, 0, 3000));
    auto r = evaluate(s.worldText, s.materialText, "height(at.xz)", points);
    for (size_t i = 0; i < points.size(); ++i) {
        EXPECT_LE(r[i].x, -93.75f + 1e-3f);
        EXPECT_GE(r[i].x, -100.0f - 1e-3f);
        // The collision floor is at or below the drawn terrain.
        EXPECT_LE(s.distance(vec3(points[i].x, r[i].x, points[i].z), 0), 6.25f + 1e-3f);
        EXPECT_GE(s.distance(vec3(points[i].x, r[i].x, points[i].z), 0), -1e-3f);
    }
}

} // namespace
} // namespace ombrel
