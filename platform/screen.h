// The display's screens, in the units of window sizes (those of Window::frame and setFrame), origin
// at the top left of the screen space.
#pragma once

#include <vector>

#include "platform/window.h"

namespace platform {

struct Screens {
    std::vector<Rect> frames;  // in the display's order
    int main = -1;             // index of the main screen in frames; -1 without screens
};

// The main screen is that of the application's focused window, else the primary one, else the first.
Screens currentScreens();

// A screen's frame given by the display, brought into window units: a compositor whose layout is
// in device pixels (the frame as large as the output's mode) has it divided by the output's scale.
// `modeWidth` and `modeHeight` are the output's mode in device pixels as the screen shows it
// (rotation applied); zero when unknown.
Rect screenFrameInWindowUnits(const Rect& frame, int scale, int modeWidth, int modeHeight);

}  // namespace platform
