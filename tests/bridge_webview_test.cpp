// needs: display bus
// The bridge in the real web view: calls, results, events, URLs, and the guard that lets only
// the application's own documents reach a plug-in, tried as an attacker would with pages of a
// second loopback origin.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "app/AppDelegate.h"
#include "bridge/WHWebViewDelegate.h"
#include "companion/KVControlMain.h"
#include "platform/application.h"
#include "platform/dispatch.h"
#include "platform/paths.h"
#include "tests/support/camera_server.h"
#include "tests/support/download_server.h"
#include "tests/support/page_fixture.h"

using testutil::PageFixture;

namespace {

// Sends a kept result every two milliseconds from its own thread, whatever page is shown, until
// it is started again or goes away.
class TickerPlugin : public WHPlugin {
public:
    using WHPlugin::WHPlugin;
    ~TickerPlugin() override { stopThread(); }
    const ActionTable& actions() const override {
        static const ActionTable t{WH_ACTION(TickerPlugin, start)};
        return t;
    }
    void start(const WHInvokedUrlCommand& c) {
        stopThread();
        running_ = true;
        thread_ = std::thread([this, d = commandDelegate(), id = c.callbackId()] {
            for (int n = 0; running_; ++n) {
                auto r = WHPluginResult::resultWithStatusMessageAsInt(WHCommandStatus_OK, n);
                r.setKeepCallbackAsBool(true);
                d->sendPluginResult(r, id);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    }

private:
    void stopThread() {
        running_ = false;
        if (thread_.joinable()) thread_.join();
    }
    std::atomic<bool> running_{false};
    std::thread thread_;
};
WH_REGISTER_PLUGIN(TickerPlugin);

// Sends long results at once, each a text that begins with its number: large([MiB]) one kept
// result of that size between two small ones; many([count, MiB]) so many kept results of that size.
// Each ends with "done".
class LongResultsPlugin : public WHPlugin {
public:
    using WHPlugin::WHPlugin;
    const ActionTable& actions() const override {
        static const ActionTable t{WH_ACTION(LongResultsPlugin, large), WH_ACTION(LongResultsPlugin, many)};
        return t;
    }
    void large(const WHInvokedUrlCommand& c) {
        const std::size_t mib = c.argumentAtIndex(0, 1, ArgKind::Number).get<std::size_t>();
        send(c, {16, mib << 20, 16});
    }
    void many(const WHInvokedUrlCommand& c) {
        const std::size_t count = c.argumentAtIndex(0, 1, ArgKind::Number).get<std::size_t>();
        const std::size_t mib = c.argumentAtIndex(1, 1, ArgKind::Number).get<std::size_t>();
        send(c, std::vector<std::size_t>(count, mib << 20));
    }

private:
    void send(const WHInvokedUrlCommand& c, const std::vector<std::size_t>& sizes) {
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            std::string text = std::to_string(i) + ":";
            text.resize(sizes[i], 'x');
            auto r = WHPluginResult::resultWithStatus(WHCommandStatus_OK, text);
            r.setKeepCallbackAsBool(true);
            commandDelegate()->sendPluginResult(r, c.callbackId());
        }
        commandDelegate()->sendPluginResult(WHPluginResult::resultWithStatus(WHCommandStatus_OK, "done"), c.callbackId());
    }
};
WH_REGISTER_PLUGIN(LongResultsPlugin);

// The web processes this test started.
std::vector<int> webProcesses() {
    std::vector<int> out;
    DIR* proc = opendir("/proc");
    while (dirent* e = proc ? readdir(proc) : nullptr) {
        std::string pid = e->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string status = testutil::readFile("/proc/" + pid + "/status");
        auto ppid = status.find("PPid:\t");
        if (ppid == std::string::npos || std::stoi(status.substr(ppid + 6)) != getpid()) continue;
        if (testutil::readFile("/proc/" + pid + "/comm").find("WebKitWebProces") != std::string::npos) out.push_back(std::stoi(pid));
    }
    if (proc) closedir(proc);
    return out;
}

// Signals a remote page sends its server: a request for the path (a query keeps it uncached).
const char* kPing = "function ping(path){ new Image().src = path + '?' + Math.random(); }";

int requestsFor(const testutil::DownloadServer& server, const std::string& path) {
    int n = 0;
    for (const auto& p : server.requestedPaths()) n += p == path;
    return n;
}

// Peak resident memory of this process in KiB since the last resetPeakMemory().
long peakMemoryKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}
void resetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }

}  // namespace

