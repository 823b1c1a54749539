// The raymarcher: one fragment program per scene, and a 2x2 cycle of tiles in which each frame
// sphere-traces 128 x 128 scattered rays into a position target and a colour target.
//
// Index:
//   SectorProgram     - a scene's material and its uniform locations
//   Raymarcher        - setup / draw / release, the world, and the body integrator
#pragma once

#include <vector>

#include "render/batch.h"
#include "render/buffer.h"
#include "render/material.h"
#include "render/math.h"
#include "render/shareable.h"
#include "render/texture.h"
#include "shell/viewport.h"
#include "world/body.h"
#include "world/world.h"

namespace ombrel {

// The shared vertex shader of every scene program: a full-screen quad with its position passed
// on as the per-pixel seed.
extern const char* const raymarchVertexSource;

struct SectorProgram {
    Ref<Material> material;
    int vertexAttribute = -1; // "av2_vertex"
    int time = -1;            // "uf_t"
    int near = -1;            // "uf_near"
    int far = -1;             // "uf_far"
    int origin = -1;          // "uv3_origin"
    int direction = -1;       // "uv4_dir"
};

class Raymarcher {
public:
    // Render thread only, with the GL context current. Builds the two targets, the quad and one
    // program per scene (compile errors go to the log; such a scene draws nothing). Both targets
    // start zeroed; the caller's framebuffer binding, clear colour and colour mask are kept.
    void setup(GraphicsContext* context, int width, int height);
    // Traces the next tile of the current scene from origin along the unit direction; leaves the
    // raymarcher's framebuffer bound.
    void draw(float time, const vec3& origin, const vec3& direction);
    // Drops every GL object; setup may run again afterwards.
    void release();

    // Advances the viewer's body by dt seconds against the current scene (no GL needed).
    void integrate(BodyState& state, float t, float dt) const;

    // The viewport the next draw will fill: x, y, width, height.
    void nextTileRect(int rect[4]) const;

    GraphicsContext* context = nullptr;
    int width = 0;
    int height = 0;
    Ref<Framebuffer> framebuffer;
    Ref<Texture> positions; // attachment 0: hit position and 5 x hit distance (RGBA32F)
    Ref<Texture> colours;   // attachment 1: lit colour (RGBA8)
    Ref<Buffer> quad;
    Ref<Batch> batch;
    std::vector<SectorProgram> programs; // one per scene, in scene order
    int tile = 0;
    int tileSize = 0;
    int tilesPerSide = 2;
    World world;
};

} // namespace ombrel
