// The raymarcher on a real GL context (run under xvfb-run): program assembly per scene, the 2x2
// tile cycle, and real traces checked against the geometry they must have hit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/gl_test_context.h"
#include "tests/support/log_capture.h"
#include "world/glsl_library.h"
#include "world/raymarcher.h"
#include "world/sector_shapes.h"

using namespace ombrel;

namespace {

constexpr int size = 256;
constexpr int tile = 128;
const vec4 sentinel{-7.0f, -7.0f, -7.0f, -7.0f};

// The start room's GLSL world() on the processor: room, alcoves, knee tunnel and balls.
float startRoomWorld(const vec3& at) {
    const float room = -shapes::box(at, vec3(16, 16, 16));
    const float cells = shapes::box(shapes::repeat(at, vec3(8, 8, 36)), vec3(3, 3, 3));
    const float knee = shapes::knee(at + vec3(33, 14, -2));
    const float walls = std::max(room, -std::min(cells, knee));
    const vec3 rpt = shapes::repeat(at - vec3(0, -1, 0), vec3(8, 8, 37));
    const float balls =
        std::max(length(rpt) - 2.0f, -shapes::box(at - vec3(4, 4, 18), vec3(3, 3, 3)));
    return std::min(walls, balls);
}

// One raymarcher (five compiled programs) shared by the suite; every test starts it at tile 0 in
// the start scene with both targets cleared to a sentinel.
class RaymarcherGl : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!test::ensureGlContext())
            return;
        capture = new test::LogCapture();
        marcher = new Raymarcher();
        marcher->setup(nullptr, size, size);
        setupLog = capture->lines();
        delete capture;
        capture = nullptr;
    }
    static void TearDownTestSuite() {
        if (marcher) {
            marcher->release();
            delete marcher;
            marcher = nullptr;
        }
    }

    void SetUp() override {
        OMBREL_REQUIRE_GL();
        ASSERT_NE(marcher, nullptr);
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

    // The float target as written: texel (x, y) at index y * size + x, row 0 at the bottom.
    std::vector<vec4> readPositions() {
        std::vector<vec4> texels(size * size);
        glFinish();
        glBindTexture(GL_TEXTURE_2D, marcher->positions->name());
        glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_FLOAT, texels.data());
        glBindTexture(GL_TEXTURE_2D, 0);
        return texels;
    }

    GLuint programOf(int scene) const { return marcher->programs[scene].material->program->name(); }

    static bool isSentinel(const vec4& v) { return v == sentinel; }

    static Raymarcher* marcher;
    static test::LogCapture* capture;
    static std::vector<std::string> setupLog;
};

Raymarcher* RaymarcherGl::marcher = nullptr;
test::LogCapture* RaymarcherGl::capture = nullptr;
std::vector<std::string> RaymarcherGl::setupLog;

TEST_F(RaymarcherGl, BuildsOneLinkedProgramPerSceneWithoutLogLines) {
    EXPECT_TRUE(setupLog.empty()) << setupLog.front();
    ASSERT_EQ(marcher->programs.size(), marcher->world.sectors.size());
    for (size_t i = 0; i < marcher->programs.size(); ++i) {
        const SectorProgram& p = marcher->programs[i];
        SCOPED_TRACE("scene " + std::to_string(i));
        ASSERT_TRUE(p.material);
        EXPECT_TRUE(p.material->program->linked());
        EXPECT_NE(p.vertexAttribute, -1);
        EXPECT_NE(p.time, -1);
        EXPECT_NE(p.near, -1);
        EXPECT_NE(p.far, -1);
        EXPECT_NE(p.origin, -1);
        EXPECT_NE(p.direction, -1);
    }
}

