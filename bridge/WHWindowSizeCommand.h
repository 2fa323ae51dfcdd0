// Full screen on and off, toggle, and fixed size of a window.
#pragma once

#include "platform/window.h"

// Full screen: no title bar or border, kept above other windows, hidden while the application is
// inactive, spanning the main screen and the top-aligned screens to its right (through the display
// server's own full-screen state where that gives it). The frame before full screen is kept (one
// for the process) and given back when full screen ends.
class WHWindowSizeCommand {
public:
    static void makeFullScreen(platform::Window& window);
    static void removeFullScreen(platform::Window& window);
    static void toggleFullScreen(platform::Window& window);
    static void setSizeOfWindow(platform::Window& window, double width, double height);

    // All zero until full screen was first switched on.
    static platform::Rect savedFrame();
    static void resetSavedFrameForTesting();
};
