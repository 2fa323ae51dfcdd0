// needs: display bus system-bus
// Presence over the real buses: a mocked logind on the harness's private system bus, a mocked
// screen saver and display configuration service on the private session bus, the session
// notices read from them, and the presence detector pulsing the loopback test controller.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "companion/PresenceDetector.h"
#include "platform/dispatch.h"
#include "platform/session_notices.h"
#include "tests/support/companion_rig.h"
#include "tests/support/test_controller.h"
#include "tests/support/test_util.h"

using testctl::Answer;
using testctl::TestController;

namespace {

constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSessionIface = "org.freedesktop.login1.Session";
constexpr const char* kMock = "org.freedesktop.DBus.Mock";
constexpr const char* kOwnSession = "/org/freedesktop/login1/session/c1";
constexpr const char* kOtherSession = "/org/freedesktop/login1/session/c2";
constexpr const char* kDisplayConfig = "org.gnome.Mutter.DisplayConfig";
constexpr const char* kDisplayConfigPath = "/org/gnome/Mutter/DisplayConfig";
constexpr double kWait = 20;  // generous: other tests load the machine

GDBusConnection* sharedBus(GBusType type) {
    GDBusConnection* c = g_bus_get_sync(type, nullptr, nullptr);
    EXPECT_TRUE(c);
    return c;
}

// A method call that must succeed; its reply is dropped.
void call(GDBusConnection* c, const char* dest, const char* path, const char* iface, const char* method, GVariant* args) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) r = g_dbus_connection_call_sync(c, dest, path, iface, method, args, nullptr, G_DBUS_CALL_FLAGS_NONE,
                                                        10000, nullptr, &error);
    ASSERT_TRUE(r) << method << ": " << (error ? error->message : "");
}

bool hasOwner(GDBusConnection* c, const char* name) {
    g_autoptr(GVariant) r = g_dbus_connection_call_sync(c, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                        "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", name),
                                                        G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    gboolean owned = FALSE;
    if (r) g_variant_get(r, "(b)", &owned);
    return owned;
}

// One python3-dbusmock process, ended with the object.
class Mock {
public:
    Mock(GDBusConnection* bus, const char* name, std::vector<std::string> args) : bus_(bus) {
        std::vector<const char*> argv = {"/usr/bin/python3", "-m", "dbusmock"};
        for (const auto& a : args) argv.push_back(a.c_str());
        argv.push_back(nullptr);
        g_autoptr(GError) error = nullptr;
        process_ = g_subprocess_newv(argv.data(), G_SUBPROCESS_FLAGS_STDOUT_SILENCE, &error);
        EXPECT_TRUE(process_) << (error ? error->message : "");
        ready_ = process_ && testutil::spinUntil([&] { return hasOwner(bus_, name); }, kWait);
    }
    ~Mock() {
        if (!process_) return;
        if (paused_) resume();
        g_subprocess_send_signal(process_, SIGTERM);
        g_subprocess_wait(process_, nullptr, nullptr);
        g_object_unref(process_);
    }
    bool ready() const { return ready_; }

    // A hung service: the process stands still while the bus keeps what is sent to it.
    void pause() {
        g_subprocess_send_signal(process_, SIGSTOP);
        paused_ = true;
        EXPECT_TRUE(testutil::spinUntil([&] { return state() == 'T'; }, kWait)) << "the mock stops";
    }
    void resume() {
        g_subprocess_send_signal(process_, SIGCONT);
        paused_ = false;
    }

private:
    // The process's state letter in /proc (R, S, T...).
    char state() const {
        std::ifstream stat(std::string("/proc/") + g_subprocess_get_identifier(process_) + "/stat");
        std::string line;
        std::getline(stat, line);
        auto end = line.rfind(')');
        return end == std::string::npos || end + 2 >= line.size() ? '?' : line[end + 2];
    }

    GDBusConnection* bus_;
    GSubprocess* process_ = nullptr;
    bool ready_ = false;
    bool paused_ = false;
};

