#include "platform/application.h"

#include <glib-unix.h>
#include <gtk/gtk.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"

namespace platform {

Application& Application::shared() {
    static Application* a = new Application;
    return *a;
}

void useBundleIcons() {
    std::string folder = Bundle::main().resourcePath() + "/icons";
    GtkIconTheme* theme = gtk_icon_theme_get_default();
    if (!theme) return;
    // The build tree and unusual prefixes have no icon theme of their own; the bundle carries the icons.
    g_auto(GStrv) paths = nullptr;
    gtk_icon_theme_get_search_path(theme, &paths, nullptr);
    bool present = false;
    for (gchar** p = paths; p && *p; ++p) present = present || folder == *p;
    if (!present) gtk_icon_theme_append_search_path(theme, folder.c_str());
    gtk_window_set_default_icon_name(Bundle::main().identifier().c_str());
}

// Whether an instance of the application owns its name on the session bus already: a launch that
// only hands its URLs over to it starts nothing of its own. Asked on a thread of its own while GTK
// starts; the connection is kept for the run, so that the application, GTK and the web engine
// register on it instead of each connecting anew.
class PrimaryInstanceQuery {
public:
    explicit PrimaryInstanceQuery(std::string applicationId)
        : thread_([this, id = std::move(applicationId)] {
              bus_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
              if (!bus_) return;
              g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
                  bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
                  g_variant_new("(s)", id.c_str()), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 1000, nullptr,
                  nullptr);
              gboolean owned = FALSE;
              if (reply) g_variant_get(reply, "(b)", &owned);
              owned_ = owned;
          }) {}
    ~PrimaryInstanceQuery() {
        if (thread_.joinable()) thread_.join();
        g_clear_object(&bus_);
    }
    PrimaryInstanceQuery(const PrimaryInstanceQuery&) = delete;
    PrimaryInstanceQuery& operator=(const PrimaryInstanceQuery&) = delete;

    bool primaryRuns() {
        if (thread_.joinable()) thread_.join();
        return owned_;
    }

private:
    GDBusConnection* bus_ = nullptr;
    bool owned_ = false;
    std::thread thread_;
};

// Every argument of a launch without options is a URL.
static bool withoutOptions(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i] && argv[i][0] == '-') return false;
    }
    return true;
}

int Application::onLocalOptions(void*, void* options, void*) {
    auto* dict = static_cast<GVariantDict*>(options);
    if (g_variant_dict_contains(dict, "version")) {
        std::printf("%s %s (%s)\n", Bundle::main().name().c_str(), Bundle::main().shortVersion().c_str(),
                    Bundle::main().buildNumber().c_str());
        return 0;
    }
    return -1;  // go on: start, or hand the URLs to the running instance
}

void Application::onStartup(GtkApplication*, void* self) {
    auto* a = static_cast<Application*>(self);
    useBundleIcons();
    // The process lives until terminate(), with or without a window.
    g_application_hold(G_APPLICATION(a->app_));
    // SIGTERM and SIGINT quit as the quit item does: the will-terminate notice and every
    // end-of-run step, then the exit status 0.
    for (int signalNumber : {SIGTERM, SIGINT})
        a->quitSignalSources_.push_back(g_unix_signal_add(signalNumber, &Application::onQuitSignal, a));
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

int Application::onQuitSignal(void* self) {
    static_cast<Application*>(self)->terminate();
    return G_SOURCE_CONTINUE;
}

int Application::onCommandLine(void* app, void* cmdline, void* self) {
    auto* a = static_cast<Application*>(self);
    int argc = 0;
    g_auto(GStrv) argv = g_application_command_line_get_arguments(G_APPLICATION_COMMAND_LINE(cmdline), &argc);
    std::vector<std::string> urls;
    for (int i = 1; i < argc; ++i) urls.emplace_back(argv[i]);
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

int Application::run(int argc, char** argv, const std::function<void()>& loadInterface,
                     const std::function<void()>& beforeRegistering) {
    initMainThread();
    loadInterface_ = loadInterface;
    app_ = gtk_application_new(Bundle::main().identifier().c_str(), G_APPLICATION_HANDLES_COMMAND_LINE);
    // --help and --version answer in the launching process; every other argument is a URL.
    static const GOptionEntry kOptions[] = {
        {"version", 0, G_OPTION_FLAG_NONE, G_OPTION_ARG_NONE, nullptr, "Print the version and exit", nullptr},
        {},
    };
    g_application_add_main_option_entries(G_APPLICATION(app_), kOptions);
    g_application_set_option_context_parameter_string(G_APPLICATION(app_), "[URL…]");
    g_application_set_option_context_summary(
        G_APPLICATION(app_),
        "The Hubstation companion: the controller's web application in a window, and a tray menu.\n"
        "URLs of the kivano, kivanocmd and kvtarragon schemes go to the web application, also when\n"
        "an instance runs already; kivano://startup starts without showing the window.");
    g_signal_connect(app_, "handle-local-options", G_CALLBACK(&Application::onLocalOptions), this);
    g_signal_connect(app_, "startup", G_CALLBACK(&Application::onStartup), this);
    g_signal_connect(app_, "command-line", G_CALLBACK(&Application::onCommandLine), this);
    g_signal_connect(app_, "activate", G_CALLBACK(&Application::onActivate), this);
    std::unique_ptr<PrimaryInstanceQuery> primaryQuery;
    if (beforeRegistering && withoutOptions(argc, argv)) {
        // The program name as the application would set it, before the display takes it up.
        if (!g_get_prgname() && argc > 0) {
            g_autofree gchar* name = g_path_get_basename(argv[0]);
            g_set_prgname(name);
        }
        primaryQuery = std::make_unique<PrimaryInstanceQuery>(Bundle::main().identifier());
        if (gtk_init_check(nullptr, nullptr) && !primaryQuery->primaryRuns()) beforeRegistering();
    }
    int status = g_application_run(G_APPLICATION(app_), argc, argv);
    primaryQuery.reset();
    // The signals' default actions again.
    for (unsigned id : quitSignalSources_) g_source_remove(id);
    quitSignalSources_.clear();
    g_clear_object(&app_);
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
