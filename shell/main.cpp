// Process entry: opens the window and runs the viewport until it quits.
#include "shell/log.h"

int main() {
    ombrel::log("nadirport: placeholder");
    return 0;
}
