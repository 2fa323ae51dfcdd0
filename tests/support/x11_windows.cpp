#include "tests/support/x11_windows.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xfixes.h>


namespace testutil {

namespace {

// A connection of its own per call: the caller's GDK connection (if any) is left alone.
struct Connection {
    Connection() : display(XOpenDisplay(nullptr)) {}
    ~Connection() {
        if (display) XCloseDisplay(display);
    }
    Display* display;
};

bool cardinal(Display* d, Window w, const char* name, unsigned long& value) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    Atom atom = XInternAtom(d, name, False);
    bool ok = XGetWindowProperty(d, w, atom, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after, &data) == Success &&
              type == XA_CARDINAL && format == 32 && count == 1;
    if (ok) value = *reinterpret_cast<unsigned long*>(data);
    if (data) XFree(data);
    return ok;
}

std::string title(Display* d, Window w) {
    std::string out;
    XTextProperty text;
    if (XGetWMName(d, w, &text) && text.value) {
        out.assign(reinterpret_cast<char*>(text.value), text.nitems);
        XFree(text.value);
    }
    return out;
}

}  // namespace

std::vector<X11Window> topLevelWindowsOf(pid_t pid) {
    std::vector<X11Window> out;
    Connection c;
    if (!c.display) return out;
    Display* d = c.display;
    Window root = DefaultRootWindow(d), parent = 0, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(d, root, &root, &parent, &children, &count)) return out;
    for (unsigned i = 0; i < count; ++i) {
        Window w = children[i];
        unsigned long owner = 0;
        if (!cardinal(d, w, "_NET_WM_PID", owner) || owner != static_cast<unsigned long>(pid)) continue;
        XWindowAttributes a;
        if (!XGetWindowAttributes(d, w, &a)) continue;
        X11Window x;
        x.id = w;
        x.title = title(d, w);
        x.viewable = a.map_state == IsViewable;
        Window dummy;
        XTranslateCoordinates(d, w, root, 0, 0, &x.x, &x.y, &dummy);
        x.width = a.width;
        x.height = a.height;
        XSizeHints hints;
        long supplied = 0;
        if (XGetWMNormalHints(d, w, &hints, &supplied)) {
            x.programPosition = hints.flags & PPosition;
            x.userPosition = hints.flags & USPosition;
        }
        out.push_back(x);
    }
    if (children) XFree(children);
    return out;
}

bool findWindow(pid_t pid, const std::string& name, X11Window& out) {
    bool found = false;
    for (const auto& w : topLevelWindowsOf(pid)) {
        if (w.title != name) continue;
        if (!found || (w.viewable && !out.viewable)) out = w;
        found = true;
    }
    return found;
}

bool pointerIsBlankOver(const X11Window& window) {
    Connection c;
    if (!c.display) return false;
    int eventBase = 0, errorBase = 0;
    if (!XFixesQueryExtension(c.display, &eventBase, &errorBase)) return false;
    XWarpPointer(c.display, None, window.id, 0, 0, 0, 0, window.width / 2, window.height / 2);
    XSync(c.display, False);
    XFixesCursorImage* image = XFixesGetCursorImage(c.display);
    if (!image) return false;
    bool blank = true;
    for (int i = 0; i < image->width * image->height; ++i) {
        if ((image->pixels[i] >> 24) & 0xff) blank = false;
    }
    XFree(image);
    return blank;
}

void requestClose(const X11Window& window) {
    Connection c;
    if (!c.display) return;
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = window.id;
    e.xclient.message_type = XInternAtom(c.display, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(c.display, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(c.display, window.id, False, NoEventMask, &e);
    XSync(c.display, False);
}

}  // namespace testutil
