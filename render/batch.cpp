// Batch drawing: applies material and uniforms, binds attributes, draws, and unbinds them.
#include "render/batch.h"

#include "shell/log.h"

#include <cstdint>

namespace ombrel {

namespace {
const void* byteOffset(GLint offset) {
    return reinterpret_cast<const void*>(static_cast<intptr_t>(offset));
}
bool enabled(const Batch::Attribute& slot) {
    return slot.location >= 0 && slot.buffer;
}
} // namespace

void Batch::setAttribute(GLint location, Buffer* buffer, GLint components, GLint offset,
                         GLsizei stride) {
    for (Attribute& slot : attributes) {
        if (slot.location != -1)
            continue;
        slot.location = location;
        slot.buffer = buffer;
        slot.components = components;
        slot.offset = offset;
        slot.stride = stride;
        return;
    }
}

void Batch::clearAttributes() {
    for (Attribute& slot : attributes) {
        slot.location = -1;
        slot.buffer = nullptr;
    }
}

void Batch::draw() {
    if (!material) {
        log("Batch::draw: no material set, nothing drawn (call setMaterial first)");
        return;
    }
    // Without a linked program a compatibility context would fall back to fixed-function
    // drawing of attribute 0; the build failure is already in the log.
    if (!material->program || material->program->name() == 0)
        return;
    material->use();
    uniforms.apply();
    for (const Attribute& slot : attributes) {
        // With no buffer bound the offset would be read as a client memory address.
        if (!enabled(slot))
            continue;
        glBindBuffer(GL_ARRAY_BUFFER, slot.buffer->name());
        glVertexAttribPointer(slot.location, slot.components, GL_FLOAT, GL_FALSE, slot.stride,
                              byteOffset(slot.offset));
        glEnableVertexAttribArray(slot.location);
    }
    if (indexBuffer) {
        glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, indexBuffer->name());
        glDrawElements(mode, count, indexType, byteOffset(first));
    } else {
        glDrawArrays(mode, first, count);
    }
    for (const Attribute& slot : attributes)
        if (enabled(slot))
            glDisableVertexAttribArray(slot.location);
}

} // namespace ombrel
