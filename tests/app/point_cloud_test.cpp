// The point-cloud pass against a real GL context: round, depth-tested, depth-sized points in the
// traced colours, one per texel.
#include "app/point_cloud.h"

#include <gtest/gtest.h>

#include "render/texture.h"
#include "tests/support/gl_test_context.h"

namespace ombrel {
namespace {

Ref<Texture> texture(int format, const void* texels) {
    Ref<Texture> t = new Texture();
    t->setup(TextureMeta(2, 1, format));
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, 2, 1, GL_RGBA,
                    format == TextureRGBA32F ? GL_FLOAT : GL_UNSIGNED_BYTE, texels);
    return t;
}

// A near point in front of a far one that comes second in the buffer, both at the centre of clip
// space: sized by their size factor over depth (10 / 0.5 = 20 pixels across for the far one,
// 2 / 0.2 = 10 for the near one), cut round, in the traced colour with alpha forced to 1.
TEST(PointCloud, DrawsRoundDepthTestedPointsSizedByDepthInTheTracedColour) {
    OMBREL_REQUIRE_GL();
    const float positions[8] = {0.0f, 0.0f, 0.2f, 2.0f, 0.0f, 0.0f, 0.5f, 10.0f};
    const unsigned char colours[8] = {200, 40, 90, 0, 20, 30, 250, 0};
    Ref<Texture> p = texture(TextureRGBA32F, positions), c = texture(TextureRGBA8, colours);
    glDisable(GL_DEPTH_TEST); // setup must turn on what the points need
    glDisable(GL_VERTEX_PROGRAM_POINT_SIZE);
    PointCloud cloud;
    cloud.setup(nullptr, p.get(), c.get());
    ASSERT_TRUE(cloud.batch);
    EXPECT_EQ(cloud.batch->count, 2);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glViewport(0, 0, 64, 64);
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    cloud.draw(mat4::identity());
    const struct {
        int dx, dy, r, g, b, a;
    } table[] = {{0, 0, 200, 40, 90, 255}, // the near point wins the depth test
                 {8, 0, 20, 30, 250, 255}, // only the far point reaches 8 pixels out
                 {12, 0, 0, 0, 0, 0},      // outside both
                 {8, 8, 0, 0, 0, 0}};      // a corner of the far point's square sprite
    for (const auto& row : table) {
        const test::Rgba8 pixel = test::readPixel(32 + row.dx, 32 + row.dy);
        SCOPED_TRACE(testing::Message() << "pixel +" << row.dx << ",+" << row.dy);
        EXPECT_NEAR(pixel.r, row.r, 2);
        EXPECT_NEAR(pixel.g, row.g, 2);
        EXPECT_NEAR(pixel.b, row.b, 2);
        EXPECT_EQ(pixel.a, row.a);
    }
    // Released, it draws nothing and raises no GL error.
    cloud.release();
    cloud.draw(mat4::identity());
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

} // namespace
} // namespace ombrel
