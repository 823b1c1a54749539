// A real GL context for tests: a hidden GLFW window with a compatibility context and GLEW.
#pragma once

#include <GL/glew.h>

struct GLFWwindow;

namespace ombrel::test {

// Creates the context once per process and makes it current on the calling thread.
// Returns false (after printing why) when no display or no GL is available.
bool ensureGlContext(int width = 64, int height = 64);
GLFWwindow* glTestWindow();

// Skips the current test when there is no display at all; fails it when a display exists but
// the context cannot be made. Use at the top of a test or in SetUp().
#define OMBREL_REQUIRE_GL()                                                                        \
    do {                                                                                           \
        if (!::ombrel::test::ensureGlContext()) {                                                  \
            if (::ombrel::test::displayMissing())                                                  \
                GTEST_SKIP() << "no display: run under xvfb-run";                                  \
            FAIL() << "could not create a GL context";                                             \
        }                                                                                          \
    } while (0)

bool displayMissing();

// Reads back an RGBA8 pixel of the currently bound read framebuffer.
struct Rgba8 {
    unsigned char r, g, b, a;
};
Rgba8 readPixel(int x, int y);

} // namespace ombrel::test
