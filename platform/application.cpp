#include "platform/application.h"

#include <gtk/gtk.h>

#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"

namespace platform {

Application& Application::shared() {
    static Application* a = new Application;
    return *a;
}

void Application::onStartup(GtkApplication*, void* self) {
    auto* a = static_cast<Application*>(self);
    // The process lives until terminate(), with or without a window.
    g_application_hold(G_APPLICATION(a->app_));
    if (a->loadInterface_) a->loadInterface_();
    if (a->delegate_) a->delegate_->applicationWillFinishLaunching();
    NotificationCenter::defaultCenter().post(kApplicationWillFinishLaunchingNotification);
}

void Application::finishLaunching() {
    if (launched_) return;
    launched_ = true;
    if (delegate_) delegate_->applicationDidFinishLaunching();
    NotificationCenter::defaultCenter().post(kApplicationDidFinishLaunchingNotification);
}

void Application::finishLaunchingForTesting() {
    launched_ = false;
    terminating_ = false;
    finishLaunching();
}

int Application::onCommandLine(void* app, void* cmdline, void* self) {
    auto* a = static_cast<Application*>(self);
    int argc = 0;
    gchar** argv = g_application_command_line_get_arguments(G_APPLICATION_COMMAND_LINE(cmdline), &argc);
    std::vector<std::string> urls;
    for (int i = 1; i < argc; ++i) urls.emplace_back(argv[i]);
    g_strfreev(argv);
    for (const auto& u : urls) {
        if (a->delegate_) a->delegate_->applicationOpenURL(u);
    }
    if (!a->launched_) {
        a->finishLaunching();
    } else if (urls.empty() && a->delegate_) {
        a->delegate_->applicationReopen();
    }
    return 0;
}

void Application::onActivate(GtkApplication*, void* self) {
    auto* a = static_cast<Application*>(self);
    if (!a->launched_) {
        a->finishLaunching();
    } else if (a->delegate_) {
        a->delegate_->applicationReopen();
    }
}

int Application::run(int argc, char** argv, const std::function<void()>& loadInterface) {
    initMainThread();
    loadInterface_ = loadInterface;
    app_ = gtk_application_new(Bundle::main().identifier().c_str(), G_APPLICATION_HANDLES_COMMAND_LINE);
    g_signal_connect(app_, "startup", G_CALLBACK(&Application::onStartup), this);
    g_signal_connect(app_, "command-line", G_CALLBACK(&Application::onCommandLine), this);
    g_signal_connect(app_, "activate", G_CALLBACK(&Application::onActivate), this);
    int status = g_application_run(G_APPLICATION(app_), argc, argv);
    g_object_unref(app_);
    app_ = nullptr;
    return status;
}

void Application::terminate() {
    if (terminating_) return;
    terminating_ = true;
    if (delegate_) delegate_->applicationWillTerminate();
    NotificationCenter::defaultCenter().post(kApplicationWillTerminateNotification);
    if (app_) {
        g_application_release(G_APPLICATION(app_));
        g_application_quit(G_APPLICATION(app_));
    }
}

void Application::activateIgnoringOtherApps() {
    if (!app_) return;
    for (GList* l = gtk_application_get_windows(app_); l; l = l->next) {
        GtkWindow* w = GTK_WINDOW(l->data);
        if (gtk_widget_get_visible(GTK_WIDGET(w))) gtk_window_present(w);
    }
}

void Application::noteWindowFocus(bool focused) {
    focusedWindows_ += focused ? 1 : -1;
    if (focusedWindows_ < 0) focusedWindows_ = 0;
    bool nowActive = focusedWindows_ > 0;
    if (nowActive == active_) return;
    active_ = nowActive;
    // Focus moves between our own windows in two steps; the notices go out from the main queue
    // once the state has settled.
    dispatchMain([this, nowActive] {
        if (active_ != nowActive) return;
        NotificationCenter::defaultCenter().post(nowActive ? kApplicationDidBecomeActiveNotification
                                                           : kApplicationDidResignActiveNotification);
    });
}

}  // namespace platform
