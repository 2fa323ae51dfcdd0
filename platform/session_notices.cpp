#include "platform/session_notices.h"

#include <gio/gio.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <iterator>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/log.h"

// Xlib last: its macros (None, Status, Bool...) would clash with the names above.
#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>

namespace platform {

namespace {

constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kLogindPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSession = "org.freedesktop.login1.Session";
constexpr const char* kUser = "org.freedesktop.login1.User";
constexpr const char* kDisplayConfig = "org.gnome.Mutter.DisplayConfig";
constexpr const char* kDisplayConfigPath = "/org/gnome/Mutter/DisplayConfig";
// Nothing waits for an answer, so none is given up on: a service that is slow still gets heard,
// and one that leaves the bus ends the call with an error.
constexpr int kCallTimeoutMs = G_MAXINT;
constexpr guint kDpmsPollSeconds = 3;
// Services are never started on our behalf. A proxy follows the owner of its name, and only
// that owner's signals reach it: GLib drops those of any other sender, sent to us alone included.
constexpr GDBusProxyFlags kProxyFlags = G_DBUS_PROXY_FLAGS_DO_NOT_AUTO_START;
constexpr GDBusProxyFlags kProxyFlagsWithoutProperties =
    static_cast<GDBusProxyFlags>(G_DBUS_PROXY_FLAGS_DO_NOT_AUTO_START | G_DBUS_PROXY_FLAGS_DO_NOT_LOAD_PROPERTIES);

using ReplyFn = std::function<void(GVariant* reply)>;  // null reply: the call failed
using ProxyFn = std::function<void(GDBusProxy* proxy)>;  // null proxy: none could be made

std::optional<bool> boolArgument(GVariant* parameters) {
    if (!parameters || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) return std::nullopt;
    gboolean flag = FALSE;
    g_variant_get(parameters, "(b)", &flag);
    return flag != FALSE;
}

std::string objectPath(GVariant* reply) {
    const char* path = nullptr;
    g_variant_get(reply, "(&o)", &path);
    return path;
}

bool hasOwner(GDBusProxy* proxy) {
    g_autofree gchar* owner = proxy ? g_dbus_proxy_get_name_owner(proxy) : nullptr;
    return owner != nullptr;
}

// A property the proxy holds, when it has the given type; else null.
GVariant* cachedProperty(GDBusProxy* proxy, const char* name, const GVariantType* type) {
    g_autoptr(GVariant) value = proxy ? g_dbus_proxy_get_cached_property(proxy, name) : nullptr;
    if (value && !g_variant_is_of_type(value, type)) return nullptr;
    return g_steal_pointer(&value);
}

// A proxy that is ours alone: its handlers go with it.
class Proxy {
public:
    Proxy() = default;
    Proxy(const Proxy&) = delete;
    Proxy& operator=(const Proxy&) = delete;
    ~Proxy() { reset(); }
    void reset(GDBusProxy* proxy = nullptr) {
        if (proxy_) {
            for (gulong id : handlers_) g_signal_handler_disconnect(proxy_, id);
            g_object_unref(proxy_);
        }
        handlers_.clear();
        proxy_ = proxy;
    }
    void connect(const char* signal, GCallback callback, gpointer data) {
        handlers_.push_back(g_signal_connect(proxy_, signal, callback, data));
    }
    GDBusProxy* get() const { return proxy_; }
    explicit operator bool() const { return proxy_ != nullptr; }
    bool present() const { return hasOwner(proxy_); }

private:
    GDBusProxy* proxy_ = nullptr;
    std::vector<gulong> handlers_;
};

class DBusSessionNoticeSource final : public SessionNoticeSource {
public:
    DBusSessionNoticeSource() {
        // Read now: the environment may change before logind answers.
        if (const char* id = std::getenv("XDG_SESSION_ID")) sessionId_ = id;
        for (auto& saver : savers_) saver.source = this;
        getBus(G_BUS_TYPE_SYSTEM, [this](GDBusConnection* c) {
            system_ = c;
            if (system_) watchLogind();
        });
        getBus(G_BUS_TYPE_SESSION, [this](GDBusConnection* c) {
            session_ = c;
            if (session_) watchScreenSavers();
            watchScreens();
        });
    }
    ~DBusSessionNoticeSource() override {
        // Whatever is still under way ends without calling back.
        g_cancellable_cancel(cancellable_);
        g_object_unref(cancellable_);
        for (auto& saver : savers_) {
            if (saver.subscription) g_dbus_connection_signal_unsubscribe(session_, saver.subscription);
            saver.proxy.reset();
        }
        logindSession_.reset();
        manager_.reset();
        displayConfig_.reset();
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
    bool settled() const override { return pending_ == 0; }

private:
    struct ScreenSaver {
        const char* name;  // also its interface
        const char* path;
        DBusSessionNoticeSource* source = nullptr;
        Proxy proxy;
        guint subscription = 0;
        bool active = false;
    };

    // ---- asynchronous steps: each one counts as pending until it is done ----

    struct Step {
        GCancellable* cancellable;
        DBusSessionNoticeSource* source;
        std::function<void(GObject*, GAsyncResult*)> done;
    };

    gpointer step(std::function<void(GObject*, GAsyncResult*)> done) {
        ++pending_;
        return new Step{G_CANCELLABLE(g_object_ref(cancellable_)), this, std::move(done)};
    }

    static void stepDone(GObject* object, GAsyncResult* result, gpointer data) {
        std::unique_ptr<Step> s(static_cast<Step*>(data));
        const bool gone = g_cancellable_is_cancelled(s->cancellable);
        g_object_unref(s->cancellable);
        if (gone) return;  // the source is no more
        --s->source->pending_;
        s->done(object, result);
    }

    void getBus(GBusType type, std::function<void(GDBusConnection*)> done) {
        g_bus_get(type, cancellable_, &stepDone, step([type, done = std::move(done)](GObject*, GAsyncResult* result) {
            g_autoptr(GError) error = nullptr;
            GDBusConnection* c = g_bus_get_finish(result, &error);
            if (!c) {
                logf(LogLevel::Warning, "session notices: no %s bus (%s)",
                     std::string(type == G_BUS_TYPE_SYSTEM ? "system" : "session"),
                     std::string(error ? error->message : "unknown error"));
            }
            done(c);
        }));
    }

    // `done` gets the reply when it has the given type, else null.
    void call(GDBusConnection* c, const char* dest, const char* path, const char* iface, const char* method,
              GVariant* args, const char* replyType, ReplyFn done) {
        g_dbus_connection_call(c, dest, path, iface, method, args, G_VARIANT_TYPE(replyType),
                               G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, cancellable_, &stepDone,
                               step([done = std::move(done)](GObject* object, GAsyncResult* result) {
                                   g_autoptr(GVariant) reply =
                                       g_dbus_connection_call_finish(G_DBUS_CONNECTION(object), result, nullptr);
                                   done(reply);
                               }));
    }

    // `done` gets the proxy (its reference is handed over) once it knows the owner of the name and,
    // unless told not to, has read the object's properties.
    void newProxy(GDBusConnection* c, GDBusProxyFlags flags, const char* name, const char* path, const char* iface,
                  ProxyFn done) {
        g_dbus_proxy_new(c, flags, nullptr, name, path, iface, cancellable_, &stepDone,
                         step([done = std::move(done)](GObject*, GAsyncResult* result) {
                             done(g_dbus_proxy_new_finish(result, nullptr));
                         }));
    }

    void post(const char* notice) {
        if (handler_) handler_(notice);
    }

    // ---- logind: sleep, power-off and the lock of this process's session ----

    void watchLogind() {
        newProxy(system_, kProxyFlagsWithoutProperties, kLogind, kLogindPath, kManager, [this](GDBusProxy* p) {
            manager_.reset(p);
            if (manager_) {
                manager_.connect("g-signal", G_CALLBACK(&DBusSessionNoticeSource::onManagerSignal), this);
                manager_.connect("notify::g-name-owner", G_CALLBACK(&DBusSessionNoticeSource::onLogindOwner), this);
            }
            if (!manager_.present()) {
                logLine("session notices: logind is not on the system bus; screen lock, sleep and power-off are not "
                        "followed");
                return;
            }
            findSession();
        });
    }

    static void onManagerSignal(GDBusProxy*, const gchar*, const gchar* signal, GVariant* p, gpointer data) {
        auto* self = static_cast<DBusSessionNoticeSource*>(data);
        auto flag = boolArgument(p);
        if (!flag) return;
        if (g_str_equal(signal, "PrepareForSleep")) {
            self->post(*flag ? kSessionWillSleepNotice : kSessionDidWakeNotice);
        } else if (g_str_equal(signal, "PrepareForShutdown")) {
            self->post(*flag ? kSessionWillPowerOffNotice : kSessionPowerOffCancelledNotice);
        }
    }

    // logind came, went or was replaced: the session is looked up anew.
    static void onLogindOwner(GObject*, GParamSpec*, gpointer data) {
        auto* self = static_cast<DBusSessionNoticeSource*>(data);
        ++self->lookup_;
        self->logindSession_.reset();
        if (self->manager_.present()) {
            self->findSession();
        } else {
            self->setLocked(false);
        }
    }

    // This process's session; else the one of XDG_SESSION_ID when it is this user's; else the
    // user's display session. Answers of an earlier lookup are dropped.
    void findSession() {
        const unsigned lookup = lookup_;
        GVariant* pid = g_variant_new("(u)", static_cast<guint32>(getpid()));
        call(system_, kLogind, kLogindPath, kManager, "GetSessionByPID", pid, "(o)", [this, lookup](GVariant* r) {
            if (lookup != lookup_) return;
            if (r) return followSession(objectPath(r), false);
            findSessionById();
        });
    }

    void findSessionById() {
        if (sessionId_.empty()) return findUserSession();
        const unsigned lookup = lookup_;
        GVariant* id = g_variant_new("(s)", sessionId_.c_str());
        call(system_, kLogind, kLogindPath, kManager, "GetSession", id, "(o)", [this, lookup](GVariant* r) {
            if (lookup != lookup_) return;
            if (r) return followSession(objectPath(r), true);
            findUserSession();
        });
    }

    void findUserSession() {
        const unsigned lookup = lookup_;
        GVariant* uid = g_variant_new("(u)", static_cast<guint32>(getuid()));
        call(system_, kLogind, kLogindPath, kManager, "GetUser", uid, "(o)", [this, lookup](GVariant* r) {
            if (lookup != lookup_) return;
            if (!r) return noSession();
            const std::string user = objectPath(r);
            GVariant* name = g_variant_new("(ss)", kUser, "Display");
            call(system_, kLogind, user.c_str(), kProperties, "Get", name, "(v)", [this, lookup](GVariant* reply) {
                if (lookup != lookup_) return;
                g_autoptr(GVariant) boxed = reply ? g_variant_get_child_value(reply, 0) : nullptr;
                g_autoptr(GVariant) display = boxed ? g_variant_get_variant(boxed) : nullptr;
                if (display && g_variant_is_of_type(display, G_VARIANT_TYPE("(so)"))) {
                    const char* path = nullptr;
                    g_variant_get(display, "(&s&o)", nullptr, &path);
                    if (std::string(path) != "/") return followSession(path, false);
                }
                noSession();
            });
        });
    }

    void noSession() {
        logLine("session notices: logind knows no session of this process or user; screen lock is not followed");
    }

    // With `onlyOwn`, a session of another user is passed over for the user's display session.
    void followSession(const std::string& path, bool onlyOwn) {
        const unsigned lookup = lookup_;
        newProxy(system_, kProxyFlags, kLogind, path.c_str(), kSession, [this, lookup, onlyOwn](GDBusProxy* p) {
            g_autoptr(GDBusProxy) session = p;
            if (lookup != lookup_) return;
            if (!session) return noSession();
            if (onlyOwn) {
                g_autoptr(GVariant) user = cachedProperty(session, "User", G_VARIANT_TYPE("(uo)"));
                guint32 uid = 0;
                if (user) g_variant_get(user, "(u&o)", &uid, nullptr);
                if (!user || uid != getuid()) return findUserSession();
            }
            logindSession_.reset(static_cast<GDBusProxy*>(g_steal_pointer(&session)));
            logindSession_.connect("g-signal", G_CALLBACK(&DBusSessionNoticeSource::onSessionSignal), this);
            logindSession_.connect("g-properties-changed", G_CALLBACK(&DBusSessionNoticeSource::onSessionProperties),
                                   this);
            if (g_autoptr(GVariant) hint = cachedProperty(logindSession_.get(), "LockedHint", G_VARIANT_TYPE_BOOLEAN)) {
                setLocked(g_variant_get_boolean(hint));
            }
        });
    }

    static void onSessionSignal(GDBusProxy*, const gchar*, const gchar* signal, GVariant*, gpointer data) {
        auto* self = static_cast<DBusSessionNoticeSource*>(data);
        if (g_str_equal(signal, "Lock")) {
            self->setLocked(true);
        } else if (g_str_equal(signal, "Unlock")) {
            self->setLocked(false);
        }
    }

    static void onSessionProperties(GDBusProxy*, GVariant* changed, const gchar* const*, gpointer data) {
        g_autoptr(GVariant) hint = g_variant_lookup_value(changed, "LockedHint", G_VARIANT_TYPE_BOOLEAN);
        if (hint) static_cast<DBusSessionNoticeSource*>(data)->setLocked(g_variant_get_boolean(hint));
    }

    void setLocked(bool locked) {
        if (locked == locked_) return;
        locked_ = locked;
        post(locked ? kSessionScreenIsLockedNotice : kSessionScreenIsUnlockedNotice);
    }

    // ---- screen savers on the session bus ----

    void watchScreenSavers() {
        for (auto& saver : savers_) {
            ScreenSaver* s = &saver;
            // Screen savers send ActiveChanged from more than one path, so this subscription is
            // not the proxy's.
            s->subscription = g_dbus_connection_signal_subscribe(session_, s->name, s->name, "ActiveChanged", nullptr,
                                                                 nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                                 &DBusSessionNoticeSource::onSaverSignal, s, nullptr);
            newProxy(session_, kProxyFlagsWithoutProperties, s->name, s->path, s->name, [this, s](GDBusProxy* p) {
                s->proxy.reset(p);
                if (s->proxy) {
                    s->proxy.connect("notify::g-name-owner", G_CALLBACK(&DBusSessionNoticeSource::onSaverOwner), s);
                    if (s->proxy.present()) askSaver(*s);
                }
                if (++saversAsked_ < std::size(savers_)) return;
                for (const auto& other : savers_) {
                    if (other.proxy.present()) return;
                }
                logLine("session notices: no screen saver on the session bus; the screen saver is not followed");
            });
        }
    }

    // Only from the owner of the name, as a proxy takes them.
    static void onSaverSignal(GDBusConnection*, const gchar* sender, const gchar*, const gchar*, const gchar*,
                              GVariant* p, gpointer data) {
        auto* s = static_cast<ScreenSaver*>(data);
        g_autofree gchar* owner = s->proxy ? g_dbus_proxy_get_name_owner(s->proxy.get()) : nullptr;
        auto flag = boolArgument(p);
        if (flag && owner && sender && g_str_equal(owner, sender)) s->source->setSaver(*s, *flag);
    }

    static void onSaverOwner(GObject*, GParamSpec*, gpointer data) {
        auto* s = static_cast<ScreenSaver*>(data);
        if (s->proxy.present()) {
            s->source->askSaver(*s);
        } else {
            s->source->setSaver(*s, false);
        }
    }

    void askSaver(ScreenSaver& s) {
        call(session_, s.name, s.path, s.name, "GetActive", nullptr, "(b)", [this, &s](GVariant* r) {
            if (auto flag = boolArgument(r)) setSaver(s, *flag);
        });
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
        if (!session_) return watchScreensWithoutService();
        newProxy(session_, kProxyFlags, kDisplayConfig, kDisplayConfigPath, kDisplayConfig, [this](GDBusProxy* p) {
            displayConfig_.reset(p);
            if (displayConfig_) {
                displayConfig_.connect("g-properties-changed",
                                       G_CALLBACK(&DBusSessionNoticeSource::onDisplayConfigProperties), this);
                displayConfig_.connect("notify::g-name-owner",
                                       G_CALLBACK(&DBusSessionNoticeSource::onDisplayConfigOwner), this);
            }
            if (!displayConfig_.present()) return watchScreensWithoutService();
            readPowerSaveMode();
        });
    }

    void watchScreensWithoutService() {
        if (startDpms()) return;
        logLine("session notices: nothing reports the screens' power state here (no display configuration service, "
                "no DPMS); the screens count as on");
    }

    static void onDisplayConfigProperties(GDBusProxy*, GVariant* changed, const gchar* const*, gpointer data) {
        g_autoptr(GVariant) mode = g_variant_lookup_value(changed, "PowerSaveMode", G_VARIANT_TYPE_INT32);
        if (mode) static_cast<DBusSessionNoticeSource*>(data)->powerSaveModeIs(g_variant_get_int32(mode));
    }

    // The proxy reads the properties of a new owner itself.
    static void onDisplayConfigOwner(GObject*, GParamSpec*, gpointer data) {
        auto* self = static_cast<DBusSessionNoticeSource*>(data);
        if (self->displayConfig_.present()) return self->readPowerSaveMode();
        self->displayConfigOff_ = false;
        self->updateScreens();
    }

    void readPowerSaveMode() {
        if (g_autoptr(GVariant) mode = cachedProperty(displayConfig_.get(), "PowerSaveMode", G_VARIANT_TYPE_INT32)) {
            powerSaveModeIs(g_variant_get_int32(mode));
        }
    }

    // 0 is on; every other mode (standby, suspend, off, unknown) is off.
    void powerSaveModeIs(gint32 mode) {
        displayConfigOff_ = mode != 0;
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
        bool off = displayConfig_.present() ? displayConfigOff_ : (x_ && dpmsOff_);
        if (off == screensOff_) return;
        screensOff_ = off;
        post(off ? kSessionScreensDidSleepNotice : kSessionScreensDidWakeNotice);
    }

    GCancellable* cancellable_ = g_cancellable_new();
    unsigned pending_ = 0;
    std::string sessionId_;
    GDBusConnection* system_ = nullptr;
    GDBusConnection* session_ = nullptr;
    Proxy manager_;
    Proxy logindSession_;  // the followed session
    unsigned lookup_ = 0;  // the session lookup under way
    bool locked_ = false;
    ScreenSaver savers_[2] = {{"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver"},
                              {"org.gnome.ScreenSaver", "/org/gnome/ScreenSaver"}};
    std::size_t saversAsked_ = 0;
    bool saverActive_ = false;
    Proxy displayConfig_;
    bool displayConfigOff_ = false;
    Display* x_ = nullptr;
    guint pollId_ = 0;
    bool dpmsOff_ = false;
    bool screensOff_ = false;
    Handler handler_;
};

}  // namespace

std::shared_ptr<SessionNoticeSource> SessionNoticeSource::system() { return std::make_shared<DBusSessionNoticeSource>(); }

}  // namespace platform
