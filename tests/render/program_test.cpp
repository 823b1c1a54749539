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
                            "void main(){\n"
                            "gl_Position = vec4(av2_vertex, 0., 1.);\n"
                            "}";
const char* const kFragment = "void main(){ gl_FragColor = vec4(1.); }";
const char* const kBrokenVertex = "void main(){\n"
                                  "gl_Position = undeclared_thing;\n"
                                  "}\n";
const char* const kBrokenFragment = "void main(){ gl_FragColor = nope; }";

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override { OMBREL_REQUIRE_GL(); }
    ombrel::test::LogCapture capture;
};

} // namespace

TEST_F(ProgramTest, LinksAValidPairSilentlyAndReleaseDeletesProgramAndShaders) {
    Ref<Program> program = new Program(kVertex, kFragment);
    GLuint p = program->name(), v = program->vertexShader(), f = program->fragmentShader();
    ASSERT_NE(p, 0u);
    GLint attached = 0;
    glGetProgramiv(p, GL_ATTACHED_SHADERS, &attached);
    EXPECT_EQ(attached, 2);
    EXPECT_GE(glGetAttribLocation(p, "av2_vertex"), 0);
    EXPECT_TRUE(capture.lines().empty());
    program = nullptr;
    EXPECT_FALSE(glIsProgram(p));
    EXPECT_FALSE(glIsShader(v));
    EXPECT_FALSE(glIsShader(f));
}

TEST_F(ProgramTest, VertexFailureLogsNumberedSourceAndNeverCompilesTheFragment) {
    Ref<Program> program = new Program(kBrokenVertex, kBrokenFragment);
    EXPECT_EQ(program->name(), 0u);
    EXPECT_EQ(program->vertexShader(), 0u);
    EXPECT_EQ(program->fragmentShader(), 0u);
    // A failed program binds nothing and raises no GL error.
    glUseProgram(program->name());
    GLint current = -1;
    glGetIntegerv(GL_CURRENT_PROGRAM, &current);
    EXPECT_EQ(current, 0);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));

    const auto& lines = capture.lines();
    // Three text lines plus the empty one after the final newline.
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "for shader [");
    EXPECT_EQ(lines[1], "1: void main(){");
    EXPECT_EQ(lines[2], "2: gl_Position = undeclared_thing;");
    EXPECT_EQ(lines[3], "3: }");
    EXPECT_EQ(lines[4], "4: ");
    EXPECT_EQ(lines[5], "]");
    EXPECT_EQ(lines[6].rfind("there were errors:\n", 0), 0u);
    EXPECT_NE(lines[6].find("undeclared_thing"), std::string::npos);
    EXPECT_EQ(lines[6].back(), '\n');
    for (const auto& line : lines)
        EXPECT_EQ(line.find("nope"), std::string::npos) << "fragment text was compiled";
}

TEST_F(ProgramTest, FragmentFailureDeletesTheCompiledVertexShader) {
    GLuint probe = glCreateShader(GL_VERTEX_SHADER);
    glDeleteShader(probe);
    Ref<Program> program = new Program(kVertex, kBrokenFragment);
    EXPECT_EQ(program->name(), 0u);
    EXPECT_EQ(program->vertexShader(), 0u);
    EXPECT_EQ(program->fragmentShader(), 0u);
    ASSERT_GE(capture.lines().size(), 4u);
    EXPECT_EQ(capture.lines()[0], "for shader [");
    EXPECT_EQ(capture.lines()[1], "1: void main(){ gl_FragColor = nope; }");
    EXPECT_EQ(capture.lines()[2], "]");
    // Mesa reuses freed names; the vertex shader created in the constructor must be gone.
    for (GLuint name = probe; name < probe + 8; ++name)
        EXPECT_FALSE(glIsShader(name)) << name;
}

TEST_F(ProgramTest, AFinalNewlineLogsOneMoreEmptyLineAndNoneLogsNone) {
    std::string source;
    for (int i = 1; i <= 11; ++i)
        source += "// line " + std::to_string(i) + "\n";
    source[0] = '#'; // an invalid directive makes the text fail
    EXPECT_EQ(ombrel::compileShader(GL_FRAGMENT_SHADER, source.c_str()), 0u);
    const auto& lines = capture.lines();
    ASSERT_EQ(lines.size(), 15u);
    EXPECT_EQ(lines[11], "11: // line 11");
    EXPECT_EQ(lines[12], "12: ");
    EXPECT_EQ(lines[13], "]");

    EXPECT_EQ(ombrel::compileShader(GL_VERTEX_SHADER, "void main(){ bad }"), 0u);
    ASSERT_EQ(lines.size(), 15u + 4u);
    EXPECT_EQ(lines[16], "1: void main(){ bad }");
    EXPECT_EQ(lines[17], "]");
}

TEST_F(ProgramTest, LinkFailureLogsOnlyTheProgramErrors) {
    // Compiles as a function library, but a program needs a main().
    const char* noMain = "vec4 color(){ return vec4(1.); }";
    Ref<Program> program = new Program(kVertex, noMain);
    EXPECT_EQ(program->name(), 0u);
    EXPECT_EQ(program->vertexShader(), 0u);
    EXPECT_EQ(program->fragmentShader(), 0u);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0].rfind("there were errors:\n", 0), 0u);
    EXPECT_GT(capture.lines()[0].size(), std::string("there were errors:\n\n").size());
}

TEST_F(ProgramTest, NullSourceIsReportedInsteadOfCrashing) {
    EXPECT_EQ(ombrel::compileShader(GL_VERTEX_SHADER, nullptr), 0u);
    Ref<Program> program = new Program(nullptr, kFragment);
    EXPECT_EQ(program->name(), 0u);
    ASSERT_FALSE(capture.lines().empty());
    EXPECT_NE(capture.lines()[0].find("no source"), std::string::npos);
}
