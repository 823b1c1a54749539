// The world on a real GL context (run under xvfb-run): the scenes' GLSL shapes against the
// processor collision distances, and the raymarcher: programs per scene, zeroed targets, the 2x2
// tile cycle and real traces checked against the geometry they must have hit.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tests/render/render_fixture.h"
#include "world/glsl_library.h"
#include "world/raymarcher.h"
#include "world/sector_shapes.h"

using namespace ombrel;

// Stands in for a driver that hands out new texture storage with stale contents; one that
// zeroes it would hide targets that are never cleared.
extern "C" void glTexImage2D(GLenum target, GLint level, GLint internalFormat, GLsizei width,
                             GLsizei height, GLint border, GLenum format, GLenum type,
                             const void* pixels) {
    using Fn = void (*)(GLenum, GLint, GLint, GLsizei, GLsizei, GLint, GLenum, GLenum, const void*);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "glTexImage2D"));
    std::vector<unsigned char> stale(pixels ? 0 : size_t(width) * size_t(height) * 16, 0xA5);
    real(target, level, internalFormat, width, height, border, format, type,
         pixels ? pixels : stale.data());
}

namespace {

constexpr int side = 16; // up to side x side points per draw

class WorldGl : public render_test::GlTest {
protected:
    // Evaluates `expr` (a float in terms of `at`) at each point, in the scene's program with a
    // main that reads the points from a texture.
    std::vector<vec4> evaluate(const Worldsector& scene, const std::string& expr,
                               const std::vector<vec3>& points, float t) {
        std::string source = assembleFragmentSource(scene.worldText, scene.materialText);
        source.resize(source.size() - std::strlen(glslMain));
        source += "uniform sampler2D us2_points;\nvoid main(){\n"
                  "vec3 at = texture2D(us2_points, gl_FragCoord.xy/16.).xyz;\n"
                  "gl_FragData[0] = vec4(" +
                  expr + ");\n}\n";
        Ref<Batch> batch = makeQuadBatch(source.c_str());
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
    // side x side points spread over a box: a grid in x and y, z stepped by the golden ratio.
    static std::vector<vec3> scatter(vec3 lo, vec3 hi) {
        std::vector<vec3> points;
        for (int i = 0; i < side * side; ++i) {
            const vec3 f((i % side + 0.5f) / side, (i / side + 0.5f) / side,
                         std::fmod(i * 0.618034f, 1.0f));
            points.emplace_back(lo.x + (hi.x - lo.x) * f.x, lo.y + (hi.y - lo.y) * f.y,
                                lo.z + (hi.z - lo.z) * f.z);
        }
        return points;
    }
};

// Each row names the GLSL expression that the processor distance copies: the scene's world
// without the parts that are not solid for the viewer.
TEST_F(WorldGl, SceneShapesMatchTheCollisionDistance) {
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
        const auto r = evaluate(s, row.glsl, points, row.t);
        for (size_t i = 0; i < points.size() && !HasFailure(); ++i) {
            const float cpu = s.distance(points[i], row.t);
            EXPECT_NEAR(r[i].x, cpu, 2e-3f * std::max(1.0f, std::fabs(cpu))) << i;
        }
    }
}

constexpr int size = 256, tile = 128;
const vec4 sentinel{-7.0f, -7.0f, -7.0f, -7.0f};

// The start room's GLSL world() on the processor: room, alcoves, knee tunnel and balls.
float startRoomWorld(const vec3& at) {
    const float room = -shapes::box(at, vec3(16, 16, 16));
    const float cells = shapes::box(shapes::repeat(at, vec3(8, 8, 36)), vec3(3, 3, 3));
    const float walls = std::max(room, -std::min(cells, shapes::knee(at + vec3(33, 14, -2))));
    const vec3 rpt = shapes::repeat(at - vec3(0, -1, 0), vec3(8, 8, 37));
    return std::min(walls,
                    std::max(length(rpt) - 2.0f, -shapes::box(at - vec3(4, 4, 18), vec3(3, 3, 3))));
}

// Every texel as floats (8-bit channels read back as 0..1).
std::vector<vec4> texels(const Texture& texture) {
    std::vector<vec4> texels(size_t(texture.meta().width) * size_t(texture.meta().height));
    glBindTexture(GL_TEXTURE_2D, texture.name());
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_FLOAT, texels.data());
    glBindTexture(GL_TEXTURE_2D, 0);
    return texels;
}

// Fills the targets with a sentinel that no trace writes.
void clearTargets(Raymarcher& marcher) {
    marcher.framebuffer->bind();
    glViewport(0, 0, size, size);
    glClearColor(sentinel.x, sentinel.y, sentinel.z, sentinel.w);
    glClear(GL_COLOR_BUFFER_BIT);
    glClearColor(0, 0, 0, 0);
}

