#include "bridge/NSScreenUtils.h"

#include <gtk/gtk.h>

#include <algorithm>

static std::vector<platform::Rect> monitorRects(platform::Rect* mainRect) {
    std::vector<platform::Rect> out;
    GdkDisplay* display = gdk_display_get_default();
    if (!display) return out;
    int n = gdk_display_get_n_monitors(display);
    GdkMonitor* primary = gdk_display_get_primary_monitor(display);
    for (int i = 0; i < n; ++i) {
        GdkMonitor* m = gdk_display_get_monitor(display, i);
        GdkRectangle g;
        gdk_monitor_get_geometry(m, &g);
        platform::Rect r{double(g.x), double(g.y), double(g.width), double(g.height)};
        out.push_back(r);
        if (mainRect && (m == primary || (!primary && i == 0))) *mainRect = r;
    }
    return out;
}

std::vector<platform::Rect> NSScreenUtils::sortedScreens() {
    auto screens = monitorRects(nullptr);
    std::stable_sort(screens.begin(), screens.end(), [](const auto& a, const auto& b) { return a.x < b.x; });
    return screens;
}

std::vector<platform::Rect> NSScreenUtils::sortedScreenRects(const platform::Rect& main, std::vector<platform::Rect> screens) {
    std::stable_sort(screens.begin(), screens.end(), [](const auto& a, const auto& b) { return a.x < b.x; });
    std::vector<platform::Rect> out{main};
    bool mainSeen = false;
    for (const auto& s : screens) {
        if (!mainSeen && s == main) {
            mainSeen = true;
            continue;
        }
        // Origin at the top left here: the same top edge is the same y.
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
    platform::Rect main;
    auto screens = monitorRects(&main);
    if (screens.empty()) return {};
    return sortedScreenRects(main, screens);
}

platform::Rect NSScreenUtils::fullScreenRect() {
    platform::Rect main;
    auto screens = monitorRects(&main);
    if (screens.empty()) return {};
    return fullScreenRect(main, screens);
}
