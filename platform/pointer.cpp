#include "platform/pointer.h"

#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

#include <algorithm>
#include <vector>

#include "platform/dispatch.h"

namespace platform {

// ---- Hiding ----------------------------------------------------------------------------------

namespace {

struct CoveredWindow {
    GdkWindow* window;   // referenced
    GdkCursor* saved;    // referenced or null: the cursor to give back
    gulong handler;
};

bool gHidden = false;
GdkCursor* gBlank = nullptr;
std::vector<CoveredWindow> gCovered;

void onCursorChanged(GObject* object, GParamSpec*, gpointer) {
    if (!gHidden || !gBlank) return;
    GdkWindow* window = GDK_WINDOW(object);
    GdkCursor* now = gdk_window_get_cursor(window);
    if (now == gBlank) return;
    for (auto& c : gCovered) {
        if (c.window != window) continue;
        g_set_object(&c.saved, now);
        break;
    }
    gdk_window_set_cursor(window, gBlank);
}

void cover(GdkWindow* window) {
    if (!window || gdk_window_is_destroyed(window)) return;
    auto it = std::find_if(gCovered.begin(), gCovered.end(), [&](const CoveredWindow& c) { return c.window == window; });
    if (it == gCovered.end()) {
        GdkCursor* saved = gdk_window_get_cursor(window);
        if (saved == gBlank) saved = nullptr;
        if (saved) g_object_ref(saved);
        g_object_ref(window);
        gulong handler = g_signal_connect(window, "notify::cursor", G_CALLBACK(onCursorChanged), nullptr);
        gCovered.push_back({window, saved, handler});
    }
    if (gdk_window_get_cursor(window) != gBlank) gdk_window_set_cursor(window, gBlank);
    g_autoptr(GList) children = gdk_window_get_children(window);
    for (GList* l = children; l; l = l->next) cover(GDK_WINDOW(l->data));
}

}  // namespace

void hidePointer() {
    gHidden = true;
    GdkDisplay* display = gdk_display_get_default();
    if (!display) return;
    if (!gBlank) gBlank = gdk_cursor_new_for_display(display, GDK_BLANK_CURSOR);
    // Every call looks again, so windows realised since the last one are covered too.
    g_autoptr(GList) toplevels = gtk_window_list_toplevels();
    for (GList* l = toplevels; l; l = l->next) {
        if (GdkWindow* w = gtk_widget_get_window(GTK_WIDGET(l->data))) cover(w);
    }
}

void showPointer() {
    gHidden = false;
    std::vector<CoveredWindow> covered;
    covered.swap(gCovered);
    for (auto& c : covered) {
        g_signal_handler_disconnect(c.window, c.handler);
        if (!gdk_window_is_destroyed(c.window)) gdk_window_set_cursor(c.window, c.saved);
        if (c.saved) g_object_unref(c.saved);
        g_object_unref(c.window);
    }
}

bool isPointerHidden() { return gHidden; }

// ---- Movement --------------------------------------------------------------------------------

struct PointerMonitorRegistry {
    static PointerMonitorRegistry& shared() {
        static PointerMonitorRegistry r;
        return r;
    }

    std::vector<PointerMonitor*> monitors;
    bool eventHandlerInstalled = false;
    std::shared_ptr<Timer> pollTimer;
    bool havePosition = false;
    GdkScreen* lastScreen = nullptr;
    int lastX = 0, lastY = 0;

    void notify(PointerMonitor::Scope scope) {
        // A handler may remove monitors, its own included.
        std::vector<PointerMonitor*> targets;
        for (auto* m : monitors) {
            if (m->scope_ == scope) targets.push_back(m);
        }
        for (auto* m : targets) {
            if (std::find(monitors.begin(), monitors.end(), m) == monitors.end()) continue;
            auto moved = m->moved_;
            if (moved) moved();
        }
    }

    bool any(PointerMonitor::Scope scope) const {
        return std::any_of(monitors.begin(), monitors.end(), [&](auto* m) { return m->scope_ == scope; });
    }

    static void onEvent(GdkEvent* event, gpointer) {
        if (event->type == GDK_MOTION_NOTIFY) shared().notify(PointerMonitor::Scope::Application);
        gtk_main_do_event(event);
    }

    static GdkDevice* pointerDevice() {
        GdkDisplay* display = gdk_display_get_default();
        if (!display) return nullptr;
        GdkSeat* seat = gdk_display_get_default_seat(display);
        return seat ? gdk_seat_get_pointer(seat) : nullptr;
    }

    void poll() {
        GdkDevice* pointer = pointerDevice();
        if (!pointer) return;
        GdkScreen* screen = nullptr;
        int x = 0, y = 0;
        gdk_device_get_position(pointer, &screen, &x, &y);
        bool moved = havePosition && (screen != lastScreen || x != lastX || y != lastY);
        havePosition = true;
        lastScreen = screen;
        lastX = x;
        lastY = y;
        if (moved) notify(PointerMonitor::Scope::Global);
    }

    void startPolling() {
        if (pollTimer) return;
        havePosition = false;
        poll();
        // A quarter second is plenty for an idle check that runs once a second.
        pollTimer = Timer::scheduled(0.25, true, [this](Timer&) { poll(); });
    }

    void stopPolling() {
        if (pollTimer) pollTimer->invalidate();
        pollTimer.reset();
        havePosition = false;
    }
};

bool canMonitorPointerGlobally() {
#ifdef GDK_WINDOWING_X11
    GdkDisplay* display = gdk_display_get_default();
    return display && GDK_IS_X11_DISPLAY(display);
#else
    return false;
#endif
}

std::unique_ptr<PointerMonitor> PointerMonitor::add(Scope scope, std::function<void()> moved) {
    auto& reg = PointerMonitorRegistry::shared();
    if (scope == Scope::Global && !canMonitorPointerGlobally()) return nullptr;
    std::unique_ptr<PointerMonitor> m(new PointerMonitor(scope, std::move(moved)));
    reg.monitors.push_back(m.get());
    if (scope == Scope::Application && !reg.eventHandlerInstalled) {
        // Sees every event before GTK dispatches it; events go on unchanged.
        gdk_event_handler_set(&PointerMonitorRegistry::onEvent, nullptr, nullptr);
        reg.eventHandlerInstalled = true;
    }
    if (scope == Scope::Global) reg.startPolling();
    return m;
}

PointerMonitor::~PointerMonitor() {
    auto& reg = PointerMonitorRegistry::shared();
    reg.monitors.erase(std::remove(reg.monitors.begin(), reg.monitors.end(), this), reg.monitors.end());
    if (!reg.any(Scope::Global)) reg.stopPolling();
}

}  // namespace platform
