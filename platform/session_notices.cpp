#include "platform/session_notices.h"

#include <gio/gio.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <utility>
#include <vector>

#include "platform/log.h"

// Xlib last: its macros (None, Status, Bool...) would clash with the names above.
#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>

namespace platform {

namespace {

constexpr const char* kBus = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kLogindPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSession = "org.freedesktop.login1.Session";
constexpr const char* kUser = "org.freedesktop.login1.User";
constexpr const char* kDisplayConfig = "org.gnome.Mutter.DisplayConfig";
constexpr const char* kDisplayConfigPath = "/org/gnome/Mutter/DisplayConfig";
constexpr int kCallTimeoutMs = 3000;
constexpr guint kDpmsPollSeconds = 3;

using SignalFn = std::function<void(const char* sender, GVariant* parameters)>;
using ReplyFn = std::function<void(GVariant* reply)>;  // null reply: the call failed

// A call that waits for its reply: the reply when it has the given type, else null (the error's
// text in `error`). Services are never started by it.
GVariant* callSync(GDBusConnection* c, const char* dest, const char* path, const char* iface, const char* method,
                   GVariant* args, const char* replyType, std::string* error = nullptr) {
    GError* e = nullptr;
    GVariant* r = g_dbus_connection_call_sync(c, dest, path, iface, method, args, G_VARIANT_TYPE(replyType),
                                              G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, nullptr, &e);
    if (!r && error) *error = e ? e->message : "unknown error";
    if (e) g_error_free(e);
    return r;
}

// A property's value, unboxed; null when it cannot be read.
GVariant* getProperty(GDBusConnection* c, const char* dest, const char* path, const char* iface, const char* name) {
    GVariant* r = callSync(c, dest, path, kProperties, "Get", g_variant_new("(ss)", iface, name), "(v)");
    if (!r) return nullptr;
    GVariant* v = nullptr;
    g_variant_get(r, "(v)", &v);
    g_variant_unref(r);
    return v;
}

// A call whose reply comes later on the main context; `done` runs only while `alive` does.
void callAsync(GDBusConnection* c, const char* dest, const char* path, const char* iface, const char* method,
               GVariant* args, const char* replyType, std::weak_ptr<bool> alive, ReplyFn done) {
    struct Pending {
        std::weak_ptr<bool> alive;
        ReplyFn done;
    };
    g_dbus_connection_call(
        c, dest, path, iface, method, args, G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs,
        nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* pending = static_cast<Pending*>(data);
            GVariant* r = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
            if (pending->alive.lock()) pending->done(r);
            if (r) g_variant_unref(r);
            delete pending;
        },
        new Pending{std::move(alive), std::move(done)});
}

// The new value of one property in the parameters of a PropertiesChanged signal; null when the
// signal does not carry it with that type.
GVariant* changedProperty(GVariant* parameters, const char* name, const GVariantType* type) {
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sa{sv}as)"))) return nullptr;
    GVariant* changed = g_variant_get_child_value(parameters, 1);
    GVariant* value = g_variant_lookup_value(changed, name, type);
    g_variant_unref(changed);
    return value;
}

std::optional<bool> boolArgument(GVariant* parameters) {
    if (!parameters || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) return std::nullopt;
    gboolean flag = FALSE;
    g_variant_get(parameters, "(b)", &flag);
    return flag != FALSE;
}

// Signal subscriptions that end together.
class Subscriptions {
public:
    Subscriptions() = default;
    Subscriptions(const Subscriptions&) = delete;
    Subscriptions& operator=(const Subscriptions&) = delete;
    ~Subscriptions() { clear(); }

    // Null sender, path or arg0: any.
    void add(GDBusConnection* c, const char* sender, const char* iface, const char* member, const char* path,
             const char* arg0, SignalFn fn) {
        guint id = g_dbus_connection_signal_subscribe(
            c, sender, iface, member, path, arg0, G_DBUS_SIGNAL_FLAGS_NONE, &Subscriptions::onSignal, new SignalFn(std::move(fn)),
            [](gpointer data) { delete static_cast<SignalFn*>(data); });
        ids_.emplace_back(c, id);
    }
    void clear() {
        // No callback runs after its subscription is gone.
        for (auto& [c, id] : ids_) g_dbus_connection_signal_unsubscribe(c, id);
        ids_.clear();
    }

private:
    static void onSignal(GDBusConnection*, const gchar* sender, const gchar*, const gchar*, const gchar*,
                         GVariant* parameters, gpointer data) {
        (*static_cast<SignalFn*>(data))(sender, parameters);
    }
    std::vector<std::pair<GDBusConnection*, guint>> ids_;
};

