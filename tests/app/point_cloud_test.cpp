// The point-cloud pass against a real GL context: its vertex buffer, the GL state it enables,
// and the round, depth-sized points it draws.
#include "app/point_cloud.h"

#include <gtest/gtest.h>

#include <vector>

#include "render/texture.h"
#include "tests/support/gl_test_context.h"

namespace ombrel {
namespace {

class PointCloudTest : public ::testing::Test {
protected:
    void SetUp() override { OMBREL_REQUIRE_GL(); }

    Ref<Texture> texture(int width, int height, int format, const void* texels = nullptr) {
        Ref<Texture> t = new Texture();
        t->setup(TextureMeta(width, height, format));
        if (texels)
            glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, GL_RGBA,
                            format == TextureRGBA32F ? GL_FLOAT : GL_UNSIGNED_BYTE, texels);
        return t;
    }

    // Draws the given samples (position and size factor, colour) into a cleared 64 by 64 window.
    void drawCloud(int count, const float* positions, const unsigned char* colours) {
        Ref<Texture> p = texture(count, 1, TextureRGBA32F, positions);
        Ref<Texture> c = texture(count, 1, TextureRGBA8, colours);
        PointCloud cloud;
        cloud.setup(nullptr, p.get(), c.get());
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        glViewport(0, 0, 64, 64);
        glClearColor(0, 0, 0, 0);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        cloud.draw(mat4::identity());
        glFinish();
    }
};

TEST_F(PointCloudTest, OnePointPerTexelAtTheTexelCornerWithTheStateItNeeds) {
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_CULL_FACE);
    glDisable(GL_VERTEX_PROGRAM_POINT_SIZE);
    Ref<Texture> positions = texture(256, 256, TextureRGBA32F);
    Ref<Texture> colours = texture(256, 256, TextureRGBA8);
    PointCloud cloud;
    cloud.setup(nullptr, positions.get(), colours.get());
    EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST));
    EXPECT_TRUE(glIsEnabled(GL_CULL_FACE));
    EXPECT_TRUE(glIsEnabled(GL_POINT_SPRITE));
    EXPECT_TRUE(glIsEnabled(GL_VERTEX_PROGRAM_POINT_SIZE));
    ASSERT_TRUE(cloud.batch);
    EXPECT_EQ(cloud.batch->count, 65536);
    EXPECT_EQ(cloud.batch->mode, GLenum(GL_POINTS));
    const Batch::Attribute& a = cloud.batch->attributes[0];
    ASSERT_TRUE(a.buffer);
    EXPECT_EQ(a.components, 2);
    ASSERT_EQ(a.buffer->size(), 524288u);
    EXPECT_GE(cloud.mvpLocation, 0);

    std::vector<float> data(65536 * 2);
    glBindBuffer(GL_ARRAY_BUFFER, a.buffer->name());
    glGetBufferSubData(GL_ARRAY_BUFFER, 0, 524288, data.data());
    EXPECT_EQ(data[0], 0.0f);
    EXPECT_EQ(data[1], 0.0f);
    EXPECT_EQ(data[2], 1.0f / 256.0f);           // vertex 1: next column
    EXPECT_EQ(data[2 * 256 + 1], 1.0f / 256.0f); // vertex 256: next row
    EXPECT_EQ(data[2 * 65535], 255.0f / 256.0f);
    EXPECT_EQ(data[2 * 65535 + 1], 255.0f / 256.0f);
}

// One texel at the centre of clip space, 0.5 deep, with a size factor of 10: a disc of
// 10 / 0.5 = 20 pixels, cut round.
TEST_F(PointCloudTest, DrawsARoundPointSizedByDepthInTheTracedColour) {
    const float position[4] = {0.0f, 0.0f, 0.5f, 10.0f};
    const unsigned char colour[4] = {200, 40, 90, 0};
    drawCloud(1, position, colour);
    const test::Rgba8 centre = test::readPixel(32, 32);
    EXPECT_NEAR(centre.r, 200, 2);
    EXPECT_NEAR(centre.g, 40, 2);
    EXPECT_NEAR(centre.b, 90, 2);
    EXPECT_EQ(centre.a, 255);                        // alpha is forced to 1
    EXPECT_GT(test::readPixel(32 + 8, 32).r, 100);   // inside the radius of 10
    EXPECT_EQ(test::readPixel(32 + 12, 32).r, 0);    // outside it
    EXPECT_EQ(test::readPixel(32 + 8, 32 + 8).r, 0); // a corner of the square sprite, cut off
}

TEST_F(PointCloudTest, DepthTestKeepsTheNearerPointWhateverTheOrder) {
    // The far point comes second in the buffer but lies behind the near one: still hidden.
    const float position[8] = {0.0f, 0.0f, 0.2f, 4.0f, 0.0f, 0.0f, 0.6f, 12.0f};
    const unsigned char colour[8] = {255, 0, 0, 0, 0, 0, 255, 0};
    drawCloud(2, position, colour);
    const test::Rgba8 centre = test::readPixel(32, 32);
    EXPECT_GT(centre.r, 200);
    EXPECT_EQ(centre.b, 0);
}

TEST_F(PointCloudTest, ReleaseDropsTheBatchAndDrawingAfterwardsIsHarmless) {
    Ref<Texture> positions = texture(2, 2, TextureRGBA32F);
    PointCloud cloud;
    cloud.setup(nullptr, positions.get(), texture(2, 2, TextureRGBA8).get());
    cloud.release();
    EXPECT_FALSE(cloud.batch);
    cloud.draw(mat4::identity());
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

} // namespace
} // namespace ombrel
