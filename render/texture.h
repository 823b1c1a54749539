// 2D textures that receive storage and are filled by rendering, and framebuffers with up to
// four colour textures and an optional depth renderbuffer.
#pragma once

#include "render/shareable.h"

#include <GL/glew.h>

#include <cstdint>

namespace ombrel {

// Pixel format codes of TextureMeta.
enum TextureFormat : int32_t {
    TextureAlpha8 = 1,  // GL_ALPHA, 1 byte
    TextureRG8 = 2,     // GL_RG, 2 bytes
    TextureRGB565 = 3,  // GL_RGB 5-6-5, 2 bytes
    TextureRGB8 = 4,    // 3 bytes; has no storage set-up
    TextureRGBA8 = 5,   // GL_RGBA, 4 bytes
    TextureBGRA8 = 6,   // GL_RGBA stored from BGRA order, 4 bytes
    TextureRGBA32F = 7, // four 32-bit floats, 16 bytes
};

struct TextureMeta {
    int32_t width = 0;
    int32_t height = 0;
    int32_t format = 0;
    int32_t bytesPerPixel = 0; // 0 for codes outside the table
    int32_t stride = 0;        // bytes per row, padded to 4

    TextureMeta() = default;
    TextureMeta(int32_t width, int32_t height, int32_t format);
};

class Texture : public Shareable {
public:
    Texture();
    ~Texture() override;

    // Allocates storage as described and applies the filters; the texture stays bound. Storage is
    // specified again only when width, height or format change. Format 4 and unknown codes do
    // nothing.
    void setup(const TextureMeta& meta);

    GLuint name() const { return name_; }
    const TextureMeta& meta() const { return meta_; }

    // Set before setup(), which applies them.
    GLint magFilter = GL_NEAREST;
    GLint minFilter = GL_NEAREST;

private:
    GLuint name_ = 0;
    TextureMeta meta_;
};

class Framebuffer : public Shareable {
public:
    static constexpr int kColorSlots = 4;

    Framebuffer();
    ~Framebuffer() override;

    // Binds the framebuffer with its draw-buffer list; null binds the window.
    static void bind(const Framebuffer* framebuffer);
    void bind() const { bind(this); }

    // Puts the texture (or null) in slot 0..3 and rebuilds the draw-buffer list, which takes
    // effect at the next bind(). Leaves the framebuffer bound.
    void attachColor(Texture* texture, int slot);
    // Adds a 24-bit depth renderbuffer of the size of the slot-0 texture.
    void attachDepth();

    GLuint name() const { return name_; }
    Texture* color(int slot) const;
    const GLenum* drawBuffers() const { return drawBuffers_; }
    int32_t drawBufferCount() const { return drawBufferCount_; }
    GLuint depthRenderbuffer() const { return depth_; }

private:
    GLuint name_ = 0;
    Ref<Texture> colors_[kColorSlots];
    GLenum drawBuffers_[kColorSlots] = {};
    int32_t drawBufferCount_ = 0;
    GLuint depth_ = 0;
};

} // namespace ombrel