// Who owns a well-known name now. Signals count only when this owner sent them: the bus lets
// any connection send a signal with any interface, and send it to us alone.
class NameOwner {
public:
    // `changed` runs when the name gets a (new) owner, with true, or loses it, with false.
    NameOwner(GDBusConnection* c, std::string name, Subscriptions& subscriptions, std::function<void(bool)> changed)
        : name_(std::move(name)), changed_(std::move(changed)) {
        subscriptions.add(c, kBus, kBus, "NameOwnerChanged", kBusPath, name_.c_str(),
                          [this](const char*, GVariant* p) {
                              if (!g_variant_is_of_type(p, G_VARIANT_TYPE("(sss)"))) return;
                              const char *name, *previous, *owner;
                              g_variant_get(p, "(&s&s&s)", &name, &previous, &owner);
                              if (name_ == name) set(owner);
                          });
        if (GVariant* r = callSync(c, kBus, kBusPath, kBus, "GetNameOwner", g_variant_new("(s)", name_.c_str()), "(s)")) {
            const char* owner = nullptr;
            g_variant_get(r, "(&s)", &owner);
            owner_ = owner;
            g_variant_unref(r);
        }
    }
    bool present() const { return !owner_.empty(); }
    bool sent(const char* sender) const { return present() && sender && owner_ == sender; }

private:
    void set(const std::string& owner) {
        if (owner == owner_) return;
        owner_ = owner;
        if (changed_) changed_(!owner_.empty());
    }
    std::string name_;
    std::string owner_;
    std::function<void(bool)> changed_;
};

class DBusSessionNoticeSource final : public SessionNoticeSource {
public:
    DBusSessionNoticeSource() {
        system_ = connect(G_BUS_TYPE_SYSTEM);
        session_ = connect(G_BUS_TYPE_SESSION);
        if (system_) watchLogind();
        if (session_) watchScreenSavers();
        watchScreens();
    }
    ~DBusSessionNoticeSource() override {
        sessionSubscriptions_.clear();
        subscriptions_.clear();
        if (pollId_) g_source_remove(pollId_);
        if (x_) XCloseDisplay(x_);
        if (system_) g_object_unref(system_);
        if (session_) g_object_unref(session_);
    }
    void setHandler(Handler handler) override { handler_ = std::move(handler); }
    std::vector<std::string> currentNotices() const override {
        std::vector<std::string> out;
        if (locked_) out.emplace_back(kSessionScreenIsLockedNotice);
        if (saverActive_) out.emplace_back(kSessionScreensaverDidStartNotice);
        if (screensOff_) out.emplace_back(kSessionScreensDidSleepNotice);
        return out;
    }

private:
    struct ScreenSaver {
        const char* name;  // also its interface
        const char* path;
        std::unique_ptr<NameOwner> owner;
        bool active = false;
    };

    static GDBusConnection* connect(GBusType type) {
        GError* error = nullptr;
        GDBusConnection* c = g_bus_get_sync(type, nullptr, &error);
        if (!c) {
            logf(LogLevel::Warning, "session notices: no %s bus (%s)", std::string(type == G_BUS_TYPE_SYSTEM ? "system" : "session"),
                 std::string(error ? error->message : "unknown error"));
        }
        if (error) g_error_free(error);
        return c;
    }

    void post(const char* notice) {
        if (handler_) handler_(notice);
    }

    // ---- logind: sleep, power-off and the lock of this process's session ----

    void watchLogind() {
        logind_ = std::make_unique<NameOwner>(system_, kLogind, subscriptions_, [this](bool appeared) {
            sessionSubscriptions_.clear();
            if (appeared) {
                followSession();
            } else {
                setLocked(false);
            }
        });
        subscriptions_.add(system_, kLogind, kManager, "PrepareForSleep", kLogindPath, nullptr,
                           [this](const char* sender, GVariant* p) {
                               auto flag = boolArgument(p);
                               if (logind_->sent(sender) && flag) post(*flag ? kSessionWillSleepNotice : kSessionDidWakeNotice);
                           });
        subscriptions_.add(system_, kLogind, kManager, "PrepareForShutdown", kLogindPath, nullptr,
                           [this](const char* sender, GVariant* p) {
                               auto flag = boolArgument(p);
                               if (logind_->sent(sender) && flag) {
                                   post(*flag ? kSessionWillPowerOffNotice : kSessionPowerOffCancelledNotice);
                               }
                           });
        if (!logind_->present()) {
            logLine("session notices: logind is not on the system bus; screen lock, sleep and power-off are not followed");
            return;
        }
        followSession();
    }