// The longest time the main loop went without turning while this is alive.
class LoopWatch {
public:
    LoopWatch() : last_(g_get_monotonic_time()) {
        id_ = g_timeout_add(10, [](gpointer self) -> gboolean {
            static_cast<LoopWatch*>(self)->tick();
            return G_SOURCE_CONTINUE;
        }, this);
    }
    ~LoopWatch() { g_source_remove(id_); }
    double longestGap() {
        tick();
        return static_cast<double>(longest_) / G_USEC_PER_SEC;
    }

private:
    void tick() {
        gint64 now = g_get_monotonic_time();
        longest_ = std::max(longest_, now - last_);
        last_ = now;
    }
    gint64 last_;
    gint64 longest_ = 0;
    guint id_ = 0;
};

// Counts the signals of one member that reach this process, from any sender: once the test's
// own copy has come, the source has been handed the same message.
class SignalCounter {
public:
    SignalCounter(GDBusConnection* c, const char* iface, const char* member) : c_(c) {
        id_ = g_dbus_connection_signal_subscribe(
            c, nullptr, iface, member, nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*, gpointer self) {
                ++*static_cast<int*>(self);
            },
            &count_, nullptr);
    }
    ~SignalCounter() { g_dbus_connection_signal_unsubscribe(c_, id_); }
    bool waitFor(int n) {
        bool seen = testutil::spinUntil([&] { return count_ >= n; }, kWait);
        platform::runMainLoopFor(0.1);  // the source's callback for the same message
        return seen;
    }
    int count() const { return count_; }

private:
    GDBusConnection* c_;
    guint id_ = 0;
    int count_ = 0;
};

class SessionPresenceTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::initMainThread();
        unsetenv("XDG_SESSION_ID");
        system_ = sharedBus(G_BUS_TYPE_SYSTEM);
        session_ = sharedBus(G_BUS_TYPE_SESSION);
        ASSERT_TRUE(system_ && session_);
        ASSERT_TRUE(hs.running());
        // The next regular pulse only after 45 s: within a test, pulses come from transitions.
        hs.setCommandAnswer(Answer{200, "application/json",
                                   platform::Value{{"LL", {{"control", "pulse"}, {"value", "60000"}, {"Code", "200"}}}}.dump()});
    }
    void TearDown() override {
        rig.reset();
        source.reset();
        platform::runMainLoopFor(0.05);
    }

    // logind with this user's session c1 and another user's session c2 on the same seat; with
    // `byPid`, c1 is the session of this process.
    void startLogind(bool byPid = true) {
        logind.emplace(system_, kLogind, std::vector<std::string>{"--template", "logind"});
        ASSERT_TRUE(logind->ready());
        addSession("c2", getuid() + 1, "other");
        addSession("c1", getuid(), "tester");
        // The template's own GetUser fails on its unsigned argument.
        call(system_, kLogind, "/org/freedesktop/login1", kMock, "AddMethod",
             g_variant_new("(sssss)", kManager, "GetUser", "u", "o", "ret = '/org/freedesktop/login1/user/%d' % args[0]"));
        if (byPid) {
            call(system_, kLogind, "/org/freedesktop/login1", kMock, "AddMethod",
                 g_variant_new("(sssss)", kManager, "GetSessionByPID", "u", "o", "ret = '/org/freedesktop/login1/session/c1'"));
        }
    }
    void addSession(const char* id, uid_t uid, const char* name) {
        call(system_, kLogind, "/org/freedesktop/login1", kMock, "AddSession",
             g_variant_new("(ssusb)", id, "seat0", static_cast<guint32>(uid), name, TRUE));
    }
    void startScreenSaver() {
        saver.emplace(session_, "org.gnome.ScreenSaver", std::vector<std::string>{"--template", "gnome_screensaver"});
        ASSERT_TRUE(saver->ready());
    }
    void startDisplayConfig() {
        displayConfig.emplace(session_, kDisplayConfig,
                              std::vector<std::string>{kDisplayConfig, kDisplayConfigPath, kDisplayConfig});
        ASSERT_TRUE(displayConfig->ready());
        call(session_, kDisplayConfig, kDisplayConfigPath, kMock, "AddProperty",
             g_variant_new("(ssv)", "", "PowerSaveMode", g_variant_new_int32(0)));
    }

    // The session source and a detector on it, pulsing a selected control; waits for the first pulse.
    void startDetector(bool expectPulse = true) {
        startSource();
        rig.emplace(1.0, source);
        rig->start();
        ASSERT_TRUE(rig->waitOnline());
        auto hub = std::make_shared<Hubstation>(TestController::kSerialNo, hs.address(), "", TestController::kUser,
                                                TestController::kPassword);
        det().didReceiveSelectedHubstation(hub);
        det().didReceiveSelectedPresenceControl(std::make_shared<PresenceControl>("0f1e-pd", "Motion", "R1", "Kitchen"));
        if (expectPulse) {
            ASSERT_TRUE(waitPulses(1));
        }
    }
    // The session source, once every service has answered.
    void startSource() {
        source = platform::SessionNoticeSource::system();
        ASSERT_TRUE(testutil::spinUntil([&] { return source->settled(); }, kWait));
    }
    PresenceDetector& det() { return rig->detector(); }
    std::size_t pulses() const { return hs.commands().size(); }
    bool waitPulses(std::size_t n) { return testutil::spinUntil([&] { return pulses() >= n; }, kWait); }
    bool noticeHolds(const char* notice) const {
        for (const auto& n : source->currentNotices()) {
            if (n == notice) return true;
        }
        return false;
    }
    bool waitNotice(const char* notice, bool holds) {
        return testutil::spinUntil([&] { return noticeHolds(notice) == holds; }, kWait);
    }
    // Nothing goes out for a while.
    void expectNoPulseFrom(std::size_t count) {
        platform::runMainLoopFor(0.3);
        EXPECT_EQ(pulses(), count) << "no pulse while away";
        EXPECT_FALSE(det().pendingPresenceInterval());
    }

    void lockSignal(const char* path, bool lock) {
        call(system_, kLogind, path, kSessionIface, lock ? "Lock" : "Unlock", nullptr);
    }
    void lockedHint(const char* path, bool locked) {
        call(system_, kLogind, path, kSessionIface, "SetLockedHint", g_variant_new("(b)", locked));
    }
    void prepareForSleep(bool sleeping) {
        GVariantBuilder args;
        g_variant_builder_init(&args, G_VARIANT_TYPE("av"));
        g_variant_builder_add(&args, "v", g_variant_new_boolean(sleeping));
        call(system_, kLogind, "/org/freedesktop/login1", kMock, "EmitSignal",
             g_variant_new("(sssav)", kManager, "PrepareForSleep", "b", &args));
    }
    void screenSaver(bool active) {
        call(session_, "org.gnome.ScreenSaver", "/org/gnome/ScreenSaver", "org.gnome.ScreenSaver", "SetActive",
             g_variant_new("(b)", active));
    }
    void powerSaveMode(int mode) {
        GVariantBuilder props;
        g_variant_builder_init(&props, G_VARIANT_TYPE("a{sv}"));
        g_variant_builder_add(&props, "{sv}", "PowerSaveMode", g_variant_new_int32(mode));
        call(session_, kDisplayConfig, kDisplayConfigPath, kMock, "UpdateProperties", g_variant_new("(sa{sv})", "", &props));
    }

    GDBusConnection* system_ = nullptr;
    GDBusConnection* session_ = nullptr;
    TestController hs;
    std::optional<Mock> logind, saver, displayConfig;
    std::shared_ptr<platform::SessionNoticeSource> source;
    std::optional<testutil::CompanionRig> rig;
};

