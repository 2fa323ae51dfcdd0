// needs: display
// Full screen on and off, fixed size and the F11 shortcut on a real GTK window (Xvfb, no window
// manager: frame changes land only after the main loop has run, so every read-back waits for them).
#include <gtest/gtest.h>

#include <gtk/gtk.h>

#include <unistd.h>

#include <memory>
#include <string>

#include "app/Interface.h"
#include "bridge/NSScreenUtils.h"
#include "bridge/WHMainWindow.h"
#include "bridge/WHWindowSizeCommand.h"
#include "platform/gtk_handles.h"
#include "platform/application.h"
#include "platform/dispatch.h"
#include "tests/support/test_util.h"
#include "tests/support/x11_windows.h"

using platform::Rect;
using platform::WindowLevel;

namespace {

std::string show(const Rect& r) {
    return "(" + std::to_string(int(r.x)) + "," + std::to_string(int(r.y)) + " " + std::to_string(int(r.width)) + "x" +
           std::to_string(int(r.height)) + ")";
}

// Waits until the window reports the frame; answers the frame it has then.
std::string settleOn(platform::Window& w, const Rect& expected) {
    testutil::spinUntil([&] { return w.frame() == expected; }, 20.0);
    // A round trip to the display server brings any later change still under way.
    gdk_display_sync(gdk_display_get_default());
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    return show(w.frame());
}

class WindowFullScreen : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        platform::initMainThread();
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
    }

    void SetUp() override {
        WHWindowSizeCommand::resetSavedFrameForTesting();
        window = std::make_unique<WHMainWindow>();
        window->setTitle("window test");
        window->setFrame(start);
        // Without a window manager the input focus follows the pointer unless it is given to a
        // window; given to ours, the application stays active while frames change under the
        // pointer (a full-screen window hides when the application is deactivated).
        window->show();
        ASSERT_TRUE(testutil::spinUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(platform::gtkWindowOf(*window))); }));
        window->makeKeyAndOrderFront();
        ASSERT_TRUE(testutil::spinUntil([&] { return platform::Application::shared().isActive(); }));
        ASSERT_EQ(settleOn(*window, start), show(start));
    }

    void TearDown() override { window.reset(); }

    void expectWindowed(const char* when) {
        SCOPED_TRACE(when);
        EXPECT_TRUE(window->isTitled());
        EXPECT_EQ(window->level(), WindowLevel::Normal);
        EXPECT_FALSE(window->hidesOnDeactivate());
    }

    const Rect start{100, 80, 640, 480};
    std::unique_ptr<WHMainWindow> window;
};

TEST_F(WindowFullScreen, TogglingTwiceRestoresTheWindow) {
    expectWindowed("before");
    testutil::LogCapture log;
    Rect full = NSScreenUtils::fullScreenRect();
    ASSERT_GT(full.width, 0);

    WHWindowSizeCommand::toggleFullScreen(*window);
    EXPECT_FALSE(window->isTitled());
    EXPECT_EQ(window->level(), WindowLevel::AboveMainMenu);
    EXPECT_TRUE(window->hidesOnDeactivate());
    EXPECT_EQ(show(WHWindowSizeCommand::savedFrame()), show(start));
    EXPECT_EQ(settleOn(*window, full), show(full));
    char line[80];
    std::snprintf(line, sizeof line, "Full screen resolution: %.1f x %.1f", full.width, full.height);
    EXPECT_TRUE(log.contains(line));

    WHWindowSizeCommand::toggleFullScreen(*window);
    expectWindowed("after");
    EXPECT_EQ(settleOn(*window, start), show(start));
}

TEST_F(WindowFullScreen, TogglingBackBeforeTheFrameLandedStillRestoresIt) {
    WHWindowSizeCommand::toggleFullScreen(*window);
    WHWindowSizeCommand::toggleFullScreen(*window);
    expectWindowed("after");
    EXPECT_EQ(settleOn(*window, start), show(start));
}

TEST_F(WindowFullScreen, OffBeforeEverOnKeepsTheFrame) {
    window->setTitled(false);
    window->setLevel(WindowLevel::AboveMainMenu);
    window->setHidesOnDeactivate(true);
    ASSERT_TRUE(WHWindowSizeCommand::savedFrame().isZero());

    WHWindowSizeCommand::removeFullScreen(*window);
    expectWindowed("after");
    platform::runMainLoopFor(0.2);
    EXPECT_EQ(show(window->frame()), show(start));
}