    // This process's session; else the one of XDG_SESSION_ID when it is this user's; else the
    // user's display session. Empty when none is found.
    std::string ownSessionPath() {
        std::string path;
        auto objectPath = [&](GVariant* r) {
            const char* p = nullptr;
            g_variant_get(r, "(&o)", &p);
            path = p;
            g_variant_unref(r);
        };
        if (GVariant* r = callSync(system_, kLogind, kLogindPath, kManager, "GetSessionByPID",
                                   g_variant_new("(u)", static_cast<guint32>(getpid())), "(o)")) {
            objectPath(r);
            return path;
        }
        const char* id = std::getenv("XDG_SESSION_ID");
        if (id && *id) {
            if (GVariant* r = callSync(system_, kLogind, kLogindPath, kManager, "GetSession", g_variant_new("(s)", id), "(o)")) {
                objectPath(r);
                if (sessionUid(path) == getuid()) return path;
                path.clear();
            }
        }
        if (GVariant* r = callSync(system_, kLogind, kLogindPath, kManager, "GetUser",
                                   g_variant_new("(u)", static_cast<guint32>(getuid())), "(o)")) {
            objectPath(r);
            std::string user = path;
            path.clear();
            if (GVariant* display = getProperty(system_, kLogind, user.c_str(), kUser, "Display")) {
                if (g_variant_is_of_type(display, G_VARIANT_TYPE("(so)"))) {
                    const char* p = nullptr;
                    g_variant_get(display, "(&s&o)", nullptr, &p);
                    if (std::string(p) != "/") path = p;
                }
                g_variant_unref(display);
            }
        }
        return path;
    }

    std::optional<uid_t> sessionUid(const std::string& path) {
        GVariant* user = getProperty(system_, kLogind, path.c_str(), kSession, "User");
        if (!user) return std::nullopt;
        std::optional<uid_t> uid;
        if (g_variant_is_of_type(user, G_VARIANT_TYPE("(uo)"))) {
            guint32 u = 0;
            g_variant_get(user, "(u&o)", &u, nullptr);
            uid = u;
        }
        g_variant_unref(user);
        return uid;
    }

    void followSession() {
        const std::string sessionPath = ownSessionPath();
        if (sessionPath.empty()) {
            logLine("session notices: logind knows no session of this process or user; screen lock is not followed");
            return;
        }
        const char* path = sessionPath.c_str();
        sessionSubscriptions_.add(system_, kLogind, kSession, "Lock", path, nullptr, [this](const char* sender, GVariant*) {
            if (logind_->sent(sender)) setLocked(true);
        });
        sessionSubscriptions_.add(system_, kLogind, kSession, "Unlock", path, nullptr, [this](const char* sender, GVariant*) {
            if (logind_->sent(sender)) setLocked(false);
        });
        sessionSubscriptions_.add(system_, kLogind, kProperties, "PropertiesChanged", path, kSession,
                                  [this](const char* sender, GVariant* p) {
                                      if (logind_->sent(sender)) sessionPropertiesChanged(p);
                                  });
        if (GVariant* hint = getProperty(system_, kLogind, path, kSession, "LockedHint")) {
            if (g_variant_is_of_type(hint, G_VARIANT_TYPE_BOOLEAN)) setLocked(g_variant_get_boolean(hint));
            g_variant_unref(hint);
        }
    }

    void sessionPropertiesChanged(GVariant* p) {
        if (GVariant* hint = changedProperty(p, "LockedHint", G_VARIANT_TYPE_BOOLEAN)) {
            setLocked(g_variant_get_boolean(hint));
            g_variant_unref(hint);
        }
    }

    void setLocked(bool locked) {
        if (locked == locked_) return;
        locked_ = locked;
        post(locked ? kSessionScreenIsLockedNotice : kSessionScreenIsUnlockedNotice);
    }

    // ---- screen savers on the session bus ----

    void watchScreenSavers() {
        bool any = false;
        for (auto& saver : savers_) {
            ScreenSaver* s = &saver;
            s->owner = std::make_unique<NameOwner>(session_, s->name, subscriptions_, [this, s](bool appeared) {
                if (!appeared) return setSaver(*s, false);
                callAsync(session_, s->name, s->path, s->name, "GetActive", nullptr, "(b)", alive_,
                          [this, s](GVariant* r) {
                              if (auto flag = boolArgument(r)) setSaver(*s, *flag);
                          });
            });
            subscriptions_.add(session_, s->name, s->name, "ActiveChanged", nullptr, nullptr,
                               [this, s](const char* sender, GVariant* p) {
                                   auto flag = boolArgument(p);
                                   if (s->owner->sent(sender) && flag) setSaver(*s, *flag);
                               });
            if (!s->owner->present()) continue;
            any = true;
            if (GVariant* r = callSync(session_, s->name, s->path, s->name, "GetActive", nullptr, "(b)")) {
                setSaver(*s, boolArgument(r).value_or(false));
                g_variant_unref(r);
            }
        }
        if (!any) logLine("session notices: no screen saver on the session bus; the screen saver is not followed");
    }

