#include "platform/window.h"

#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_WAYLAND
#include <gdk/gdkwayland.h>
#endif
#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

#include "platform/application.h"
#include "platform/log.h"
#include "platform/notification_center.h"
#include "platform/screen.h"

namespace platform {

namespace {

bool onWayland() {
#ifdef GDK_WINDOWING_WAYLAND
    GdkDisplay* display = gdk_display_get_default();
    return display && GDK_IS_WAYLAND_DISPLAY(display);
#else
    return false;
#endif
}

// Whether the X11 window manager keeps windows in a full-screen state of its own.
bool windowManagerHasFullScreen(GtkWindow* window) {
#ifdef GDK_WINDOWING_X11
    GdkScreen* screen = gtk_window_get_screen(window);
    return screen && GDK_IS_X11_SCREEN(screen) &&
           gdk_x11_screen_supports_net_wm_hint(screen, gdk_atom_intern_static_string("_NET_WM_STATE_FULLSCREEN"));
#else
    return false;
#endif
}

// What the session cannot do is said once per process, at the first request that needs it.
void sayOnce(bool& said, const char* line) {
    if (said) return;
    said = true;
    logLine(line);
}
bool gSaidPositions = false, gSaidLevel = false, gSaidSpan = false;

}  // namespace

Window::Window() {
    window_ = GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL));
    g_object_ref_sink(window_);
    if (auto* app = Application::shared().gtkApplication()) gtk_window_set_application(window_, app);
    g_signal_connect(window_, "delete-event", G_CALLBACK(&Window::onDelete), this);
    g_signal_connect(window_, "window-state-event", G_CALLBACK(&Window::onWindowState), this);
    g_signal_connect(window_, "map-event", G_CALLBACK(&Window::onMap), this);
    g_signal_connect(window_, "configure-event", G_CALLBACK(&Window::onConfigure), this);
    g_signal_connect(window_, "focus-in-event", G_CALLBACK(&Window::onFocusIn), this);
    g_signal_connect(window_, "focus-out-event", G_CALLBACK(&Window::onFocusOut), this);
}

Window::~Window() {
    if (reapplySource_) g_source_remove(reapplySource_);
    NotificationCenter::defaultCenter().removeObserver(this);
    g_signal_handlers_disconnect_by_data(window_, this);
    gtk_widget_destroy(GTK_WIDGET(window_));
    g_object_unref(window_);
}

void Window::setContentWidget(GtkWidget* child) {
    if (GtkWidget* old = gtk_bin_get_child(GTK_BIN(window_))) gtk_container_remove(GTK_CONTAINER(window_), old);
    gtk_container_add(GTK_CONTAINER(window_), child);
    gtk_widget_show_all(child);
}

void Window::setTitle(const std::string& title) { gtk_window_set_title(window_, title.c_str()); }

// While a window is hidden GTK knows only the position it last asked for itself (moves of the
// mapped window do not count) and asks for that one again when mapping it; so the frame the
// window had when hidden is kept here and given back on show.
// In the display server's full-screen state GTK asks for that state again itself, and the server
// gives the size. A Wayland session places the window itself.
void Window::restoreShownFrame() {
    if (gtk_widget_get_visible(GTK_WIDGET(window_))) return;
    // An X11 window manager lets go of the state of a window it no longer shows.
    if (serverFullScreen_) requestServerFullScreen();
    if (!hasShownFrame_) return;
    hasShownFrame_ = false;
    if (serverFullScreen_) return;
    if (!onWayland()) gtk_window_move(window_, int(shownFrame_.x), int(shownFrame_.y));
    gtk_window_resize(window_, int(shownFrame_.width), int(shownFrame_.height));
}

void Window::show() {
    restoreShownFrame();
    gtk_widget_show(GTK_WIDGET(window_));
}

void Window::hide() {
    if (gtk_widget_get_mapped(GTK_WIDGET(window_))) {
        shownFrame_ = frame();
        hasShownFrame_ = shownFrame_.width > 0 && shownFrame_.height > 0;
        hidePending_ = true;
    }
    gtk_widget_hide(GTK_WIDGET(window_));
}
bool Window::isVisible() const { return gtk_widget_get_visible(GTK_WIDGET(window_)); }

