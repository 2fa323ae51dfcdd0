// Ties the menu-bar companion to the main window: window mode and menu-bar mode.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "media/StreamLimits.h"

class KVControlMain {
public:
    KVControlMain();

    static KVControlMain* sharedInstance();
    static void setSharedInstance(std::unique_ptr<KVControlMain> instance);
    // Creates the companion (spelled so); replaces any earlier one.
    static void initilizeKVControl();

    void closedTarragon();
    void showTarragon(const std::optional<std::string>& url);

    bool windowIsOpen = false;
};

// The companion's helpers.
class Utils {
public:
    static int getFPS() { return media::kStreamFramesPerSecond; }
    static int getBPS() { return media::kStreamBytesPerSecond; }
    static std::string kvString(const std::string& key);
};