TEST_F(SessionPresenceTest, LockAndUnlockOfTheOwnSession) {
    struct Case {
        const char* name;
        bool signal, hint;
    };
    const Case cases[] = {{"signal only", true, false}, {"LockedHint only", false, true}, {"both", true, true}};
    startLogind();
    startDetector();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.signal) lockSignal(kOwnSession, true);
        if (c.hint) lockedHint(kOwnSession, true);
        ASSERT_TRUE(testutil::spinUntil([&] { return !det().userIsPresent(); }, kWait));
        std::size_t before = pulses();
        expectNoPulseFrom(before);

        if (c.hint) lockedHint(kOwnSession, false);
        if (c.signal) lockSignal(kOwnSession, false);
        ASSERT_TRUE(waitPulses(before + 1)) << "the unlock pulses at once";
        EXPECT_TRUE(det().userIsPresent());
        platform::runMainLoopFor(0.3);
        EXPECT_EQ(pulses(), before + 1) << "one unlock, one pulse";
    }
}

TEST_F(SessionPresenceTest, SignalsNotOfThisSessionOrNotFromTheServicesAreIgnored) {
    startLogind();
    startDisplayConfig();
    startDetector();
    SignalCounter locks(system_, kSessionIface, "Lock");
    SignalCounter sleeps(system_, kManager, "PrepareForSleep");
    SignalCounter sessionProperties(system_, "org.freedesktop.DBus.Properties", "PropertiesChanged");
    SignalCounter displayProperties(session_, "org.freedesktop.DBus.Properties", "PropertiesChanged");

    // Fast user switching: the other user's session locks.
    lockSignal(kOtherSession, true);
    lockedHint(kOtherSession, true);
    ASSERT_TRUE(locks.waitFor(1));
    ASSERT_TRUE(sessionProperties.waitFor(1));

    // A local process that is not the service, on the same bus: broadcast and sent to us alone.
    auto changed = [](const char* iface, const char* name, GVariant* value) {
        GVariantBuilder props;
        g_variant_builder_init(&props, G_VARIANT_TYPE("a{sv}"));
        g_variant_builder_add(&props, "{sv}", name, value);
        return g_variant_new("(sa{sv}as)", iface, &props, nullptr);
    };
    g_autoptr(GDBusConnection) systemFaker = testutil::newBusConnection(G_BUS_TYPE_SYSTEM);
    g_autoptr(GDBusConnection) sessionFaker = testutil::newBusConnection(G_BUS_TYPE_SESSION);
    ASSERT_TRUE(systemFaker && sessionFaker);
    struct Forged {
        GDBusConnection* from;
        GDBusConnection* to;
        const char* path;
        const char* iface;
        const char* member;
        std::function<GVariant*()> args;
    };
    const Forged forged[] = {
        {systemFaker, system_, kOwnSession, kSessionIface, "Lock", [] { return static_cast<GVariant*>(nullptr); }},
        {systemFaker, system_, "/org/freedesktop/login1", kManager, "PrepareForSleep",
         [] { return g_variant_new("(b)", TRUE); }},
        {systemFaker, system_, kOwnSession, "org.freedesktop.DBus.Properties", "PropertiesChanged",
         [&] { return changed(kSessionIface, "LockedHint", g_variant_new_boolean(TRUE)); }},
        {sessionFaker, session_, kDisplayConfigPath, "org.freedesktop.DBus.Properties", "PropertiesChanged",
         [&] { return changed(kDisplayConfig, "PowerSaveMode", g_variant_new_int32(3)); }},
    };
    for (const auto& f : forged) {
        for (const char* destination : {static_cast<const char*>(nullptr), g_dbus_connection_get_unique_name(f.to)}) {
            ASSERT_TRUE(g_dbus_connection_emit_signal(f.from, destination, f.path, f.iface, f.member, f.args(), nullptr))
                << f.member;
        }
    }
    g_dbus_connection_flush_sync(systemFaker, nullptr, nullptr);
    g_dbus_connection_flush_sync(sessionFaker, nullptr, nullptr);
    ASSERT_TRUE(locks.waitFor(3));
    ASSERT_TRUE(sleeps.waitFor(2));
    ASSERT_TRUE(sessionProperties.waitFor(3));
    ASSERT_TRUE(displayProperties.waitFor(2));
    g_clear_object(&systemFaker);
    g_clear_object(&sessionFaker);

    EXPECT_TRUE(det().userIsPresent());
    EXPECT_FALSE(noticeHolds(platform::kSessionScreenIsLockedNotice));
    EXPECT_FALSE(noticeHolds(platform::kSessionScreensDidSleepNotice));
    EXPECT_TRUE(det().pendingPresenceInterval()) << "detection goes on";

    // The services themselves still count.
    powerSaveMode(3);
    ASSERT_TRUE(waitNotice(platform::kSessionScreensDidSleepNotice, true));
    powerSaveMode(0);
    ASSERT_TRUE(waitNotice(platform::kSessionScreensDidSleepNotice, false));
    lockSignal(kOwnSession, true);
    ASSERT_TRUE(testutil::spinUntil([&] { return !det().userIsPresent(); }, kWait));
}

