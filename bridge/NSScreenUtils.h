// Screen geometry for full screen: the main screen and the top-aligned screens to its right.
// Rectangles are monitor frames in the global screen space, origin at the top left, in the units
// of window sizes.
#pragma once

#include <vector>

#include "platform/window.h"

class NSScreenUtils {
public:
    // The display's screens, ordered by the x of their origin.
    static std::vector<platform::Rect> sortedScreens();
    // The main screen (that of the focused window, else the primary one) first, then each other
    // screen with the same top edge to its right, from left to right.
    static std::vector<platform::Rect> sortedScreenRects();
    // The main screen's frame, as wide as all of sortedScreenRects together. Zero without screens.
    static platform::Rect fullScreenRect();

    // The same rules over a given list of screens (`main` among them or not).
    static std::vector<platform::Rect> sortedScreens(std::vector<platform::Rect> screens);
    static std::vector<platform::Rect> sortedScreenRects(const platform::Rect& main, std::vector<platform::Rect> screens);
    static platform::Rect fullScreenRect(const platform::Rect& main, const std::vector<platform::Rect>& screens);
};
