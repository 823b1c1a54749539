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

// Each row: the texts, then the log lines expected (each a prefix; the numbered source lines
// and brackets are fixed texts). A failed program keeps no names; no program leaks a shader.
TEST(ProgramBuild, FailuresLogTheSourceOrTheErrorsAndNoProgramLeaksNames) {
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
        {"valid pair", kVertex, kFragment, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const GLuint probe = glCreateShader(GL_VERTEX_SHADER);
        glDeleteShader(probe);
        ombrel::test::LogCapture capture;
        Ref<Program> program = new Program(row.vertex, row.fragment);
        const bool built = row.lines.empty();
        const GLuint name = program->name();
        const GLuint vertex = program->vertexShader(), fragment = program->fragmentShader();
        EXPECT_TRUE(built ? name && vertex && fragment : (name | vertex | fragment) == 0);
        program = nullptr; // releasing a built program deletes it and its shaders
        EXPECT_FALSE(glIsProgram(name));
        for (GLuint shader = probe; shader < probe + 8; ++shader) // Mesa reuses freed names
            EXPECT_FALSE(glIsShader(shader)) << shader;
        ASSERT_EQ(capture.lines().size(), row.lines.size());
        for (size_t i = 0; i < row.lines.size(); ++i)
            EXPECT_EQ(capture.lines()[i].rfind(row.lines[i], 0), 0u) << capture.lines()[i];
        // The errors follow their heading.
        EXPECT_TRUE(built || capture.lines().back().size() > row.lines.back().size() + 1);
    }
}

} // namespace
