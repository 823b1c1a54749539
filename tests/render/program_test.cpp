// Shader program: compile and link reports in the log, names, and clean-up on a real context.
#include "render/program.h"

#include "tests/support/gl_test_context.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using ombrel::Program;
using ombrel::Ref;

const char* const kVertex = "attribute vec2 av2_vertex;\n"
                            "void main(){ gl_Position = vec4(av2_vertex, 0., 1.); }";
const char* const kFragment = "void main(){ gl_FragColor = vec4(1.); }";

TEST(ProgramBuild, LinksAValidPairSilentlyAndReleaseDeletesProgramAndShaders) {
    OMBREL_REQUIRE_GL();
    ombrel::test::LogCapture capture;
    Ref<Program> program = new Program(kVertex, kFragment);
    const GLuint p = program->name(), v = program->vertexShader(), f = program->fragmentShader();
    ASSERT_NE(p, 0u);
    EXPECT_GE(glGetAttribLocation(p, "av2_vertex"), 0);
    EXPECT_TRUE(capture.lines().empty());
    program = nullptr;
    EXPECT_FALSE(glIsProgram(p) || glIsShader(v) || glIsShader(f));
}

// Each row: the texts, then the log lines expected (each a prefix; the numbered source lines
// and brackets are fixed texts). A failed program keeps no names and leaks no shader.
TEST(ProgramBuild, FailuresLogTheSourceOrTheErrorsAndKeepNoNames) {
    OMBREL_REQUIRE_GL();
    const struct {
        const char* name;
        const char* vertex;
        const char* fragment;
        std::vector<std::string> lines;
    } rows[] = {
        // A final newline logs one more, empty, numbered line; the fragment is never compiled.
        {"vertex",
         "void main(){\ngl_Position = undeclared_thing;\n}\n",
         "void main(){ nope; }",
         {"for shader [", "1: void main(){", "2: gl_Position = undeclared_thing;", "3: }",
          "4: ", "]", "there were errors:\n"}},
        {"fragment",
         kVertex,
         "void main(){ gl_FragColor = nope; }",
         {"for shader [", "1: void main(){ gl_FragColor = nope; }", "]", "there were errors:\n"}},
        {"link without main",
         kVertex,
         "vec4 color(){ return vec4(1.); }",
         {"there were errors:\n"}},
        {"null source", nullptr, kFragment, {"compileShader: no source text"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const GLuint probe = glCreateShader(GL_VERTEX_SHADER);
        glDeleteShader(probe);
        ombrel::test::LogCapture capture;
        Ref<Program> program = new Program(row.vertex, row.fragment);
        EXPECT_EQ(program->name() | program->vertexShader() | program->fragmentShader(), 0u);
        for (GLuint name = probe; name < probe + 8; ++name) // Mesa reuses freed names
            EXPECT_FALSE(glIsShader(name)) << name;
        ASSERT_EQ(capture.lines().size(), row.lines.size());
        for (size_t i = 0; i < row.lines.size(); ++i)
            EXPECT_EQ(capture.lines()[i].rfind(row.lines[i], 0), 0u) << capture.lines()[i];
        EXPECT_GT(capture.lines().back().size(), row.lines.back().size() + 1);
        // A failed program binds nothing and raises no GL error.
        glUseProgram(program->name());
        EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    }
}

} // namespace