TEST_F(SessionPresenceTest, SleepAndWakeWhileLockedWaitsForTheUnlock) {
    startLogind();
    startDetector();
    lockedHint(kOwnSession, true);
    ASSERT_TRUE(testutil::spinUntil([&] { return !det().userIsPresent(); }, kWait));
    SignalCounter sleeps(system_, kManager, "PrepareForSleep");
    prepareForSleep(true);
    prepareForSleep(false);
    ASSERT_TRUE(sleeps.waitFor(2));
    std::size_t before = pulses();
    expectNoPulseFrom(before);
    lockedHint(kOwnSession, false);
    ASSERT_TRUE(waitPulses(before + 1));

    // Asleep and awake while unlocked: one pulse on the wake.
    prepareForSleep(true);
    ASSERT_TRUE(testutil::spinUntil([&] { return !det().userIsPresent(); }, kWait));
    prepareForSleep(false);
    ASSERT_TRUE(waitPulses(before + 2));
}

TEST_F(SessionPresenceTest, ScreensOffAndOn) {
    startLogind();
    startDisplayConfig();
    startDetector();
    for (int off : {3, 1}) {
        SCOPED_TRACE(off);
        powerSaveMode(off);
        ASSERT_TRUE(waitNotice(platform::kSessionScreensDidSleepNotice, true));
        EXPECT_FALSE(det().userIsPresent());
        std::size_t before = pulses();
        expectNoPulseFrom(before);
        powerSaveMode(0);
        ASSERT_TRUE(waitPulses(before + 1));
    }
}

TEST_F(SessionPresenceTest, ScreenSaverWhileLocked) {
    startLogind();
    startScreenSaver();
    startDetector();
    lockSignal(kOwnSession, true);
    screenSaver(true);
    ASSERT_TRUE(waitNotice(platform::kSessionScreensaverDidStartNotice, true));
    std::size_t before = pulses();
    lockSignal(kOwnSession, false);
    ASSERT_TRUE(waitNotice(platform::kSessionScreenIsLockedNotice, false));
    expectNoPulseFrom(before);
    EXPECT_FALSE(det().userIsPresent()) << "the screen saver still runs";
    screenSaver(false);
    ASSERT_TRUE(waitPulses(before + 1));
}

TEST_F(SessionPresenceTest, NetworkLossAndReturnWhileLocked) {
    startLogind();
    startDetector();
    lockedHint(kOwnSession, true);
    ASSERT_TRUE(testutil::spinUntil([&] { return !det().userIsPresent(); }, kWait));
    std::size_t before = pulses();
    rig->network->setFlags(0);
    ASSERT_TRUE(testutil::spinUntil([&] { return !det().isOnline(); }, kWait));
    rig->network->setFlags(platform::kReachabilityFlagReachable);
    ASSERT_TRUE(testutil::spinUntil([&] { return det().isOnline(); }, kWait));
    expectNoPulseFrom(before);
    lockedHint(kOwnSession, false);
    ASSERT_TRUE(waitPulses(before + 1));
}