TEST_F(RaymarcherGl, FragmentSourceIsTheSixPiecesJoinedInOrder) {
    for (size_t i = 0; i < marcher->programs.size(); ++i) {
        const Worldsector& sector = marcher->world.sector(static_cast<int>(i));
        const std::string expected = std::string(glslPrelude) + glslLibrary + sector.worldText +
                                     glslTracer + sector.materialText + glslMain;
        const GLuint shader = marcher->programs[i].material->program->fragmentShader();
        GLint length = 0;
        glGetShaderiv(shader, GL_SHADER_SOURCE_LENGTH, &length);
        std::string source(static_cast<size_t>(length), '\0');
        glGetShaderSource(shader, length, nullptr, &source[0]);
        source.resize(source.find('\0') == std::string::npos ? source.size() : source.find('\0'));
        EXPECT_TRUE(source == expected)
            << "scene " << i << ": " << source.size() << " bytes, not " << expected.size();
    }
}

TEST_F(RaymarcherGl, FillsTilesLowerLeftLowerRightUpperLeftUpperRightThenWraps) {
    const int origins[5][2] = {{0, 0}, {tile, 0}, {0, tile}, {tile, tile}, {0, 0}};
    for (int frame = 0; frame < 5; ++frame) {
        SCOPED_TRACE("frame " + std::to_string(frame));
        clearTargets();
        marcher->draw(frame * 0.1f, vec3(0, 0, 0), vec3(0, 0, -1));
        const std::vector<vec4> texels = readPositions();
        int writtenInside = 0, writtenOutside = 0;
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x) {
                const bool inside = x >= origins[frame][0] && x < origins[frame][0] + tile &&
                                    y >= origins[frame][1] && y < origins[frame][1] + tile;
                const bool written = !isSentinel(texels[y * size + x]);
                (inside ? writtenInside : writtenOutside) += written;
            }
        EXPECT_EQ(writtenInside, tile * tile);
        EXPECT_EQ(writtenOutside, 0);
        EXPECT_EQ(marcher->tile, (frame + 1) % 4);
    }
}

TEST_F(RaymarcherGl, StartRoomHitsLieOnItsSurfacesAtFiveTimesTheirDistance) {
    const vec3 origin(0, 0, 0);
    for (int frame = 0; frame < 4; ++frame)
        marcher->draw(0.5f + frame * 0.016f, origin, vec3(0, 0, -1));
    const std::vector<vec4> texels = readPositions();

    int hits = 0, misses = 0;
    for (const vec4& texel : texels) {
        ASSERT_FALSE(isSentinel(texel));
        const vec3 p = texel.xyz();
        const float distance = length(p - origin);
        if (texel.w == 500.0f) {
            // A march that did not settle: it stopped somewhere along the ray within range.
            ++misses;
            EXPECT_LE(distance, 100.0f + 1e-3f);
            continue;
        }
        ++hits;
        EXPECT_NEAR(texel.w, 5.0f * distance, 1e-3f * texel.w);
        // Forward rays only: the room ahead, its alcoves (down to z = -21) and nothing behind.
        EXPECT_LE(std::fabs(p.x), 16.0f + 0.01f * distance);
        EXPECT_LE(std::fabs(p.y), 16.0f + 0.01f * distance);
        EXPECT_GE(p.z, -21.0f - 0.01f * distance);
        EXPECT_LE(p.z, 0.0f);
        // The march stops one step of d < 1 % of the distance past a point d from the surface;
        // with a field of slope at most 1 the hit is in free space, within 2 d of the surface.
        const float field = startRoomWorld(p);
        EXPECT_GE(field, -1e-3f) << "at (" << p.x << ", " << p.y << ", " << p.z << ")";
        EXPECT_LE(field, 0.02f * distance + 1e-3f)
            << "at (" << p.x << ", " << p.y << ", " << p.z << ")";
        if (HasFailure())
            return;
    }
    EXPECT_GT(hits, size * size * 99 / 100);
    EXPECT_EQ(hits + misses, size * size);
}

