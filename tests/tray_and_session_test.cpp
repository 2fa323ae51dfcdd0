// needs: display bus
// needs: mutter bus
// The tray status item with GTK menus, and the session notices over the private session bus.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_WAYLAND
#include <gdk/gdkwayland.h>
#endif

#include <map>

#include "companion/KVControlMain.h"
#include "companion/StatusBarMenu.h"
#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "platform/session_notices.h"
#include "platform/status_item.h"
#include "plugins/services/ApplicationManager.h"
#include "tests/support/test_util.h"

namespace {

struct GtkComplaints {
    GtkComplaints() {
        for (const char* domain : {"Gtk", "Gdk", "GLib-GObject", "Pango"}) {
            ids.emplace_back(domain, g_log_set_handler(domain, GLogLevelFlags(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL),
                                                       &GtkComplaints::handler, this));
        }
    }
    ~GtkComplaints() {
        for (auto& [domain, id] : ids) g_log_remove_handler(domain, id);
    }
    static void handler(const gchar*, GLogLevelFlags, const gchar* message, gpointer self) {
        static_cast<GtkComplaints*>(self)->messages.emplace_back(message);
    }
    std::vector<std::pair<const char*, guint>> ids;
    std::vector<std::string> messages;
};

class TrayTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(gtk_init_check(nullptr, nullptr)); }
    void SetUp() override { platform::initMainThread(); }
};

TEST_F(TrayTest, TitleMarkupKeepsTheTextAndItsRuns) {
    const platform::AttributedTitle cases[] = {
        {"Light & <Blinds>", {{0, 16, 0, false}}},
        {"Scene\n\"Night\" 'all'", {{0, 5, 0, false}, {6, 13, 10, false}}},
        {"HEADER", {{0, 6, 10, true}}},
        {"no runs & more", {}},
        {"bad run", {{5, 99, 10, false}, {200, 1, 10, false}}},
    };
    for (const auto& t : cases) {
        std::string markup = platform::menuTitleMarkup(t);
        g_autofree char* text = nullptr;
        g_autoptr(GError) error = nullptr;
        ASSERT_TRUE(pango_parse_markup(markup.c_str(), -1, 0, nullptr, &text, nullptr, &error))
            << markup << ": " << (error ? error->message : "");
        EXPECT_EQ(std::string(text), t.text) << markup;
    }
    EXPECT_NE(platform::menuTitleMarkup({"HEADER", {{0, 6, 10, true}}}).find("foreground=\"#808080\""), std::string::npos);
}

TEST_F(TrayTest, IndicatorShowsAndRebuildsItsMenu) {
    GtkComplaints complaints;
    auto menu = std::make_shared<platform::Menu>();
    auto sub = std::make_shared<platform::Menu>();
    int ran = 0;
    auto choice = platform::MenuItem::item("Home (10.0.0.1)", "", [&](platform::MenuItem&) { ++ran; }, "hubstationSelected:");
    choice->stateOn = true;
    sub->addItem(choice);
    sub->addItem(platform::MenuItem::item("Other", "", [&](platform::MenuItem&) { ++ran; }));
    auto controller = platform::MenuItem::item("Home");
    controller->submenu = sub;
    menu->addItem(platform::MenuItem::item("Open", "o", [&](platform::MenuItem&) { ++ran; }));
    menu->addItem(platform::MenuItem::separatorItem());
    menu->addItem(controller);
    auto header = platform::MenuItem::item("Quick & actions");
    header->attributedTitle = platform::AttributedTitle{"Quick & actions", {{0, 15, 10, true}}};
    menu->addItem(header);

    auto& bar = platform::systemStatusBar();
    auto item = bar.statusItemWithSquareLength();
    item->setImage("StatusBarButtonIconPresence");
    item->setMenu(menu);
    menu->addItem(platform::MenuItem::item("Quit", "q", [](platform::MenuItem&) {}));
    item->menuDidChange();
    platform::runMainLoopFor(0.1);
    bar.removeStatusItem(item);
    item.reset();
    platform::runMainLoopFor(0.05);
    EXPECT_TRUE(complaints.messages.empty()) << complaints.messages.front();
    EXPECT_EQ(ran, 0) << "nothing runs without a choice";
    EXPECT_TRUE(choice->activate());
    EXPECT_FALSE(header->activate()) << "disabled";
    EXPECT_EQ(ran, 1);
}

