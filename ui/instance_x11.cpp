#include "ui/instance_x11.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <cstring>
#include <string>

namespace {

// Top-level windows are children of the root, or grandchildren inside a window manager's frame
// (a few levels with reparenting managers).
constexpr int kSearchDepth = 4;

// Errors of windows that vanish while they are looked at end the search of that window only.
int ignoreErrors(Display*, XErrorEvent*) { return 0; }

bool hasClass(Display* display, Window window, const char* className) {
    XClassHint hint{};
    if (XGetClassHint(display, window, &hint) == 0) return false;
    bool same = hint.res_class != nullptr && std::strcmp(hint.res_class, className) == 0;
    if (hint.res_name != nullptr) XFree(hint.res_name);
    if (hint.res_class != nullptr) XFree(hint.res_class);
    return same;
}

std::string titleOf(Display* display, Window window) {
    Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
    Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::string title;
    if (XGetWindowProperty(display, window, netName, 0, 256, False, utf8, &type, &format, &count, &after, &data) ==
            Success &&
        data != nullptr && type == utf8 && format == 8) {
        title.assign(reinterpret_cast<const char*>(data), count);
    }
    if (data != nullptr) XFree(data);
    if (!title.empty()) return title;
    char* name = nullptr;
    if (XFetchName(display, window, &name) != 0 && name != nullptr) {
        title = name;
        XFree(name);
    }
    return title;
}

Window search(Display* display, Window parent, const char* className, const char* title, int depth) {
    Window root = None, ignored = None;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, parent, &root, &ignored, &children, &count) == 0) return None;
    Window found = None;
    for (unsigned int i = 0; i < count && found == None; ++i) {
        if (hasClass(display, children[i], className) && titleOf(display, children[i]) == title) {
            found = children[i];
        } else if (depth > 1) {
            found = search(display, children[i], className, title, depth - 1);
        }
    }
    if (children != nullptr) XFree(children);
    return found;
}

}  // namespace

Window findInstanceWindow(Display* display, const char* className, const char* title) {
    XSync(display, False);
    XErrorHandler previous = XSetErrorHandler(&ignoreErrors);
    Window found = search(display, DefaultRootWindow(display), className, title, kSearchDepth);
    XSync(display, False);
    XSetErrorHandler(previous);
    return found;
}

void activateInstanceWindow(Display* display, Window window) {
    XErrorHandler previous = XSetErrorHandler(&ignoreErrors);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = 1;  // the request comes from an application
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, DefaultRootWindow(display), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XMapRaised(display, window);
    XSync(display, False);
    XSetErrorHandler(previous);
}
