// Bridge throughput: sequential round trips through our bridge against a bare WebKitGTK
// message-handler/evaluate loop, a burst of results to one kept callback, the time to
// "deviceready", and peak memory of the program and its web processes.
// Run under a display: tests/harness/run-test --display --bus -- build/bench/bench_bridge
#include <dirent.h>
#include <gtk/gtk.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "platform/dispatch.h"
#include "tests/support/page_fixture.h"

using Clock = std::chrono::steady_clock;
static const Clock::time_point gStart = Clock::now();

static const int kRounds = 3000;
static const int kBurst = 10000;

static long statusKb(const std::string& path, const char* key) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::string(key).size()));
    }
    return 0;
}

static long webProcessPeakKb() {
    long total = 0;
    DIR* d = opendir("/proc");
    if (!d) return 0;
    while (dirent* e = readdir(d)) {
        std::string pid = e->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string base = "/proc/" + pid;
        if (statusKb(base + "/status", "PPid:") != getpid()) continue;
        std::ifstream comm(base + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name.find("WebKit") != std::string::npos) total += statusKb(base + "/status", "VmHWM:");
    }
    closedir(d);
    return total;
}

// The reference: the page posts to a handler, native code evaluates the callback at once.
struct Bare {
    WebKitWebView* view = nullptr;
    double ms = -1;
    static void onMessage(WebKitUserContentManager*, WebKitJavascriptResult* r, gpointer self) {
        auto* b = static_cast<Bare*>(self);
        JSCValue* v = webkit_javascript_result_get_js_value(r);
        char* text = jsc_value_to_string(v);
        std::string s = text ? text : "";
        g_free(text);
        if (s.rfind("done:", 0) == 0) {
            b->ms = std::stod(s.substr(5));
            return;
        }
        // The same work as an echo: the message's payload goes back in a callback script.
        std::string cb = "window.__cb(" + s + ")";
        webkit_web_view_evaluate_javascript(b->view, cb.c_str(), -1, nullptr, nullptr, nullptr, nullptr, nullptr);
    }
};

static double bareRoundTrips() {
    Bare b;
    WebKitUserContentManager* ucm = webkit_user_content_manager_new();
    g_signal_connect(ucm, "script-message-received::bare", G_CALLBACK(&Bare::onMessage), &b);
    webkit_user_content_manager_register_script_message_handler(ucm, "bare");
    b.view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", ucm, nullptr));
    GtkWidget* win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_container_add(GTK_CONTAINER(win), GTK_WIDGET(b.view));
    gtk_widget_show_all(win);
    std::string page = "<html><body><script>var n=0,N=" + std::to_string(kRounds) +
                       ",t0=0;window.__cb=function(v){if(++n===N){window.webkit.messageHandlers.bare.postMessage('done:'+"
                       "(performance.now()-t0));return;}window.webkit.messageHandlers.bare.postMessage(JSON.stringify([n]));};"
                       "window.onload=function(){t0=performance.now();window.webkit.messageHandlers.bare.postMessage(JSON.stringify([0]));};"
                       "</script></body></html>";
    webkit_web_view_load_html(b.view, page.c_str(), "file:///bench/");
    platform::runMainLoopUntil([&] { return b.ms >= 0; }, 120);
    gtk_widget_destroy(win);
    g_object_unref(ucm);
    return b.ms;
}

// The same burst as single evaluations: one evaluation per result script.
struct Singles {
    double ms = -1;
    static void onMessage(WebKitUserContentManager*, WebKitJavascriptResult* r, gpointer self) {
        char* text = jsc_value_to_string(webkit_javascript_result_get_js_value(r));
        std::string s = text ? text : "";
        g_free(text);
        if (s.rfind("done:", 0) == 0) static_cast<Singles*>(self)->ms = std::stod(s.substr(5));
    }
};

