// Textures and framebuffers: storage, parameters, attachments and draw-buffer lists, read back
// from a real context.
#include "render_fixture.h"

#include <dlfcn.h>

#include <string>

using namespace render_test;

namespace {

// Counts the storage specifications the render core makes and forwards each one to the driver:
// a real texture cannot tell whether its storage was specified once or twice.
int texImageCalls = 0;

} // namespace

extern "C" void glTexImage2D(GLenum target, GLint level, GLint internalFormat, GLsizei width,
                             GLsizei height, GLint border, GLenum format, GLenum type,
                             const void* pixels) {
    using Fn = void (*)(GLenum, GLint, GLint, GLsizei, GLsizei, GLint, GLenum, GLenum, const void*);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "glTexImage2D"));
    ++texImageCalls;
    real(target, level, internalFormat, width, height, border, format, type, pixels);
}

namespace {

class TextureSetup : public GlTest {
protected:
    GLint level(GLenum parameter) {
        GLint value = 0;
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, parameter, &value);
        return value;
    }
    GLint parameter(GLenum name) {
        GLint value = 0;
        glGetTexParameteriv(GL_TEXTURE_2D, name, &value);
        return value;
    }
};

class FramebufferAttach : public GlTest {
protected:
    GLint integer(GLenum name) {
        GLint value = -1;
        glGetIntegerv(name, &value);
        return value;
    }
};

} // namespace

TEST(TextureMetaTest, DerivesBytesPerPixelAndFourBytePaddedStride) {
    EXPECT_EQ(TextureMeta(255, 1, 5).stride, 1020);
    EXPECT_EQ(TextureMeta(3, 1, 1).stride, 4);
    EXPECT_EQ(TextureMeta(5, 1, 2).stride, 12);
    EXPECT_EQ(TextureMeta(3, 1, 4).stride, 12);
    TextureMeta floats(256, 256, 7);
    EXPECT_EQ(floats.bytesPerPixel, 16);
    EXPECT_EQ(floats.stride, 4096);
    EXPECT_EQ(TextureMeta(10, 10, 0).bytesPerPixel, 0);
    EXPECT_EQ(TextureMeta(10, 10, 8).bytesPerPixel, 0);
    EXPECT_EQ(TextureMeta(10, 10, -3).stride, 0);
}

TEST_F(TextureSetup, AllocatesFloatStorageWithNearestFilteringAndRepeat) {
    Ref<Texture> texture = new Texture();
    EXPECT_EQ(texture->meta().width, 0);
    EXPECT_EQ(texture->meta().format, 0);
    texture->setup(TextureMeta(16, 4, 7));
    GLint bound = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    EXPECT_EQ(GLuint(bound), texture->name());
    EXPECT_EQ(level(GL_TEXTURE_WIDTH), 16);
    EXPECT_EQ(level(GL_TEXTURE_HEIGHT), 4);
    EXPECT_EQ(level(GL_TEXTURE_INTERNAL_FORMAT), GL_RGBA32F_ARB);
    EXPECT_EQ(parameter(GL_TEXTURE_MAG_FILTER), GL_NEAREST);
    EXPECT_EQ(parameter(GL_TEXTURE_MIN_FILTER), GL_NEAREST);
    EXPECT_EQ(parameter(GL_TEXTURE_WRAP_S), GL_REPEAT);
    EXPECT_EQ(parameter(GL_TEXTURE_WRAP_T), GL_REPEAT);
    EXPECT_EQ(texture->meta().stride, 256);
}

TEST_F(TextureSetup, SameMetaTwiceSpecifiesStorageOnceButReappliesFilters) {
    Ref<Texture> texture = new Texture();
    const int before = texImageCalls;
    texture->setup(TextureMeta(8, 8, 5));
    texture->magFilter = GL_LINEAR;
    texture->minFilter = GL_LINEAR;
    texture->setup(TextureMeta(8, 8, 5));
    EXPECT_EQ(texImageCalls - before, 1);
    EXPECT_EQ(parameter(GL_TEXTURE_MAG_FILTER), GL_LINEAR);
    EXPECT_EQ(parameter(GL_TEXTURE_MIN_FILTER), GL_LINEAR);

    texture->setup(TextureMeta(8, 4, 5)); // new size
    texture->setup(TextureMeta(8, 4, 6)); // new format
    EXPECT_EQ(texImageCalls - before, 3);
    EXPECT_EQ(level(GL_TEXTURE_HEIGHT), 4);
}