// A call to an object of this process: its answer needs the main loop, so it runs meanwhile.
GVariant* callOwnObject(GDBusConnection* bus, const std::string& path, const char* iface, const char* method,
                        GVariant* args, const char* replyType) {
    struct Reply {
        bool done = false;
        GVariant* value = nullptr;
    } reply;
    g_dbus_connection_call(
        bus, g_dbus_connection_get_unique_name(bus), path.c_str(), iface, method, args, G_VARIANT_TYPE(replyType),
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* r = static_cast<Reply*>(data);
            r->value = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
            r->done = true;
        },
        &reply);
    platform::runMainLoopUntil([&] { return reply.done; }, 10);
    return reply.value;
}

// The menus exported under the tray item's object path, read over the session bus as a desktop
// reads them: label to shortcut of every item.
std::map<std::string, std::string> exportedShortcuts(GDBusConnection* bus) {
    std::map<std::string, std::string> out;
    const std::string root = "/org/ayatana/NotificationItem";
    g_autoptr(GVariant) xml = callOwnObject(bus, root, "org.freedesktop.DBus.Introspectable", "Introspect", nullptr, "(s)");
    if (!xml) return out;
    const char* text = nullptr;
    g_variant_get(xml, "(&s)", &text);
    g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(text, nullptr);
    for (int i = 0; node && node->nodes && node->nodes[i]; ++i) {
        std::string path = root + "/" + node->nodes[i]->path + "/Menu";
        const char* names[] = {"label", "shortcut", nullptr};
        g_autoptr(GVariant) layout = callOwnObject(bus, path, "com.canonical.dbusmenu", "GetLayout",
                                                   g_variant_new("(ii^as)", 0, -1, names), "(u(ia{sv}av))");
        if (!layout) continue;
        g_autoptr(GVariant) top = g_variant_get_child_value(layout, 1);
        g_autoptr(GVariant) children = g_variant_get_child_value(top, 2);
        for (gsize k = 0; k < g_variant_n_children(children); ++k) {
            g_autoptr(GVariant) boxed = g_variant_get_child_value(children, k);
            g_autoptr(GVariant) child = g_variant_get_variant(boxed);
            g_autoptr(GVariant) props = g_variant_get_child_value(child, 1);
            const char* label = nullptr;
            if (g_variant_lookup(props, "label", "&s", &label)) {
                std::string keys;
                if (g_autoptr(GVariant) shortcut = g_variant_lookup_value(props, "shortcut", G_VARIANT_TYPE("aas"))) {
                    g_autofree gchar* printed = g_variant_print(shortcut, FALSE);
                    keys = printed;
                }
                out[label] = keys;
            }
        }
    }
    return out;
}

// A property of every tray item exported under the item root, as a desktop reads it.
std::vector<std::string> itemProperties(GDBusConnection* bus, const char* property) {
    std::vector<std::string> out;
    const std::string root = "/org/ayatana/NotificationItem";
    g_autoptr(GVariant) xml = callOwnObject(bus, root, "org.freedesktop.DBus.Introspectable", "Introspect", nullptr, "(s)");
    if (!xml) return out;
    const char* text = nullptr;
    g_variant_get(xml, "(&s)", &text);
    g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(text, nullptr);
    for (int i = 0; node && node->nodes && node->nodes[i]; ++i) {
        g_autoptr(GVariant) value = callOwnObject(bus, root + "/" + node->nodes[i]->path, "org.freedesktop.DBus.Properties",
                                                  "Get", g_variant_new("(ss)", "org.kde.StatusNotifierItem", property), "(v)");
        if (!value) continue;
        g_autoptr(GVariant) inner = nullptr;
        g_variant_get(value, "(v)", &inner);
        if (g_variant_is_of_type(inner, G_VARIANT_TYPE_STRING)) out.emplace_back(g_variant_get_string(inner, nullptr));
    }
    return out;
}

