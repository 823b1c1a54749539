// What to draw: a material, up to eight vertex attributes, the batch's own uniforms, an optional
// index buffer and the primitive range. One draw call per draw().
#pragma once

#include "render/buffer.h"
#include "render/material.h"
#include "render/shareable.h"

#include <GL/glew.h>

#include <cstdint>

namespace ombrel {

class Batch : public Shareable {
public:
    static constexpr int kMaxAttributes = 8;

    struct Attribute {
        GLint location = -1; // -1: free slot
        Ref<Buffer> buffer;
        GLint components = 0;
        GLint offset = 0; // bytes
        GLsizei stride = 0;
    };

    Batch() = default;
    ~Batch() override = default;

    void setMaterial(Material* m) { material = m; }
    // Takes the first free slot; ignored when all eight are in use.
    void setAttribute(GLint location, Buffer* buffer, GLint components, GLint offset,
                      GLsizei stride);
    void clearAttributes();
    // Material, then the batch's uniforms, attributes, one draw call, and the attribute arrays
    // disabled again. Draws nothing without a material or with a program that failed to build.
    void draw();

    // Declaration order gives the release order on destruction: index buffer, uniform textures,
    // material, then attribute buffers.
    Attribute attributes[kMaxAttributes];
    Ref<Material> material;
    UniformState uniforms;
    Ref<Buffer> indexBuffer; // null: non-indexed drawing
    GLint first = 0;         // first vertex, or byte offset into the index buffer
    GLsizei count = 0;
    GLenum mode = GL_POINTS;
    GLenum indexType = GL_UNSIGNED_SHORT;
};

} // namespace ombrel
