// Start-up time: from the start of a fresh process to the page's "deviceready" for the program
// (build/kivano with a copy of the build's bundle whose start page is the one below), beside a
// bare GTK window with a WebKitGTK view (bench_start_bare) loading the same page to its load
// event. Both pages tell it by console.log, which each program prints on its output; the time
// runs from just before the process is spawned to the moment that line is read. A warm-up of
// both, then five rounds of one run each, interleaved; medians.
// Last line: "ratio: R", the program's median time over the bare window's.
// Run under a display and a bus: tests/harness/run-test --display --bus -- build/bench/bench_start
#include <dirent.h>
#include <gio/gio.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_cpu.h"
#include "tests/support/program_run.h"
#include "tests/support/test_util.h"

using Clock = std::chrono::steady_clock;
using testutil::ProgramRun;

namespace {

const int kRounds = 5;
const std::string kDeviceReady = "bench-start: deviceready";
const std::string kLoaded = "bench-start: load";

// The program's page reports "deviceready"; without the bridge (the bare window) it reports its
// load event, which is where the program's library starts "deviceready" too.
const char* const kPage = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Kivano</title>
<script src="js/webhost.js"></script>
<script>
document.addEventListener('deviceready', function () { console.log('bench-start: deviceready'); });
window.addEventListener('load', function () { if (!window.webhostbridge) console.log('bench-start: load'); });
</script></head>
<body><h1>Kivano</h1><p>Start page.</p></body></html>
)";

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
    GVariant* r = g_dbus_connection_call_sync(sessionBus(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", KIVANO_BUNDLE_ID),
                                              G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
    if (!r) return false;
    gboolean owned = FALSE;
    g_variant_get(r, "(b)", &owned);
    g_variant_unref(r);
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

// Milliseconds from the spawn of one fresh process to its page's line; then the process and its
// web-engine helpers are ended and gone before the next run.
double timeToPage(const ProgramRun::Options& options, const std::string& line, const char* what) {
    if (!waitFor([] { return !applicationNameOwned(); }, 10)) {
        std::printf("%s: an earlier instance still holds %s on the bus\n", what, KIVANO_BUNDLE_ID);
        std::exit(1);
    }
    double ms = -1;
    std::vector<pid_t> helpers;
    {
        auto t0 = Clock::now();
        ProgramRun run(options);
        if (run.pid() == 0) {
            std::printf("%s: cannot start %s\n", what, options.program.empty() ? "the program" : options.program.c_str());
            std::exit(1);
        }
        bool seen = run.waitForLine(line, 60);
        auto t1 = Clock::now();
        if (!seen) {
            std::printf("%s: no \"%s\" within 60 s\n%s", what, line.c_str(), run.transcript().c_str());
            std::exit(1);
        }
        ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
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
    return ms;
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

    timeToPage(ours, kDeviceReady, "program (warm-up)");
    timeToPage(bare, kLoaded, "bare window (warm-up)");
    std::vector<double> oursMs, bareMs;
    for (int i = 0; i < kRounds; ++i) {
        oursMs.push_back(timeToPage(ours, kDeviceReady, "program"));
        bareMs.push_back(timeToPage(bare, kLoaded, "bare window"));
        std::printf("round %d: program %.1f ms, bare window %.1f ms\n", i + 1, oursMs.back(), bareMs.back());
        std::fflush(stdout);
    }
    double o = benchutil::median(oursMs), b = benchutil::median(bareMs);
    std::printf("process start to deviceready, program (median of %d): %.1f ms\n", kRounds, o);
    std::printf("process start to the page's load, bare GTK window with a WebKitGTK view (median of %d): %.1f ms\n",
                kRounds, b);
    std::printf("ratio: %.3f\n", o / b);
    return 0;
}