// A screen reader reads the icon's description out: the application's name, whatever the icon.
TEST_F(TrayTest, ItemIsDescribedByTheApplicationsName) {
    g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    ASSERT_TRUE(bus);
    auto& bar = platform::systemStatusBar();
    auto item = bar.statusItemWithSquareLength();
    auto menu = std::make_shared<platform::Menu>();
    menu->addItem(platform::MenuItem::item("Open", "o", [](platform::MenuItem&) {}));
    item->setMenu(menu);  // exported with its menu
    const std::string name = platform::Bundle::main().name();
    ASSERT_FALSE(name.empty());
    std::vector<std::string> descriptions;
    ASSERT_TRUE(testutil::spinUntil([&] { return !(descriptions = itemProperties(bus, "IconAccessibleDesc")).empty(); }, 10))
        << "the item is exported";
    EXPECT_EQ(descriptions, std::vector<std::string>{name}) << "as it shows";
    for (const char* image : {"StatusBarButtonIconError", "StatusBarButtonIconOffline", "StatusBarButtonIconPresence",
                              "StatusBarButtonIcon"}) {
        item->setImage(image);
        const std::string icon = platform::statusIconName(image);
        EXPECT_TRUE(testutil::spinUntil([&] { return itemProperties(bus, "IconName") == std::vector<std::string>{icon}; }, 10))
            << image;
        EXPECT_EQ(itemProperties(bus, "IconAccessibleDesc"), std::vector<std::string>{name}) << image;
    }
    bar.removeStatusItem(item);
    item.reset();
}

// Without a tray host on the bus the item waits for one; on Wayland, where GTK has no tray icon of
// its own to fall back to, it says so, and GTK has nothing to complain of.
TEST_F(TrayTest, WithoutATrayHostOnWaylandTheItemWaitsQuietly) {
#ifdef GDK_WINDOWING_WAYLAND
    if (!GDK_IS_WAYLAND_DISPLAY(gdk_display_get_default())) GTEST_SKIP() << "X11 has a tray icon to fall back to";
#else
    GTEST_SKIP() << "no Wayland";
#endif
    testutil::LogCapture log;
    GtkComplaints complaints;
    auto menu = std::make_shared<platform::Menu>();
    menu->addItem(platform::MenuItem::item("Open", "o", [](platform::MenuItem&) {}));
    auto& bar = platform::systemStatusBar();
    auto item = bar.statusItemWithSquareLength();
    item->setImage("StatusBarButtonIconOffline");
    item->setMenu(menu);
    const std::string said = "status item: no tray host on the session bus; a Wayland session has no other tray, so "
                             "the item is not shown until one starts";
    EXPECT_TRUE(testutil::spinUntil([&] { return log.contains(said) || !complaints.messages.empty(); }, 20));
    item->setImage("StatusBarButtonIcon");
    bar.removeStatusItem(item);
    item.reset();
    EXPECT_TRUE(complaints.messages.empty()) << complaints.messages.front();
}

TEST_F(TrayTest, ExportedMenuCarriesTheKeyEquivalents) {
    auto menu = std::make_shared<platform::Menu>();
    menu->addItem(platform::MenuItem::item("Open", "o", [](platform::MenuItem&) {}));
    menu->addItem(platform::MenuItem::separatorItem());
    menu->addItem(platform::MenuItem::item("Home", "", [](platform::MenuItem&) {}));
    menu->addItem(platform::MenuItem::item("Quit", "q", [](platform::MenuItem&) {}));
    auto& bar = platform::systemStatusBar();
    auto item = bar.statusItemWithSquareLength();
    item->setMenu(menu);

    g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    ASSERT_TRUE(bus);
    std::map<std::string, std::string> shortcuts;
    ASSERT_TRUE(testutil::spinUntil([&] { return (shortcuts = exportedShortcuts(bus)).size() >= 3; }, 10))
        << "the menu is exported";
    EXPECT_EQ(shortcuts["Open"], "[['Control', 'o']]");
    EXPECT_EQ(shortcuts["Quit"], "[['Control', 'q']]");
    EXPECT_EQ(shortcuts["Home"], "") << "no key, no shortcut";

    // A rebuilt menu keeps them.
    menu->items.erase(menu->items.begin() + 2);
    item->menuDidChange();
    ASSERT_TRUE(testutil::spinUntil([&] { return (shortcuts = exportedShortcuts(bus)).count("Home") == 0; }, 10));
    EXPECT_EQ(shortcuts["Quit"], "[['Control', 'q']]");
    bar.removeStatusItem(item);
    item.reset();
    platform::runMainLoopFor(0.05);

    // The companion's own menu on the tray: open and quit.
    StatusBarMenu::sharedInstance();
    platform::NotificationCenter::defaultCenter().post(kApplicationManagerStatusBarIconVisibilityChangedNotification,
                                                       nullptr, platform::Value{{"showItem", true}});
    ASSERT_TRUE(StatusBarMenu::sharedInstance().isStatusItemVisible());
    const std::string open = Utils::kvString("kivano-control.general.open");
    const std::string quit = Utils::kvString("kivano-control.general.quit");
    ASSERT_TRUE(testutil::spinUntil([&] { return (shortcuts = exportedShortcuts(bus)).count(quit) == 1; }, 10));
    EXPECT_EQ(shortcuts[open], "[['Control', 'o']]");
    EXPECT_EQ(shortcuts[quit], "[['Control', 'q']]");
    StatusBarMenu::setSharedInstance(nullptr);
    platform::runMainLoopFor(0.05);
}