TEST_F(SessionPresenceTest, ControllerRecordRewrittenWhileLocked) {
    startLogind();
    startDetector();
    lockSignal(kOwnSession, true);
    ASSERT_TRUE(testutil::spinUntil([&] { return !det().userIsPresent(); }, kWait));
    std::size_t before = pulses();
    // What the model hands over when the record of the selected controller changes.
    auto rewritten = std::make_shared<Hubstation>(*det().hubstation());
    det().didReceiveSelectedHubstation(rewritten);
    expectNoPulseFrom(before);
    EXPECT_EQ(det().hubstation(), rewritten);
    lockSignal(kOwnSession, false);
    ASSERT_TRUE(waitPulses(before + 1));
}

TEST_F(SessionPresenceTest, AllFourPresentAgainPulsesAtOnce) {
    startLogind();
    startScreenSaver();
    startDisplayConfig();
    startDetector();
    lockedHint(kOwnSession, true);
    screenSaver(true);
    powerSaveMode(3);
    rig->network->setFlags(0);
    ASSERT_TRUE(waitNotice(platform::kSessionScreenIsLockedNotice, true));
    ASSERT_TRUE(waitNotice(platform::kSessionScreensaverDidStartNotice, true));
    ASSERT_TRUE(waitNotice(platform::kSessionScreensDidSleepNotice, true));
    ASSERT_TRUE(testutil::spinUntil([&] { return !det().isOnline(); }, kWait));
    std::size_t before = pulses();

    // Three of four back: still nothing.
    powerSaveMode(0);
    ASSERT_TRUE(waitNotice(platform::kSessionScreensDidSleepNotice, false));
    rig->network->setFlags(platform::kReachabilityFlagReachable);
    ASSERT_TRUE(testutil::spinUntil([&] { return det().isOnline(); }, kWait));
    screenSaver(false);
    ASSERT_TRUE(waitNotice(platform::kSessionScreensaverDidStartNotice, false));
    expectNoPulseFrom(before);

    lockedHint(kOwnSession, false);
    ASSERT_TRUE(waitNotice(platform::kSessionScreenIsLockedNotice, false));
    // The transition itself sends: the pulse timer is due at once.
    if (pulses() == before) {
        EXPECT_EQ(det().pendingPresenceInterval(), 0.0);
    }
    ASSERT_TRUE(waitPulses(before + 1));
}

TEST_F(SessionPresenceTest, StateAtStartUpCounts) {
    startLogind();
    startScreenSaver();
    startDisplayConfig();
    lockedHint(kOwnSession, true);
    screenSaver(true);
    powerSaveMode(2);
    startDetector(false);
    EXPECT_FALSE(det().userIsPresent());
    expectNoPulseFrom(0);
    lockedHint(kOwnSession, false);
    screenSaver(false);
    ASSERT_TRUE(waitNotice(platform::kSessionScreensaverDidStartNotice, false));
    ASSERT_TRUE(waitNotice(platform::kSessionScreenIsLockedNotice, false));
    expectNoPulseFrom(0);
    powerSaveMode(0);
    ASSERT_TRUE(waitPulses(1));
}

