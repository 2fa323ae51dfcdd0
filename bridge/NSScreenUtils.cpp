#include "bridge/NSScreenUtils.h"

#include <gtk/gtk.h>

#include <algorithm>

static platform::Rect geometryOf(GdkMonitor* m) {
    GdkRectangle g;
    gdk_monitor_get_geometry(m, &g);
    return platform::Rect{double(g.x), double(g.y), double(g.width), double(g.height)};
}

// The monitor of the focused window of the application; else the primary one; else the first.
static GdkMonitor* mainMonitor(GdkDisplay* display) {
    GdkMonitor* found = nullptr;
    GList* toplevels = gtk_window_list_toplevels();
    for (GList* l = toplevels; l && !found; l = l->next) {
        GtkWindow* w = GTK_WINDOW(l->data);
        GdkWindow* gw = gtk_widget_get_window(GTK_WIDGET(w));
        if (gw && gtk_window_is_active(w) && gtk_widget_get_mapped(GTK_WIDGET(w))) {
            found = gdk_display_get_monitor_at_window(display, gw);
        }
    }
    g_list_free(toplevels);
    if (!found) found = gdk_display_get_primary_monitor(display);
    if (!found && gdk_display_get_n_monitors(display) > 0) found = gdk_display_get_monitor(display, 0);
    return found;
}

static std::vector<platform::Rect> monitorRects(platform::Rect* mainRect) {
    std::vector<platform::Rect> out;
    GdkDisplay* display = gdk_display_get_default();
    if (!display) return out;
    int n = gdk_display_get_n_monitors(display);
    for (int i = 0; i < n; ++i) out.push_back(geometryOf(gdk_display_get_monitor(display, i)));
    if (mainRect) {
        if (GdkMonitor* m = mainMonitor(display)) *mainRect = geometryOf(m);
    }
    return out;
}

std::vector<platform::Rect> NSScreenUtils::sortedScreens() { return sortedScreens(monitorRects(nullptr)); }

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
