#include "platform/status_item.h"

#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_WAYLAND
#include <gdk/gdkwayland.h>
#endif
#include <libayatana-appindicator/app-indicator.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "platform/log.h"
#include "platform/strings.h"

namespace platform {

std::shared_ptr<MenuItem> MenuItem::separatorItem() {
    auto i = std::make_shared<MenuItem>();
    i->isSeparator = true;
    return i;
}

std::shared_ptr<MenuItem> MenuItem::item(std::string title, std::string keyEquivalent, Action action,
                                         std::string actionName) {
    auto i = std::make_shared<MenuItem>();
    i->title = std::move(title);
    i->keyEquivalent = std::move(keyEquivalent);
    i->action = std::move(action);
    i->actionName = std::move(actionName);
    return i;
}

bool MenuItem::activate() {
    if (!isEnabled() || !action) return false;
    // The action may rebuild the menu that holds this item.
    Action a = action;
    a(*this);
    return true;
}

std::shared_ptr<MenuItem> Menu::itemWithTitle(const std::string& title) const {
    for (const auto& i : items) {
        if (!i->isSeparator && i->displayTitle() == title) return i;
    }
    return nullptr;
}

// ---- scripted ----

std::shared_ptr<StatusItem> ScriptedStatusBar::statusItemWithSquareLength() {
    auto item = std::make_shared<Item>();
    created.push_back(item);
    return item;
}

void ScriptedStatusBar::removeStatusItem(const std::shared_ptr<StatusItem>& item) {
    for (auto& c : created) {
        if (c == item) c->removed = true;
    }
}

std::vector<std::shared_ptr<ScriptedStatusBar::Item>> ScriptedStatusBar::visibleItems() const {
    std::vector<std::shared_ptr<Item>> out;
    for (const auto& c : created) {
        if (!c->removed) out.push_back(c);
    }
    return out;
}

// ---- tray indicator with GTK menus ----

// Each run gets its size and colour, the rest stays plain.
std::string menuTitleMarkup(const AttributedTitle& t) {
    std::vector<TextRun> runs = t.runs;
    std::sort(runs.begin(), runs.end(), [](const TextRun& a, const TextRun& b) { return a.start < b.start; });
    std::string out;
    std::size_t at = 0;
    for (const auto& r : runs) {
        if (r.start < at || r.start > t.text.size()) continue;
        std::size_t len = std::min(r.length, t.text.size() - r.start);
        out += escapeMarkup(t.text.substr(at, r.start - at));
        std::string attrs;
        if (r.fontSize > 0) attrs += " size=\"" + std::to_string(static_cast<int>(r.fontSize * PANGO_SCALE)) + "\"";
        if (r.grey) attrs += " foreground=\"#808080\"";
        std::string run = escapeMarkup(t.text.substr(r.start, len));
        out += attrs.empty() ? run : "<span" + attrs + ">" + run + "</span>";
        at = r.start + len;
    }
    out += escapeMarkup(t.text.substr(std::min(at, t.text.size())));
    return out;
}

std::string statusIconName(const std::string& imageName) {
    static const std::pair<const char*, const char*> kIcons[] = {
        {"StatusBarButtonIcon", "-status-symbolic"},
        {"StatusBarButtonIconError", "-status-error-symbolic"},
        {"StatusBarButtonIconOffline", "-status-offline-symbolic"},
        {"StatusBarButtonIconPresence", "-status-presence-symbolic"},
    };
    for (const auto& [image, suffix] : kIcons) {
        if (imageName == image) return Bundle::main().identifier() + suffix;
    }
    return imageName;
}

namespace {

struct ActivationData {
    std::weak_ptr<MenuItem> item;
};

void onActivate(GtkMenuItem*, gpointer data) {
    auto weak = static_cast<ActivationData*>(data)->item;
    // Run after GTK is done with the menu: the action may rebuild it.
    dispatchMain([weak] {
        if (auto item = weak.lock()) item->activate();
    });
}

void freeActivation(gpointer data, GClosure*) { delete static_cast<ActivationData*>(data); }

// Key equivalents are accelerators on the items (Control and the key), in one accelerator group
// for the whole menu tree: the exported menu carries them as the items' shortcuts, and the
// labels show them.
GtkWidget* buildMenu(const Menu& menu, GtkAccelGroup* accelerators) {
    GtkWidget* gm = gtk_menu_new();
    gtk_menu_set_accel_group(GTK_MENU(gm), accelerators);
    bool anyState = std::any_of(menu.items.begin(), menu.items.end(), [](const auto& i) { return i->stateOn; });
    for (const auto& item : menu.items) {
        GtkWidget* w;
        if (item->isSeparator) {
            w = gtk_separator_menu_item_new();
        } else {
            w = anyState && !item->submenu ? gtk_check_menu_item_new() : gtk_menu_item_new();
            GtkWidget* label = gtk_accel_label_new("");
            gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
            if (item->attributedTitle) {
                gtk_label_set_markup(GTK_LABEL(label), menuTitleMarkup(*item->attributedTitle).c_str());
            } else {
                gtk_label_set_text(GTK_LABEL(label), item->title.c_str());
            }
            gtk_container_add(GTK_CONTAINER(w), label);
            if (!item->keyEquivalent.empty()) {
                gunichar c = g_utf8_get_char_validated(item->keyEquivalent.c_str(), -1);
                guint key = c == gunichar(-1) || c == gunichar(-2) ? 0 : gdk_unicode_to_keyval(c);
                if (key) {
                    gtk_widget_add_accelerator(w, "activate", accelerators, key, GDK_CONTROL_MASK, GTK_ACCEL_VISIBLE);
                    gtk_accel_label_set_accel_widget(GTK_ACCEL_LABEL(label), w);
                }
            }
            if (GTK_IS_CHECK_MENU_ITEM(w)) {
                gtk_check_menu_item_set_draw_as_radio(GTK_CHECK_MENU_ITEM(w), TRUE);
                gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(w), item->stateOn);
            }
            if (item->submenu) gtk_menu_item_set_submenu(GTK_MENU_ITEM(w), buildMenu(*item->submenu, accelerators));
            gtk_widget_set_sensitive(w, item->isEnabled());
            if (item->action) {
                g_signal_connect_data(w, "activate", G_CALLBACK(onActivate), new ActivationData{item}, freeActivation,
                                      GConnectFlags(0));
            }
        }
        gtk_menu_shell_append(GTK_MENU_SHELL(gm), w);
    }
    gtk_widget_show_all(gm);
    return gm;
}

// Without a StatusNotifier host on the bus the indicator falls back to a GtkStatusIcon. GTK has
// that icon on X11 only: on Wayland it has no tray to sit in and complains of a missing widget at
// each icon it is given. There the indicator is of a kind that makes no such icon and says so
// (once for each item: one is made when the item is shown).
GType indicatorType() {
#ifdef GDK_WINDOWING_WAYLAND
    GdkDisplay* display = gdk_display_get_default();
    if (display && GDK_IS_WAYLAND_DISPLAY(display)) {
        static GType type = g_type_register_static_simple(
            APP_INDICATOR_TYPE, "KivanoWaylandIndicator", sizeof(AppIndicatorClass),
            [](gpointer klass, gpointer) {
                APP_INDICATOR_CLASS(klass)->fallback = [](AppIndicator*) -> GtkStatusIcon* {
                    logLine("status item: no tray host on the session bus; a Wayland session has no other tray, "
                            "so the item is not shown until one starts");
                    return nullptr;
                };
            },
            sizeof(AppIndicator), nullptr, GTypeFlags(0));
        return type;
    }
#endif
    return APP_INDICATOR_TYPE;
}

class IndicatorItem : public StatusItem, public std::enable_shared_from_this<IndicatorItem> {
public:
    explicit IndicatorItem(int serial) {
        if (!gdk_display_get_default()) {
            logf(LogLevel::Warning, "status item: no display, the item is not shown");
            return;
        }
        std::string id = Bundle::main().identifier() + "." + std::to_string(serial);
        std::string iconDir = Bundle::main().resourcePath() + "/icons";
        indicator_ = APP_INDICATOR(g_object_new(indicatorType(), "id", id.c_str(), "category", "ApplicationStatus",
                                                "icon-name", statusIconName("StatusBarButtonIcon").c_str(),
                                                "icon-theme-path", iconDir.c_str(), nullptr));
        // The icon and its description, read out by screen readers, before the item shows.
        setImage("StatusBarButtonIcon");
        app_indicator_set_title(indicator_, Bundle::main().name().c_str());
        app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_ACTIVE);
    }
    ~IndicatorItem() override {
        if (indicator_) {
            app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_PASSIVE);
            g_object_unref(indicator_);
        }
        if (shown_) {
            gtk_widget_destroy(shown_);
            g_object_unref(shown_);
        }
        if (accelerators_) g_object_unref(accelerators_);
    }
    void setImage(const std::string& imageName) override {
        if (indicator_) {
            app_indicator_set_icon_full(indicator_, statusIconName(imageName).c_str(), Bundle::main().name().c_str());
        }
    }
    void setMenu(std::shared_ptr<Menu> menu) override {
        menu_ = std::move(menu);
        menuDidChange();
    }
    // Changes come in bursts (one user choice rebuilds the menu several times): build the GTK menu
    // once, after the burst.
    void menuDidChange() override {
        if (!indicator_ || !menu_ || rebuildPending_) return;
        rebuildPending_ = true;
        std::weak_ptr<IndicatorItem> weak = weak_from_this();
        dispatchMain([weak] {
            if (auto self = weak.lock()) self->rebuild();
        });
    }
    void hide() {
        if (indicator_) app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_PASSIVE);
    }

