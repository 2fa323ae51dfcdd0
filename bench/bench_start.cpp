// Start-up time: from the start of a fresh process to the page's "deviceready" for the program
// (build/kivano with a copy of the build's bundle whose start page is the one below), beside a
// bare GTK window with a WebKitGTK view (bench_start_bare) loading the same page to its load
// event. Both pages tell it by console.log, which each program prints on its output; the time
// runs from just before the process is spawned to the moment that line is read. A warm-up of
// both, then seven rounds of one run each, interleaved; medians.
// Milestones of both, from the spawn: the first map of one of its windows (seen on the display),
// the start of the page's navigation (performance.timeOrigin), the page's first script; and the
// shared libraries it has mapped when the page is ready.
// Last line: "ratio: R", the program's median time over the bare window's.
// Run under a display and a bus: tests/harness/run-test --display --bus -- build/bench/bench_start
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <dirent.h>
#include <gio/gio.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_cpu.h"
#include "tests/support/program_run.h"
#include "tests/support/test_util.h"

using Clock = std::chrono::steady_clock;
using testutil::ProgramRun;

namespace {

const int kRounds = 7;
const std::string kDeviceReady = "bench-start: deviceready ";
const std::string kLoaded = "bench-start: load ";

// The program's page reports "deviceready"; without the bridge (the bare window) it reports its
// load event, which is where the program's library starts "deviceready" too. Each line carries
// the navigation's start and the first script's time, in milliseconds of the epoch.
const char* const kPage = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Kivano</title>
<script>var benchFirstScript = Date.now();</script>
<script src="js/webhost.js"></script>
<script>
function benchTimes() { return JSON.stringify([performance.timeOrigin, benchFirstScript]); }
document.addEventListener('deviceready', function () { console.log('bench-start: deviceready ' + benchTimes()); });
window.addEventListener('load', function () { if (!window.webhostbridge) console.log('bench-start: load ' + benchTimes()); });
</script></head>
<body><h1>Kivano</h1><p>Start page.</p></body></html>
)";

double epochMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The first map of each top-level window on the display, with the process that owns it
// (_NET_WM_PID), as a thread of its own sees them.
class MapWatch {
public:
    MapWatch() {
        display_ = XOpenDisplay(nullptr);
        if (!display_ || ::pipe(stop_) != 0) return;
        pid_ = XInternAtom(display_, "_NET_WM_PID", False);
        XSelectInput(display_, DefaultRootWindow(display_), SubstructureNotifyMask);
        XFlush(display_);
        thread_ = std::thread([this] { run(); });
    }
    ~MapWatch() {
        if (thread_.joinable()) {
            char one = 1;
            (void)!::write(stop_[1], &one, 1);
            thread_.join();
        }
        if (display_) XCloseDisplay(display_);
    }
    // Epoch milliseconds of the first window of `pid` mapped at or after `since`; negative when none.
    double firstMapOf(pid_t pid, double since) {
        std::lock_guard lock(mutex_);
        for (const auto& [ms, owner] : maps_) {
            if (owner == pid && ms >= since) return ms;
        }
        return -1;
    }

private:
    void run() {
        for (;;) {
            while (XPending(display_)) {
                XEvent e;
                XNextEvent(display_, &e);
                if (e.type != MapNotify) continue;
                double ms = epochMs();
                long owner = ownerOf(e.xmap.window);
                std::lock_guard lock(mutex_);
                maps_.emplace_back(ms, static_cast<pid_t>(owner));
            }
            pollfd p[2] = {{ConnectionNumber(display_), POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (::poll(p, 2, -1) < 0 && errno != EINTR) return;
            if (p[1].revents) return;
        }
    }
    long ownerOf(Window w) {
        Atom type;
        int format;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        long owner = 0;
        if (XGetWindowProperty(display_, w, pid_, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after, &data) == Success &&
            data && count == 1 && format == 32) {
            owner = *reinterpret_cast<long*>(data);
        }
        if (data) XFree(data);
        return owner;
    }
    Display* display_ = nullptr;
    Atom pid_ = 0;
    int stop_[2] = {-1, -1};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::pair<double, pid_t>> maps_;
};

// The shared libraries the process has mapped.
int sharedLibraries(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::set<std::string> libraries;
    std::string line;
    while (std::getline(maps, line)) {
        auto slash = line.find('/');
        if (slash == std::string::npos) continue;
        std::string path = line.substr(slash);
        if (path.find(".so") != std::string::npos) libraries.insert(path);
    }
    return static_cast<int>(libraries.size());
}

// One run's milestones, in milliseconds from the spawn (negative: not seen).
struct Milestones {
    double ready = -1, windowMap = -1, navigation = -1, firstScript = -1;
    int libraries = 0;
};

std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> out;
    DIR* d = opendir("/proc");
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream status("/proc/" + name + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("PPid:", 0) == 0) {
                if (std::stol(line.substr(5)) == parent) out.push_back(std::stoi(name));
                break;
            }
        }
    }
    closedir(d);
    return out;
}