TEST_F(TextureSetup, UnallocatableFormatsAndNegativeSizesLeaveEverythingAlone) {
    ombrel::test::LogCapture capture;
    Ref<Texture> texture = new Texture();
    Ref<Texture> other = makeTexture(5, 2, 2); // leaves `other` bound
    const int before = texImageCalls;
    for (int format : {4, 0, 8, -1})
        texture->setup(TextureMeta(4, 4, format));
    EXPECT_EQ(texImageCalls, before);
    EXPECT_EQ(texture->meta().width, 0);
    GLint bound = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    EXPECT_EQ(GLuint(bound), other->name());
    EXPECT_TRUE(capture.lines().empty());

    other->setup(TextureMeta(-4, 4, 5));
    EXPECT_EQ(other->meta().width, 2);
    EXPECT_EQ(texImageCalls, before);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_NE(capture.lines()[0].find("invalid size"), std::string::npos);
}

TEST_F(FramebufferAttach, DrawBufferListAfterAttachingSlotsZeroAndOne) {
    Ref<Framebuffer> framebuffer = new Framebuffer();
    EXPECT_EQ(framebuffer->drawBufferCount(), 0);
    framebuffer->attachColor(makeTexture(7).get(), 0);
    // The first attach binds the framebuffer but leaves setting the draw buffers to bind().
    EXPECT_EQ(GLuint(integer(GL_FRAMEBUFFER_BINDING)), framebuffer->name());
    EXPECT_EQ(integer(GL_DRAW_BUFFER0), GL_NONE);
    framebuffer->attachColor(makeTexture(5).get(), 1);
    ASSERT_EQ(framebuffer->drawBufferCount(), 2);
    EXPECT_EQ(framebuffer->drawBuffers()[0], GLenum(GL_COLOR_ATTACHMENT0));
    EXPECT_EQ(framebuffer->drawBuffers()[1], GLenum(GL_COLOR_ATTACHMENT1));
    ombrel::Framebuffer::bind(nullptr);
    EXPECT_EQ(integer(GL_FRAMEBUFFER_BINDING), 0);
    framebuffer->bind();
    EXPECT_EQ(integer(GL_DRAW_BUFFER0), GL_COLOR_ATTACHMENT0);
    EXPECT_EQ(integer(GL_DRAW_BUFFER1), GL_COLOR_ATTACHMENT1);
    EXPECT_EQ(glCheckFramebufferStatus(GL_FRAMEBUFFER), GLenum(GL_FRAMEBUFFER_COMPLETE));
}

TEST_F(FramebufferAttach, ListFollowsSlotOrderAndDetachingDropsTheEntry) {
    Ref<Framebuffer> framebuffer = new Framebuffer();
    Ref<Texture> texture = makeTexture(5);
    framebuffer->attachColor(makeTexture(5).get(), 2);
    framebuffer->attachColor(texture.get(), 0);
    ASSERT_EQ(framebuffer->drawBufferCount(), 2);
    EXPECT_EQ(framebuffer->drawBuffers()[0], GLenum(GL_COLOR_ATTACHMENT0));
    EXPECT_EQ(framebuffer->drawBuffers()[1], GLenum(GL_COLOR_ATTACHMENT2));
    EXPECT_EQ(texture->refCount(), 2);
    framebuffer->attachColor(nullptr, 0);
    EXPECT_EQ(texture->refCount(), 1);
    ASSERT_EQ(framebuffer->drawBufferCount(), 1);
    EXPECT_EQ(framebuffer->drawBuffers()[0], GLenum(GL_COLOR_ATTACHMENT2));
    GLint attached = -1;
    glGetFramebufferAttachmentParameteriv(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0,
                                          GL_FRAMEBUFFER_ATTACHMENT_OBJECT_TYPE, &attached);
    EXPECT_EQ(attached, GL_NONE);
}

