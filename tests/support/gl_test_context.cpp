// Test GL context: one hidden window for the whole test process.
#include "tests/support/gl_test_context.h"

#include <GLFW/glfw3.h>

#include <cstdio>
#include <cstdlib>

namespace ombrel::test {

namespace {
GLFWwindow* window = nullptr;
bool tried = false;
} // namespace

bool displayMissing() {
    const char* display = std::getenv("DISPLAY");
    return display == nullptr || *display == 0;
}

bool ensureGlContext(int width, int height) {
    if (window) {
        glfwMakeContextCurrent(window);
        return true;
    }
    if (tried)
        return false;
    tried = true;
    glfwSetErrorCallback([](int code, const char* text) {
        std::fprintf(stderr, "test GL: GLFW error 0x%x: %s\n", code, text);
    });
    if (glfwInit()) { // it resets the hints
        glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
        glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 2);
        glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 1);
        glfwWindowHint(GLFW_DEPTH_BITS, 24);
        window = glfwCreateWindow(width, height, "", nullptr, nullptr);
    }
    if (window) {
        glfwMakeContextCurrent(window);
        glewExperimental = GL_TRUE;
        if (glewInit() == GLEW_OK)
            return true;
        glfwDestroyWindow(window);
        window = nullptr;
    }
    std::fprintf(stderr, "test GL: no window with a GL 2.1 context and its entry points\n");
    return false;
}

GLFWwindow* glTestWindow() {
    return window;
}

Rgba8 readPixel(int x, int y) {
    Rgba8 p{};
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(x, y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, &p);
    return p;
}

} // namespace ombrel::test
