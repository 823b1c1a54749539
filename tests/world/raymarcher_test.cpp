// The raymarcher on a real GL context (run under xvfb-run): programs per scene, zeroed targets,
// the 2x2 tile cycle and real traces checked against the geometry they must have hit.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/gl_test_context.h"
#include "tests/support/log_capture.h"
#include "world/raymarcher.h"
#include "world/sector_shapes.h"

using namespace ombrel;

// Stands in for a driver that hands out new texture storage with stale contents (llvmpipe
// zeroes it, which would hide targets that are never cleared).
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

// One raymarcher (five compiled programs) shared by the suite; every test starts it at tile 0 in
// the start scene with the position target cleared to a sentinel.
class RaymarcherGl : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!test::ensureGlContext())
            return;
        test::LogCapture capture;
        marcher = new Raymarcher();
        marcher->setup(nullptr, size, size);
        setupLog = capture.lines();
    }
    static void TearDownTestSuite() {
        delete marcher;
        marcher = nullptr;
    }
    void SetUp() override {
        OMBREL_REQUIRE_GL();
        marcher->tile = 0;
        marcher->world.current = World::start;
        clearTargets();
    }
    void clearTargets() {
        marcher->framebuffer->bind();
        glViewport(0, 0, size, size);
        glClearColor(sentinel.x, sentinel.y, sentinel.z, sentinel.w);
        glClear(GL_COLOR_BUFFER_BIT);
        glClearColor(0, 0, 0, 0);
    }
    std::vector<vec4> positions() { return texels(*marcher->positions); }
    // Whether the scene's program is the one bound for drawing.
    bool drewWith(int scene) {
        GLint bound = 0;
        glGetIntegerv(GL_CURRENT_PROGRAM, &bound);
        return GLuint(bound) == marcher->programs[scene].material->program->name();
    }

    static inline Raymarcher* marcher = nullptr;
    static inline std::vector<std::string> setupLog;
};

TEST_F(RaymarcherGl, BuildsOneLinkedProgramPerSceneWithoutLogLines) {
    EXPECT_TRUE(setupLog.empty()) << setupLog.front();
    ASSERT_EQ(marcher->programs.size(), size_t(World::sceneCount));
    for (const SectorProgram& p : marcher->programs) {
        ASSERT_TRUE(p.material->program->linked());
        for (int location : {p.vertexAttribute, p.time, p.near, p.far, p.origin, p.direction})
            EXPECT_NE(location, -1) << "scene " << &p - &marcher->programs[0];
    }
}

// Tiles fill lower left, lower right, upper left, upper right; every ray of the start room
// either hits its surfaces (stored at five times the distance) or stops within range.
TEST_F(RaymarcherGl, TracesTheTilesInOrderAndHitsLieOnTheStartRoomsSurfaces) {
    for (int frame = 0; frame < 4; ++frame) {
        marcher->draw(0.5f + frame * 0.016f, vec3(0, 0, 0), vec3(0, 0, -1));
        EXPECT_EQ(marcher->tile, (frame + 1) % 4);
        const std::vector<vec4> traced = positions();
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x)
                ASSERT_EQ(traced[y * size + x] == sentinel, x / tile + 2 * (y / tile) > frame)
                    << "frame " << frame << " texel " << x << ", " << y;
    }
    int hits = 0;
    for (const vec4& texel : positions()) {
        const vec3 p = texel.xyz();
        const float distance = length(p);
        ASSERT_LE(distance, 100.0f + 1e-3f);
        if (texel.w == 500.0f)
            continue;
        ++hits;
        ASSERT_NEAR(texel.w, 5.0f * distance, 1e-3f * texel.w);
        // Forward rays only: the room ahead, its alcoves (down to z = -21) and nothing behind.
        ASSERT_TRUE(p.z <= 0.0f && p.z >= -21.0f - 0.01f * distance) << p.z;
        // The march stops one step of d < 1 % of the distance past a point d from the surface;
        // with a field of slope at most 1 the hit is in free space, within 2 d of the surface.
        const float field = startRoomWorld(p);
        ASSERT_TRUE(field >= -1e-3f && field <= 0.02f * distance + 1e-3f)
            << field << " at (" << p.x << ", " << p.y << ", " << p.z << ")";
    }
    EXPECT_GT(hits, size * size * 99 / 100);
}