void Window::makeKeyAndOrderFront() {
    hiddenByDeactivation_ = false;
    restoreShownFrame();
    gtk_window_present(window_);
}

void Window::performClose() {
    Notification n;
    n.name = kWindowWillCloseNotification;
    n.object = this;
    NotificationCenter::defaultCenter().post(n);
    hide();
}

int Window::onDelete(GtkWidget*, void*, void* self) {
    static_cast<Window*>(self)->performClose();
    return TRUE;  // keep the window and its content
}

int Window::onWindowState(GtkWidget*, void* event, void* self) {
    auto* w = static_cast<Window*>(self);
    auto* e = static_cast<GdkEventWindowState*>(event);
    w->restoreAfterFullScreen(e->changed_mask, e->new_window_state);
    if (!(e->changed_mask & GDK_WINDOW_STATE_ICONIFIED)) return FALSE;
    bool iconified = e->new_window_state & GDK_WINDOW_STATE_ICONIFIED;
    // The unmap of a hide that the display server reports once the window is shown again reads
    // as an iconify to GDK; it is none.
    if (iconified && w->hidePending_) return FALSE;
    if (iconified == w->iconified_) return FALSE;
    w->iconified_ = iconified;
    Notification n;
    n.name = iconified ? kWindowDidMiniaturizeNotification : kWindowDidDeminiaturizeNotification;
    n.object = w;
    NotificationCenter::defaultCenter().post(n);
    return FALSE;
}

int Window::onMap(GtkWidget* widget, void*, void* self) {
    auto* w = static_cast<Window*>(self);
    w->hidePending_ = false;
    // Shown again right after a hide, the window manager may still have been letting go of the
    // state of the hidden window when GTK asked for it: ask again.
    GdkWindow* gdk = gtk_widget_get_window(widget);
    if (w->serverFullScreen_ && gdk && !(gdk_window_get_state(gdk) & GDK_WINDOW_STATE_FULLSCREEN)) {
        w->requestServerFullScreen();
    }
    return FALSE;
}

int Window::onConfigure(GtkWidget* widget, void*, void* self) {
    auto* w = static_cast<Window*>(self);
    if (!w->leavingFullScreen_ || !w->hasFrameAfterFullScreen_) return FALSE;
    GdkWindow* gdk = gtk_widget_get_window(widget);
    if (!gdk || (gdk_window_get_state(gdk) & (GDK_WINDOW_STATE_FULLSCREEN | GDK_WINDOW_STATE_MAXIMIZED))) return FALSE;
    int width = 0, height = 0;
    gtk_window_get_size(w->window_, &width, &height);
    const Rect& r = w->frameAfterFullScreen_;
    if (width == int(r.width) && height == int(r.height)) {
        w->leavingFullScreen_ = false;  // it has the frame
    } else {
        w->scheduleRestore();
    }
    return FALSE;
}

int Window::onFocusIn(GtkWidget*, void*, void*) {
    Application::shared().noteWindowFocus(true);
    return FALSE;
}

int Window::onFocusOut(GtkWidget*, void*, void*) {
    Application::shared().noteWindowFocus(false);
    return FALSE;
}

Rect Window::frame() const {
    if (!gtk_widget_get_mapped(GTK_WIDGET(window_)) && hasShownFrame_) return shownFrame_;
    // Mapped, GTK answers from the window the display server has (a requested change shows here
    // only once it has happened), in the units of its move and resize: the position of the frame
    // and the size of the content, whatever the window draws around it.
    int x = 0, y = 0, w = 0, h = 0;
    gtk_window_get_position(window_, &x, &y);
    gtk_window_get_size(window_, &w, &h);
    return Rect{double(x), double(y), double(w), double(h)};
}