// Every program links silently. Tiles fill lower left, lower right, upper left, upper right with
// start-room hits at five times their distance; the landscape's sky is all misses at 5000; a
// crossing switches the next draw to the warehouse's program and far.
TEST_F(WorldGl, RaymarcherTracesEveryTileOfTheCurrentSceneWithItsProgram) {
    test::LogCapture capture;
    Raymarcher marcher;
    marcher.setup(nullptr, size, size);
    EXPECT_TRUE(capture.lines().empty()) << capture.lines().front();
    ASSERT_EQ(marcher.programs.size(), size_t(World::sceneCount));
    for (const SectorProgram& p : marcher.programs)
        for (int location : {p.vertexAttribute, p.time, p.near, p.far, p.origin, p.direction})
            EXPECT_NE(location, -1) << "scene " << &p - &marcher.programs[0];
    clearTargets(marcher);
    for (int frame = 0; frame < 4; ++frame) {
        marcher.draw(0.5f + frame * 0.016f, vec3(0, 0, 0), vec3(0, 0, -1));
        EXPECT_EQ(marcher.tile, (frame + 1) % 4);
        const std::vector<vec4> traced = texels(*marcher.positions);
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x)
                ASSERT_EQ(traced[y * size + x] == sentinel, x / tile + 2 * (y / tile) > frame)
                    << "frame " << frame << " texel " << x << ", " << y;
    }
    int hits = 0;
    for (const vec4& texel : texels(*marcher.positions)) {
        const vec3 p = texel.xyz();
        const float distance = length(p);
        ASSERT_LE(distance, 100.0f + 1e-3f);
        if (texel.w == 500.0f)
            continue;
        ++hits;
        ASSERT_NEAR(texel.w, 5.0f * distance, 1e-3f * texel.w);
        // Forward rays only (alcoves reach z = -21). The march stops one step of d < 1 % of the
        // distance past a point d from the surface: in free space, within 2 d of the surface.
        ASSERT_TRUE(p.z <= 0.0f && p.z >= -21.0f - 0.01f * distance) << p.z;
        const float field = startRoomWorld(p);
        ASSERT_TRUE(field >= -1e-3f && field <= 0.02f * distance + 1e-3f)
            << field << " at (" << p.x << ", " << p.y << ", " << p.z << ")";
    }
    EXPECT_GT(hits, size * size * 99 / 100);

    marcher.world.current = World::landscape; // no portal leads there
    for (int frame = 0; frame < 4; ++frame)
        marcher.draw(0.0f, vec3(0, 0, 0), vec3(0, 1, 0));
    EXPECT_EQ(marcher.batch->material, marcher.programs[World::landscape].material);
    for (const vec4& texel : texels(*marcher.positions))
        ASSERT_TRUE(texel.w == 500.0f && std::fabs(length(texel.xyz()) - 5000.0f) < 1.0f);
    for (const vec4& colour : texels(*marcher.colours))
        ASSERT_EQ(colour.xyz(), vec3()) << "misses are drawn black";
    vec3 position(-33, -14, -10);
    ASSERT_TRUE(marcher.world.cross(position));
    ASSERT_EQ(marcher.world.current, World::warehouse);
    clearTargets(marcher);
    marcher.draw(2.0f, vec3(0, 30, -10), vec3(0, 1, 0)); // above the hall: open sky
    EXPECT_EQ(marcher.batch->material, marcher.programs[World::warehouse].material);
    const std::vector<vec4> traced = texels(*marcher.positions);
    for (int y = 0; y < tile; ++y)
        for (int x = 0; x < tile; ++x)
            ASSERT_LE(length(traced[y * size + x].xyz() - vec3(0, 30, -10)), 100.0f + 1e-2f);
}

// One failing scene: targets start zeroed despite stale storage, the caller's state survives
// setup, missing uniforms take no slot, and nothing is drawn after release.
TEST_F(WorldGl, RaymarcherStartsWithZeroedTargetsAndSurvivesAFailedProgramAndRelease) {
    Raymarcher local;
    local.world.sectors[World::start]->worldText = "float world(vec3 at, float d){ broken }\n";
    local.world.sectors[World::warehouse].reset(); // setup stops at the first missing scene
    Framebuffer::bind(nullptr);
    glClearColor(0.25f, 0.5f, 0.75f, 1.0f);
    test::LogCapture capture;
    local.setup(nullptr, 255, 255);
    EXPECT_FALSE(capture.lines().empty());
    GLint bound = -1;
    vec4 colour;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING, &bound);
    glGetFloatv(GL_COLOR_CLEAR_VALUE, &colour.x);
    EXPECT_EQ(bound, 0);
    EXPECT_EQ(colour, vec4(0.25f, 0.5f, 0.75f, 1.0f));
    glClearColor(0, 0, 0, 0);
    for (const Texture* target : {local.positions.get(), local.colours.get()})
        for (const vec4& texel : texels(*target))
            ASSERT_EQ(texel, vec4()) << "target " << target->meta().format;

    ASSERT_EQ(local.programs.size(), 1u);
    local.draw(1.0f, vec3(), vec3(0, 0, -1));
    // Storing location -1 would let missing uniforms of different sizes share one slot.
    EXPECT_EQ(local.programs[0].material->uniforms.slot(0).type, 0u);
    local.release();
    local.draw(0.0f, vec3(), vec3(0, 0, -1)); // must not touch released objects
    EXPECT_EQ(local.tile, 1);
}

} // namespace
