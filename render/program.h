// Shader program: compiles a vertex and a fragment text and links them. Failures are logged
// with the numbered source and leave an object whose names are all 0.
#pragma once

#include "render/shareable.h"

#include <GL/glew.h>

namespace ombrel {

// Compiles one shader of the given type (GL_VERTEX_SHADER or GL_FRAGMENT_SHADER) and returns its
// name, or 0 after logging the numbered source and the driver's error text.
GLuint compileShader(GLenum type, const char* source);

class Program : public Shareable {
public:
    // Both texts are NUL-terminated and not kept. The fragment text is not compiled at all when
    // the vertex text fails.
    Program(const char* vertexSource, const char* fragmentSource);
    ~Program() override;

    // 0 when construction failed; binding 0 binds no program and its locations are all -1.
    GLuint name() const { return program_; }
    GLuint vertexShader() const { return vertex_; }
    GLuint fragmentShader() const { return fragment_; }
    bool linked() const { return program_ != 0; }

private:
    // Either all three names are non-zero or all are 0.
    GLuint program_ = 0;
    GLuint vertex_ = 0;
    GLuint fragment_ = 0;
};

} // namespace ombrel