TEST_F(RaymarcherGl, NextDrawAfterAPortalCrossingUsesTheNewScenesProgramAndFar) {
    // The landscape (no portal leads there) looks up into open sky: every ray leaves its
    // 5000-unit range and is drawn black.
    marcher->world.current = World::landscape;
    for (int frame = 0; frame < 4; ++frame)
        marcher->draw(0.0f, vec3(0, 0, 0), vec3(0, 1, 0));
    EXPECT_TRUE(drewWith(World::landscape));
    for (const vec4& texel : positions()) {
        ASSERT_EQ(texel.w, 500.0f);
        ASSERT_NEAR(length(texel.xyz()), 5000.0f, 1.0f);
    }
    for (const vec4& colour : texels(*marcher->colours))
        ASSERT_EQ(colour.xyz(), vec3()) << "misses are drawn black";
    // Its exit box leads into the warehouse; the next frame traces there with a range of 100.
    vec3 position(-33, -14, -10);
    ASSERT_TRUE(marcher->world.cross(position));
    ASSERT_EQ(marcher->world.current, World::warehouse);
    clearTargets();
    marcher->draw(2.0f, vec3(0, 30, -10), vec3(0, 1, 0)); // above the hall: open space
    EXPECT_TRUE(drewWith(World::warehouse));
    const SectorProgram& p = marcher->programs[World::warehouse];
    EXPECT_EQ(p.material->uniforms.find(p.far)[0], 100.0f);
    EXPECT_EQ(p.material->uniforms.find(p.time)[0], 2.0f);
    const std::vector<vec4> traced = positions();
    for (int y = 0; y < tile; ++y)
        for (int x = 0; x < tile; ++x)
            ASSERT_LE(length(traced[y * size + x].xyz() - vec3(0, 30, -10)), 100.0f + 1e-2f);
}

// A raymarcher of its own, with one scene whose program fails: targets start zeroed (the
// garbage storage above must not show), the caller's state survives setup, missing uniforms
// take no slot, and nothing is drawn after release.
TEST_F(RaymarcherGl, StartsWithZeroedTargetsAndSurvivesAFailedProgramAndRelease) {
    Raymarcher local;
    local.world.sectors[World::start]->worldText = "float world(vec3 at, float d){ broken }\n";
    local.world.sectors[World::warehouse].reset(); // setup stops at the first missing scene
    Framebuffer::bind(nullptr);
    glClearColor(0.25f, 0.5f, 0.75f, 1.0f);
    test::LogCapture capture;
    local.setup(nullptr, 255, 255);
    EXPECT_FALSE(capture.lines().empty());
    GLint bound = -1;
    float colour[4] = {};
    glGetIntegerv(GL_FRAMEBUFFER_BINDING, &bound);
    glGetFloatv(GL_COLOR_CLEAR_VALUE, colour);
    EXPECT_EQ(bound, 0);
    EXPECT_EQ(vec4(colour[0], colour[1], colour[2], colour[3]), vec4(0.25f, 0.5f, 0.75f, 1.0f));
    glClearColor(0, 0, 0, 0);
    for (const Texture* target : {local.positions.get(), local.colours.get()})
        for (const vec4& texel : texels(*target))
            ASSERT_EQ(texel, vec4()) << "target " << target->meta().format;

    ASSERT_EQ(local.programs.size(), 1u);
    EXPECT_EQ(local.tileSize, 127); // odd sizes round down
    local.tile = 3;
    local.draw(1.0f, vec3(), vec3(0, 0, -1));
    // Storing location -1 would let missing uniforms of different sizes share one slot.
    EXPECT_EQ(local.programs[0].material->uniforms.slot(0).type, 0u);
    EXPECT_EQ(local.tile, 0);
    local.release();
    EXPECT_TRUE(local.programs.empty());
    local.draw(0.0f, vec3(), vec3(0, 0, -1)); // must not touch released objects
    EXPECT_EQ(local.tile, 0);
}

} // namespace
