// The fixed GLSL texts and the scenes' texts, run for real on the test GL context: library
// functions against their processor copies, the tracer, and the scenes' GLSL shapes against the
// processor collision distances.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/render/render_fixture.h"
#include "world/glsl_library.h"
#include "world/sector_shapes.h"
#include "world/sectors.h"
#include "world/world.h"

namespace ombrel {
namespace {

// Stands in for a scene's material text where a test brings its own world.
const char* const plainMaterial =
    "material_t world_material(vec3 p, vec3 n){ return material_t(vec3(1.), 0.); }\n"
    "vec3 world_enlight(vec3 e, vec3 p, vec3 n, material_t m){ return vec3(0.); }\n";

constexpr int side = 16; // up to side x side points per draw

class GlslRun : public render_test::GlTest {
protected:
    // Evaluates `expr` (the arguments of a vec4 constructor, in terms of `at`) at each point,
    // in a program assembled around the given world and material texts.
    std::vector<vec4> evaluate(const std::string& worldText, const std::string& materialText,
                               const std::string& expr, const std::vector<vec3>& points,
                               float t = 0) {
        std::string source = assembleFragmentSource(worldText, materialText);
        source.resize(source.size() - std::strlen(glslMain));
        source += "uniform sampler2D us2_points;\nvoid main(){\n"
                  "vec3 at = texture2D(us2_points, gl_FragCoord.xy/16.).xyz;\n"
                  "gl_FragData[0] = vec4(" +
                  expr + ");\n}\n";
        test::LogCapture log;
        Ref<Batch> batch = makeQuadBatch(source.c_str());
        EXPECT_TRUE(log.lines().empty()) << log.lines().front();
        std::vector<vec4> data(side * side);
        for (size_t i = 0; i < points.size(); ++i)
            data[i] = vec4(points[i], 0);
        Ref<Texture> at = makeTexture(TextureRGBA32F, side, side);
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, side, side, GL_RGBA, GL_FLOAT, data.data());
        batch->material->uniforms.setSampler(uniform(*batch, "us2_points"), at.get());
        batch->material->uniforms.setUniform(uniform(*batch, "uf_t"), UniformFloat, &t);
        Ref<Framebuffer> target = new Framebuffer();
        target->attachColor(makeTexture(TextureRGBA32F, side, side).get(), 0);
        target->bind();
        glViewport(0, 0, side, side);
        batch->draw();
        glReadPixels(0, 0, side, side, GL_RGBA, GL_FLOAT, data.data());
        data.resize(points.size());
        return data;
    }
    // Evaluates against a test world given as the body of world(vec3 at, float d).
    std::vector<vec4> evaluateIn(const std::string& body, const std::string& expr,
                                 const std::vector<vec3>& points) {
        return evaluate("float world(vec3 at, float d){ return " + body + "; }\n", plainMaterial,
                        expr, points);
    }
    // side x side points spread over a box, deterministic.
    static std::vector<vec3> scatter(vec3 lo, vec3 hi) {
        std::vector<vec3> points;
        unsigned seed = 12345;
        auto next = [&seed] {
            return float((seed = seed * 1664525u + 1013904223u) >> 8) / 16777216;
        };
        for (int i = 0; i < side * side; ++i) {
            const float a = next(), b = next(), c = next();
            points.emplace_back(lo.x + (hi.x - lo.x) * a, lo.y + (hi.y - lo.y) * b,
                                lo.z + (hi.z - lo.z) * c);
        }
        return points;
    }
    static void expectNear(const vec4& got, const vec4& want, float tolerance, const vec3& at) {
        EXPECT_LE(length(got - want), tolerance)
            << "(" << got.x << ", " << got.y << ", " << got.z << ", " << got.w << ") at (" << at.x
            << ", " << at.y << ", " << at.z << ")";
    }
};

// Each library function against the processor copy the collision distances use (or, where the
// processor has none, its closed form), at scattered points.
TEST_F(GlslRun, LibraryFunctionsMatchTheirProcessorCopies) {
    using namespace shapes;
    const struct {
        const char* glsl;
        std::function<vec4(const vec3&)> cpu;
    } rows[] = {
        {"obj_box(at, vec3(1., 2., 3.)), obj_knee(at), obj_ball(at, 3.), "
         "obj_plane(at, vec4(0., 1., 0., 1.))",
         [](const vec3& p) {
             return vec4(box(p, vec3(1, 2, 3)), knee(p), length(p) - 3, p.y - 1);
         }},
        {"tr_repeat(at, vec3(8., 8., 36.)), obj_cylinder_x(at, 1.)",
         [](const vec3& p) { return vec4(repeat(p, vec3(8, 8, 36)), std::hypot(p.y, p.z) - 1); }},
        {"tr_rotate_y(at, 1.3), obj_cylinder_y(at, 1.)",
         [](const vec3& p) { return vec4(rotateY(p, 1.3f), std::hypot(p.x, p.z) - 1); }},
        {"tr_rotate_z(at, 1.3), obj_cylinder_z(at, 2.)",
         [](const vec3& p) { return vec4(rotateZ(p, 1.3f), std::hypot(p.x, p.y) - 2); }},
        // A quarter turn about x, and union, intersection and a minus b.
        {"tr_rotate_x(at, 1.5707963).yz, op_or(at.x, at.y), op_and(at.x, at.y)",
         [](const vec3& p) { return vec4(-p.z, p.y, std::min(p.x, p.y), std::max(p.x, p.y)); }},
        {"op_nxor(at.x, at.y), 0., 0., 0.",
         [](const vec3& p) { return vec4(std::max(p.x, -p.y), 0, 0, 0); }},
    };
    const std::vector<vec3> points = scatter(vec3(-30, -30, -30), vec3(30, 30, 30));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.glsl);
        const std::vector<vec4> got = evaluateIn("1.", row.glsl, points);
        for (size_t i = 0; i < points.size() && !HasFailure(); ++i)
            expectNear(got[i], row.cpu(points[i]), 2e-3f * (1 + length(points[i])), points[i]);
    }
}

