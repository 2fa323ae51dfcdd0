// Screen geometry for full screen: the main screen and the top-aligned screens to its right.
#pragma once

#include <vector>

#include "platform/window.h"

class NSScreenUtils {
public:
    // Screens of the display, ordered by the x of their origin.
    static std::vector<platform::Rect> sortedScreens();
    static std::vector<platform::Rect> sortedScreenRects();
    static platform::Rect fullScreenRect();

    // The same rules over a given list (main screen first in `screens` is not required).
    static std::vector<platform::Rect> sortedScreenRects(const platform::Rect& main, std::vector<platform::Rect> screens);
    static platform::Rect fullScreenRect(const platform::Rect& main, const std::vector<platform::Rect>& screens);
};
