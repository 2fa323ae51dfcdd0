// needs: display bus
// The tray status item with GTK menus, and the session notices over the private session bus.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "platform/dispatch.h"
#include "platform/session_notices.h"
#include "platform/status_item.h"
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
        char* text = nullptr;
        GError* error = nullptr;
        ASSERT_TRUE(pango_parse_markup(markup.c_str(), -1, 0, nullptr, &text, nullptr, &error))
            << markup << ": " << (error ? error->message : "");
        EXPECT_EQ(std::string(text), t.text) << markup;
        g_free(text);
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

TEST(SessionNotices, ScreensaverSignalsOnTheSessionBus) {
    platform::initMainThread();
    auto source = platform::SessionNoticeSource::system();
    std::vector<std::string> seen;
    source->setHandler([&](const std::string& n) { seen.push_back(n); });

    GError* error = nullptr;
    char* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    ASSERT_TRUE(address) << (error ? error->message : "");
    GDBusConnection* other = g_dbus_connection_new_for_address_sync(
        address, GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    g_free(address);
    ASSERT_TRUE(other) << (error ? error->message : "");
    auto emit = [&](const char* path, const char* interface, const char* member, GVariant* args) {
        ASSERT_TRUE(g_dbus_connection_emit_signal(other, nullptr, path, interface, member, args, nullptr));
    };
    emit("/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", "ActiveChanged", g_variant_new("(b)", TRUE));
    emit("/org/gnome/ScreenSaver", "org.gnome.ScreenSaver", "ActiveChanged", g_variant_new("(b)", FALSE));
    emit("/org/gnome/ScreenSaver", "org.gnome.ScreenSaver", "WakeUpScreen", nullptr);
    emit("/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", "ActiveChanged", g_variant_new("(s)", "odd"));
    g_dbus_connection_flush_sync(other, nullptr, nullptr);
    ASSERT_TRUE(testutil::spinUntil([&] { return seen.size() >= 2; }, 5));
    platform::runMainLoopFor(0.1);
    EXPECT_EQ(seen, (std::vector<std::string>{platform::kSessionScreensaverDidStartNotice,
                                              platform::kSessionScreensaverDidStopNotice}));

    source->setHandler({});
    emit("/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", "ActiveChanged", g_variant_new("(b)", TRUE));
    g_dbus_connection_flush_sync(other, nullptr, nullptr);
    platform::runMainLoopFor(0.1);
    EXPECT_EQ(seen.size(), 2u);
    g_object_unref(other);
}

}  // namespace
