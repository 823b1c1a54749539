// Buffer object storage: specified once, then updated in place while the size holds.
#include "render/buffer.h"

namespace ombrel {

Buffer::Buffer(GLenum target) : target_(target) {
    glGenBuffers(1, &name_);
}

Buffer::~Buffer() {
    glDeleteBuffers(1, &name_);
}

void Buffer::load(const void* data, uint32_t bytes) {
    glBindBuffer(target_, name_);
    if (bytes == size_) {
        glBufferSubData(target_, 0, bytes, data);
        return;
    }
    glBufferData(target_, bytes, data, GL_STATIC_DRAW);
    size_ = bytes;
}

} // namespace ombrel
