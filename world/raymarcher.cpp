// Assembly of the per-scene raymarching programs and the per-frame tile trace.
//
// Index:
//   raymarchVertexSource - the full-screen quad shared by every scene program
//   buildSectorProgram   - the six fixed-order pieces, the program and its locations
//   Raymarcher::setup    - targets, quad, batch, one program per scene
//   Raymarcher::draw     - one tile of the 2x2 cycle with the per-frame uniforms
#include "world/raymarcher.h"

#include <GL/glew.h>

#include "render/program.h"
#include "world/glsl_library.h"

namespace ombrel {

const char* const raymarchVertexSource = "attribute vec2 av2_vertex;\n"
                                         "varying vec2 vv2_pos;\n"
                                         "void main(){\n"
                                         "gl_Position = vec4(av2_vertex, 0., 1.);\n"
                                         "vv2_pos = av2_vertex;\n"
                                         "}";

namespace {

constexpr float nearDistance = 0.01f;
// Fourth component of uv4_dir: how far the rays scatter around the forward direction.
constexpr float scatter = 2.0f;

// Uploading to location -1 has no effect anyway; storing it would let two missing uniforms of
// different sizes share one slot and spill the larger one's floats into the next slot's values.
void setIfActive(UniformState& uniforms, int location, uint32_t type, const float* values) {
    if (location != -1)
        uniforms.setUniform(location, type, values);
}

SectorProgram buildSectorProgram(const Worldsector& sector) {
    // prelude + library + world + tracer + material + main, nothing in between.
    const std::string fragment = assembleFragmentSource(sector.worldText, sector.materialText);
    Ref<Program> program = new Program(raymarchVertexSource, fragment.c_str());

    SectorProgram record;
    // A program that failed to build has name 0, and every lookup on it yields -1.
    const GLuint name = program->name();
    if (name != 0) {
        record.vertexAttribute = glGetAttribLocation(name, "av2_vertex");
        record.time = glGetUniformLocation(name, "uf_t");
        record.near = glGetUniformLocation(name, "uf_near");
        record.far = glGetUniformLocation(name, "uf_far");
        record.origin = glGetUniformLocation(name, "uv3_origin");
        record.direction = glGetUniformLocation(name, "uv4_dir");
    }
    record.material = new Material(program.get());
    return record;
}

// Zeroes every attachment of the bound framebuffer, keeping the caller's clear colour, colour
// mask and scissor test.
void clearAttachments() {
    GLfloat colour[4];
    GLboolean mask[4];
    glGetFloatv(GL_COLOR_CLEAR_VALUE, colour);
    glGetBooleanv(GL_COLOR_WRITEMASK, mask);
    const GLboolean scissor = glIsEnabled(GL_SCISSOR_TEST);
    glDisable(GL_SCISSOR_TEST);
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    glClearColor(colour[0], colour[1], colour[2], colour[3]);
    glColorMask(mask[0], mask[1], mask[2], mask[3]);
    if (scissor)
        glEnable(GL_SCISSOR_TEST);
}

} // namespace

void Raymarcher::setup(GraphicsContext* graphicsContext, int targetWidth, int targetHeight) {
    context = graphicsContext;
    width = targetWidth;
    height = targetHeight;

    GLint drawBinding = 0, readBinding = 0;
    glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &drawBinding);
    glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &readBinding);
    framebuffer = new Framebuffer();
    positions = new Texture();
    positions->setup(TextureMeta(width, height, TextureRGBA32F));
    colours = new Texture();
    colours->setup(TextureMeta(width, height, TextureRGBA8));
    framebuffer->attachColor(positions.get(), 0);
    framebuffer->attachColor(colours.get(), 1);
    // New storage may hold stale memory on some drivers; the point cloud draws every texel, so
    // tiles not traced yet would show as garbage points of any size. A zero size draws nothing.
    framebuffer->bind();
    clearAttachments();
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, drawBinding);
    glBindFramebuffer(GL_READ_FRAMEBUFFER, readBinding);

    static const float corners[8] = {-1, -1, 1, -1, 1, 1, -1, 1};
    quad = new Buffer(GL_ARRAY_BUFFER);
    quad->load(corners, sizeof(corners));

    batch = new Batch();
    batch->indexBuffer = nullptr;
    batch->first = 0;
    batch->count = 4;
    batch->mode = GL_TRIANGLE_FAN;
    batch->indexType = GL_UNSIGNED_SHORT;

    programs.clear();
    for (const auto& sector : world.sectors) {
        if (!sector)
            break;
        programs.push_back(buildSectorProgram(*sector));
    }

    tile = 0;
    tileSize = width / 2;
    tilesPerSide = 2;
}

void Raymarcher::nextTileRect(int rect[4]) const {
    rect[0] = tileSize * (tile % tilesPerSide);
    rect[1] = tileSize * (tile / tilesPerSide);
    rect[2] = tileSize;
    rect[3] = tileSize;
}

void Raymarcher::draw(float time, const vec3& origin, const vec3& direction) {
    // Nothing to draw into before setup (or after release).
    if (!framebuffer || !batch || world.current < 0 ||
        world.current >= static_cast<int>(programs.size()))
        return;

    Framebuffer::bind(framebuffer.get());
    int rect[4];
    nextTileRect(rect);
    glViewport(rect[0], rect[1], rect[2], rect[3]);

    const SectorProgram& record = programs[world.current];
    batch->setMaterial(record.material.get());

    UniformState& uniforms = record.material->uniforms;
    const float far = world.currentSector().far;
    const float dir[4] = {direction.x, direction.y, direction.z, scatter};
    const float at[3] = {origin.x, origin.y, origin.z};
    setIfActive(uniforms, record.time, UniformFloat, &time);
    setIfActive(uniforms, record.near, UniformFloat, &nearDistance);
    setIfActive(uniforms, record.far, UniformFloat, &far);
    setIfActive(uniforms, record.origin, UniformVec3, at);
    setIfActive(uniforms, record.direction, UniformVec4, dir);

    batch->clearAttributes();
    batch->setAttribute(record.vertexAttribute, quad.get(), 2, 0, 0);
    batch->draw();

    tile = (tile + 1) % (tilesPerSide * tilesPerSide);
}

void Raymarcher::release() {
    framebuffer = nullptr;
    positions = nullptr;
    colours = nullptr;
    quad = nullptr;
    batch = nullptr;
    for (SectorProgram& record : programs)
        record.material = nullptr;
    programs.clear();
}

void Raymarcher::integrate(BodyState& state, float t, float dt) const {
    ombrel::integrate(world.currentSector(), state, t, dt);
}

} // namespace ombrel
