// How to draw: a program, a fixed block of uniform values and samplers uploaded at every use,
// and optional blend and depth state.
#pragma once

#include "render/program.h"
#include "render/shareable.h"
#include "render/texture.h"

#include <GL/glew.h>

#include <cstdint>

namespace ombrel {

// Uniform type codes: the low five bits are the number of floats.
enum UniformType : uint32_t {
    UniformFloat = 1,
    UniformVec2 = 2,
    UniformVec3 = 3,
    UniformVec4 = 4,
    UniformMat2 = 0x104,
    UniformMat4 = 0x110,
};

constexpr uint32_t uniformFloatCount(uint32_t type) {
    return type & 31;
}

// Uniform values and sampler bindings kept in the object and uploaded by apply(). The tables have
// fixed capacity and never allocate; additions to a full table are ignored.
class UniformState {
public:
    static constexpr int kMaxUniforms = 8;
    static constexpr int kMaxFloats = 64;
    static constexpr int kMaxSamplers = 2;

    struct Slot {
        uint32_t type = 0; // 0: empty; occupied slots precede empty ones
        GLint location = 0;
    };
    struct Sampler {
        Ref<Texture> texture; // null ends the list
        GLint location = 0;
    };

    // Claims the first empty slot, or overwrites the values of the slot with this location (the
    // slot keeps its first type). Values that would not fit are ignored.
    void setUniform(GLint location, uint32_t type, const float* values);
    // Sampler i uses texture unit i. A location already present gets the new texture.
    void setSampler(GLint location, Texture* texture);
    // Uploads every uniform, then binds the samplers' textures to their units.
    void apply() const;

    const Slot& slot(int i) const { return slots_[i]; }
    const float* values() const { return values_; }
    const Sampler& sampler(int i) const { return samplers_[i]; }
    // Values of the slot with this location, or null.
    const float* find(GLint location) const;

private:
    Slot slots_[kMaxUniforms];
    float values_[kMaxFloats] = {};
    Sampler samplers_[kMaxSamplers];
};

class Material : public Shareable {
public:
    explicit Material(Program* program);
    ~Material() override = default;

    // Binds the program, uploads the uniforms, then sets blend and depth state by their modes.
    void use() const;

    // Declared first so that it is released last, after the samplers' textures.
    Ref<Program> program;
    UniformState uniforms;

    // 0: leave blending as it is; 1: disable it; other: enable it with the values below.
    uint32_t blendMode = 0;
    GLenum blendSourceRgb = GL_ONE;
    GLenum blendSourceAlpha = GL_ONE;
    GLenum blendDestinationRgb = GL_ZERO;
    GLenum blendDestinationAlpha = GL_ZERO;
    GLenum blendEquationRgb = GL_FUNC_ADD;
    GLenum blendEquationAlpha = GL_FUNC_ADD;
    float blendColor[4] = {0, 0, 0, 0};
    // 0: leave depth testing as it is; 1: disable it; other: enable it with the values below.
    uint32_t depthMode = 0;
    bool depthWrite = true;
    GLenum depthFunction = GL_LESS;
};

} // namespace ombrel
