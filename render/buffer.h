// One GL buffer object holding vertex or index data.
#pragma once

#include "render/shareable.h"

#include <GL/glew.h>

#include <cstdint>

namespace ombrel {

class Buffer : public Shareable {
public:
    // GL_ARRAY_BUFFER for vertex data, GL_ELEMENT_ARRAY_BUFFER for index data.
    explicit Buffer(GLenum target = GL_ARRAY_BUFFER);
    ~Buffer() override;

    // Same byte count as the last load: updated in place. Another count: the store is specified
    // again (GL_STATIC_DRAW). The buffer stays bound to its target.
    void load(const void* data, uint32_t bytes);

    GLenum target() const { return target_; }
    GLuint name() const { return name_; }
    uint32_t size() const { return size_; }

private:
    GLenum target_;
    GLuint name_ = 0;
    uint32_t size_ = 0;
};

} // namespace ombrel