TEST_F(WindowFullScreen, FixedSizeKeepsTheOrigin) {
    testutil::LogCapture log;
    WHWindowSizeCommand::setSizeOfWindow(*window, 800, 600);
    EXPECT_EQ(settleOn(*window, {100, 80, 800, 600}), show({100, 80, 800, 600}));
    EXPECT_TRUE(log.contains("Set window size to 800.0 x 600.0"));
    EXPECT_TRUE(window->isTitled());
}

// Sized before it was ever shown, the window asks for no position: the window manager places it.
TEST(WindowPlacement, FixedSizeBeforeTheFirstShowLeavesThePlacement) {
    platform::initMainThread();
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
    WHMainWindow window;
    window.setTitle("placement test");
    WHWindowSizeCommand::setSizeOfWindow(window, 700, 500);
    window.show();
    testutil::X11Window x;
    ASSERT_TRUE(testutil::spinUntil([&] {
        return testutil::findWindow(getpid(), "placement test", x) && x.viewable && x.width == 700 && x.height == 500;
    }, 5)) << x.width << "x" << x.height;
    EXPECT_FALSE(x.programPosition);
    EXPECT_FALSE(x.userPosition);
}

// Sized while hidden after it was shown, it comes back where it was with the new size.
TEST_F(WindowFullScreen, FixedSizeWhileHiddenKeepsTheOrigin) {
    window->hide();
    WHWindowSizeCommand::setSizeOfWindow(*window, 800, 600);
    EXPECT_EQ(show(window->frame()), show({100, 80, 800, 600}));
    window->show();
    EXPECT_EQ(settleOn(*window, {100, 80, 800, 600}), show({100, 80, 800, 600}));
}

// Hidden while the application is inactive, and back where it was when it is active again.
TEST_F(WindowFullScreen, HiddenWhileTheApplicationIsInactive) {
    auto& center = platform::NotificationCenter::defaultCenter();
    Rect full = NSScreenUtils::fullScreenRect();
    WHWindowSizeCommand::makeFullScreen(*window);
    ASSERT_EQ(settleOn(*window, full), show(full));

    center.post(platform::kApplicationDidResignActiveNotification);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(show(window->frame()), show(full));
    center.post(platform::kApplicationDidBecomeActiveNotification);
    EXPECT_TRUE(window->isVisible());
    ASSERT_TRUE(testutil::spinUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(platform::gtkWindowOf(*window))); }));
    EXPECT_EQ(settleOn(*window, full), show(full));

    WHWindowSizeCommand::removeFullScreen(*window);
    center.post(platform::kApplicationDidResignActiveNotification);
    EXPECT_TRUE(window->isVisible());
}

// F11 on the main interface's window, with the web view holding the focus.
TEST(MainWindowShortcut, F11TogglesFullScreen) {
    platform::initMainThread();
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
    WHWindowSizeCommand::resetSavedFrameForTesting();
    auto ui = MainInterface::load();
    ui->window->show();
    GtkWindow* gw = platform::gtkWindowOf(*ui->window);
    ASSERT_TRUE(testutil::spinUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(gw)); }));
    if (GtkWidget* web = platform::gtkWidgetOf(*ui->webView)) gtk_widget_grab_focus(web);

    auto pressF11 = [&] {
        GdkEvent* e = gdk_event_new(GDK_KEY_PRESS);
        e->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(gw))));
        e->key.send_event = TRUE;
        e->key.time = GDK_CURRENT_TIME;
        e->key.keyval = GDK_KEY_F11;
        g_autofree GdkKeymapKey* keys = nullptr;
        gint n = 0;
        if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(gdk_display_get_default()), GDK_KEY_F11, &keys, &n) &&
            n > 0) {
            e->key.hardware_keycode = guint16(keys[0].keycode);
        }
        GdkSeat* seat = gdk_display_get_default_seat(gdk_display_get_default());
        gdk_event_set_device(e, gdk_seat_get_keyboard(seat));
        gtk_main_do_event(e);
        gdk_event_free(e);
    };

    ASSERT_TRUE(ui->window->isTitled());
    pressF11();
    EXPECT_FALSE(ui->window->isTitled());
    EXPECT_EQ(ui->window->level(), WindowLevel::AboveMainMenu);
    pressF11();
    EXPECT_TRUE(ui->window->isTitled());
    EXPECT_EQ(ui->window->level(), WindowLevel::Normal);
}

}  // namespace
