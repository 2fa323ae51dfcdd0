// The main window; it may always become the key window, also without a title bar.
#pragma once

#include "platform/window.h"

class WHMainWindow : public platform::Window {
public:
    bool canBecomeKeyWindow() const { return true; }
};
