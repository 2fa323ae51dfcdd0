// Bridge throughput: sequential round trips through our bridge against a bare WebKitGTK
// message-handler/evaluate loop, interleaved (after a warm-up of both, five rounds of ours then
// the bare loop); a burst of results to one kept callback beside the same results as single
// evaluations in a bare view; the time to "deviceready"; CPU time of the program and the web
// processes per round trip; peak memory. A second reference: the same count of sequential round
// trips of a small message over a socket pair between two processes (this one and a child that
// echoes), the floor of any round trip between the page's process and ours; ours is printed as a
// share of it.
// Run under a display: tests/harness/run-test --display --bus -- build/bench/bench_bridge
// Last line: "ratio: R", the median over the rounds of our round-trip rate over the bare one.
#include <gtk/gtk.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "bench/bench_cpu.h"
#include "platform/dispatch.h"
#include "tests/support/page_fixture.h"

using Clock = std::chrono::steady_clock;
static const Clock::time_point gStart = Clock::now();

static const int kRounds = 3000;
static const int kWarmUp = 1000;
static const int kBurst = 10000;
static const int kRuns = 5;

// A bare view of the default web context with one script message handler.
struct BareView {
    WebKitWebView* view = nullptr;
    GtkWidget* window = nullptr;
    WebKitUserContentManager* ucm = nullptr;
    std::string last;  // the last "done:" report
    bool loaded = false;
    // Echo: the message's payload goes back in a callback script at once.
    bool echo = true;

    explicit BareView(const std::string& page) {
        ucm = webkit_user_content_manager_new();
        g_signal_connect(ucm, "script-message-received::bare", G_CALLBACK(&BareView::onMessage), this);
        webkit_user_content_manager_register_script_message_handler(ucm, "bare");
        view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", ucm, nullptr));
        window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_default_size(GTK_WINDOW(window), 400, 300);
        gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));
        gtk_widget_show_all(window);
        g_signal_connect(view, "load-changed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent e, gpointer p) {
                             if (e == WEBKIT_LOAD_FINISHED) static_cast<BareView*>(p)->loaded = true;
                         }), this);
        webkit_web_view_load_html(view, page.c_str(), "file:///bench/");
        platform::runMainLoopUntil([&] { return loaded; }, 60);
    }
    ~BareView() {
        gtk_widget_destroy(window);
        g_object_unref(ucm);
    }
    void evaluate(const std::string& script) {
        webkit_web_view_evaluate_javascript(view, script.c_str(), -1, nullptr, nullptr, nullptr, nullptr, nullptr);
    }
    // Runs the script and waits for the page's "done:<ms>"; answers the milliseconds (-1 on time-out).
    double run(const std::string& script) {
        last.clear();
        evaluate(script);
        platform::runMainLoopUntil([&] { return !last.empty(); }, 120);
        return last.empty() ? -1 : std::stod(last);
    }
    static void onMessage(WebKitUserContentManager*, WebKitJavascriptResult* r, gpointer self) {
        auto* b = static_cast<BareView*>(self);
        g_autofree char* text = jsc_value_to_string(webkit_javascript_result_get_js_value(r));
        std::string s = text ? text : "";
        if (s.rfind("done:", 0) == 0) {
            b->last = s.substr(5);
            return;
        }
        if (b->echo) b->evaluate("window.__cb(" + s + ")");
    }
};

static const char* kBarePage =
    "<html><body><script>"
    "var n=0,N=0,t0=0;"
    "window.__cb=function(v){if(++n>=N){window.webkit.messageHandlers.bare.postMessage('done:'+(performance.now()-t0));return;}"
    "window.webkit.messageHandlers.bare.postMessage(JSON.stringify([n]));};"
    "window.seq=function(count){n=0;N=count;t0=performance.now();window.webkit.messageHandlers.bare.postMessage(JSON.stringify([0]));};"
    "var got=0;window.nativeCallback=function(id,st,m,k){if(got===0)t0=performance.now();"
    "if(++got===N)window.webkit.messageHandlers.bare.postMessage('done:'+(performance.now()-t0));};"
    "window.expect=function(count){got=0;N=count;};"
    "</script></body></html>";

struct Sample {
    double ms = -1;
    double uiCpu = 0;
    double webCpu = 0;
    double switches = 0;  // context switches of both processes
};

template <typename Run>
static Sample measure(const std::set<int>& web, Run run) {
    double ui0 = benchutil::cpuSeconds(getpid()), web0 = benchutil::cpuSeconds(web);
    double sw0 = benchutil::contextSwitches(getpid()) + benchutil::contextSwitches(web);
    Sample s;
    s.ms = run();
    s.uiCpu = benchutil::cpuSeconds(getpid()) - ui0;
    s.webCpu = benchutil::cpuSeconds(web) - web0;
    s.switches = benchutil::contextSwitches(getpid()) + benchutil::contextSwitches(web) - sw0;
    return s;
}

