// needs: display
// The idle pointer monitor on a real window under Xvfb, with a clock of the test's own.
#include <gtest/gtest.h>

#include <gtk/gtk.h>

#include <memory>

#include "bridge/WHCursorMonitorService.h"
#include "bridge/WHMainWindow.h"
#include "platform/gtk_handles.h"
#include "platform/application.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "platform/pointer.h"
#include "tests/support/test_util.h"

namespace {

bool isBlank(GdkWindow* w) {
    GdkCursor* c = gdk_window_get_cursor(w);
    return c && gdk_cursor_get_cursor_type(c) == GDK_BLANK_CURSOR;
}

class CursorMonitor : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        platform::initMainThread();
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
    }

    void SetUp() override {
        window = std::make_unique<WHMainWindow>();
        // A child with a window of its own, as the web view has.
        child = gtk_event_box_new();
        gtk_event_box_set_visible_window(GTK_EVENT_BOX(child), TRUE);
        platform::setWindowContent(*window, child);
        window->setFrame({50, 50, 400, 300});
        window->show();
        ASSERT_TRUE(testutil::spinUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(platform::gtkWindowOf(*window))); }));
        top = gtk_widget_get_window(GTK_WIDGET(platform::gtkWindowOf(*window)));
        inner = gtk_widget_get_window(child);
        ASSERT_NE(top, inner);
        service().setClock([this] { return now; });
    }

    void TearDown() override {
        service().stop();
        service().setClock(nullptr);
        platform::showPointer();
        window.reset();
    }

    static WHCursorMonitorService& service() { return WHCursorMonitorService::service(); }

    // The pointer as the user sees it over our window.
    bool hidden() const {
        EXPECT_EQ(isBlank(top), platform::isPointerHidden());
        EXPECT_EQ(isBlank(inner), platform::isPointerHidden());
        return platform::isPointerHidden();
    }

    void warpPointer(int x, int y) {
        GdkDisplay* d = gdk_display_get_default();
        gdk_device_warp(gdk_seat_get_pointer(gdk_display_get_default_seat(d)), gdk_display_get_default_screen(d), x, y);
        gdk_display_flush(d);
    }

    double now = 1000;
    std::unique_ptr<WHMainWindow> window;
    GtkWidget* child = nullptr;
    GdkWindow* top = nullptr;
    GdkWindow* inner = nullptr;
};

TEST_F(CursorMonitor, TimeoutFiveHidesBetweenFiveAndSixSecondsAfterTheLastMove) {
    // The check runs once a second after the start; the last move falls anywhere in between.
    for (double moveAt : {-1.0, 0.0, 0.25, 0.5, 0.999}) {
        SCOPED_TRACE(moveAt);
        now = 1000;
        service().startWithTimeout(5);
        if (moveAt >= 0) {
            now = 1000 + moveAt;
            service().cursorMoved();
        }
        double lastMove = moveAt >= 0 ? 1000 + moveAt : 1000;
        double hiddenAt = 0;
        for (int tick = 1; tick <= 10 && !hiddenAt; ++tick) {
            now = 1000 + tick;
            service().handleCursorHideTimerFire();
            if (hidden()) hiddenAt = now;
        }
        ASSERT_GT(hiddenAt, 0);
        EXPECT_GE(hiddenAt - lastMove, 5.0);
        EXPECT_LT(hiddenAt - lastMove, 6.0);

        // Later checks hide again; one movement still brings the pointer back.
        for (int i = 0; i < 3; ++i) {
            now += 1;
            service().handleCursorHideTimerFire();
        }
        EXPECT_TRUE(hidden());
        service().cursorMoved();
        EXPECT_FALSE(hidden());
        EXPECT_EQ(service().cursorLastMovedTime(), now);
        now += 4.5;
        service().handleCursorHideTimerFire();
        EXPECT_FALSE(hidden());
        service().stop();
    }
}

