// Shader compilation and program linking with the error reports that locate faults in long
// assembled shader texts.
#include "render/program.h"

#include "shell/log.h"

#include <cstring>
#include <memory>

namespace ombrel {

namespace {

// Logs the text one numbered line per call; the text after the last newline is a line too, so
// a text ending in a newline ends with an empty numbered line.
void logNumberedSource(const char* source) {
    const size_t size = std::strlen(source);
    std::unique_ptr<char[]> copy(new char[size + 1]);
    std::memcpy(copy.get(), source, size + 1);
    int number = 1;
    char* line = copy.get();
    for (char* newline; (newline = std::strchr(line, '\n')) != nullptr; line = newline + 1) {
        *newline = 0;
        log("%d: %s", number++, line);
    }
    log("%d: %s", number, line);
}

template <class GetLength, class GetLog>
void logErrors(GLuint object, GetLength getLength, GetLog getLog) {
    GLint length = 0;
    getLength(object, GL_INFO_LOG_LENGTH, &length);
    if (length < 0)
        length = 0;
    std::unique_ptr<char[]> text(new char[size_t(length) + 1]);
    text[0] = 0;
    getLog(object, length, nullptr, text.get());
    text[length] = 0;
    log("there were errors:\n%s\n", text.get());
}

} // namespace

GLuint compileShader(GLenum type, const char* source) {
    if (!source) {
        log("compileShader: no source text for shader type 0x%04x", unsigned(type));
        return 0;
    }
    GLuint shader = glCreateShader(type);
    if (shader == 0) {
        log("compileShader: glCreateShader(0x%04x) failed (is a GL 2.0 context current?)",
            unsigned(type));
        return 0;
    }
    glShaderSource(shader, 1, &source, nullptr);
    glCompileShader(shader);
    GLint status = 0;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &status);
    if (status == GL_TRUE)
        return shader;

    log("for shader [");
    logNumberedSource(source);
    log("]");
    logErrors(shader, glGetShaderiv, glGetShaderInfoLog);
    glDeleteShader(shader);
    return 0;
}

Program::Program(const char* vertexSource, const char* fragmentSource) {
    vertex_ = compileShader(GL_VERTEX_SHADER, vertexSource);
    if (!vertex_)
        return;
    fragment_ = compileShader(GL_FRAGMENT_SHADER, fragmentSource);
    if (!fragment_) {
        glDeleteShader(vertex_);
        vertex_ = 0;
        return;
    }
    program_ = glCreateProgram();
    glAttachShader(program_, vertex_);
    glAttachShader(program_, fragment_);
    glLinkProgram(program_);
    GLint status = 0;
    glGetProgramiv(program_, GL_LINK_STATUS, &status);
    if (status == GL_TRUE)
        return;

    // A link failure names no single text, so no source is printed.
    logErrors(program_, glGetProgramiv, glGetProgramInfoLog);
    glDeleteProgram(program_);
    glDeleteShader(fragment_);
    glDeleteShader(vertex_);
    program_ = fragment_ = vertex_ = 0;
}

Program::~Program() {
    if (program_)
        glDeleteProgram(program_);
    if (fragment_)
        glDeleteShader(fragment_);
    if (vertex_)
        glDeleteShader(vertex_);
}

} // namespace ombrel
