#include "platform/session_notices.h"

#include <gio/gio.h>

#include <vector>

#include "platform/log.h"

namespace platform {

namespace {

class DBusSessionNoticeSource : public SessionNoticeSource {
public:
    DBusSessionNoticeSource() {
        system_ = connect(G_BUS_TYPE_SYSTEM);
        session_ = connect(G_BUS_TYPE_SESSION);
        if (system_) {
            subscribe(system_, "org.freedesktop.login1.Manager", "PrepareForSleep");
            subscribe(system_, "org.freedesktop.login1.Manager", "PrepareForShutdown");
            subscribe(system_, "org.freedesktop.login1.Session", "Lock");
            subscribe(system_, "org.freedesktop.login1.Session", "Unlock");
        }
        if (session_) {
            subscribe(session_, "org.freedesktop.ScreenSaver", "ActiveChanged");
            subscribe(session_, "org.gnome.ScreenSaver", "ActiveChanged");
        }
    }
    ~DBusSessionNoticeSource() override {
        for (auto& [connection, id] : subscriptions_) g_dbus_connection_signal_unsubscribe(connection, id);
        if (system_) g_object_unref(system_);
        if (session_) g_object_unref(session_);
    }
    void setHandler(Handler handler) override { handler_ = std::move(handler); }

private:
    static GDBusConnection* connect(GBusType type) {
        GError* error = nullptr;
        GDBusConnection* c = g_bus_get_sync(type, nullptr, &error);
        if (!c) {
            logf("session notices: no %s bus (%s)", std::string(type == G_BUS_TYPE_SYSTEM ? "system" : "session"),
                 std::string(error ? error->message : "unknown error"));
            if (error) g_error_free(error);
        }
        return c;
    }

    void subscribe(GDBusConnection* connection, const char* interface, const char* member) {
        guint id = g_dbus_connection_signal_subscribe(connection, nullptr, interface, member, nullptr, nullptr,
                                                      G_DBUS_SIGNAL_FLAGS_NONE, &DBusSessionNoticeSource::onSignal,
                                                      this, nullptr);
        subscriptions_.emplace_back(connection, id);
    }

    static void onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar* interface, const gchar* member,
                         GVariant* parameters, gpointer data) {
        auto* self = static_cast<DBusSessionNoticeSource*>(data);
        std::string i(interface), m(member);
        gboolean flag = FALSE;
        bool hasFlag = parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"));
        if (hasFlag) g_variant_get(parameters, "(b)", &flag);
        const char* notice = nullptr;
        if (m == "PrepareForSleep" && hasFlag) {
            notice = flag ? kSessionWillSleepNotice : kSessionDidWakeNotice;
        } else if (m == "PrepareForShutdown" && hasFlag) {
            if (flag) notice = kSessionWillPowerOffNotice;
        } else if (m == "Lock") {
            notice = kSessionScreenIsLockedNotice;
        } else if (m == "Unlock") {
            notice = kSessionScreenIsUnlockedNotice;
        } else if (m == "ActiveChanged" && hasFlag) {
            notice = flag ? kSessionScreensaverDidStartNotice : kSessionScreensaverDidStopNotice;
        }
        if (notice && self->handler_) self->handler_(notice);
    }

    GDBusConnection* system_ = nullptr;
    GDBusConnection* session_ = nullptr;
    std::vector<std::pair<GDBusConnection*, guint>> subscriptions_;
    Handler handler_;
};

}  // namespace

std::shared_ptr<SessionNoticeSource> SessionNoticeSource::system() { return std::make_shared<DBusSessionNoticeSource>(); }

}  // namespace platform
