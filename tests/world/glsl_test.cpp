// The fixed GLSL texts and the scenes' texts, run for real on the test GL context: the library
// functions give the values their formulas promise, and the scenes' GLSL shapes agree with the
// processor collision distances where those are copies of them. Compiling every scene and real
// traces are the raymarcher test's business.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/render/render_fixture.h"
#include "world/glsl_library.h"
#include "world/sectors.h"
#include "world/world.h"

namespace ombrel {
namespace {

using render_test::Batch;
using render_test::Framebuffer;
using render_test::Ref;
using render_test::Texture;

// Stands in for a scene's material text where a test brings its own world.
const char* const plainMaterial =
    "material_t world_material(vec3 p, vec3 n){ return material_t(vec3(1.), 0.); }\n"
    "vec3 world_enlight(vec3 e, vec3 p, vec3 n, material_t m){ return vec3(0.); }\n";

constexpr int side = 16; // up to side x side points per draw
static_assert(sizeof(vec4) == 4 * sizeof(float), "texels are read straight into vec4s");

// Draws with the render core into a float target, one texel per point.
class GlslRun : public render_test::GlTest {
protected:
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
                  expr + ");\n}\n";
        test::LogCapture log;
        Ref<Batch> batch = makeQuadBatch(source.c_str());
        EXPECT_TRUE(log.lines().empty()) << log.lines().front();
        std::vector<float> data(side * side * 4, 0.0f);
        for (size_t i = 0; i < points.size() && i < size_t(side * side); ++i) {
            data[i * 4 + 0] = points[i].x;
            data[i * 4 + 1] = points[i].y;
            data[i * 4 + 2] = points[i].z;
        }
        Ref<Texture> at = makeTexture(TextureRGBA32F, side, side);
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, side, side, GL_RGBA, GL_FLOAT, data.data());
        batch->material->uniforms.setSampler(uniform(*batch, "us2_points"), at.get());
        batch->material->uniforms.setUniform(uniform(*batch, "uf_t"), UniformFloat, &t);
        Ref<Framebuffer> target = new Framebuffer();
        target->attachColor(makeTexture(TextureRGBA32F, side, side).get(), 0);
        target->bind();
        glViewport(0, 0, side, side);
        batch->draw();
        std::vector<vec4> out(side * side);
        glReadPixels(0, 0, side, side, GL_RGBA, GL_FLOAT, out.data());
        out.resize(points.size());
        return out;
    }

    // Evaluates against a test world given as the body of world(vec3 at, float d).
    std::vector<vec4> evaluateIn(const std::string& worldBody, const std::string& expr,
                                 const std::vector<vec3>& points) {
        return evaluate("float world(vec3 at, float d){ return " + worldBody + "; }\n",
                        plainMaterial, expr, points);
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
};

// --- Assembly -----------------------------------------------------------------------------

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

// --- Library ------------------------------------------------------------------------------

// Shapes, transforms and combinations at points where the answer is known by hand; `at` is the
// point, all four components are compared.
TEST_F(GlslRun, LibraryShapesTransformsAndCombinations) {
    struct Case {
        const char* expr;
        vec3 at;
        vec4 want;
    };
    const float r160 = std::sqrt(160.0f) - 1, r153 = std::sqrt(153.0f) - 1;
    const Case cases[] = {
        // Box: the largest per-axis excess, not the Euclidean distance in a corner direction.
        {"obj_box(at, vec3(1., 2., 3.)), 0., 0., 0.", vec3(0, 0, 0), vec4(-1, 0, 0, 0)},
        {"obj_box(at, vec3(1., 2., 3.)), 0., 0., 0.", vec3(3, 3, 3), vec4(2, 0, 0, 0)},
        {"obj_box(at, vec3(1., 2., 3.)), 0., 0., 0.", vec3(0, 0, -7), vec4(4, 0, 0, 0)},
        // Repeat: floored mod(x, 8) - 4, also for negative coordinates.
        {"tr_repeat(at, vec3(8., 8., 36.)), 0.", vec3(1, 9, -1), vec4(-3, -3, 17, 0)},
        {"tr_repeat(at, vec3(8., 8., 36.)), 0.", vec3(-3, -7, 17), vec4(1, -3, -1, 0)},
        // Right-handed quarter turns of (1, 2, 3).
        {"tr_rotate_x(at, 1.5707963), 0.", vec3(1, 2, 3), vec4(1, -3, 2, 0)},
        {"tr_rotate_y(at, 1.5707963), 0.", vec3(1, 2, 3), vec4(3, 2, -1, 0)},
        {"tr_rotate_z(at, 1.5707963), 0.", vec3(1, 2, 3), vec4(-2, 1, 3, 0)},
        // Union, intersection, a minus b (inside b is outside the result; inside a and outside
        // b stays inside).
        {"op_or(2., -1.), op_and(2., -1.), op_nxor(2., -1.), op_nxor(-3., 1.)", vec3(),
         vec4(-1, 2, 2, -1)},
        {"obj_ball(at, 3.), obj_cylinder_x(at, 1.), obj_cylinder_y(at, 1.), "
         "obj_plane(at, vec4(0., 1., 0., 1.))",
         vec3(3, 4, 12), vec4(10, r160, r153, 3)},
        {"obj_cylinder_z(at, 2.), 0., 0., 0.", vec3(3, 4, 12), vec4(3, 0, 0, 0)},
    };
    auto component = [](const vec4& v, int k) {
        return k == 0 ? v.x : k == 1 ? v.y : k == 2 ? v.z : v.w;
    };
    for (const Case& c : cases) {
        const vec4 got = evaluateIn("1.", c.expr, {c.at})[0];
        for (int k = 0; k < 4; ++k)
            EXPECT_NEAR(component(got, k), component(c.want, k), 1e-4f)
                << c.expr << " at (" << c.at.x << ", " << c.at.y << ", " << c.at.z << ")[" << k
                << "]";
    }
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

// Every ray leaves a floor's half-space looking up: position at the far distance, 500, black.
// (Hits at five times their distance are checked on real scenes by the raymarcher test.)
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

const char* const warehouseSolid =
    "op_or(op_nxor(-obj_box(at + vec3(0., 0., 10.), vec3(6., 4., 35.)), "
    "op_or(obj_knee(at - vec3(21., 0., 30.)), op_and(obj_cylinder_y(at - vec3(2., 0., -41.), 3.), "
    "obj_box(at - vec3(2., -40., -41.), vec3(4., 43., 4.))))), s_boxes(at))";
const char* const endfallSolid = "op_or(at.y + 10., s_gboxes(at))";

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
        Agreement{"warehouse", 1, warehouseSolid, vec3(-6, -4, -45), vec3(6, 4, 25), 0},
        Agreement{"warehouse_gateways", 1, warehouseSolid, vec3(-4, -90, -50), vec3(36, 4, 45), 0},
        Agreement{"metaballs", 2,
                  "op_or(1.5 + s_metaballs(at), op_nxor(s_room(at), obj_cylinder_y(at, 3.)))",
                  vec3(-14, -20, -14), vec3(14, 20, 14), 2.3f},
        Agreement{"endfall", 3, endfallSolid, vec3(-60, -10, -60), vec3(60, -7, 60), 0},
        Agreement{"endfall_high", 3, endfallSolid, vec3(-60, -13, -60), vec3(60, 40, 60), 0}),
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