// The screen savers' signals count only from the owners of their names; either running counts.
TEST(SessionNotices, ScreensaverSignalsOnTheSessionBus) {
    platform::initMainThread();
    auto source = platform::SessionNoticeSource::system();
    ASSERT_TRUE(testutil::spinUntil([&] { return source->settled(); }, 10));
    std::vector<std::string> seen;
    source->setHandler([&](const std::string& n) { seen.push_back(n); });

    g_autoptr(GDBusConnection) saver = testutil::newBusConnection(G_BUS_TYPE_SESSION);
    g_autoptr(GDBusConnection) stranger = testutil::newBusConnection(G_BUS_TYPE_SESSION);
    ASSERT_TRUE(saver && stranger);
    for (const char* name : {"org.freedesktop.ScreenSaver", "org.gnome.ScreenSaver"}) {
        g_autoptr(GVariant) r = g_dbus_connection_call_sync(saver, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                            "org.freedesktop.DBus", "RequestName", g_variant_new("(su)", name, 4u),
                                                            G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        ASSERT_TRUE(r);
    }
    auto emit = [&](GDBusConnection* from, const char* path, const char* interface, const char* member, GVariant* args) {
        ASSERT_TRUE(g_dbus_connection_emit_signal(from, nullptr, path, interface, member, args, nullptr));
        g_dbus_connection_flush_sync(from, nullptr, nullptr);
    };
    const char* fdo = "org.freedesktop.ScreenSaver";
    const char* gnome = "org.gnome.ScreenSaver";
    emit(stranger, "/org/freedesktop/ScreenSaver", fdo, "ActiveChanged", g_variant_new("(b)", TRUE));
    platform::runMainLoopFor(0.2);
    EXPECT_TRUE(seen.empty()) << "not from the owner";
    emit(saver, "/org/freedesktop/ScreenSaver", fdo, "ActiveChanged", g_variant_new("(b)", TRUE));
    emit(saver, "/org/gnome/ScreenSaver", gnome, "ActiveChanged", g_variant_new("(b)", TRUE));
    emit(saver, "/org/freedesktop/ScreenSaver", fdo, "ActiveChanged", g_variant_new("(b)", FALSE));
    emit(saver, "/org/gnome/ScreenSaver", gnome, "WakeUpScreen", nullptr);
    emit(saver, "/org/freedesktop/ScreenSaver", fdo, "ActiveChanged", g_variant_new("(s)", "odd"));
    emit(saver, "/org/gnome/ScreenSaver", gnome, "ActiveChanged", g_variant_new("(b)", FALSE));
    ASSERT_TRUE(testutil::spinUntil([&] { return seen.size() >= 2; }, 10));
    platform::runMainLoopFor(0.1);
    EXPECT_EQ(seen, (std::vector<std::string>{platform::kSessionScreensaverDidStartNotice,
                                              platform::kSessionScreensaverDidStopNotice}));

    source->setHandler({});
    emit(saver, "/org/freedesktop/ScreenSaver", fdo, "ActiveChanged", g_variant_new("(b)", TRUE));
    platform::runMainLoopFor(0.1);
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_EQ(source->currentNotices(), std::vector<std::string>{platform::kSessionScreensaverDidStartNotice});
}

}  // namespace
