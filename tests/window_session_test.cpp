// needs: wayland
// needs: mutter scale-2
// needs: display window-manager
// The main window under display servers that manage windows: weston and mutter (Wayland; mutter
// with its output at scale 2, laid out in device pixels) and openbox on X11. The page sees the
// size of the window's content; every read-back waits for the display server's answer.
#include <gtest/gtest.h>

#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_WAYLAND
#include <gdk/gdkwayland.h>
#endif

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "bridge/NSScreenUtils.h"
#include "bridge/WHMainWindow.h"
#include "bridge/WHWindowSizeCommand.h"
#include "platform/gtk_handles.h"
#include "platform/application.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "platform/screen.h"
#include "tests/support/test_util.h"

using platform::Rect;

namespace {

bool onWayland() {
#ifdef GDK_WINDOWING_WAYLAND
    return GDK_IS_WAYLAND_DISPLAY(gdk_display_get_default());
#else
    return false;
#endif
}

std::string size(double w, double h) { return std::to_string(int(w)) + "x" + std::to_string(int(h)); }
std::string sizeOf(const Rect& r) { return size(r.width, r.height); }

// Every log line of the process: what is said once is said once per process.
testutil::LogCapture* gLog = nullptr;

class WindowSession : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        platform::initMainThread();
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
        if (!gLog) gLog = new testutil::LogCapture;
        ASSERT_TRUE(testutil::spinUntil([] { return gdk_display_get_n_monitors(gdk_display_get_default()) > 0; }, 30));
    }

    void SetUp() override {
        WHWindowSizeCommand::resetSavedFrameForTesting();
        window = std::make_unique<WHMainWindow>();
        window->setTitle("session test");
        content = gtk_drawing_area_new();
        platform::setWindowContent(*window, content);
        WHWindowSizeCommand::setSizeOfWindow(*window, 640, 480);
        window->show();
        window->makeKeyAndOrderFront();
        ASSERT_TRUE(testutil::spinUntil([&] { return mapped() && contentSize() == size(640, 480); }, 30))
            << contentSize();
    }

    void TearDown() override { window.reset(); }

    // The size the page sees.
    std::string contentSize() const {
        GtkAllocation a;
        gtk_widget_get_allocation(content, &a);
        return size(a.width, a.height);
    }
    bool isFullScreenState() const {
        GdkWindow* gdk = gtk_widget_get_window(GTK_WIDGET(platform::gtkWindowOf(*window)));
        return gdk && (gdk_window_get_state(gdk) & GDK_WINDOW_STATE_FULLSCREEN);
    }
    bool mapped() const { return gtk_widget_get_mapped(GTK_WIDGET(platform::gtkWindowOf(*window))); }

    // Waits until the window is shown with content of that size and its frame says the same, and
    // still is after a round trip to the display server has brought any change under way (GTK's
    // decorations pass through sizes of their own while they change). Answers the content's size
    // then (the frame's too when it differs).
    std::string settle(double w, double h) {
        std::string want = size(w, h);
        auto landed = [&] { return mapped() && contentSize() == want && sizeOf(window->frame()) == want; };
        gint64 deadline = g_get_monotonic_time() + 20 * G_USEC_PER_SEC;
        while (testutil::spinUntil(landed, double(deadline - g_get_monotonic_time()) / G_USEC_PER_SEC)) {
            gdk_display_sync(gdk_display_get_default());
            while (g_main_context_iteration(nullptr, FALSE)) {
            }
            if (landed() || g_get_monotonic_time() > deadline) break;
        }
        std::string frame = sizeOf(window->frame());
        return contentSize() + (frame == contentSize() ? "" : " (frame " + frame + ")");
    }

    // Waits for the display server's full-screen state to be as asked.
    bool fullScreenStateIs(bool on) {
        return testutil::spinUntil([&] { return mapped() && isFullScreenState() == on; }, 30);
    }

    // Waits until the window has drawn a frame: a window shown anew is on the screen only then
    // (before it, a compositor may still take requests for it as for one not shown).
    bool painted() {
        GdkWindow* gdk = gtk_widget_get_window(GTK_WIDGET(platform::gtkWindowOf(*window)));
        GdkFrameClock* clock = gdk ? gdk_window_get_frame_clock(gdk) : nullptr;
        if (!clock) return false;
        bool done = false;
        gulong id = g_signal_connect_swapped(clock, "after-paint", G_CALLBACK(+[](bool* d) { *d = true; }), &done);
        gtk_widget_queue_draw(GTK_WIDGET(platform::gtkWindowOf(*window)));
        bool ok = testutil::spinUntil([&] { return done; }, 30);
        g_signal_handler_disconnect(clock, id);
        return ok;
    }

    // A window covers the screen when it has the screen's size and place; a Wayland session tells
    // no places, there the compositor's full-screen state says it.
    void expectCovers(const Rect& screen) {
        EXPECT_TRUE(painted());
        if (onWayland()) {
            EXPECT_TRUE(fullScreenStateIs(true)) << "the compositor's full-screen state";
        }
        EXPECT_EQ(settle(screen.width, screen.height), sizeOf(screen)) << "the screen's size";
        if (!onWayland()) {
            Rect f = window->frame();
            EXPECT_EQ(f.x, screen.x);
            EXPECT_EQ(f.y, screen.y);
        }
    }

    std::unique_ptr<WHMainWindow> window;
    GtkWidget* content = nullptr;
};

