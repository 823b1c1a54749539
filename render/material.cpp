// Uniform blocks and materials: values live in the objects and are uploaded at every draw.
#include "render/material.h"

#include <algorithm>

namespace ombrel {

void UniformState::setUniform(GLint location, uint32_t type, const float* values) {
    const uint32_t count = uniformFloatCount(type);
    if (count == 0 || !values)
        return;
    uint32_t offset = 0;
    for (Slot& slot : slots_) {
        if (slot.type == 0) {
            // Values beyond the storage would overwrite the object: the table counts as full.
            if (offset + count > uint32_t(kMaxFloats))
                return;
            slot.type = type;
            slot.location = location;
            std::copy(values, values + count, values_ + offset);
            return;
        }
        const uint32_t own = uniformFloatCount(slot.type);
        if (slot.location == location) {
            // The slot keeps its first type; a larger new type must not spill into the next
            // slot's values.
            std::copy(values, values + std::min(count, own), values_ + offset);
            return;
        }
        offset += own;
    }
}

void UniformState::setSampler(GLint location, Texture* texture) {
    for (Sampler& sampler : samplers_) {
        if (!sampler.texture || sampler.location == location) {
            sampler.location = location;
            sampler.texture = texture;
            return;
        }
    }
}

const float* UniformState::find(GLint location) const {
    uint32_t offset = 0;
    for (const Slot& slot : slots_) {
        if (slot.type == 0)
            break;
        if (slot.location == location)
            return values_ + offset;
        offset += uniformFloatCount(slot.type);
    }
    return nullptr;
}

void UniformState::apply() const {
    uint32_t offset = 0;
    for (const Slot& slot : slots_) {
        if (slot.type == 0)
            break;
        const float* v = values_ + offset;
        switch (slot.type) {
        case UniformFloat:
            glUniform1fv(slot.location, 1, v);
            break;
        case UniformVec2:
            glUniform2fv(slot.location, 1, v);
            break;
        case UniformVec3:
            glUniform3fv(slot.location, 1, v);
            break;
        case UniformVec4:
            glUniform4fv(slot.location, 1, v);
            break;
        case UniformMat2:
            glUniformMatrix2fv(slot.location, 1, GL_FALSE, v);
            break;
        case UniformMat4:
            glUniformMatrix4fv(slot.location, 1, GL_FALSE, v);
            break;
        default: // unknown codes upload nothing but keep their room
            break;
        }
        offset += uniformFloatCount(slot.type);
    }
    for (int i = 0; i < kMaxSamplers; ++i) {
        const Sampler& sampler = samplers_[i];
        if (!sampler.texture)
            break;
        glUniform1i(sampler.location, i);
        glActiveTexture(GL_TEXTURE0 + i);
        glBindTexture(GL_TEXTURE_2D, sampler.texture->name());
    }
}

Material::Material(Program* p) : program(p) {}

void Material::use() const {
    glUseProgram(program ? program->name() : 0);
    uniforms.apply();
    if (blendMode == 1) {
        glDisable(GL_BLEND);
    } else if (blendMode != 0) {
        glEnable(GL_BLEND);
        glBlendColor(blendColor[0], blendColor[1], blendColor[2], blendColor[3]);
        glBlendEquationSeparate(blendEquationRgb, blendEquationAlpha);
        glBlendFuncSeparate(blendSourceRgb, blendDestinationRgb, blendSourceAlpha,
                            blendDestinationAlpha);
    }
    if (depthMode == 1) {
        glDisable(GL_DEPTH_TEST);
    } else if (depthMode != 0) {
        glEnable(GL_DEPTH_TEST);
        glDepthMask(depthWrite ? GL_TRUE : GL_FALSE);
        glDepthFunc(depthFunction);
    }
}

} // namespace ombrel
