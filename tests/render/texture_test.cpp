// Textures and framebuffers: storage, attachments and draw-buffer lists on a real context.
#include "render_fixture.h"

#include <climits>

using namespace render_test;

namespace {

class TextureTest : public GlTest {
protected:
    ombrel::test::LogCapture capture;
};

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

TEST_F(TextureTest, SameMetaKeepsTheContentsAndBadMetaChangesNothing) {
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
}

TEST_F(TextureTest, DrawBufferListFollowsSlotOrderAndBadSlotsAreLoggedAndIgnored) {
    Ref<Framebuffer> framebuffer = new Framebuffer();
    Ref<Texture> texture = makeTexture(5);
    framebuffer->attachColor(makeTexture(7).get(), 2);
    for (int slot : {0, 4, -1})
        framebuffer->attachColor(texture.get(), slot);
    EXPECT_EQ(capture.lines().size(), 2u);
    EXPECT_EQ(texture->refCount(), 2);
    framebuffer->bind();
    GLint first = 0, second = 0;
    glGetIntegerv(GL_DRAW_BUFFER0, &first);
    glGetIntegerv(GL_DRAW_BUFFER1, &second);
    EXPECT_EQ(first, GL_COLOR_ATTACHMENT0);
    EXPECT_EQ(second, GL_COLOR_ATTACHMENT2);
    framebuffer->attachColor(nullptr, 0);
    EXPECT_EQ(texture->refCount(), 1);
    ASSERT_EQ(framebuffer->drawBufferCount(), 1);
    EXPECT_EQ(framebuffer->drawBuffers()[0], GLenum(GL_COLOR_ATTACHMENT2));
}

TEST_F(TextureTest, DepthNeedsColourTakesItsSizeReplacesTheOldOneAndGoesWithTheTarget) {
    Ref<Framebuffer> framebuffer = new Framebuffer();
    framebuffer->attachDepth();
    EXPECT_EQ(framebuffer->depthRenderbuffer(), 0u);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0].rfind("Framebuffer::attachDepth: no colour texture in slot 0", 0),
              0u);
    Ref<Texture> kept = makeTexture(5, 5, 3);
    framebuffer->attachColor(kept.get(), 0);
    framebuffer->attachDepth();
    const GLuint first = framebuffer->depthRenderbuffer();
    framebuffer->attachDepth();
    const GLuint depth = framebuffer->depthRenderbuffer(), name = framebuffer->name();
    EXPECT_FALSE(glIsRenderbuffer(first) && first != depth);
    GLint width = 0, height = 0;
    glGetRenderbufferParameteriv(GL_RENDERBUFFER, GL_RENDERBUFFER_WIDTH, &width);
    glGetRenderbufferParameteriv(GL_RENDERBUFFER, GL_RENDERBUFFER_HEIGHT, &height);
    EXPECT_EQ(width, 5);
    EXPECT_EQ(height, 3);
    framebuffer = nullptr;
    EXPECT_FALSE(glIsFramebuffer(name) || glIsRenderbuffer(depth));
    EXPECT_EQ(kept->refCount(), 1);
}

} // namespace
