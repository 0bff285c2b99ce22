#include "tests/app/XTestKeyboard.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <cstdlib>

namespace tvl::test {
namespace {

Display* AsDisplay(void* display) { return static_cast<Display*>(display); }

// The top-level window named `title` once it is viewable, 0 before.
Window FindViewableWindow(Display* display, const std::string& title) {
    Window root = DefaultRootWindow(display);
    Window parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    Window found = 0;
    if (XQueryTree(display, root, &root, &parent, &children, &count) == 0) {
        return 0;
    }
    for (unsigned i = 0; i < count && found == 0; ++i) {
        XWindowAttributes attributes;
        char* name = nullptr;
        if (XGetWindowAttributes(display, children[i], &attributes) != 0 && attributes.map_state == IsViewable &&
            XFetchName(display, children[i], &name) != 0 && name != nullptr) {
            if (title == name) {
                found = children[i];
            }
            XFree(name);
        }
    }
    XFree(children);
    return found;
}

}  // namespace

std::unique_ptr<XTestKeyboard> XTestKeyboard::Open(std::string* why) {
    const char* name = std::getenv("DISPLAY");
    Display* display = name != nullptr ? XOpenDisplay(name) : nullptr;
    if (display == nullptr) {
        *why = "no display";
        return nullptr;
    }
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display, &event, &error, &major, &minor)) {
        XCloseDisplay(display);
        *why = "no X test extension";
        return nullptr;
    }
    // A window that goes away between the search and the focus is no reason to end the test.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    return std::unique_ptr<XTestKeyboard>(new XTestKeyboard(display));
}

XTestKeyboard::~XTestKeyboard() { XCloseDisplay(AsDisplay(display_)); }

bool XTestKeyboard::HasWindow(const std::string& title) {
    return FindViewableWindow(AsDisplay(display_), title) != 0;
}

bool XTestKeyboard::PressEnterIn(const std::string& title) {
    Display* display = AsDisplay(display_);
    const Window window = FindViewableWindow(display, title);
    if (window == 0) {
        return false;
    }
    XSetInputFocus(display, window, RevertToParent, CurrentTime);
    const KeyCode enter = XKeysymToKeycode(display, XK_Return);
    XTestFakeKeyEvent(display, enter, True, CurrentTime);
    XTestFakeKeyEvent(display, enter, False, CurrentTime);
    XSync(display, False);
    return true;
}

}  // namespace tvl::test