private:
    void rebuild() {
        rebuildPending_ = false;
        if (!indicator_ || !menu_) return;
        // Released after its menu (declared first, it goes last): the labels let go of the group
        // while they are destroyed.
        g_autoptr(GtkAccelGroup) previousAccelerators = accelerators_;
        g_autoptr(GtkWidget) previous = shown_;
        accelerators_ = gtk_accel_group_new();
        shown_ = buildMenu(*menu_, accelerators_);
        g_object_ref_sink(shown_);
        app_indicator_set_menu(indicator_, GTK_MENU(shown_));
        if (previous) gtk_widget_destroy(previous);
    }

    AppIndicator* indicator_ = nullptr;
    std::shared_ptr<Menu> menu_;
    GtkWidget* shown_ = nullptr;  // our reference to the GTK menu the indicator shows
    GtkAccelGroup* accelerators_ = nullptr;  // the key equivalents of that menu
    bool rebuildPending_ = false;
};

class IndicatorStatusBar : public StatusBar {
public:
    std::shared_ptr<StatusItem> statusItemWithSquareLength() override {
        return std::make_shared<IndicatorItem>(++serial_);
    }
    void removeStatusItem(const std::shared_ptr<StatusItem>& item) override {
        if (auto i = std::dynamic_pointer_cast<IndicatorItem>(item)) i->hide();
    }

private:
    int serial_ = 0;
};

std::mutex gBarMutex;
std::shared_ptr<StatusBar> gBar;

}  // namespace

StatusBar& systemStatusBar() {
    std::lock_guard lock(gBarMutex);
    if (!gBar) gBar = std::make_shared<IndicatorStatusBar>();
    return *gBar;
}

void setSystemStatusBar(std::shared_ptr<StatusBar> bar) {
    std::lock_guard lock(gBarMutex);
    gBar = std::move(bar);
}

}  // namespace platform
