#include "platform/screen.h"

#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_WAYLAND
#include <gdk/gdkwayland.h>
#include <wayland-client.h>
#endif

#include <cstring>
#include <memory>
#include <string>

namespace platform {

Rect screenFrameInWindowUnits(const Rect& frame, int scale, int modeWidth, int modeHeight) {
    if (scale <= 1 || modeWidth <= 0 || modeHeight <= 0) return frame;
    if (int(frame.width) != modeWidth || int(frame.height) != modeHeight) return frame;
    return Rect{frame.x / scale, frame.y / scale, frame.width / scale, frame.height / scale};
}

namespace {

// What a Wayland output says of itself: where it is in the compositor's space, its current mode
// in device pixels (rotation applied) and its scale.
struct Output {
    int x = 0, y = 0;
    int modeWidth = 0, modeHeight = 0;
    bool rotated = false;
    std::string make, model;
};

#ifdef GDK_WINDOWING_WAYLAND
struct OutputReader {
    std::vector<std::unique_ptr<Output>> outputs;
    std::vector<wl_output*> proxies;
};

const wl_output_listener kOutputListener = {
    .geometry = [](void* data, wl_output*, int32_t x, int32_t y, int32_t, int32_t, int32_t, const char* make,
                   const char* model, int32_t transform) {
        auto* o = static_cast<Output*>(data);
        o->x = x;
        o->y = y;
        o->make = make ? make : "";
        o->model = model ? model : "";
        o->rotated = transform == WL_OUTPUT_TRANSFORM_90 || transform == WL_OUTPUT_TRANSFORM_270 ||
                     transform == WL_OUTPUT_TRANSFORM_FLIPPED_90 || transform == WL_OUTPUT_TRANSFORM_FLIPPED_270;
    },
    .mode = [](void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
        if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
        auto* o = static_cast<Output*>(data);
        o->modeWidth = width;
        o->modeHeight = height;
    },
    .done = [](void*, wl_output*) {},
    .scale = [](void*, wl_output*, int32_t) {},
    .name = nullptr,  // version 4, not bound
    .description = nullptr,
};

const wl_registry_listener kRegistryListener = {
    .global = [](void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
        if (std::strcmp(interface, wl_output_interface.name) != 0) return;
        auto* reader = static_cast<OutputReader*>(data);
        auto* proxy = static_cast<wl_output*>(wl_registry_bind(registry, name, &wl_output_interface, version < 2 ? version : 2));
        reader->outputs.push_back(std::make_unique<Output>());
        reader->proxies.push_back(proxy);
        wl_output_add_listener(proxy, &kOutputListener, reader->outputs.back().get());
    },
    .global_remove = [](void*, wl_registry*, uint32_t) {},
};

// GDK keeps the outputs' modes to itself: they are read here on a queue of our own.
std::vector<Output> waylandOutputs(GdkDisplay* display) {
    std::vector<Output> out;
    wl_display* wl = gdk_wayland_display_get_wl_display(display);
    if (!wl) return out;
    wl_event_queue* queue = wl_display_create_queue(wl);
    auto* wrapper = static_cast<wl_display*>(wl_proxy_create_wrapper(wl));
    wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(wrapper), queue);
    wl_registry* registry = wl_display_get_registry(wrapper);
    OutputReader reader;
    wl_registry_add_listener(registry, &kRegistryListener, &reader);
    // The first round trip brings the globals, the second the events of the outputs bound.
    if (wl_display_roundtrip_queue(wl, queue) >= 0 && wl_display_roundtrip_queue(wl, queue) >= 0) {
        for (const auto& o : reader.outputs) out.push_back(*o);
    }
    for (wl_output* p : reader.proxies) wl_output_destroy(p);
    wl_registry_destroy(registry);
    wl_proxy_wrapper_destroy(wrapper);
    wl_event_queue_destroy(queue);
    return out;
}
#endif

Rect frameOf(GdkMonitor* m) {
    GdkRectangle g;
    gdk_monitor_get_geometry(m, &g);
    return Rect{double(g.x), double(g.y), double(g.width), double(g.height)};
}

// The output a monitor stands for: the one at its place with its maker and model; the only one.
const Output* outputOf(GdkMonitor* m, const std::vector<Output>& outputs) {
    Rect f = frameOf(m);
    const char* make = gdk_monitor_get_manufacturer(m);
    const char* model = gdk_monitor_get_model(m);
    for (const auto& o : outputs) {
        if (o.x == int(f.x) && o.y == int(f.y) && o.make == (make ? make : "") && o.model == (model ? model : "")) return &o;
    }
    return outputs.size() == 1 ? &outputs.front() : nullptr;
}

GdkMonitor* mainMonitor(GdkDisplay* display) {
    GdkMonitor* found = nullptr;
    g_autoptr(GList) toplevels = gtk_window_list_toplevels();
    for (GList* l = toplevels; l && !found; l = l->next) {
        GtkWindow* w = GTK_WINDOW(l->data);
        GdkWindow* gw = gtk_widget_get_window(GTK_WIDGET(w));
        if (gw && gtk_window_is_active(w) && gtk_widget_get_mapped(GTK_WIDGET(w))) {
            found = gdk_display_get_monitor_at_window(display, gw);
        }
    }
    if (!found) found = gdk_display_get_primary_monitor(display);
    if (!found && gdk_display_get_n_monitors(display) > 0) found = gdk_display_get_monitor(display, 0);
    return found;
}

}  // namespace

Screens currentScreens() {
    Screens s;
    GdkDisplay* display = gdk_display_get_default();
    if (!display) return s;
    std::vector<Output> outputs;
#ifdef GDK_WINDOWING_WAYLAND
    if (GDK_IS_WAYLAND_DISPLAY(display)) outputs = waylandOutputs(display);
#endif
    GdkMonitor* main = mainMonitor(display);
    int n = gdk_display_get_n_monitors(display);
    for (int i = 0; i < n; ++i) {
        GdkMonitor* m = gdk_display_get_monitor(display, i);
        Rect f = frameOf(m);
        if (const Output* o = outputOf(m, outputs)) {
            int w = o->rotated ? o->modeHeight : o->modeWidth;
            int h = o->rotated ? o->modeWidth : o->modeHeight;
            f = screenFrameInWindowUnits(f, gdk_monitor_get_scale_factor(m), w, h);
        }
        if (m == main) s.main = i;
        s.frames.push_back(f);
    }
    return s;
}

}  // namespace platform
