// Texture storage set-up and framebuffer attachments.
#include "render/texture.h"

#include "shell/log.h"

namespace ombrel {

namespace {

struct FormatInfo {
    int32_t bytesPerPixel;
    GLint internalFormat; // 0: no storage set-up for this code
    GLenum format;
    GLenum type;
};

// Indexed by format code; entry 0 stands for every code outside the table.
const FormatInfo kFormats[] = {
    {0, 0, 0, 0},
    {1, GL_ALPHA, GL_ALPHA, GL_UNSIGNED_BYTE},
    {2, GL_RG, GL_RG, GL_UNSIGNED_BYTE},
    {2, GL_RGB, GL_RGB, GL_UNSIGNED_SHORT_5_6_5},
    {3, 0, 0, 0},
    {4, GL_RGBA, GL_RGBA, GL_UNSIGNED_BYTE},
    {4, GL_RGBA, GL_BGRA, GL_UNSIGNED_BYTE},
    {16, GL_RGBA32F_ARB, GL_RGBA, GL_FLOAT},
};

const FormatInfo& formatInfo(int32_t code) {
    if (code < 0 || code >= int32_t(sizeof kFormats / sizeof kFormats[0]))
        return kFormats[0];
    return kFormats[code];
}

} // namespace

TextureMeta::TextureMeta(int32_t w, int32_t h, int32_t f)
    : width(w), height(h), format(f), bytesPerPixel(formatInfo(f).bytesPerPixel) {
    // Widened so that absurd widths cannot overflow.
    stride = int32_t((int64_t(bytesPerPixel) * width + 3) & ~int64_t(3));
}

Texture::Texture() {
    glGenTextures(1, &name_);
}

Texture::~Texture() {
    glDeleteTextures(1, &name_);
}

void Texture::setup(const TextureMeta& meta) {
    const FormatInfo& info = formatInfo(meta.format);
    if (info.internalFormat == 0)
        return;
    if (meta.width < 0 || meta.height < 0) {
        log("Texture::setup: invalid size %dx%d, storage left unchanged", meta.width, meta.height);
        return;
    }
    glBindTexture(GL_TEXTURE_2D, name_);
    if (meta.width != meta_.width || meta.height != meta_.height || meta.format != meta_.format)
        glTexImage2D(GL_TEXTURE_2D, 0, info.internalFormat, meta.width, meta.height, 0, info.format,
                     info.type, nullptr);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, magFilter);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, minFilter);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
    meta_ = meta;
}

Framebuffer::Framebuffer() {
    glGenFramebuffers(1, &name_);
}

Framebuffer::~Framebuffer() {
    glDeleteFramebuffers(1, &name_);
    if (depth_)
        glDeleteRenderbuffers(1, &depth_);
    for (int slot = kColorSlots - 1; slot >= 0; --slot)
        colors_[slot] = nullptr;
}

void Framebuffer::bind(const Framebuffer* framebuffer) {
    if (!framebuffer) {
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        return;
    }
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer->name_);
    glDrawBuffers(framebuffer->drawBufferCount_, framebuffer->drawBuffers_);
}

Texture* Framebuffer::color(int slot) const {
    return slot >= 0 && slot < kColorSlots ? colors_[slot].get() : nullptr;
}

void Framebuffer::attachColor(Texture* texture, int slot) {
    if (slot < 0 || slot >= kColorSlots) {
        log("Framebuffer::attachColor: slot %d is outside 0..%d, ignored", slot, kColorSlots - 1);
        return;
    }
    colors_[slot] = texture;
    // The list of the previous attachments is still in force for this bind.
    bind();
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0 + slot, GL_TEXTURE_2D,
                           texture ? texture->name() : 0, 0);
    drawBufferCount_ = 0;
    for (int i = 0; i < kColorSlots; ++i)
        if (colors_[i])
            drawBuffers_[drawBufferCount_++] = GL_COLOR_ATTACHMENT0 + i;
}

void Framebuffer::attachDepth() {
    if (!colors_[0]) {
        log("Framebuffer::attachDepth: no colour texture in slot 0 to take the size from, "
            "ignored (attach colour first)");
        return;
    }
    bind();
    // A second call replaces the renderbuffer instead of leaking the first.
    if (depth_)
        glDeleteRenderbuffers(1, &depth_);
    const TextureMeta& meta = colors_[0]->meta();
    glGenRenderbuffers(1, &depth_);
    glBindRenderbuffer(GL_RENDERBUFFER, depth_);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT24, meta.width, meta.height);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, depth_);
}

} // namespace ombrel
