// What the X server knows about the top-level windows of a process (another one included):
// map state, geometry, the size hints a window manager places it by, and the pointer over it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testutil {

struct X11Window {
    unsigned long id = 0;
    std::string title;
    bool viewable = false;
    int x = 0, y = 0, width = 0, height = 0;  // inside the border, in root coordinates
    // WM_NORMAL_HINTS: a position the program or the user asked for, which overrides placement.
    bool programPosition = false;
    bool userPosition = false;
};

// The client windows (those carrying _NET_WM_PID) of the process, in stacking order.
std::vector<X11Window> topLevelWindowsOf(pid_t pid);
// Its windows with the title; the first viewable one when there is one.
bool findWindow(pid_t pid, const std::string& title, X11Window& out);

// Warps the pointer to the middle of the window; answers whether the cursor the server shows
// there is blank (every pixel fully transparent).
bool pointerIsBlankOver(const X11Window& window);

// Asks the window to close as a window manager does (WM_DELETE_WINDOW).
void requestClose(const X11Window& window);

}  // namespace testutil
