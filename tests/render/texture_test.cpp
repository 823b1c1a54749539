// Textures and framebuffers: storage, attachments and draw-buffer lists on a real context.
#include "render_fixture.h"

#include <climits>
#include <string>

using namespace render_test;

namespace {

class TextureTest : public GlTest {
protected:
    static GLint integer(GLenum name) {
        GLint value = -1;
        glGetIntegerv(name, &value);
        return value;
    }
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
        EXPECT_EQ(meta.stride, row.stride) << "format " << row.format;
    }
    // The padding is worked out in 64 bits: the sanitizer build traps a 32-bit overflow here.
    EXPECT_EQ(TextureMeta(INT_MAX, 1, 7).bytesPerPixel, 16);
}

TEST_F(TextureTest, StorageIsRespecifiedOnlyWhenSizeOrFormatChanges) {
    Ref<Texture> texture = makeTexture(5, 2, 2);
    const Rgba8 texel{1, 2, 3, 4};
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, texel.data());
    Ref<Framebuffer> target = new Framebuffer();
    target->attachColor(texture.get(), 0);
    texture->magFilter = GL_LINEAR;
    texture->setup(TextureMeta(2, 2, 5)); // same meta: contents kept, filters applied again
    GLint filter = 0;
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, &filter);
    EXPECT_EQ(filter, GL_LINEAR);
    EXPECT_EQ(readPixel<Rgba8>(*target, 0, 0, 0), texel);
    // Unknown formats do nothing and say nothing; a negative size is logged and ignored.
    for (int format : {4, 0, 8, -1})
        texture->setup(TextureMeta(4, 4, format));
    EXPECT_TRUE(capture.lines().empty());
    texture->setup(TextureMeta(-4, 4, 5));
    EXPECT_EQ(texture->meta().width, 2);
    EXPECT_EQ(readPixel<Rgba8>(*target, 0, 0, 0), texel);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0], "Texture::setup: invalid size -4x4, storage left unchanged");
}

TEST_F(TextureTest, DrawBufferListFollowsSlotOrderAndBadSlotsAreLoggedAndIgnored) {
    Ref<Framebuffer> framebuffer = new Framebuffer();
    Ref<Texture> texture = makeTexture(5);
    framebuffer->attachColor(makeTexture(7).get(), 2);
    framebuffer->attachColor(texture.get(), 0);
    framebuffer->attachColor(texture.get(), 4);
    framebuffer->attachColor(texture.get(), -1);
    EXPECT_EQ(capture.lines().size(), 2u);
    EXPECT_EQ(texture->refCount(), 2);
    framebuffer->bind();
    EXPECT_EQ(integer(GL_DRAW_BUFFER0), GL_COLOR_ATTACHMENT0);
    EXPECT_EQ(integer(GL_DRAW_BUFFER1), GL_COLOR_ATTACHMENT2);
    EXPECT_EQ(glCheckFramebufferStatus(GL_FRAMEBUFFER), GLenum(GL_FRAMEBUFFER_COMPLETE));
    framebuffer->attachColor(nullptr, 0);
    EXPECT_EQ(texture->refCount(), 1);
    ASSERT_EQ(framebuffer->drawBufferCount(), 1);
    EXPECT_EQ(framebuffer->drawBuffers()[0], GLenum(GL_COLOR_ATTACHMENT2));
}

TEST_F(TextureTest, DepthNeedsColourTakesItsSizeReplacesTheOldOneAndIsDeletedWithTheTarget) {
    Ref<Framebuffer> framebuffer = new Framebuffer();
    framebuffer->attachDepth();
    EXPECT_EQ(framebuffer->depthRenderbuffer(), 0u);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_NE(capture.lines()[0].find("slot 0"), std::string::npos);

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
    EXPECT_EQ(width * 10 + height, 53);
    framebuffer = nullptr;
    EXPECT_FALSE(glIsFramebuffer(name) || glIsRenderbuffer(depth));
    EXPECT_EQ(kept->refCount(), 1);
}

} // namespace
