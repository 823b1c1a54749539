// The point-cloud pass: one depth-tested round point per traced texel, placed at the stored
// world position, sized by the stored size over its depth and coloured with the traced colour.
#pragma once

#include "render/batch.h"
#include "render/math.h"
#include "render/shareable.h"
#include "render/texture.h"

namespace ombrel {

class GraphicsContext;

class PointCloud {
public:
    static const char* const vertexSource;
    static const char* const fragmentSource;

    // Builds the program, the vertex buffer of one texture coordinate per texel of positions,
    // and the batch; enables depth testing, face culling, point sprites and program point size
    // for the whole context, once. Render thread with the context current.
    void setup(GraphicsContext* context, Texture* positions, Texture* colours);

    // Draws every point with clip = mvp * world position. The caller has bound the target,
    // set the viewport and cleared depth.
    void draw(const mat4& mvp);

    // Drops the batch (and with it the material, program and buffer).
    void release() { batch = nullptr; }

    GraphicsContext* context = nullptr;
    Ref<Batch> batch;
    int mvpLocation = -1;
};

} // namespace ombrel
