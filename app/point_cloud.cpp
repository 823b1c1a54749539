// Point-cloud pass over the raymarcher's two result textures.
#include "app/point_cloud.h"

#include <GL/glew.h>

#include <vector>

#include "render/buffer.h"
#include "render/material.h"
#include "render/program.h"

namespace ombrel {

const char* const PointCloud::vertexSource = "uniform mat4 um4_mvp;\n"
                                             "uniform sampler2D us2_coords;\n"
                                             "uniform sampler2D us2_color;\n"
                                             "attribute vec2 av2_vertex;\n"
                                             "void main(){\n"
                                             "vec4 posz = texture2D(us2_coords, av2_vertex);\n"
                                             "gl_Position = um4_mvp * vec4(posz.xyz, 1.);\n"
                                             "gl_PointSize = posz.w / gl_Position.z;\n"
                                             "gl_FrontColor = vec4(texture2D(us2_color, "
                                             "av2_vertex).xyz, 1.);\n"
                                             "}";

// vv3_color is declared and never written: the colour travels in the built-in front colour.
const char* const PointCloud::fragmentSource = "#version 120\n"
                                               "varying vec3 vv3_color;\n"
                                               "void main(){\n"
                                               "float r = length(gl_PointCoord.xy-vec2(.5));\n"
                                               "if (r > .5) discard;\n"
                                               "gl_FragColor = gl_Color;\n"
                                               "}";

void PointCloud::setup(GraphicsContext* context_, Texture* positions, Texture* colours) {
    context = context_;
    Ref<Program> program = new Program(vertexSource, fragmentSource);
    batch = new Batch();
    Ref<Material> material = new Material(program.get());
    batch->setMaterial(material.get());

    const GLuint name = program->name();
    material->uniforms.setSampler(glGetUniformLocation(name, "us2_coords"), positions);
    material->uniforms.setSampler(glGetUniformLocation(name, "us2_color"), colours);

    // One texture coordinate per texel, in row order; the texel corner, as the tracer's
    // nearest-filtered textures expect.
    const int width = positions ? positions->meta().width : 0;
    const int height = positions ? positions->meta().height : 0;
    const int count = width * height;
    std::vector<float> vertices(size_t(count) * 2);
    for (int i = 0; i < count; ++i) {
        vertices[2 * size_t(i)] = float(i % width) / float(width);
        vertices[2 * size_t(i) + 1] = float(i / width) / float(height);
    }
    Ref<Buffer> buffer = new Buffer(GL_ARRAY_BUFFER);
    if (count > 0)
        buffer->load(vertices.data(), uint32_t(vertices.size() * sizeof(float)));

    batch->setAttribute(glGetAttribLocation(name, "av2_vertex"), buffer.get(), 2, 0, 8);
    batch->indexBuffer = nullptr;
    batch->first = 0;
    batch->count = count;
    batch->mode = GL_POINTS;

    mvpLocation = glGetUniformLocation(name, "um4_mvp");

    glEnable(GL_DEPTH_TEST);
    glEnable(GL_CULL_FACE);
    glEnable(GL_POINT_SPRITE);
    glEnable(GL_VERTEX_PROGRAM_POINT_SIZE);
}

void PointCloud::draw(const mat4& mvp) {
    if (!batch)
        return;
    batch->material->uniforms.setUniform(mvpLocation, UniformMat4, mvp.transposed().data());
    batch->draw();
}

} // namespace ombrel