    void setSaver(ScreenSaver& saver, bool active) {
        saver.active = active;
        bool now = false;
        for (const auto& s : savers_) now = now || s.active;
        if (now == saverActive_) return;
        saverActive_ = now;
        post(now ? kSessionScreensaverDidStartNotice : kSessionScreensaverDidStopNotice);
    }

    // ---- the screens' power state ----

    void watchScreens() {
        if (session_) {
            displayConfig_ = std::make_unique<NameOwner>(session_, kDisplayConfig, subscriptions_, [this](bool appeared) {
                if (!appeared) {
                    displayConfigOff_ = false;
                    return updateScreens();
                }
                callAsync(session_, kDisplayConfig, kDisplayConfigPath, kProperties, "Get",
                          g_variant_new("(ss)", kDisplayConfig, "PowerSaveMode"), "(v)", alive_, [this](GVariant* r) {
                              if (!r) return;
                              GVariant* v = nullptr;
                              g_variant_get(r, "(v)", &v);
                              powerSaveModeIs(v);
                              g_variant_unref(v);
                          });
            });
            subscriptions_.add(session_, kDisplayConfig, kProperties, "PropertiesChanged", kDisplayConfigPath,
                               kDisplayConfig, [this](const char* sender, GVariant* p) {
                                   if (!displayConfig_->sent(sender)) return;
                                   if (GVariant* mode = changedProperty(p, "PowerSaveMode", G_VARIANT_TYPE_INT32)) {
                                       powerSaveModeIs(mode);
                                       g_variant_unref(mode);
                                   }
                               });
            if (displayConfig_->present()) {
                if (GVariant* mode = getProperty(session_, kDisplayConfig, kDisplayConfigPath, kDisplayConfig, "PowerSaveMode")) {
                    powerSaveModeIs(mode);
                    g_variant_unref(mode);
                }
                return;
            }
        }
        if (startDpms()) return;
        logLine("session notices: nothing reports the screens' power state here (no display configuration service, "
                "no DPMS); the screens count as on");
    }

    // 0 is on; every other mode (standby, suspend, off, unknown) is off.
    void powerSaveModeIs(GVariant* mode) {
        if (!g_variant_is_of_type(mode, G_VARIANT_TYPE_INT32)) return;
        displayConfigOff_ = g_variant_get_int32(mode) != 0;
        updateScreens();
    }

    bool startDpms() {
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display) return false;
        Display* x = XOpenDisplay(nullptr);
        if (!x) return false;
        int opcode = 0, event = 0, error = 0;
        // Asked through the core protocol first: the extension's own query complains when it is missing.
        if (!XQueryExtension(x, "DPMS", &opcode, &event, &error) || !DPMSCapable(x)) {
            XCloseDisplay(x);
            return false;
        }
        x_ = x;
        readDpms();
        pollId_ = g_timeout_add_seconds(kDpmsPollSeconds, [](gpointer self) -> gboolean {
            static_cast<DBusSessionNoticeSource*>(self)->readDpms();
            return G_SOURCE_CONTINUE;
        }, this);
        return true;
    }

    void readDpms() {
        CARD16 level = DPMSModeOn;
        BOOL enabled = False;
        if (DPMSInfo(x_, &level, &enabled)) dpmsOff_ = enabled && level != DPMSModeOn;
        updateScreens();
    }

    // The display configuration service speaks while it is there; DPMS otherwise.
    void updateScreens() {
        bool off = displayConfig_ && displayConfig_->present() ? displayConfigOff_ : (x_ && dpmsOff_);
        if (off == screensOff_) return;
        screensOff_ = off;
        post(off ? kSessionScreensDidSleepNotice : kSessionScreensDidWakeNotice);
    }

    GDBusConnection* system_ = nullptr;
    GDBusConnection* session_ = nullptr;
    Subscriptions subscriptions_;
    Subscriptions sessionSubscriptions_;  // those of the followed logind session
    std::unique_ptr<NameOwner> logind_;
    bool locked_ = false;
    ScreenSaver savers_[2] = {{"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver", nullptr},
                              {"org.gnome.ScreenSaver", "/org/gnome/ScreenSaver", nullptr}};
    bool saverActive_ = false;
    std::unique_ptr<NameOwner> displayConfig_;
    bool displayConfigOff_ = false;
    Display* x_ = nullptr;
    guint pollId_ = 0;
    bool dpmsOff_ = false;
    bool screensOff_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    Handler handler_;
};

}  // namespace

std::shared_ptr<SessionNoticeSource> SessionNoticeSource::system() { return std::make_shared<DBusSessionNoticeSource>(); }

}  // namespace platform