TEST_F(FramebufferAttach, SlotOutsideTheTableIsLoggedAndIgnored) {
    ombrel::test::LogCapture capture;
    Ref<Framebuffer> framebuffer = new Framebuffer();
    Ref<Texture> texture = makeTexture(5);
    framebuffer->attachColor(texture.get(), 4);
    framebuffer->attachColor(texture.get(), -1);
    EXPECT_EQ(texture->refCount(), 1);
    EXPECT_EQ(framebuffer->drawBufferCount(), 0);
    EXPECT_EQ(capture.lines().size(), 2u);
}

TEST_F(FramebufferAttach, DepthBufferTakesSlotZeroSizeAndDepthTests) {
    Ref<Framebuffer> target = makeTarget({5});
    target->attachDepth();
    ASSERT_NE(target->depthRenderbuffer(), 0u);
    EXPECT_EQ(integer(GL_RENDERBUFFER_BINDING), GLint(target->depthRenderbuffer()));
    GLint width = 0, height = 0, depth = 0;
    glGetRenderbufferParameteriv(GL_RENDERBUFFER, GL_RENDERBUFFER_WIDTH, &width);
    glGetRenderbufferParameteriv(GL_RENDERBUFFER, GL_RENDERBUFFER_HEIGHT, &height);
    glGetRenderbufferParameteriv(GL_RENDERBUFFER, GL_RENDERBUFFER_DEPTH_SIZE, &depth);
    EXPECT_EQ(width, kSize);
    EXPECT_EQ(height, kSize);
    EXPECT_GE(depth, 24);

    // Two quads at the same depth: with a depth buffer the second fails GL_LESS.
    target->bind();
    glEnable(GL_DEPTH_TEST);
    glClearDepth(1);
    glClear(GL_DEPTH_BUFFER_BIT);
    makeQuadBatch("void main(){ gl_FragData[0] = vec4(1.); }")->draw();
    makeQuadBatch("void main(){ gl_FragData[0] = vec4(1., 0., 0., 1.); }")->draw();
    glDisable(GL_DEPTH_TEST);
    EXPECT_EQ(readByte(*target, 0, 3, 3), (Rgba8{255, 255, 255, 255}));
}

TEST_F(FramebufferAttach, DepthWithoutColourIsLoggedAndASecondOneReplacesTheFirst) {
    ombrel::test::LogCapture capture;
    Ref<Framebuffer> framebuffer = new Framebuffer();
    framebuffer->attachDepth();
    EXPECT_EQ(framebuffer->depthRenderbuffer(), 0u);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_NE(capture.lines()[0].find("slot 0"), std::string::npos);

    framebuffer->attachColor(makeTexture(5).get(), 0);
    framebuffer->attachDepth();
    GLuint first = framebuffer->depthRenderbuffer();
    framebuffer->attachDepth();
    EXPECT_FALSE(glIsRenderbuffer(first) && first != framebuffer->depthRenderbuffer());
    EXPECT_TRUE(glIsRenderbuffer(framebuffer->depthRenderbuffer()));
}

TEST_F(FramebufferAttach, ReleaseDeletesNamesAndReleasesTexturesLastSlotFirst) {
    Ref<Framebuffer> framebuffer = new Framebuffer();
    Ref<Texture> kept = makeTexture(5);
    Ref<Texture> owned = makeTexture(7);
    GLuint ownedName = owned->name();
    framebuffer->attachColor(kept.get(), 0);
    framebuffer->attachColor(owned.get(), 3);
    framebuffer->attachDepth();
    owned = nullptr;
    GLuint name = framebuffer->name(), depth = framebuffer->depthRenderbuffer();
    framebuffer = nullptr;
    EXPECT_FALSE(glIsFramebuffer(name));
    EXPECT_FALSE(glIsRenderbuffer(depth));
    EXPECT_FALSE(glIsTexture(ownedName));
    EXPECT_EQ(kept->refCount(), 1);
    EXPECT_EQ(integer(GL_FRAMEBUFFER_BINDING), 0);
}