TEST_F(WindowSession, HidingAndShowingKeepsTheSize) {
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        window->performClose();
        ASSERT_FALSE(window->isVisible());
        EXPECT_EQ(sizeOf(window->frame()), size(640, 480)) << "hidden";
        window->makeKeyAndOrderFront();
        EXPECT_EQ(settle(640, 480), size(640, 480));
    }
}

TEST_F(WindowSession, FixedSizeIsTheContentsSize) {
    const struct {
        double w, h;
    } sizes[] = {{800, 600}, {500, 400}, {1000, 700}};
    for (const auto& s : sizes) {
        WHWindowSizeCommand::setSizeOfWindow(*window, s.w, s.h);
        EXPECT_EQ(settle(s.w, s.h), size(s.w, s.h));
    }
    window->hide();
    WHWindowSizeCommand::setSizeOfWindow(*window, 700, 500);
    window->show();
    EXPECT_EQ(settle(700, 500), size(700, 500)) << "sized while hidden";
}

// Full screen covers the main screen, whose size is given in the units of the window's, and
// leaving it gives the window back its size, however often.
TEST_F(WindowSession, FullScreenCoversTheScreenAndGivesTheSizeBack) {
    platform::Screens screens = platform::currentScreens();
    ASSERT_GE(screens.main, 0);
    Rect screen = screens.frames[screens.main];
    Rect full = NSScreenUtils::fullScreenRect();
    EXPECT_EQ(sizeOf(full), sizeOf(screen)) << "one screen";
    char resolution[80];
    std::snprintf(resolution, sizeof resolution, "Full screen resolution: %.1f x %.1f", full.width, full.height);

    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        WHWindowSizeCommand::toggleFullScreen(*window);
        EXPECT_FALSE(window->isTitled());
        expectCovers(screen);
        EXPECT_EQ(sizeOf(WHWindowSizeCommand::savedFrame()), size(640, 480));

        WHWindowSizeCommand::toggleFullScreen(*window);
        EXPECT_TRUE(window->isTitled());
        EXPECT_TRUE(fullScreenStateIs(false));
        EXPECT_EQ(settle(640, 480), size(640, 480)) << "back to its size";
    }
    EXPECT_TRUE(gLog->contains(resolution)) << resolution;
}

// Hidden while the application is inactive and shown again, it is still full screen.
TEST_F(WindowSession, FullScreenHiddenAndShownStaysFullScreen) {
    platform::Screens screens = platform::currentScreens();
    Rect screen = screens.frames[screens.main];
    WHWindowSizeCommand::makeFullScreen(*window);
    expectCovers(screen);

    auto& center = platform::NotificationCenter::defaultCenter();
    center.post(platform::kApplicationDidResignActiveNotification);
    EXPECT_FALSE(window->isVisible());
    center.post(platform::kApplicationDidBecomeActiveNotification);
    expectCovers(screen);

    WHWindowSizeCommand::removeFullScreen(*window);
    EXPECT_TRUE(fullScreenStateIs(false));
    EXPECT_EQ(settle(640, 480), size(640, 480));
}

// Last: it counts what the whole process said.
TEST_F(WindowSession, WhatTheSessionCannotDoIsSaidOnce) {
    for (int round = 0; round < 2; ++round) {
        WHWindowSizeCommand::makeFullScreen(*window);
        WHWindowSizeCommand::removeFullScreen(*window);
        window->setFrame({10, 10, 600, 400});
        window->setLevel(platform::WindowLevel::AboveMainMenu);
        window->setLevel(platform::WindowLevel::Normal);
    }
    const char* lines[] = {
        "window: this Wayland session places windows itself; window positions are not applied",
        "window: this Wayland session keeps no window above the others; the window level is not applied",
    };
    auto all = gLog->lines();
    for (const char* line : lines) {
        EXPECT_EQ(std::count(all.begin(), all.end(), line), onWayland() ? 1 : 0) << line;
    }
}

}  // namespace
