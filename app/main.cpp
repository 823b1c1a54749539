// Process entry of the demo: opens the 1280 by 800 window and runs the viewport until it quits.
// It takes no command line; the exit code is the quit code, or non-zero when no window opens.
#include "app/nadirport.h"
#include "shell/window_shell.h"

namespace {

// The one application object, built before the entry runs; it lives until the process exits.
ombrel::Nadirport demo;

} // namespace

int main() {
    ombrel::WindowShell shell(&demo, 1280, 800);
    return shell.run();
}
