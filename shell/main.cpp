// Process entry: opens the window and runs the viewport until it quits.
#include "shell/placeholder_viewport.h"
#include "shell/window_shell.h"

int main() {
    static ombrel::PlaceholderViewport viewport;
    ombrel::WindowShell shell(&viewport, 1280, 800);
    return shell.run();
}