void Window::setFrame(const Rect& r) {
    // A frame given while hidden is where the window shows next.
    if (!gtk_widget_get_mapped(GTK_WIDGET(window_))) hasShownFrame_ = false;
    if (onWayland()) {
        sayOnce(gSaidPositions, "window: this Wayland session places windows itself; window positions are not applied");
    }
    if (leavingFullScreen_) {
        frameAfterFullScreen_ = r;
        hasFrameAfterFullScreen_ = true;
        // Asked for while the server still has the window in full screen, GTK would measure the
        // size against the full-screen window (no title bar): given once the server has left it.
        GdkWindow* gdk = gtk_widget_get_window(GTK_WIDGET(window_));
        if (gdk && (gdk_window_get_state(gdk) & GDK_WINDOW_STATE_FULLSCREEN)) return;
    }
    applyFrame(r);
}

void Window::applyFrame(const Rect& r) {
    if (!onWayland()) gtk_window_move(window_, int(r.x), int(r.y));
    gtk_window_resize(window_, r.width > 0 ? int(r.width) : 1, r.height > 0 ? int(r.height) : 1);
}

// Leaving its full-screen state the display server gives the window the size it remembers from
// before (taken while the window had no title bar), or, for a window shown anew in full screen,
// keeps the screen's size and may even maximise it as a window that large; and GTK takes that
// over a size asked for meanwhile. So the frame given while leaving is asked for again (out of a
// maximised state the server put it in) once the server has answered, until the window has it;
// a few times at most, for a server that keeps its own size.
constexpr int kMostReapplies = 8;

void Window::restoreAfterFullScreen(int changed, int state) {
    if (!leavingFullScreen_ || serverFullScreen_ || reapplies_ >= kMostReapplies) return;
    if (state & GDK_WINDOW_STATE_FULLSCREEN) return;
    if (!hasFrameAfterFullScreen_) {
        leavingFullScreen_ = false;  // no frame to give back
        return;
    }
    if ((changed & GDK_WINDOW_STATE_MAXIMIZED) && (state & GDK_WINDOW_STATE_MAXIMIZED)) gtk_window_unmaximize(window_);
    if (changed & (GDK_WINDOW_STATE_FULLSCREEN | GDK_WINDOW_STATE_MAXIMIZED)) scheduleRestore();
}

void Window::scheduleRestore() {
    if (reapplySource_ || reapplies_ >= kMostReapplies) return;
    reapplySource_ = g_idle_add(
        +[](gpointer data) -> gboolean {
            auto* w = static_cast<Window*>(data);
            w->reapplySource_ = 0;
            if (!w->leavingFullScreen_ || w->serverFullScreen_ || !w->hasFrameAfterFullScreen_) return G_SOURCE_REMOVE;
            int width = 0, height = 0;
            gtk_window_get_size(w->window_, &width, &height);
            const Rect& r = w->frameAfterFullScreen_;
            if (width == int(r.width) && height == int(r.height) && !gtk_window_is_maximized(w->window_)) {
                w->leavingFullScreen_ = false;  // it has the frame
                return G_SOURCE_REMOVE;
            }
            ++w->reapplies_;
            w->applyFrame(r);
            return G_SOURCE_REMOVE;
        },
        this);
}

void Window::enterFullScreen(const Rect& r) {
    leavingFullScreen_ = false;
    Screens screens = currentScreens();
    int at = -1;
    for (int i = 0; i < int(screens.frames.size()) && at < 0; ++i) {
        const Rect& f = screens.frames[i];
        if (f.x == r.x && f.y == r.y && f.height == r.height) at = i;
    }
    bool oneScreen = at >= 0 && screens.frames[at] == r;
    bool wayland = onWayland();
    if (!wayland && !(oneScreen && windowManagerHasFullScreen(window_))) {
        setFrame(r);
        return;
    }
    if (wayland && !oneScreen) {
        sayOnce(gSaidSpan, "window: this Wayland session shows a full-screen window on one screen; the screens beside it stay uncovered");
    }
    serverFullScreen_ = true;
    fullScreenScreen_ = at;
    requestServerFullScreen();
}

void Window::requestServerFullScreen() {
    if (fullScreenScreen_ >= 0) {
        gtk_window_fullscreen_on_monitor(window_, gtk_window_get_screen(window_), fullScreenScreen_);
    } else {
        gtk_window_fullscreen(window_);
    }
}

void Window::leaveFullScreen() {
    if (!serverFullScreen_) return;
    serverFullScreen_ = false;
    leavingFullScreen_ = true;
    hasFrameAfterFullScreen_ = false;
    reapplies_ = 0;
    gtk_window_unfullscreen(window_);
}