static std::string indexPage(const std::string& body) {
    return "<!DOCTYPE html><html><head>" + PageFixture::libraryTag() + PageFixture::reportHelper() +
           "</head><body>" + body +
           "<script>document.addEventListener('deviceready',function(){report('ready');});</script></body></html>";
}

TEST(BridgeWebView, CallReachesPluginAndResultsArriveInOrder) {
    PageFixture page({{"index.html", indexPage(R"(<script>
      document.addEventListener('deviceready', function(){
        webhost.exec(function(v){ report('echo', v); }, null, 'probe', 'echo', ['a', 2, true, null, {k: 'v'}]);
        var got = [];
        webhost.exec(function(v){ got.push(v); if (v === 'done') report('burst', got); }, null, 'PROBE', 'burst', [3]);
        webhost.exec(function(v){ report('later', v); }, null, 'Probe', 'later', ['bg']);
      });
    </script>)")}});
    ASSERT_TRUE(page.load());
    auto echo = page.waitForReport("echo");
    ASSERT_FALSE(echo.is_null());
    EXPECT_EQ(echo[1], Value::parse(R"(["a",2,true,null,{"k":"v"}])"));
    auto burst = page.waitForReport("burst");
    ASSERT_FALSE(burst.is_null());
    EXPECT_EQ(burst[1], Value::parse(R"([0,1,2,"done"])"));
    auto later = page.waitForReport("later");
    ASSERT_FALSE(later.is_null());
    EXPECT_EQ(later[1], Value::parse(R"(["bg"])"));
}

// Results handed over together: one whose callback throws does not keep the later ones from
// their callbacks, and the page's error handling sees what it threw.
TEST(BridgeWebView, ACallbackThatThrowsStopsNoResultAfterIt) {
    PageFixture page({{"index.html", indexPage(R"(<script>
      window.onerror = function(message){ report('onerror', String(message)); };
      document.addEventListener('deviceready', function(){
        var seen = [];
        webhost.exec(function(v){
          seen.push(v);
          if (v === 'done') { report('seen', seen); return; }
          if (v === 0) throw new Error('thrown in a callback');
        }, null, 'Probe', 'burst', [3]);
      });
    </script>)")}});
    ASSERT_TRUE(page.load());
    auto seen = page.waitForReport("seen");
    ASSERT_FALSE(seen.is_null());
    EXPECT_EQ(seen[1], Value::parse(R"([0,1,2,"done"])"));
    auto error = page.waitForReport("onerror");
    ASSERT_FALSE(error.is_null());
    EXPECT_NE(error[1].get<std::string>().find("thrown in a callback"), std::string::npos) << error[1];
}

TEST(BridgeWebView, UnknownServiceOrActionAnswersNothingAndLogs) {
    testutil::LogCapture logs;
    PageFixture page({{"index.html", indexPage(R"(<script>
      document.addEventListener('deviceready', function(){
        webhost.exec(function(){ report('answered'); }, function(){ report('answered'); }, 'Nope', 'x', []);
        webhost.exec(function(){ report('answered'); }, function(){ report('answered'); }, 'Probe', 'setSomething', []);
        webhost.exec(function(){ report('answered'); }, function(){ report('answered'); }, 'Probe', 'pluginInitialize', []);
        webhost.exec(function(){ report('after'); }, null, 'Probe', 'echo', []);
      });
    </script>)")}});
    ASSERT_TRUE(page.load());
    ASSERT_FALSE(page.waitForReport("after").is_null());
    EXPECT_TRUE(page.reportsTagged("answered").empty());
    EXPECT_TRUE(logs.contains("ERROR: Plugin 'Nope' not found, or is not a WHPlugin. Check your plugin mapping in config.xml."));
    EXPECT_TRUE(logs.contains("ERROR: Method 'setSomething:' not defined in Plugin 'Probe'"));
    EXPECT_TRUE(logs.contains("ERROR: Method 'pluginInitialize:' not defined in Plugin 'Probe'"));
}

TEST(BridgeWebView, ConsoleAndErrorsReachTheLog) {
    testutil::LogCapture logs;
    PageFixture page({{"index.html", indexPage(R"(<script>
      document.addEventListener('deviceready', function(){
        console.warn('careful');
        console.log({a: 1});
        setTimeout(function(){ undefinedFunction(); }, 0);
        setTimeout(function(){ report('logged'); }, 50);
      });
    </script>)")}});
    ASSERT_TRUE(page.load());
    ASSERT_FALSE(page.waitForReport("logged").is_null());
    testutil::spinUntil([&] { return logs.containsSubstring("JavaScript error: index.html:"); }, 5);
    EXPECT_TRUE(logs.contains("warn: careful"));
    EXPECT_TRUE(logs.contains("{\"a\":1}"));
    EXPECT_TRUE(logs.containsSubstring("JavaScript error: index.html:"));
}

// Serves one page on loopback that probes for the bridge and tries the handler directly.
static const char* kRemotePage = R"(<!DOCTYPE html><html><body><script>
  var seen = { bridge: typeof window.webhostbridge };
  try {
    var h = window.webkit.messageHandlers.kivano;
    h.postMessage(JSON.stringify(['exec', 'x', 'Probe', 'report', ['remote-direct']]));
    h.postMessage(JSON.stringify(['', 'exec', 'x', 'Probe', 'report', ['remote-direct']]));
  } catch (e) {}
  try { parent.webhostbridge.exec('x', 'Probe', 'report', ['remote-parent']); } catch (e) {}
  parent.postMessage(JSON.stringify(seen), '*');
</script></body></html>)";

TEST(BridgeWebView, OnlyFramesOfTheAppOriginGetTheBridge) {
    testutil::DownloadServer server;
    server.route("/remote.html", {200, kRemotePage, "text/html"});
    std::string remote = server.url("/remote.html");

    PageFixture page({{"index.html", indexPage(R"(
        <iframe id="sub" src="sub/frame.html"></iframe>
        <iframe id="remote" src=")" + remote + R"("></iframe>
        <script>window.addEventListener('message', function(e){ report('remote-saw', e.data); });</script>)")},
                      {"sub/frame.html", "<!DOCTYPE html><html><head><script src=\"../js/webhost.js\"></script></head><body><script>"
                                         "window.webhostbridge.exec('INVALID','Probe','report',['sub', typeof window.webhostbridge, "
                                         "window.webhostbridge !== parent.webhostbridge]);</script></body></html>"}});
    ASSERT_TRUE(page.load());
    auto sub = page.waitForReport("sub");
    ASSERT_FALSE(sub.is_null());
    EXPECT_EQ(sub[1], "object");
    EXPECT_EQ(sub[2], true);
    auto saw = page.waitForReport("remote-saw");
    ASSERT_FALSE(saw.is_null());
    auto seen = Value::parse(saw[1].get<std::string>());
    EXPECT_EQ(seen["bridge"], "undefined");
    platform::runMainLoopFor(0.3);
    EXPECT_TRUE(page.reportsTagged("remote-direct").empty());
    EXPECT_TRUE(page.reportsTagged("remote-parent").empty());
}

TEST(BridgeWebView, CloseSendsResignBeforePauseAndUrlsReachHandleOpenURL) {
    PageFixture page({{"index.html", indexPage(R"(<script>
      ['resign','pause','active','resume'].forEach(function(n){
        document.addEventListener(n, function(){ report('event', n); });
      });
      window.handleOpenURL = function(u){ report('url', u); };
    </script>)")}});
    ASSERT_TRUE(page.load());
    auto& app = platform::Application::shared();
    app.finishLaunchingForTesting();
    ASSERT_NE(KVControlMain::sharedInstance(), nullptr);

    const std::string tricky = "kivano://hs?mac=12\"3');report('injected');('\xE2\x80\xA8";
    page.ui().delegate->getUrl(tricky);
    auto url = page.waitForReport("url");
    ASSERT_FALSE(url.is_null());
    EXPECT_EQ(url[1], tricky);
    EXPECT_TRUE(page.reportsTagged("injected").empty());

    page.ui().window->performClose();
    testutil::spinUntil([&] { return page.reportsTagged("event").size() >= 2; }, 10);
    auto events = page.reportsTagged("event");
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0][1], "resign");
    EXPECT_EQ(events[1][1], "pause");
}

// Results and events are evaluations of the native side, which a page's policy does not govern;
// nothing of them may depend on the page's permission to evaluate text.
TEST(BridgeWebView, APageThatForbidsEvalGetsEveryResultAndEvent) {
    PageFixture page({{"index.html", "<!DOCTYPE html><html><head>"
                                     "<meta http-equiv=\"Content-Security-Policy\" content=\"script-src 'self' file: 'unsafe-inline'\">" +
                                         PageFixture::libraryTag() + PageFixture::reportHelper() + R"(</head><body><script>
      var evalBlocked = false;
      try { eval('1'); } catch (e) { evalBlocked = true; }
      ['resign', 'pause', 'active', 'resume'].forEach(function(n){
        document.addEventListener(n, function(){ report('event', n); });
      });
      document.addEventListener('deviceready', function(){
        report('ready', evalBlocked);
        var got = 0, inOrder = true;
        webhost.exec(function(v){
          if (v === 'done') { report('burst', got, inOrder); return; }
          if (v !== got) inOrder = false;
          got++;
        }, null, 'Probe', 'burst', [10000]);
        var answered = 0;
        for (var i = 0; i < 50; i++) {
          webhost.exec(function(){ if (++answered === 50) report('rapid', answered); }, null, 'Probe', 'later', [i]);
        }
      });
    </script></body></html>)"}});
    ASSERT_TRUE(page.load());
    ASSERT_EQ(page.waitForReport("ready")[1], true) << "the page's policy forbids eval";
    auto burst = page.waitForReport("burst", 60);
    ASSERT_FALSE(burst.is_null());
    EXPECT_EQ(burst[1], 10000);
    EXPECT_EQ(burst[2], true);
    EXPECT_FALSE(page.waitForReport("rapid", 30).is_null());

    auto& app = platform::Application::shared();
    app.finishLaunchingForTesting();
    ASSERT_NE(KVControlMain::sharedInstance(), nullptr);
    page.ui().window->performClose();
    ASSERT_TRUE(testutil::spinUntil([&] { return page.reportsTagged("event").size() >= 2; }, 10));
    KVControlMain::sharedInstance()->showTarragon(std::nullopt);
    ASSERT_TRUE(testutil::spinUntil([&] { return page.reportsTagged("event").size() >= 4; }, 10));
    std::vector<std::string> events;
    for (const auto& e : page.reportsTagged("event")) events.push_back(e[1].get<std::string>());
    EXPECT_EQ(events, (std::vector<std::string>{"resign", "pause", "resume", "active"}));
}

// What an attacker tries with what it stole: every text it saw is posted to every message handler
// it can find, alone and as the first element of a call, and the app frame's bridge is called.
static const char* kReplay = R"(function replay(stash){
  var hs = (window.webkit && window.webkit.messageHandlers) || {};
  var names = Object.getOwnPropertyNames(hs).concat(['kivano', 'bridge', 'webhost']);
  var forged = [];
  stash.forEach(function(t){
    forged.push(t);
    try { var v = JSON.parse(t); if (Array.isArray(v)) v.forEach(function(x){
      if (typeof x === 'string') forged.push(JSON.stringify([x, 'exec', 'x', 'Probe', 'report', ['replayed']]));
    }); } catch (e) {}
  });
  names.forEach(function(n){ var h = hs[n]; if (h && h.postMessage) forged.forEach(function(m){ try { h.postMessage(m); } catch (e) {} }); });
  try { parent.webhostbridge.exec('x', 'Probe', 'report', ['replayed']); } catch (e) {}
  try { top.webhostbridge.exec('x', 'Probe', 'report', ['replayed']); } catch (e) {}
})";

TEST(BridgeWebView, WhatHookedBuiltInsSeeOpensNoPlugInToAnotherOrigin) {
    testutil::DownloadServer server;
    std::string remoteScript = std::string("<script>") + kPing + kReplay + "</script>";
    server.route("/frame.html", {200,
                                 "<!DOCTYPE html><html><body>" + remoteScript +
                                     "<script>window.addEventListener('message', function(e){"
                                     " replay(JSON.parse(e.data)); ping('/replayed-frame'); parent.postMessage('replayed', '*'); });"
                                     "</script></body></html>",
                                 "text/html"});
    server.route("/top.html", {200,
                               "<!DOCTYPE html><html><body>" + remoteScript +
                                   "<script>replay(JSON.parse(decodeURIComponent(location.hash.slice(1))));"
                                   " ping('/replayed-top');</script></body></html>",
                               "text/html"});
    // The hooks go in before the library and keep every array, argument and text they are shown.
    const std::string hooks = R"(<script>
      var stash = [], keep = Array.prototype.push, write = JSON.stringify, busy = false;
      function grab(x){ if (busy) return; busy = true; try { keep.call(stash, write(x)); } catch (e) {} busy = false; }
      ['unshift', 'push', 'concat', 'slice', 'splice', 'map', 'join', 'forEach', 'indexOf'].forEach(function(n){
        var orig = Array.prototype[n];
        Array.prototype[n] = function(){ grab(this); grab(Array.from(arguments)); return orig.apply(this, arguments); };
      });
      ['indexOf', 'slice', 'toString'].forEach(function(n){
        var orig = String.prototype[n];
        String.prototype[n] = function(){ grab(String(this)); return orig.apply(this, arguments); };
      });
      Object.defineProperty(Array.prototype, 'toJSON', {configurable: true, get: function(){ grab(Array.from(this)); return undefined; }});
      JSON.stringify = function(v){ grab(v); return write.apply(JSON, arguments); };
      var listen = EventTarget.prototype.addEventListener, fire = EventTarget.prototype.dispatchEvent;
      EventTarget.prototype.dispatchEvent = function(e){ grab([e.type, String(e.detail)]); return fire.call(this, e); };
    </script>)";
    PageFixture page({{"index.html", "<!DOCTYPE html><html><head>" + hooks + PageFixture::libraryTag() + PageFixture::reportHelper() +
                                         "</head><body><iframe src=\"" + server.url("/frame.html") + R"("></iframe><script>
      document.addEventListener('deviceready', function(){
        console.log('hooked console');
        webhost.exec(function(v){
          report('trusted-ok', stash.length > 0);
          window.addEventListener('message', function(e){
            if (e.data === 'replayed') location.href = ')" + server.url("/top.html") + R"(#' + encodeURIComponent(write(stash));
          });
          frames[0].postMessage(write(stash), '*');
        }, null, 'Probe', 'echo', ['through the hooks', {k: [1, 2]}]);
        report('ready');
      });
    </script></body></html>)"}});
    ASSERT_TRUE(page.load());
    auto ok = page.waitForReport("trusted-ok");
    ASSERT_FALSE(ok.is_null()) << "the page's own calls go through the hooks";
    EXPECT_EQ(ok[1], true) << "the hooks saw the calls";
    ASSERT_TRUE(testutil::spinUntil([&] { return requestsFor(server, "/replayed-frame") > 0; }, 20));
    ASSERT_TRUE(testutil::spinUntil([&] { return requestsFor(server, "/replayed-top") > 0; }, 20));
    platform::runMainLoopFor(0.5);
    EXPECT_TRUE(page.reportsTagged("replayed").empty());
}

TEST(BridgeWebView, LocalDocumentsOutsideTheApplicationAreNeverShown) {
    testutil::LogCapture logs;
    const std::string files = platform::dataHome() + "/com.kivano.Tarragon/files";
    platform::makeDirs(files);
    PageFixture page({{"index.html", indexPage("")}},
                     "<feature name=\"File\"><param name=\"osx-package\" value=\"WHFile\"/><param name=\"onload\" value=\"true\"/></feature>");
    // A stored page that, shown anywhere, tries the app frame above it, its own bridge, and the
    // bridge of an app page it embeds.
    const std::string app = "file://" + page.bundle() + "/www/index.html";
    const std::string evil =
        "<!DOCTYPE html><html><body><iframe src=\"" + app + "\"></iframe><script>"
        "try { parent.webhostbridge.exec('INVALID', 'Probe', 'report', ['evil', 'parent']); } catch (e) {}"
        "try { window.webhostbridge.exec('INVALID', 'Probe', 'report', ['evil', 'own']); } catch (e) {}"
        "try { parent.document.title = 'owned'; } catch (e) {}"
        "setTimeout(function(){ try { frames[0].webhostbridge.exec('INVALID', 'Probe', 'report', ['evil', 'child']); } catch (e) {} }, 300);"
        "</script></body></html>";
    testutil::writeFile(files + "/evil.html", evil);
    testutil::writeFile(page.bundle() + "/evil.html", evil);
    ASSERT_TRUE(page.load());

    const std::vector<std::string> urls{"file://" + files + "/evil.html", "file://" + page.bundle() + "/evil.html",
                                        "file://" + page.bundle() + "/www/../evil.html",
                                        "whfile://localhost/persistent/evil.html"};
    for (const auto& url : urls) {
        SCOPED_TRACE(url);
        for (const char* how : {"var f = document.createElement('iframe'); f.src = U; document.body.appendChild(f);",
                                "location.href = U;"}) {
            logs.clear();
            page.ui().webView->evaluateScript("var U = " + platform::jsStringLiteral(url) + "; " + how);
            EXPECT_TRUE(testutil::spinUntil([&] { return logs.containsSubstring(" refused: a local document"); }, 15)) << how;
        }
    }
    // The app page stays and still works; nothing the stored page tried happened.
    page.ui().webView->evaluateScript("webhost.exec(function(){ report('still', document.title); }, null, 'Probe', 'echo', []);");
    auto still = page.waitForReport("still");
    ASSERT_FALSE(still.is_null());
    EXPECT_NE(still[1], "owned");
    EXPECT_EQ(page.ui().webView->committedURL(), app);
    platform::runMainLoopFor(0.5);
    EXPECT_TRUE(page.reportsTagged("evil").empty());
}

TEST(BridgeWebView, ResultsNeverRunInARemoteDocumentAndItsStreamsClose) {
    testutil::CameraServer camera;
    testutil::DownloadServer server;
    // A remote page with a library of its own that tells its server whenever native code calls it.
    server.route("/remote.html",
                 {200,
                  std::string("<!DOCTYPE html><html><head><script>") + kPing +
                      "var hit = function(){ if (!window.hitOnce) { window.hitOnce = true; ping('/hit'); } };"
                      "window.webhost = { require: function(){ return { nativeCallback: hit, nativeEvalAndFetch: hit }; },"
                      " fireDocumentEvent: hit };"
                      "window.handleOpenURL = hit; window._nativeReady = false;"
                      "</script></head><body><script>ping('/remote-ready');</script></body></html>",
                  "text/html"});
    PageFixture page({{"index.html", indexPage(R"(<script>
      document.addEventListener('deviceready', function(){
        webhost.exec(function(){}, null, 'Ticker', 'start', []);
      });
    </script>)")}},
                     "<feature name=\"Ticker\"><param name=\"osx-package\" value=\"TickerPlugin\"/></feature>"
                     "<feature name=\"VideoProxy\"><param name=\"osx-package\" value=\"VideoProxy\"/></feature>");
    ASSERT_TRUE(page.load());
    page.ui().webView->evaluateScript(
        "webhost.exec(function(f){ if (!window.framed) { window.framed = true; report('frame'); } },"
        " function(e){ report('camera-error', e); }, 'VideoProxy', 'startStream', [" +
        platform::jsStringLiteral(camera.url("/stream.mjpg?count=-1&interval=5")) + ", null, null, true]);");
    ASSERT_FALSE(page.waitForReport("frame").is_null());
    ASSERT_EQ(camera.openStreams(), 1);

    const std::string start = page.ui().viewController->startURL();
    const std::string remote = server.url("/remote.html");
    for (int round = 1; round <= 20; ++round) {
        SCOPED_TRACE(round);
        std::size_t ready = page.reportsTagged("ready").size();
        page.ui().webView->loadURL(remote, 20);
        ASSERT_TRUE(testutil::spinUntil([&] { return requestsFor(server, "/remote-ready") >= round; }, 20));
        if (round == 1) {
            // Leaving the application closed the camera's stream as its stop action does.
            EXPECT_TRUE(testutil::spinUntil([&] { return camera.openStreams() == 0; }, 10));
        }
        page.ui().webView->loadURL(start, 20);
        ASSERT_TRUE(testutil::spinUntil([&] { return page.reportsTagged("ready").size() > ready; }, 20));
    }
    platform::runMainLoopFor(0.3);
    EXPECT_EQ(requestsFor(server, "/hit"), 0);
    EXPECT_EQ(camera.openStreams(), 0);
    EXPECT_TRUE(page.reportsTagged("camera-error").empty());
}

TEST(BridgeWebView, HugePostsAreRefusedUnreadAndMemoryStaysBounded) {
    testutil::DownloadServer server;
    // Three 100 MB posts from a remote frame, to whatever handler it finds and to the app's bridge.
    server.route("/big.html", {200,
                               std::string("<!DOCTYPE html><html><body><script>") + kPing +
                                   "var big = 'x'.repeat(100 << 20);"
                                   "var hs = (window.webkit && window.webkit.messageHandlers) || {};"
                                   "var names = Object.getOwnPropertyNames(hs).concat(['kivano']);"
                                   "for (var i = 0; i < 3; i++) {"
                                   "  names.forEach(function(n){ try { hs[n].postMessage(JSON.stringify(['exec', 'x', 'Probe', 'report', [big]])); } catch (e) {} });"
                                   "  try { parent.webhostbridge.exec('x', 'Probe', 'report', [big]); } catch (e) {}"
                                   "}"
                                   "ping('/big-done');</script></body></html>",
                               "text/html"});
    PageFixture page({{"index.html", indexPage("")}});
    ASSERT_TRUE(page.load());
    resetPeakMemory();
    const long before = peakMemoryKiB();
    page.ui().webView->evaluateScript("var f = document.createElement('iframe'); f.src = " +
                                      platform::jsStringLiteral(server.url("/big.html")) + "; document.body.appendChild(f);");
    ASSERT_TRUE(testutil::spinUntil([&] { return requestsFor(server, "/big-done") > 0; }, 60));
    // The application's own page gets a refusal for a call larger than the limit.
    page.ui().webView->evaluateScript(
        "webhost.exec(function(){ report('big', 'answered'); }, function(e){ report('big', e); }, 'Probe', 'echo', ['x'.repeat(100 << 20)]);"
        "webhost.exec(function(v){ report('after', v); }, null, 'Probe', 'echo', ['small']);");
    auto big = page.waitForReport("big", 60);
    ASSERT_FALSE(big.is_null());
    EXPECT_NE(big[1].get<std::string>().find("larger than the limit"), std::string::npos) << big[1];
    auto after = page.waitForReport("after", 30);
    ASSERT_FALSE(after.is_null());
    EXPECT_EQ(after[1], Value::array({"small"}));
    platform::runMainLoopFor(0.3);
    EXPECT_TRUE(page.reportsTagged("x").empty());
    const long grown = peakMemoryKiB() - before;
    EXPECT_LT(grown, 400L * 1024) << "peak grew by " << grown << " KiB";
}

TEST(BridgeWebView, DeeplyNestedArgumentsAreRefusedInOrder) {
    PageFixture page({{"index.html", indexPage(R"(<script>
      function deep(n){ var a = []; for (var i = 0; i < n; i++) a = [a]; return a; }
      document.addEventListener('deviceready', function(){
        webhost.exec(null, function(e){ report('refused', 'logger', e); }, 'Logger', 'logLevel', ['LOG', deep(100000)]);
        webhost.exec(null, function(e){ report('refused', 'unknown', e); }, 'Nope', 'x', [deep(300000)]);
        webhost.exec(function(){ report('refused', 'echo', 'answered'); }, function(e){ report('refused', 'echo', e); },
                     'Probe', 'echo', [deep(300)]);
        webhost.exec(function(v){ report('after', JSON.stringify(v) === JSON.stringify([deep(200)])); }, null,
                     'Probe', 'echo', [deep(200)]);
        setTimeout(function(){ try { console.log(deep(100000)); } catch (e) {} report('logged'); }, 0);
      });
    </script>)")}});
    ASSERT_TRUE(page.load());
    auto after = page.waitForReport("after", 30);
    ASSERT_FALSE(after.is_null()) << "the program is still there and answers";
    EXPECT_EQ(after[1], true);
    ASSERT_TRUE(testutil::spinUntil([&] { return page.reportsTagged("refused").size() == 3; }, 30));
    for (const auto& r : page.reportsTagged("refused")) {
        SCOPED_TRACE(r[1].get<std::string>());
        ASSERT_TRUE(r[2].is_string());
        const std::string why = r[2].get<std::string>();
        EXPECT_TRUE(why.find("nested deeper than 256 levels") != std::string::npos ||
                    why.find("cannot be written as JSON") != std::string::npos)
            << why;
    }
    EXPECT_FALSE(page.waitForReport("logged", 30).is_null());
}

// Results of any length reach the page whole and in order: one far longer than a channel message,
// and many that pile up in one flush beyond it, each between others.
TEST(BridgeWebView, LongResultsArriveWholeAndInOrder) {
    PageFixture page({{"index.html", indexPage(R"(<script>
      window.collect = function(tag, action, args){
        var got = [];
        webhost.exec(function(v){
          if (v === 'done') { report(tag, got); return; }
          got.push([v.length, v.slice(0, v.indexOf(':'))]);
        }, function(e){ report(tag, 'failed', e); }, 'Long', action, args);
        webhost.exec(function(v){ report(tag + '-after', got.length); }, null, 'Probe', 'echo', []);
      };
    </script>)")}},
                     "<feature name=\"Long\"><param name=\"osx-package\" value=\"LongResultsPlugin\"/></feature>");
    ASSERT_TRUE(page.load());
    const std::size_t MiB = 1u << 20;
    struct Case {
        const char* tag;
        std::string call;
        std::vector<std::size_t> sizes;
    };
    const std::vector<Case> cases = {
        {"large", "collect('large', 'large', [100])", {16, 100 * MiB, 16}},
        {"many", "collect('many', 'many', [40, 2])", std::vector<std::size_t>(40, 2 * MiB)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tag);
        page.ui().webView->evaluateScript(c.call);
        Value got = page.waitForReport(c.tag, 120);
        ASSERT_TRUE(got[1].is_array()) << got;
        ASSERT_EQ(got[1].size(), c.sizes.size());
        for (std::size_t i = 0; i < c.sizes.size(); ++i) {
            EXPECT_EQ(got[1][i][0], c.sizes[i]) << "result " << i;
            EXPECT_EQ(got[1][i][1], std::to_string(i)) << "result " << i;
        }
        // The answer of the call made after it came after all of them.
        EXPECT_EQ(page.waitForReport(std::string(c.tag) + "-after", 30)[1], c.sizes.size());
    }
}

// When the page's web process is killed, the start page comes back to deviceready and what the
// dead page held (a camera stream) is closed; killed again and again, a plain page says so, and
// its button brings the application back.
TEST(BridgeWebView, AfterItsWebProcessIsKilledThePageComesBack) {
    testutil::CameraServer camera;
    testutil::LogCapture logs;
    PageFixture page({{"index.html", indexPage("")}},
                     "<feature name=\"VideoProxy\"><param name=\"osx-package\" value=\"VideoProxy\"/></feature>");
    ASSERT_TRUE(page.load());
    auto kill = [&] {
        std::vector<int> pids = webProcesses();
        ASSERT_FALSE(pids.empty());
        for (int pid : pids) ::kill(pid, SIGKILL);
    };
    auto readyAgain = [&](std::size_t before) {
        return testutil::spinUntil([&] { return page.reportsTagged("ready").size() > before; }, 10);
    };
    for (int round = 1; round < static_cast<int>(WHWebViewDelegate::kTerminationsBeforeNotice); ++round) {
        SCOPED_TRACE(round);
        page.ui().webView->evaluateScript(
            "webhost.exec(function(f){ if (!window.framed) { window.framed = true; report('frame'); } },"
            " function(e){ report('camera-error', e); }, 'VideoProxy', 'startStream', [" +
            platform::jsStringLiteral(camera.url("/stream.mjpg?count=-1&interval=5")) + ", null, null, true]);");
        std::size_t frames = page.reportsTagged("frame").size();
        ASSERT_TRUE(testutil::spinUntil([&] { return page.reportsTagged("frame").size() > frames; }, 20));
        ASSERT_EQ(camera.openStreams(), 1);
        std::size_t ready = page.reportsTagged("ready").size();
        kill();
        EXPECT_TRUE(readyAgain(ready)) << "the start page is back at deviceready within 10 s";
        EXPECT_TRUE(testutil::spinUntil([&] { return camera.openStreams() == 0; }, 10)) << "the dead page's stream closed";
        EXPECT_EQ(page.ui().webView->committedURL(), page.ui().viewController->startURL());
    }
    // The last end within the minute: no loop of loads, a plain page with a button instead.
    std::size_t ready = page.reportsTagged("ready").size();
    kill();
    ASSERT_TRUE(testutil::spinUntil([&] { return logs.containsSubstring("it is not loaded again until asked"); }, 10));
    testutil::LogCapture shown;
    ASSERT_TRUE(testutil::spinUntil(
        [&] {
            page.ui().webView->evaluateScript("console.log('retry-button:' + !!document.getElementById('retry'))");
            platform::runMainLoopFor(0.1);
            return shown.contains("retry-button:true");
        },
        10));
    EXPECT_EQ(page.reportsTagged("ready").size(), ready);
    page.ui().webView->evaluateScript("document.getElementById('retry').click()");
    EXPECT_TRUE(readyAgain(ready));
    EXPECT_TRUE(page.reportsTagged("camera-error").empty());
}
