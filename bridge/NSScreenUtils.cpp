#include "bridge/NSScreenUtils.h"

#include <algorithm>

#include "platform/screen.h"

std::vector<platform::Rect> NSScreenUtils::sortedScreens() { return sortedScreens(platform::currentScreens().frames); }

std::vector<platform::Rect> NSScreenUtils::sortedScreens(std::vector<platform::Rect> screens) {
    std::stable_sort(screens.begin(), screens.end(), [](const auto& a, const auto& b) { return a.x < b.x; });
    return screens;
}

std::vector<platform::Rect> NSScreenUtils::sortedScreenRects(const platform::Rect& main, std::vector<platform::Rect> screens) {
    std::vector<platform::Rect> out{main};
    bool mainSeen = false;
    for (const auto& s : sortedScreens(std::move(screens))) {
        if (!mainSeen && s == main) {
            mainSeen = true;
            continue;
        }
        // Origin at the top left: the same top edge is the same y.
        if (s.y == main.y && s.x > main.x) out.push_back(s);
    }
    return out;
}

platform::Rect NSScreenUtils::fullScreenRect(const platform::Rect& main, const std::vector<platform::Rect>& screens) {
    platform::Rect r = main;
    r.width = 0;
    for (const auto& s : sortedScreenRects(main, screens)) r.width += s.width;
    return r;
}

std::vector<platform::Rect> NSScreenUtils::sortedScreenRects() {
    platform::Screens s = platform::currentScreens();
    if (s.main < 0) return {};
    return sortedScreenRects(s.frames[s.main], s.frames);
}

platform::Rect NSScreenUtils::fullScreenRect() {
    platform::Screens s = platform::currentScreens();
    if (s.main < 0) return {};
    return fullScreenRect(s.frames[s.main], s.frames);
}