static double singleEvaluations() {
    Singles st;
    bool ready = false;
    WebKitUserContentManager* ucm = webkit_user_content_manager_new();
    g_signal_connect(ucm, "script-message-received::singles", G_CALLBACK(&Singles::onMessage), &st);
    webkit_user_content_manager_register_script_message_handler(ucm, "singles");
    auto* view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", ucm, nullptr));
    GtkWidget* win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_container_add(GTK_CONTAINER(win), GTK_WIDGET(view));
    gtk_widget_show_all(win);
    std::string page = "<html><body><script>var n=0,t0=0;window.nativeCallback=function(id,st,m,k){if(n===0)t0=performance.now();"
                       "if(++n===" + std::to_string(kBurst) + ")window.webkit.messageHandlers.singles.postMessage('done:'+(performance.now()-t0));};"
                       "</script></body></html>";
    g_signal_connect(view, "load-changed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent e, gpointer p) {
                         if (e == WEBKIT_LOAD_FINISHED) *static_cast<bool*>(p) = true;
                     }), &ready);
    webkit_web_view_load_html(view, page.c_str(), "file:///bench/");
    platform::runMainLoopUntil([&] { return ready; }, 60);
    auto t0 = Clock::now();
    for (int i = 0; i < kBurst; ++i) {
        std::string script = "nativeCallback('Probe1',1,\n  " + std::to_string(i) + "\n,1)";
        webkit_web_view_evaluate_javascript(view, script.c_str(), -1, nullptr, nullptr, nullptr, nullptr, nullptr);
    }
    platform::runMainLoopUntil([&] { return st.ms >= 0; }, 120);
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    gtk_widget_destroy(win);
    g_object_unref(ucm);
    return st.ms >= 0 ? ms : -1;
}

int main() {
    gtk_init(nullptr, nullptr);
    platform::initMainThread();
    std::string page = "<!DOCTYPE html><html><head>" + testutil::PageFixture::libraryTag() + testutil::PageFixture::reportHelper() +
                       R"(</head><body><script>
      document.addEventListener('deviceready', function(){
        report('ready');
        var n = 0, N = )" + std::to_string(kRounds) + R"(, t0 = performance.now();
        function next(){
          if (n++ === N) { report('seq', performance.now() - t0); burst(); return; }
          webhost.exec(next, null, 'Probe', 'echo', [n]);
        }
        function burst(){
          var got = 0, b0 = performance.now();
          webhost.exec(function(v){ if (v === 'done') report('burst', performance.now() - b0, got); else got++; },
                       null, 'Probe', 'burst', [)" + std::to_string(kBurst) + R"(]);
        }
        next();
      });
    </script></body></html>)";
    testutil::PageFixture fixture({{"index.html", page}});
    if (!fixture.load(60)) {
        std::printf("the page did not become ready\n");
        return 1;
    }
    double readyMs = std::chrono::duration<double, std::milli>(Clock::now() - gStart).count();
    Value seq = fixture.waitForReport("seq", 300);
    Value burst = fixture.waitForReport("burst", 300);
    if (seq.is_null() || burst.is_null()) {
        std::printf("the page did not finish\n");
        return 1;
    }
    double ourMs = seq[1].get<double>();
    long webPeak = webProcessPeakKb();
    double bareMs = bareRoundTrips();
    double singlesMs = singleEvaluations();
    double ourRate = kRounds / (ourMs / 1000.0);
    double bareRate = kRounds / (bareMs / 1000.0);
    std::printf("process start to deviceready: %.1f ms\n", readyMs);
    std::printf("sequential round trips, bridge: %.0f/s (%d in %.1f ms)\n", ourRate, kRounds, ourMs);
    std::printf("sequential round trips, bare WebKitGTK handler/evaluate: %.0f/s (%d in %.1f ms)\n", bareRate, kRounds, bareMs);
    std::printf("burst of %d kept results to one callback: %.1f ms (%d received)\n", kBurst, burst[1].get<double>(),
                burst[2].get<int>());
    std::printf("the same %d results as single evaluations: %.1f ms\n", kBurst, singlesMs);
    std::printf("peak resident memory: program %ld KiB, web processes %ld KiB\n", statusKb("/proc/self/status", "VmHWM:"),
                webPeak);
    std::printf("ratio: %.3f\n", ourRate / bareRate);
    return 0;
}