TEST_F(GlslRun, TraceHitsLeavesOrGivesUp) {
    // A floor at y = -5: down hits within 1 % of the distance, up and sideways leave the range.
    const std::vector<vec3> origin = {vec3(0, 0, 0)};
    const vec4 r = evaluateIn("at.y + 5.",
                              "trace(ray_t(at, vec3(0., -1., 0.)), .01, 100.), "
                              "trace(ray_t(at, vec3(0., 1., 0.)), .01, 100.), "
                              "trace(ray_t(at, vec3(1., 0., 0.)), .01, 100.), 0.",
                              origin)[0];
    EXPECT_NEAR(r.x, 5.0f, 0.05f);
    EXPECT_EQ(r.y, 100.0f);
    EXPECT_EQ(r.z, 100.0f);
    // A world that always stays 2 % ahead of the ray never settles in 256 steps.
    const char* const forward = "trace(ray_t(at, vec3(0., 0., 1.)), .01, 100.), 0., 0., 0.";
    EXPECT_LT(evaluateIn("2.*d", forward, origin)[0].x, 0.0f);
}

// Each row names the GLSL expression that the processor distance copies: the scene's world
// without the parts that are not solid for the viewer.
TEST_F(GlslRun, SceneShapesMatchTheCollisionDistance) {
    const char* const warehouse =
        "op_or(op_nxor(-obj_box(at + vec3(0., 0., 10.), vec3(6., 4., 35.)), op_or(obj_knee(at - "
        "vec3(21., 0., 30.)), op_and(obj_cylinder_y(at - vec3(2., 0., -41.), 3.), obj_box(at - "
        "vec3(2., -40., -41.), vec3(4., 43., 4.))))), s_boxes(at))";
    const char* const endfall = "op_or(at.y + 10., s_gboxes(at))";
    const struct {
        int scene;
        const char* glsl;
        vec3 lo, hi;
        float t;
    } rows[] = {
        {World::start, "op_nxor(-obj_box(at, vec3(16.)), obj_knee(at + vec3(33., 14., -2.)))",
         vec3(-45, -20, -20), vec3(20, 20, 20), 0},
        {World::warehouse, warehouse, vec3(-6, -4, -45), vec3(6, 4, 25), 0},
        {World::warehouse, warehouse, vec3(-4, -90, -50), vec3(36, 4, 45), 0}, // the gateways
        {World::metaballs,
         "op_or(1.5 + s_metaballs(at), op_nxor(s_room(at), obj_cylinder_y(at, 3.)))",
         vec3(-14, -20, -14), vec3(14, 20, 14), 2.3f},
        {World::endfall, endfall, vec3(-60, -10, -60), vec3(60, -7, 60), 0},
        {World::endfall, endfall, vec3(-60, -13, -60), vec3(60, 40, 60), 0},
    };
    World world;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.glsl);
        const Worldsector& s = world.sector(row.scene);
        const auto points = scatter(row.lo, row.hi);
        const auto r = evaluate(s.worldText, s.materialText, row.glsl, points, row.t);
        for (size_t i = 0; i < points.size() && !HasFailure(); ++i) {
            const float cpu = s.distance(points[i], row.t);
            expectNear(vec4(r[i].x, 0, 0, 0), vec4(cpu, 0, 0, 0),
                       2e-3f * std::max(1.0f, std::fabs(cpu)), points[i]);
        }
    }
}

TEST_F(GlslRun, LandscapeTerrainNeverDipsBelowTheCollisionFloor) {
    SectorLandscape s;
    const auto points = scatter(vec3(-3000, 0, -3000), vec3(3000, 0, 3000));
    const auto r = evaluate(s.worldText, s.materialText, "height(at.xz), 0., 0., 0.", points);
    for (size_t i = 0; i < points.size(); ++i) {
        EXPECT_TRUE(r[i].x <= -93.75f + 1e-3f && r[i].x >= -100.0f - 1e-3f) << r[i].x;
        const float floor = s.distance(vec3(points[i].x, r[i].x, points[i].z), 0);
        EXPECT_TRUE(floor >= -1e-3f && floor <= 6.25f + 1e-3f) << floor;
    }
}

} // namespace
} // namespace ombrel
