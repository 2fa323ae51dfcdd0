#include "bridge/WHWindowSizeCommand.h"

#include "bridge/NSScreenUtils.h"
#include "platform/log.h"

static platform::Rect gSavedFrame;

platform::Rect WHWindowSizeCommand::savedFrame() { return gSavedFrame; }
void WHWindowSizeCommand::resetSavedFrameForTesting() { gSavedFrame = {}; }

void WHWindowSizeCommand::makeFullScreen(platform::Window& window) {
    platform::Rect r = NSScreenUtils::fullScreenRect();
    platform::logf("Full screen resolution: %.1f x %.1f", r.width, r.height);
    // Read before the title bar goes: the content's size is measured against the window's
    // decoration as it is.
    gSavedFrame = window.frame();
    window.setTitled(false);
    window.setHidesOnDeactivate(true);
    window.setLevel(platform::WindowLevel::AboveMainMenu);
    // Without a screen to span there is no frame to give; the window keeps its own.
    if (r.width > 0 && r.height > 0) window.enterFullScreen(r);
    window.redisplay();
}

void WHWindowSizeCommand::removeFullScreen(platform::Window& window) {
    window.leaveFullScreen();
    window.setTitled(true);
    window.setHidesOnDeactivate(false);
    window.setLevel(platform::WindowLevel::Normal);
    // Before full screen was ever on there is no frame to go back to.
    if (!gSavedFrame.isZero()) window.setFrame(gSavedFrame);
    window.redisplay();
}

void WHWindowSizeCommand::toggleFullScreen(platform::Window& window) {
    if (window.isTitled()) {
        makeFullScreen(window);
    } else {
        removeFullScreen(window);
    }
}

void WHWindowSizeCommand::setSizeOfWindow(platform::Window& window, double width, double height) {
    platform::logf("Set window size to %.1f x %.1f", width, height);
    window.setSize(width, height);
    window.redisplay();
}