std::vector<pid_t> descendantsOf(pid_t root) {
    std::vector<pid_t> out, todo{root};
    while (!todo.empty()) {
        pid_t p = todo.back();
        todo.pop_back();
        for (pid_t c : childrenOf(p)) {
            out.push_back(c);
            todo.push_back(c);
        }
    }
    return out;
}

bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return false;
    auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

// Orphaned helper processes of a run come to this process (a subreaper); reap them.
void reapOrphans() {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

GDBusConnection* sessionBus() {
    static GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    return bus;
}

// Whether a program instance still holds the application's name on the session bus (a new one
// would hand its command line to it and quit).
bool applicationNameOwned() {
    if (!sessionBus()) return false;
    g_autoptr(GVariant) r = g_dbus_connection_call_sync(sessionBus(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", KIVANO_BUNDLE_ID),
                                              G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
    if (!r) return false;
    gboolean owned = FALSE;
    g_variant_get(r, "(b)", &owned);
    return owned;
}

template <typename F>
bool waitFor(F done, double seconds) {
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (Clock::now() > end) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// The milestones of one fresh process up to its page's line; then the process and its web-engine
// helpers are ended and gone before the next run.
Milestones timeToPage(MapWatch& maps, const ProgramRun::Options& options, const std::string& prefix, const char* what) {
    if (!waitFor([] { return !applicationNameOwned(); }, 10)) {
        std::printf("%s: an earlier instance still holds %s on the bus\n", what, KIVANO_BUNDLE_ID);
        std::exit(1);
    }
    Milestones m;
    std::vector<pid_t> helpers;
    {
        const double e0 = epochMs();
        auto t0 = Clock::now();
        ProgramRun run(options);
        if (run.pid() == 0) {
            std::printf("%s: cannot start %s\n", what, options.program.empty() ? "the program" : options.program.c_str());
            std::exit(1);
        }
        std::string line;
        bool seen = run.waitForLine(
            [&](const std::string& l) {
                if (l.rfind(prefix, 0) != 0) return false;
                line = l;
                return true;
            },
            60);
        auto t1 = Clock::now();
        if (!seen) {
            std::printf("%s: no \"%s\" within 60 s\n%s", what, prefix.c_str(), run.transcript().c_str());
            std::exit(1);
        }
        m.ready = std::chrono::duration<double, std::milli>(t1 - t0).count();
        m.libraries = sharedLibraries(run.pid());
        double origin = -1, script = -1;
        char bracket = 0, comma = 0;
        std::istringstream times(line.substr(prefix.size()));
        if (times >> bracket >> origin >> comma >> script) {
            m.navigation = origin - e0;
            m.firstScript = script - e0;
        }
        // The map may be reported a moment after the page's line.
        waitFor([&] { return maps.firstMapOf(run.pid(), e0) >= 0; }, 2);
        double map = maps.firstMapOf(run.pid(), e0);
        if (map >= 0) m.windowMap = map - e0;
        helpers = descendantsOf(run.pid());
    }  // killed and reaped here
    if (!waitFor([&] {
            reapOrphans();
            return std::none_of(helpers.begin(), helpers.end(), alive);
        }, 10)) {
        for (pid_t p : helpers) {
            if (alive(p)) ::kill(p, SIGKILL);
        }
        waitFor([&] {
            reapOrphans();
            return std::none_of(helpers.begin(), helpers.end(), alive);
        }, 5);
    }
    waitFor([] { return !applicationNameOwned(); }, 10);
    return m;
}

std::string milestonesText(const std::vector<Milestones>& runs) {
    auto med = [&](double Milestones::*field) {
        std::vector<double> v;
        for (const auto& r : runs) v.push_back(r.*field);
        return benchutil::median(v);
    };
    std::vector<double> libraries;
    for (const auto& r : runs) libraries.push_back(r.libraries);
    char buf[256];
    std::snprintf(buf, sizeof buf, "window map %.0f ms, navigation start %.0f ms, first page script %.0f ms, ready %.0f ms; "
                  "%.0f shared libraries mapped",
                  med(&Milestones::windowMap), med(&Milestones::navigation), med(&Milestones::firstScript),
                  med(&Milestones::ready), benchutil::median(libraries));
    return buf;
}

}  // namespace

int main() {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);

    testutil::TempDir bundle;
    std::error_code error;
    std::filesystem::copy(testutil::bundleDir(), bundle.path(),
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing,
                          error);
    if (error) {
        std::printf("cannot copy the bundle %s: %s\n", testutil::bundleDir().c_str(), error.message().c_str());
        return 1;
    }
    testutil::writeFile(bundle.path() + "/www/index.html", kPage);

    ProgramRun::Options ours;
    ours.environment["KIVANO_BUNDLE_DIR"] = bundle.path();
    ProgramRun::Options bare;
    bare.program = BENCH_START_BARE;
    bare.arguments = {bundle.path() + "/www/index.html"};

    MapWatch maps;
    timeToPage(maps, ours, kDeviceReady, "program (warm-up)");
    timeToPage(maps, bare, kLoaded, "bare window (warm-up)");
    std::vector<Milestones> oursRuns, bareRuns;
    std::vector<double> oursMs, bareMs;
    for (int i = 0; i < kRounds; ++i) {
        oursRuns.push_back(timeToPage(maps, ours, kDeviceReady, "program"));
        bareRuns.push_back(timeToPage(maps, bare, kLoaded, "bare window"));
        oursMs.push_back(oursRuns.back().ready);
        bareMs.push_back(bareRuns.back().ready);
        const Milestones &o = oursRuns.back(), &b = bareRuns.back();
        std::printf("round %d: program %.1f ms (window map %.0f, navigation %.0f, first script %.0f), bare window %.1f ms "
                    "(window map %.0f, navigation %.0f, first script %.0f)\n",
                    i + 1, o.ready, o.windowMap, o.navigation, o.firstScript, b.ready, b.windowMap, b.navigation,
                    b.firstScript);
        std::fflush(stdout);
    }
    double o = benchutil::median(oursMs), b = benchutil::median(bareMs);
    std::printf("milestones from the spawn, program (median of %d): %s\n", kRounds, milestonesText(oursRuns).c_str());
    std::printf("milestones from the spawn, bare window (median of %d): %s\n", kRounds, milestonesText(bareRuns).c_str());
    std::printf("process start to deviceready, program (median of %d): %.1f ms (%s)\n", kRounds, o,
                benchutil::spread(oursMs, "%.0f").c_str());
    std::printf("process start to the page's load, bare GTK window with a WebKitGTK view (median of %d): %.1f ms (%s)\n",
                kRounds, b, benchutil::spread(bareMs, "%.0f").c_str());
    std::printf("ratio: %.3f\n", o / b);
    return 0;
}
