// needs: display bus
// The bridge in the real web view: calls, results, events, URLs and the origin guard.
#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "companion/KVControlMain.h"
#include "platform/application.h"
#include "platform/dispatch.h"
#include "tests/support/download_server.h"
#include "tests/support/page_fixture.h"

using testutil::PageFixture;

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