TEST_F(CursorMonitor, StartStopAndTheOneSecondTimer) {
    service().startWithTimeout(5);
    EXPECT_TRUE(service().isRunning());
    ASSERT_TRUE(service().cursorHideTimer());
    EXPECT_TRUE(service().cursorHideTimer()->isValid());
    EXPECT_EQ(service().cursorHideTimer()->interval(), 1.0);
    EXPECT_TRUE(service().cursorHideTimer()->repeats());
    EXPECT_TRUE(service().hasLocalMonitor());
    EXPECT_TRUE(service().hasGlobalMonitor());  // X11

    service().startWithTimeout(1);  // already running
    EXPECT_EQ(service().timeout(), 5.0);

    // The real timer does the check.
    now += 10;
    EXPECT_TRUE(testutil::spinUntil([&] { return platform::isPointerHidden(); }, 3.0));
    EXPECT_TRUE(hidden());

    auto timer = service().cursorHideTimer();
    service().stop();
    EXPECT_FALSE(service().isRunning());
    EXPECT_FALSE(timer->isValid());
    EXPECT_FALSE(service().cursorHideTimer());
    EXPECT_FALSE(service().hasLocalMonitor());
    EXPECT_FALSE(service().hasGlobalMonitor());
    EXPECT_FALSE(hidden());
    // A stray check after the stop hides nothing.
    service().handleCursorHideTimerFire();
    EXPECT_FALSE(hidden());
}

TEST_F(CursorMonitor, RealMovementShowsThePointerAgain) {
    warpPointer(900, 800);  // away from our window
    platform::runMainLoopFor(0.3);
    service().startWithTimeout(5);
    auto hideNow = [&] {
        now += 10;
        service().handleCursorHideTimerFire();
        ASSERT_TRUE(hidden());
    };

    // Movement in another application's area of the screen.
    hideNow();
    warpPointer(950, 850);
    EXPECT_TRUE(testutil::spinUntil([&] { return !platform::isPointerHidden(); }, 3.0));
    EXPECT_EQ(service().cursorLastMovedTime(), now);

    // A motion event of our own window (the pointer itself stays where it is).
    hideNow();
    GdkEvent* e = gdk_event_new(GDK_MOTION_NOTIFY);
    e->motion.window = GDK_WINDOW(g_object_ref(inner));
    e->motion.x = e->motion.y = 10;
    gdk_event_set_device(e, gdk_seat_get_pointer(gdk_display_get_default_seat(gdk_display_get_default())));
    gdk_event_put(e);
    gdk_event_free(e);
    // Motion waits for the window's next frame, as real motion does.
    gdk_frame_clock_request_phase(gdk_window_get_frame_clock(top), GDK_FRAME_CLOCK_PHASE_FLUSH_EVENTS);
    EXPECT_TRUE(testutil::spinUntil([&] { return !platform::isPointerHidden(); }, 3.0));
}

TEST_F(CursorMonitor, TimeoutZeroHidesAtOnceAndOnActivation) {
    auto& center = platform::NotificationCenter::defaultCenter();
    service().startWithTimeout(0);
    EXPECT_TRUE(hidden());
    EXPECT_FALSE(service().cursorHideTimer());
    EXPECT_FALSE(service().hasLocalMonitor());
    EXPECT_FALSE(service().hasGlobalMonitor());

    platform::showPointer();
    center.post(platform::kApplicationDidBecomeActiveNotification);
    EXPECT_TRUE(hidden());

    service().stop();
    EXPECT_FALSE(hidden());
    center.post(platform::kApplicationDidBecomeActiveNotification);
    EXPECT_FALSE(hidden());
}

// Others (the web view) set cursors while the pointer is hidden: they stay blank and come back
// when it is shown.
TEST_F(CursorMonitor, CursorsSetWhileHiddenComeBackOnShow) {
    g_autoptr(GdkCursor) hand = gdk_cursor_new_for_display(gdk_display_get_default(), GDK_HAND2);
    gdk_window_set_cursor(top, hand);
    service().startWithTimeout(0);
    EXPECT_TRUE(hidden());

    g_autoptr(GdkCursor) text = gdk_cursor_new_for_display(gdk_display_get_default(), GDK_XTERM);
    gdk_window_set_cursor(inner, text);
    EXPECT_TRUE(hidden());

    service().stop();
    EXPECT_EQ(gdk_window_get_cursor(top), hand);
    EXPECT_EQ(gdk_window_get_cursor(inner), text);
}

}  // namespace
