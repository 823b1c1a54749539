// Test helper for the end-to-end run of nadirport on an X display:
//   x11_probe pixel X Y R G B TOLERANCE   checks the screen's colour at (X, Y)
//   x11_probe close WINDOW                 asks a window to close, as a window manager would
// Exit status: 0 as expected, 1 not as expected, 2 usage or display errors.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int checkPixel(Display* display, int x, int y, const int expected[3], int tolerance) {
    Window root = DefaultRootWindow(display);
    XWindowAttributes attributes{};
    XGetWindowAttributes(display, root, &attributes);
    if (x < 0 || y < 0 || x >= attributes.width || y >= attributes.height) {
        std::fprintf(stderr, "x11_probe: (%d, %d) is outside the %dx%d screen\n", x, y,
                     attributes.width, attributes.height);
        return 2;
    }
    XImage* image = XGetImage(display, root, x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image) {
        std::fprintf(stderr, "x11_probe: cannot read the screen\n");
        return 2;
    }
    // Through the colour map, so any screen depth reads as 16-bit RGB.
    XColor colour{};
    colour.pixel = XGetPixel(image, 0, 0);
    XDestroyImage(image);
    XQueryColor(display, DefaultColormap(display, DefaultScreen(display)), &colour);
    int rgb[3] = {colour.red >> 8, colour.green >> 8, colour.blue >> 8};
    std::printf("pixel (%d, %d) = %d %d %d\n", x, y, rgb[0], rgb[1], rgb[2]);
    for (int i = 0; i < 3; ++i)
        if (std::abs(rgb[i] - expected[i]) > tolerance)
            return 1;
    return 0;
}

int requestClose(Display* display, Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    if (!XSendEvent(display, window, False, NoEventMask, &event)) {
        std::fprintf(stderr, "x11_probe: cannot send to window 0x%lx\n", window);
        return 2;
    }
    XSync(display, False);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "x11_probe: cannot open the display\n");
        return 2;
    }
    int result = 2;
    if (argc == 8 && std::strcmp(argv[1], "pixel") == 0) {
        int expected[3] = {std::atoi(argv[4]), std::atoi(argv[5]), std::atoi(argv[6])};
        result = checkPixel(display, std::atoi(argv[2]), std::atoi(argv[3]), expected,
                            std::atoi(argv[7]));
    } else if (argc == 3 && std::strcmp(argv[1], "close") == 0) {
        result = requestClose(display, std::strtoul(argv[2], nullptr, 0));
    } else {
        std::fprintf(stderr, "usage: x11_probe pixel X Y R G B TOLERANCE | close WINDOW\n");
    }
    XCloseDisplay(display);
    return result;
}