// The other process of the socket-pair reference: echoes what it reads until the pair closes.
struct Echo {
    int fd = -1;
    pid_t pid = -1;
    static constexpr std::size_t kMessage = 64;

    Echo() {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
        pid = ::fork();
        if (pid == 0) {
            ::close(pair[0]);
            char buf[kMessage];
            for (;;) {
                ssize_t n = ::read(pair[1], buf, sizeof buf);
                if (n <= 0) ::_exit(0);
                if (::write(pair[1], buf, static_cast<std::size_t>(n)) != n) ::_exit(1);
            }
        }
        ::close(pair[1]);
        fd = pid > 0 ? pair[0] : -1;
        if (pid < 0) ::close(pair[0]);
    }
    ~Echo() {
        if (fd >= 0) ::close(fd);
        if (pid > 0) ::waitpid(pid, nullptr, 0);
    }
    // Milliseconds for `count` sequential round trips of one message; -1 when the pair failed.
    double run(int count) {
        if (fd < 0) return -1;
        char out[kMessage] = "[1,\"Probe\",\"echo\",[1]]", in[kMessage];
        auto t0 = Clock::now();
        for (int i = 0; i < count; ++i) {
            if (::write(fd, out, sizeof out) != static_cast<ssize_t>(sizeof out)) return -1;
            std::size_t got = 0;
            while (got < sizeof in) {
                ssize_t n = ::read(fd, in + got, sizeof in - got);
                if (n <= 0) return -1;
                got += static_cast<std::size_t>(n);
            }
        }
        return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    }
};