TEST_F(RaymarcherGl, UploadsPerFrameUniformsIntoTheCurrentScenesMaterial) {
    marcher->draw(3.25f, vec3(1, 2, 3), vec3(0, 0, -1));
    const SectorProgram& p = marcher->programs[World::start];
    const UniformState& u = p.material->uniforms;
    ASSERT_NE(u.find(p.time), nullptr);
    EXPECT_EQ(u.find(p.time)[0], 3.25f);
    EXPECT_EQ(u.find(p.near)[0], 0.01f);
    EXPECT_EQ(u.find(p.far)[0], 100.0f);
    EXPECT_EQ(vec3(u.find(p.origin)[0], u.find(p.origin)[1], u.find(p.origin)[2]), vec3(1, 2, 3));
    const float* dir = u.find(p.direction);
    EXPECT_EQ(vec4(dir[0], dir[1], dir[2], dir[3]), vec4(0, 0, -1, 2.0f));
    EXPECT_EQ(marcher->batch->material.get(), p.material.get());
}

TEST_F(RaymarcherGl, NextDrawAfterAPortalCrossingUsesTheNewScenesProgramAndFar) {
    // The landscape, reached here by setting the index (no portal leads there), looks up into
    // open sky: every ray leaves its 5000-unit range.
    marcher->world.current = World::landscape;
    for (int frame = 0; frame < 4; ++frame)
        marcher->draw(0.0f, vec3(0, 0, 0), vec3(0, 1, 0));
    GLint bound = 0;
    glGetIntegerv(GL_CURRENT_PROGRAM, &bound);
    EXPECT_EQ(static_cast<GLuint>(bound), programOf(World::landscape));
    for (const vec4& texel : readPositions()) {
        ASSERT_EQ(texel.w, 500.0f);
        ASSERT_NEAR(length(texel.xyz()), 5000.0f, 1.0f);
    }
    // Misses are drawn black.
    std::vector<unsigned char> colours(size * size * 4);
    glBindTexture(GL_TEXTURE_2D, marcher->colours->name());
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, colours.data());
    glBindTexture(GL_TEXTURE_2D, 0);
    for (size_t i = 0; i < colours.size(); i += 4)
        ASSERT_EQ(colours[i] | colours[i + 1] | colours[i + 2], 0) << "texel " << i / 4;

    // Its exit box leads into the warehouse; the next frame traces there with a range of 100.
    vec3 position(-33, -14, -10);
    ASSERT_TRUE(marcher->world.cross(position));
    ASSERT_EQ(marcher->world.current, World::warehouse);
    clearTargets();
    marcher->draw(0.0f, vec3(0, 30, -10), vec3(0, 1, 0)); // above the hall: open space
    glGetIntegerv(GL_CURRENT_PROGRAM, &bound);
    EXPECT_EQ(static_cast<GLuint>(bound), programOf(World::warehouse));
    const std::vector<vec4> texels = readPositions();
    for (int y = 0; y < tile; ++y)
        for (int x = 0; x < tile; ++x) {
            const vec4& texel = texels[y * size + x];
            ASSERT_FALSE(isSentinel(texel));
            ASSERT_LE(length(texel.xyz() - vec3(0, 30, -10)), 100.0f + 1e-2f);
        }
}

TEST_F(RaymarcherGl, DrawsNothingAfterRelease) {
    Raymarcher local;
    local.setup(nullptr, 255, 255);
    EXPECT_EQ(local.tileSize, 127); // odd sizes round down
    int rect[4];
    local.tile = 3;
    local.nextTileRect(rect);
    EXPECT_EQ(rect[0], 127);
    EXPECT_EQ(rect[1], 127);
    local.release();
    EXPECT_TRUE(local.programs.empty());
    EXPECT_FALSE(local.framebuffer);
    local.draw(0.0f, vec3(), vec3(0, 0, -1)); // must not touch released objects
    EXPECT_EQ(local.tile, 3);
}

} // namespace
