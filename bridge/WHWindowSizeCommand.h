// Full screen on and off, toggle, and fixed size of a window.
#pragma once

#include "platform/window.h"

class WHWindowSizeCommand {
public:
    static void makeFullScreen(platform::Window& window);
    static void removeFullScreen(platform::Window& window);
    static void toggleFullScreen(platform::Window& window);
    static void setSizeOfWindow(platform::Window& window, double width, double height);

    static platform::Rect savedFrame();
    static void resetSavedFrameForTesting();
};