// A service that hangs holds up nothing: the main loop keeps turning while the others are heard,
// and the hung one's state counts once it answers.
TEST_F(SessionPresenceTest, AHungServiceHoldsUpNothing) {
    // One call that waits for its answer stalls for seconds; scheduling on a loaded machine for
    // far less.
    constexpr double kLongestStall = 1.0;
    // What each service reports here: logind, the screen saver, the display configuration.
    const char* const notices[] = {platform::kSessionScreenIsLockedNotice, platform::kSessionScreensaverDidStartNotice,
                                   platform::kSessionScreensDidSleepNotice};
    struct Case {
        const char* name;
        std::size_t hung;  // which service
    };
    const Case cases[] = {{"logind", 0}, {"screen saver", 1}, {"display configuration", 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        startLogind();
        startScreenSaver();
        startDisplayConfig();
        lockedHint(kOwnSession, true);
        screenSaver(true);
        powerSaveMode(3);
        std::optional<Mock>* services[] = {&logind, &saver, &displayConfig};
        Mock& hung = **services[c.hung];
        const char* late = notices[c.hung];
        hung.pause();
        {
            LoopWatch watch;
            source = platform::SessionNoticeSource::system();
            for (const char* notice : notices) {
                if (notice != late) {
                    ASSERT_TRUE(waitNotice(notice, true)) << notice;
                }
            }
            EXPECT_FALSE(noticeHolds(late));
            EXPECT_FALSE(source->settled());
            EXPECT_LT(watch.longestGap(), kLongestStall);
        }
        hung.resume();
        ASSERT_TRUE(waitNotice(late, true));
        ASSERT_TRUE(testutil::spinUntil([&] { return source->settled(); }, kWait));

        lockedHint(kOwnSession, false);
        screenSaver(false);
        powerSaveMode(0);
        for (const char* notice : notices) ASSERT_TRUE(waitNotice(notice, false)) << notice;
        source.reset();
        logind.reset();
        saver.reset();
        displayConfig.reset();
    }
}

// The session followed: this process's, else XDG_SESSION_ID when it is this user's, else the
// user's display session.
TEST_F(SessionPresenceTest, FindsItsOwnSession) {
    struct Case {
        const char* name;
        bool byPid;
        const char* sessionId;      // XDG_SESSION_ID, or null
        const char* userDisplay;    // the user object's display session, or null
        const char* followed;       // the session whose lock counts, or null for none
    };
    const Case cases[] = {
        {"by process", true, "c2", "c2", kOwnSession},
        {"by XDG_SESSION_ID", false, "c1", nullptr, kOwnSession},
        {"another user's XDG_SESSION_ID: the display session", false, "c2", "c1", kOwnSession},
        {"the user's display session", false, nullptr, "c1", kOwnSession},
        {"none", false, nullptr, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        startLogind(c.byPid);
        if (c.sessionId) setenv("XDG_SESSION_ID", c.sessionId, 1);
        if (c.userDisplay) {
            std::string path = std::string("/org/freedesktop/login1/session/") + c.userDisplay;
            std::string user = "/org/freedesktop/login1/user/" + std::to_string(getuid());
            call(system_, kLogind, user.c_str(), "org.freedesktop.DBus.Properties", "Set",
                 g_variant_new("(ssv)", "org.freedesktop.login1.User", "Display",
                               g_variant_new("(so)", c.userDisplay, path.c_str())));
        }
        testutil::LogCapture logs;
        source = platform::SessionNoticeSource::system();
        unsetenv("XDG_SESSION_ID");
        ASSERT_TRUE(testutil::spinUntil([&] { return source->settled(); }, kWait));
        SignalCounter locks(system_, kSessionIface, "Lock");
        lockSignal(kOtherSession, true);
        if (c.followed) {
            lockSignal(c.followed, true);
            ASSERT_TRUE(waitNotice(platform::kSessionScreenIsLockedNotice, true));
            lockSignal(c.followed, false);
            ASSERT_TRUE(waitNotice(platform::kSessionScreenIsLockedNotice, false));
        } else {
            lockSignal(kOwnSession, true);
            ASSERT_TRUE(locks.waitFor(2));
            EXPECT_FALSE(noticeHolds(platform::kSessionScreenIsLockedNotice));
            EXPECT_TRUE(logs.containsSubstring("knows no session of this process or user"));
        }
        source.reset();
        logind.reset();
    }
}

TEST_F(SessionPresenceTest, MissingServicesAreSkippedWithOneLineEach) {
    testutil::LogCapture logs;
    startDetector();
    auto count = [&](const std::string& part) {
        int n = 0;
        for (const auto& l : logs.lines()) n += l.find(part) != std::string::npos;
        return n;
    };
    EXPECT_EQ(count("logind is not on the system bus"), 1);
    EXPECT_EQ(count("no screen saver on the session bus"), 1);
    EXPECT_EQ(count("nothing reports the screens' power state"), 1) << "Xvfb has no DPMS";
    EXPECT_TRUE(det().userIsPresent()) << "nothing says away";
    std::size_t before = pulses();
    det().didReceiveSelectedHubstation(std::make_shared<Hubstation>(*det().hubstation()));
    ASSERT_TRUE(waitPulses(before + 1)) << "detection goes on";
}

}  // namespace