int main() {
    // Before any thread starts: the child of the socket-pair reference.
    Echo echo;
    gtk_init(nullptr, nullptr);
    platform::initMainThread();
    std::string page = "<!DOCTYPE html><html><head>" + testutil::PageFixture::libraryTag() + testutil::PageFixture::reportHelper() +
                       R"(</head><body><script>
      var runs = 0;
      window.seq = function(N){
        var n = 0, t0 = performance.now(), run = ++runs;
        function next(){
          if (n++ === N) { report('seq', run, performance.now() - t0); return; }
          webhost.exec(next, null, 'Probe', 'echo', [n]);
        }
        next();
      };
      window.burst = function(N){
        var got = 0, b0 = performance.now(), run = ++runs;
        webhost.exec(function(v){ if (v === 'done') report('burst', run, performance.now() - b0, got); else got++; },
                     null, 'Probe', 'burst', [N]);
      };
      document.addEventListener('deviceready', function(){ report('ready'); });
    </script></body></html>)";
    testutil::PageFixture fixture({{"index.html", page}});
    if (!fixture.load(60)) {
        std::printf("the page did not become ready\nratio: 0\n");
        return 1;
    }
    double readyMs = std::chrono::duration<double, std::milli>(Clock::now() - gStart).count();
    const std::set<int> ourWeb = benchutil::webProcesses();
    int reports = 0;
    // Runs one page function of ours and waits for its report; answers the page's milliseconds.
    auto ours = [&](const std::string& tag, const std::string& call) -> double {
        std::size_t before = fixture.reportsTagged(tag).size();
        fixture.ui().webView->evaluateScript(call);
        platform::runMainLoopUntil([&] { return fixture.reportsTagged(tag).size() > before; }, 300);
        auto all = fixture.reportsTagged(tag);
        if (all.size() <= before) return -1;
        ++reports;
        return all.back()[2].get<double>();
    };

    BareView bare(kBarePage);
    std::set<int> bareWeb;
    for (int p : benchutil::webProcesses()) {
        if (!ourWeb.count(p)) bareWeb.insert(p);
    }

    std::printf("web processes: ours");
    for (int p : ourWeb) std::printf(" %d", p);
    std::printf(", bare");
    for (int p : bareWeb) std::printf(" %d", p);
    std::printf("\n");
    std::fflush(stdout);

    // Warm-up of both.
    ours("seq", "seq(" + std::to_string(kWarmUp) + ")");
    bare.run("seq(" + std::to_string(kWarmUp) + ")");

    echo.run(kWarmUp);
    std::vector<double> ourRates, bareRates, ratios, ourUi, ourWebCpu, bareUi, bareWebCpu, pairRates, pairShares;
    const std::string n = std::to_string(kRounds);
    for (int run = 0; run < kRuns; ++run) {
        Sample a = measure(ourWeb, [&] { return ours("seq", "seq(" + n + ")"); });
        Sample b = measure(bareWeb, [&] { return bare.run("seq(" + n + ")"); });
        double pairMs = echo.run(kRounds);
        if (a.ms <= 0 || b.ms <= 0 || pairMs <= 0) {
            std::printf("a round did not finish\nratio: 0\n");
            return 1;
        }
        double ra = kRounds / (a.ms / 1000.0), rb = kRounds / (b.ms / 1000.0), rp = kRounds / (pairMs / 1000.0);
        pairRates.push_back(rp);
        pairShares.push_back(ra / rp);
        std::printf("round %d: bridge %.0f/s, bare %.0f/s, ratio %.3f; socket pair %.0f/s, bridge's share %.3f; CPU per round trip: bridge %.1f+%.1f us, bare %.1f+%.1f us "
                    "(program+web process); context switches per round trip: bridge %.1f, bare %.1f\n",
                    run + 1, ra, rb, ra / rb, rp, ra / rp, a.uiCpu / kRounds * 1e6, a.webCpu / kRounds * 1e6, b.uiCpu / kRounds * 1e6,
                    b.webCpu / kRounds * 1e6, a.switches / kRounds, b.switches / kRounds);
        ourRates.push_back(ra);
        bareRates.push_back(rb);
        ratios.push_back(ra / rb);
        ourUi.push_back(a.uiCpu / kRounds * 1e6);
        ourWebCpu.push_back(a.webCpu / kRounds * 1e6);
        bareUi.push_back(b.uiCpu / kRounds * 1e6);
        bareWebCpu.push_back(b.webCpu / kRounds * 1e6);
    }

    // The burst: ours against the same results as single evaluations in the bare view.
    bare.echo = false;
    ours("burst", "burst(" + std::to_string(kBurst) + ")");
    std::vector<double> ourBurst, singleBurst;
    int received = 0;
    for (int run = 0; run < kRuns; ++run) {
        ourBurst.push_back(ours("burst", "burst(" + std::to_string(kBurst) + ")"));
        received = fixture.reportsTagged("burst").back()[3].get<int>();
        bare.evaluate("expect(" + std::to_string(kBurst) + ")");
        bare.last.clear();
        auto t0 = Clock::now();
        for (int i = 0; i < kBurst; ++i) {
            bare.evaluate("nativeCallback('Probe1',1,\n  " + std::to_string(i) + "\n,1)");
        }
        platform::runMainLoopUntil([&] { return !bare.last.empty(); }, 120);
        singleBurst.push_back(bare.last.empty() ? -1 : std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }

    std::printf("process start to deviceready: %.1f ms\n", readyMs);
    std::printf("sequential round trips (%d per round, median of %d rounds): bridge %.0f/s (%s), bare WebKitGTK "
                "handler/evaluate %.0f/s (%s)\n",
                kRounds, kRuns, benchutil::median(ourRates), benchutil::spread(ourRates, "%.0f").c_str(),
                benchutil::median(bareRates), benchutil::spread(bareRates, "%.0f").c_str());
    std::printf("socket-pair ping-pong between two processes (%d per round, median of %d rounds): %.0f/s (%s); the bridge's "
                "round trips are %.3f of it (%s)\n",
                kRounds, kRuns, benchutil::median(pairRates), benchutil::spread(pairRates, "%.0f").c_str(),
                benchutil::median(pairShares), benchutil::spread(pairShares).c_str());
    std::printf("CPU per round trip (median): bridge program %.1f us, web process %.1f us; bare program %.1f us, web "
                "process %.1f us\n",
                benchutil::median(ourUi), benchutil::median(ourWebCpu), benchutil::median(bareUi),
                benchutil::median(bareWebCpu));
    std::printf("burst of %d kept results to one callback: %.1f ms median (%s; %d received)\n", kBurst,
                benchutil::median(ourBurst), benchutil::spread(ourBurst, "%.1f").c_str(), received);
    std::printf("the same %d results as single evaluations: %.1f ms median (%s)\n", kBurst, benchutil::median(singleBurst),
                benchutil::spread(singleBurst, "%.1f").c_str());
    long webPeak = 0;
    for (int p : ourWeb) webPeak += benchutil::statusKb(p, "VmHWM:");
    std::printf("peak resident memory: program %ld kB, our web process %ld kB\n", benchutil::statusKb(getpid(), "VmHWM:"),
                webPeak);
    std::printf("ratio spread over the rounds: %s\n", benchutil::spread(ratios).c_str());
    std::printf("ratio: %.3f\n", benchutil::median(ratios));
    return 0;
}