void Window::setSize(double width, double height) {
    width = width > 0 ? width : 1;
    height = height > 0 ? height : 1;
    if (gtk_widget_get_mapped(GTK_WIDGET(window_))) {
        Rect r = frame();
        r.width = width;
        r.height = height;
        setFrame(r);
    } else if (hasShownFrame_) {
        shownFrame_.width = width;
        shownFrame_.height = height;
    } else {
        // A move here would be sent as a program-specified position and override the placement.
        gtk_window_resize(window_, int(width), int(height));
    }
}

void Window::setDefaultSize(int width, int height) { gtk_window_set_default_size(window_, width, height); }

bool Window::isTitled() const { return gtk_window_get_decorated(window_); }
void Window::setTitled(bool titled) { gtk_window_set_decorated(window_, titled); }

void Window::setLevel(WindowLevel level) {
    level_ = level;
    if (level == WindowLevel::AboveMainMenu && onWayland()) {
        sayOnce(gSaidLevel, "window: this Wayland session keeps no window above the others; the window level is not applied");
    }
    gtk_window_set_keep_above(window_, level == WindowLevel::AboveMainMenu);
}

void Window::setHidesOnDeactivate(bool hides) {
    hidesOnDeactivate_ = hides;
    auto& center = NotificationCenter::defaultCenter();
    center.removeObserver(this, kApplicationDidResignActiveNotification);
    center.removeObserver(this, kApplicationDidBecomeActiveNotification);
    if (!hides) return;
    center.addObserver(this, kApplicationDidResignActiveNotification, nullptr, [this](const Notification&) {
        if (hidesOnDeactivate_ && isVisible()) {
            hiddenByDeactivation_ = true;
            hide();
        }
    });
    center.addObserver(this, kApplicationDidBecomeActiveNotification, nullptr, [this](const Notification&) {
        if (hiddenByDeactivation_) {
            hiddenByDeactivation_ = false;
            show();
        }
    });
}

bool Window::addKeyboardShortcut(const std::string& accelerator, std::function<void()> action) {
    guint key = 0;
    GdkModifierType mods = GdkModifierType(0);
    gtk_accelerator_parse(accelerator.c_str(), &key, &mods);
    if (key == 0 || !action) return false;
    if (!accelGroup_) {
        g_autoptr(GtkAccelGroup) group = gtk_accel_group_new();
        gtk_window_add_accel_group(window_, group);
        accelGroup_ = group;  // the window holds it
    }
    using Action = std::function<void()>;
    auto fire = +[](GtkAccelGroup*, GObject*, guint, GdkModifierType, gpointer data) -> gboolean {
        Action run = *static_cast<Action*>(data);  // the action may replace the shortcuts
        run();
        return TRUE;
    };
    GClosure* closure = g_cclosure_new(G_CALLBACK(fire), new Action(std::move(action)),
                                       [](gpointer data, GClosure*) { delete static_cast<Action*>(data); });
    gtk_accel_group_connect(GTK_ACCEL_GROUP(accelGroup_), key, mods, GtkAccelFlags(0), closure);
    return true;
}

void preferDarkAppearance() {
    GtkSettings* s = gtk_settings_get_default();
    if (!s) return;
    gboolean dark = FALSE;
    g_object_get(s, "gtk-application-prefer-dark-theme", &dark, nullptr);
    // Setting it again would load the theme again.
    if (!dark) g_object_set(s, "gtk-application-prefer-dark-theme", TRUE, nullptr);
}

void Window::setDarkAppearance() { preferDarkAppearance(); }

void Window::setBackgroundBlack() {
    g_autoptr(GtkCssProvider) css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css, "window.kivano-main { background-color: #000000; }", -1, nullptr);
    GtkStyleContext* ctx = gtk_widget_get_style_context(GTK_WIDGET(window_));
    gtk_style_context_add_class(ctx, "kivano-main");
    gtk_style_context_add_provider(ctx, GTK_STYLE_PROVIDER(css), GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
}

void Window::redisplay() { gtk_widget_queue_draw(GTK_WIDGET(window_)); }

}  // namespace platform
