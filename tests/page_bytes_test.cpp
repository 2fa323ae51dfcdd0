// needs: display bus
// Many bytes between the page and its files in the real web view, outside the messages: every
// form a page library hands them over in and every form the page gets them back in, the order of
// file work around them, and the guard: only the application's own document gets them, tokens
// are used once, and no other document reaches the entry point or a descriptor.
#include <gtest/gtest.h>
#include <dirent.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "bridge/WHWebViewDelegate.h"
#include "companion/FilePluginAccess.h"
#include "platform/atomic_file.h"
#include "platform/dispatch.h"
#include "platform/paths.h"
#include "plugins/standard/WHFile.h"
#include "tests/support/download_server.h"
#include "tests/support/page_fixture.h"

using testutil::PageFixture;

namespace {

const std::string kFileFeature =
    "<feature name=\"File\"><param name=\"osx-package\" value=\"WHFile\"/><param name=\"onload\" value=\"true\"/></feature>";

// The page side: call(action, args) as a promise through the page library; raw[id] what its
// nativeCallback was handed for each callback; pattern(n, seed) the bytes the native side checks.
const char* kHelpers = R"(<script>
var raw = {};
function call(action, args){
  return new Promise(function(ok, fail){
    var id = webhost.exec(function(v){ ok({id: id, value: v}); }, function(e){ fail({id: id, error: e}); }, 'File', action, args);
  });
}
function pattern(n, seed){ var d = new Uint8Array(n); for (var i = 0; i < n; i++) d[i] = (i * 7 + seed + (i >> 8)) & 255; return d; }
function same(a, b){ if (a.length !== b.length) return false; for (var i = 0; i < a.length; i++) if (a[i] !== b[i]) return false; return true; }
document.addEventListener('deviceready', function(){
  var exec = webhost.require('webhost/exec'), original = exec.nativeCallback;
  exec.nativeCallback = function(id, status, message, keep){
    raw[id] = {status: status, message: message, keep: keep};
    return original.apply(this, arguments);
  };
  report('ready');
});
</script>)";

std::string page(const std::string& body) {
    return "<!DOCTYPE html><html><head>" + PageFixture::libraryTag() + PageFixture::reportHelper() + kHelpers +
           "</head><body>" + body + "</body></html>";
}

std::string pattern(std::size_t n, int seed) {
    std::string d(n, '\0');
    for (std::size_t i = 0; i < n; ++i) d[i] = static_cast<char>((i * 7 + static_cast<std::size_t>(seed) + (i >> 8)) & 255);
    return d;
}

std::string persistent() { return platform::dataHome() + "/com.kivano.Tarragon/files"; }

// Descriptors of the web processes of this test that lead to the file.
int webProcessDescriptorsOf(const std::string& file) {
    int found = 0;
    DIR* proc = opendir("/proc");
    while (dirent* e = proc ? readdir(proc) : nullptr) {
        std::string pid = e->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string comm = testutil::readFile("/proc/" + pid + "/comm");
        if (comm.find("WebKitWebProces") == std::string::npos) continue;
        DIR* fds = opendir(("/proc/" + pid + "/fd").c_str());
        while (dirent* f = fds ? readdir(fds) : nullptr) {
            char target[4096];
            ssize_t n = readlink(("/proc/" + pid + "/fd/" + f->d_name).c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, static_cast<std::size_t>(n)).find(file) != std::string::npos) ++found;
        }
        if (fds) closedir(fds);
    }
    if (proc) closedir(proc);
    return found;
}

// Hands everything on to the application's delegate and keeps the exec messages that named
// bytes held in the web process.
class RecordingClient : public platform::WebViewClient {
public:
    explicit RecordingClient(platform::WebViewClient* inner) : inner_(inner) {}
    std::vector<platform::pagebridge::Call> held;

    void webViewBridgeMessage(const platform::BridgeMessage& m) override {
        if (const auto* c = std::get_if<platform::pagebridge::Call>(&m); c && c->held) held.push_back(*c);
        inner_->webViewBridgeMessage(m);
    }
    bool webViewDecideNavigation(const platform::NavigationRequest& r) override { return inner_->webViewDecideNavigation(r); }
    void webViewRunAlert(const std::string& m) override { inner_->webViewRunAlert(m); }
    bool webViewRunConfirm(const std::string& m) override { return inner_->webViewRunConfirm(m); }
    bool webViewRunBeforeUnloadConfirm(const std::string& m) override { return inner_->webViewRunBeforeUnloadConfirm(m); }
    std::optional<std::string> webViewRunPrompt(const std::string& p, const std::string& d) override {
        return inner_->webViewRunPrompt(p, d);
    }
    std::optional<std::vector<std::string>> webViewRunOpenPanel(bool multiple) override {
        return inner_->webViewRunOpenPanel(multiple);
    }
    void webViewMainFrameCommitted(const std::string& url) override { inner_->webViewMainFrameCommitted(url); }
    void webViewMainFrameDidFinishLoad(const std::string& url) override { inner_->webViewMainFrameDidFinishLoad(url); }
    void webViewWebProcessTerminated() override { inner_->webViewWebProcessTerminated(); }

private:
    platform::WebViewClient* inner_;
};

}  // namespace

// Every way a library hands bytes to write over, at the sizes around the bulk limit and well
// beyond it, and every form the reads give them back in.
TEST(PageBytes, EveryFormOfBytesRoundTripsAtEverySize) {
    PageFixture fixture({{"index.html", page(R"(<script>
      var url = 'whfile://localhost/persistent/b.bin';
      var ways = {
        library: function(d){ return call('write', [url, d.buffer, 0]); },
        object: function(d){ return call('write', [url, {WHType: 'ArrayBuffer', data: d.toBase64()}, 0]); },
        // Raw bytes straight to the bridge, as a library may pass them: a buffer and a view into one.
        buffer: function(d){ return rawWrite(d.buffer); },
        view: function(d){ var b = new Uint8Array(d.length + 11); b.set(d, 5); return rawWrite(b.subarray(5, 5 + d.length)); },
        text: function(d, n){ return call('write', [url, textOf(n), 0]); }
      };
      var raws = 0;
      function rawWrite(bytes){
        var id = 'raw' + (++raws);
        window.webhostbridge.exec(id, 'File', 'write', [url, bytes, 0]);
        return new Promise(function(ok, fail){
          (function wait(){ if (raw[id]) { if (raw[id].status === 1) ok({value: raw[id].message}); else fail(raw[id]); } else setTimeout(wait, 5); })();
        });
      }
      function textOf(n){ var s = ''; while (s.length < n) s += 'h\u00e9llo \u2603 '; return s.slice(0, n); }
      window.writeWith = function(way, n, seed){
        ways[way](pattern(n, seed), n).then(function(r){ report('written', way, n, r.value); },
                                          function(e){ report('written', way, n, 'failed', JSON.stringify(e)); });
      };
      window.readAll = function(n, seed){
        var d = pattern(n, seed), out = {};
        call('readAsArrayBuffer', [url, 0, -1]).then(function(r){
          var m = raw[r.id].message;
          out.arrayBuffer = m && m.WHType === 'ArrayBuffer' && typeof m.data === 'string' && same(new Uint8Array(r.value), d);
          return call('readAsDataURL', [url, 0, -1]);
        }).then(function(r){
          var comma = r.value.indexOf(';base64,');
          out.dataURL = r.value.indexOf('data:') === 0 && comma > 5 && r.value.slice(comma + 8) === d.toBase64();
          return call('readAsBinaryString', [url, 0, -1]);
        }).then(function(r){
          var s = r.value, ok = s.length === n;
          for (var i = 0; ok && i < n; i++) ok = s.charCodeAt(i) === d[i];
          out.binaryString = ok;
          return call('readAsArrayBuffer', [url, 3, n - 2]);
        }).then(function(r){
          out.range = same(new Uint8Array(r.value), d.subarray(3, n - 2));
          report('read', n, out);
        }, function(e){ report('read', n, 'failed', JSON.stringify(e)); });
      };
      window.readText = function(n){
        call('readAsText', [url, 'UTF-8', 0, -1]).then(function(r){ report('text', n, r.value === textOf(n)); },
                                                      function(e){ report('text', n, 'failed', JSON.stringify(e)); });
      };
      window.readBadText = function(){
        call('readAsText', [url, 'utf-8', 0, -1]).then(function(){ report('badtext', 'answered'); },
                                                      function(e){ report('badtext', raw[e.id].status, e.error); });
      };
    </script>)")}},
                        kFileFeature);
    ASSERT_TRUE(fixture.load());
    const std::string file = persistent() + "/b.bin";
    auto run = [&](const std::string& tag, const std::string& script) {
        std::size_t before = fixture.reportsTagged(tag).size();
        fixture.ui().webView->evaluateScript(script);
        EXPECT_TRUE(testutil::spinUntil([&] { return fixture.reportsTagged(tag).size() > before; }, 120)) << script;
        auto all = fixture.reportsTagged(tag);
        return all.size() > before ? all.back() : Value();
    };
    int seed = 0;
    for (std::size_t n : {std::size_t(65535), std::size_t(65536), std::size_t(3) << 20}) {
        for (const char* way : {"library", "object", "buffer", "view"}) {
            SCOPED_TRACE(std::string(way) + " " + std::to_string(n));
            ++seed;
            Value written = run("written", "writeWith('" + std::string(way) + "', " + std::to_string(n) + ", " + std::to_string(seed) + ")");
            EXPECT_EQ(written[3], n) << written;
            EXPECT_TRUE(testutil::readFile(file) == pattern(n, seed)) << "the file holds the bytes";
            Value read = run("read", "readAll(" + std::to_string(n) + ", " + std::to_string(seed) + ")");
            ASSERT_TRUE(read[2].is_object()) << read;
            EXPECT_EQ(read[2], Value::parse(R"({"arrayBuffer":true,"dataURL":true,"binaryString":true,"range":true})"));
        }
        SCOPED_TRACE("text " + std::to_string(n));
        Value written = run("written", "writeWith('text', " + std::to_string(n) + ", 0)");
        ASSERT_TRUE(written[3].is_number()) << written;
        EXPECT_EQ(run("text", "readText(" + std::to_string(n) + ")")[2], true);
    }
    // Bytes that are not UTF-8 answer readAsText with the encoding error, also outside the messages.
    testutil::writeFile(file, std::string(100000, '\xFF'));
    Value bad = run("badtext", "readBadText()");
    EXPECT_EQ(bad[1], 6);
    EXPECT_EQ(bad[2], 5);
    // More than a message may carry: a write of 40 MiB.
    const std::size_t huge = std::size_t(40) << 20;
    Value written = run("written", "writeWith('library', " + std::to_string(huge) + ", 3)");
    EXPECT_EQ(written[3], huge) << written;
    EXPECT_TRUE(testutil::readFile(file) == pattern(huge, 3));
}

// File work keeps its order around bytes outside the messages: a write queued behind a read does
// not change what the read hands to the page, and the answers come in the order of the calls.
TEST(PageBytes, FileWorkWaitsUntilThePageHasTheBytes) {
    const std::size_t n = 2 << 20;
    platform::makeDirs(persistent());
    testutil::writeFile(persistent() + "/o.bin", pattern(n, 9));
    PageFixture fixture({{"index.html", page(R"(<script>
      window.go = function(n){
        var url = 'whfile://localhost/persistent/o.bin', order = [], checks = {};
        function done(){ if (order.length === 4) report('order', order, checks); }
        call('readAsArrayBuffer', [url, 0, -1]).then(function(r){
          order.push('read'); checks.read = same(new Uint8Array(r.value), pattern(n, 9)); done();
        });
        call('write', [url, 'cut', 0]).then(function(r){ order.push('write'); checks.write = r.value; done(); });
        call('readAsText', [url, 'UTF-8', 0, -1]).then(function(r){ order.push('text'); checks.text = r.value; done(); });
        call('getFileMetadata', [url]).then(function(r){ order.push('meta'); checks.size = r.value.size; done(); });
      };
    </script>)")}},
                        kFileFeature);
    ASSERT_TRUE(fixture.load());
    fixture.ui().webView->evaluateScript("go(" + std::to_string(n) + ")");
    Value order = fixture.waitForReport("order", 60);
    ASSERT_FALSE(order.is_null());
    EXPECT_EQ(order[1], Value::parse(R"(["read","write","text","meta"])"));
    EXPECT_EQ(order[2], Value::parse(R"({"read":true,"write":3,"text":"cut","size":3})"));
}

// The companion's file access on the main thread, behind a read whose bytes go to the page, does
// not wait for a main thread that waits for it: it takes its turn in the queue and sees the work
// queued before it.
TEST(PageBytes, TheCompanionsAccessBehindATransferGetsItsFile) {
    platform::makeDirs(persistent());
    testutil::writeFile(persistent() + "/big.bin", pattern(4 << 20, 2));
    testutil::writeFile(persistent() + "/DadUdidizi.json", "{\"v\":1}");
    PageFixture fixture({{"index.html", page(R"(<script>
      window.go = function(){
        call('readAsArrayBuffer', ['whfile://localhost/persistent/big.bin', 0, -1]).then(function(r){
          report('read', r.value.byteLength);
        });
        report('asked');
      };
    </script>)")}},
                        kFileFeature);
    ASSERT_TRUE(fixture.load());
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    filePlugin()->enqueueFileWork([released] { released.wait(); });
    fixture.ui().webView->evaluateScript("go()");
    // The page's calls arrive in order: once its report is here, the read is queued behind the
    // held work, and a write of the file behind the read.
    ASSERT_FALSE(fixture.waitForReport("asked", 30).is_null());
    filePlugin()->enqueueFileWork([] { platform::writeFileAtomically(persistent() + "/DadUdidizi.json", "{\"v\":2}"); });
    // Released from here: the read's hand-over to the page comes while the load waits.
    release.set_value();
    std::optional<Value> loaded;
    FilePluginAccess::loadFile("DadUdidizi.json", [&](std::optional<Value> v) { loaded = std::move(v); });
    EXPECT_EQ(loaded, std::optional<Value>(Value::parse("{\"v\":2}"))) << "read in its turn, after the write";
    EXPECT_EQ(fixture.waitForReport("read", 30)[1], 4 << 20);
}

// Frames of other documents get neither the entry point nor bytes; a page that replaced the
// application's gets no bytes meant for it, and its web process keeps no descriptor of them.
TEST(PageBytes, OtherDocumentsReachNeitherTheEntryPointNorADescriptor) {
    testutil::DownloadServer server;
    const char* ping = "function ping(p){ new Image().src = p + '?' + Math.random(); }";
    server.route("/frame.html",
                 {200,
                  std::string("<!DOCTYPE html><html><body><script>") + ping +
                      "var seen = [typeof window.__kivanoResults, typeof window.webhostbridge];"
                      "try { seen.push(typeof parent.__kivanoResults.bytes); } catch (e) { seen.push('denied'); }"
                      "parent.postMessage(JSON.stringify(seen), '*');</script></body></html>",
                  "text/html"});
    // A document of another origin in the main frame, with a library of its own that tells its
    // server whenever anything calls it.
    server.route("/away.html",
                 {200,
                  std::string("<!DOCTYPE html><html><head><script>") + ping +
                      "var hit = function(){ ping('/hit'); };"
                      "window.webhost = { require: function(){ return { nativeCallback: hit, nativeEvalAndFetch: hit }; },"
                      " fireDocumentEvent: hit };"
                      "</script></head><body><script>ping('/away-' + typeof window.__kivanoResults + '-' +"
                      " typeof window.webhostbridge);</script></body></html>",
                  "text/html"});
    const std::size_t n = 3 << 20;
    platform::makeDirs(persistent());
    testutil::writeFile(persistent() + "/secret.bin", pattern(n, 1));
    PageFixture fixture({{"index.html", page("<iframe src=\"" + server.url("/frame.html") + R"("></iframe><script>
      window.addEventListener('message', function(e){ report('frame', e.data); });
    </script>)")}},
                        kFileFeature);
    ASSERT_TRUE(fixture.load());
    Value frame = fixture.waitForReport("frame", 20);
    ASSERT_FALSE(frame.is_null());
    EXPECT_EQ(Value::parse(frame[1].get<std::string>()), Value::parse(R"(["undefined","undefined","denied"])"));

    // The read is held on the file queue until the main frame shows the other document.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    filePlugin()->enqueueFileWork([released] { released.wait(); });
    fixture.ui().webView->evaluateScript(
        "call('readAsArrayBuffer', ['whfile://localhost/persistent/secret.bin', 0, -1]);"
        "call('readAsText', ['whfile://localhost/persistent/secret.bin', 'UTF-8', 0, -1]);"
        "location.href = " + platform::jsStringLiteral(server.url("/away.html")) + ";");
    auto requested = [&](const std::string& prefix) {
        for (const auto& p : server.requestedPaths()) {
            if (p.rfind(prefix, 0) == 0) return true;
        }
        return false;
    };
    ASSERT_TRUE(testutil::spinUntil([&] { return requested("/away-"); }, 30));
    EXPECT_TRUE(requested("/away-undefined-undefined")) << "no entry point after the navigation";
    release.set_value();
    platform::runMainLoopFor(1.0);
    EXPECT_FALSE(requested("/hit")) << "the bytes never reached the other document";
    EXPECT_TRUE(testutil::spinUntil([&] { return webProcessDescriptorsOf("secret.bin") == 0; }, 10));
}

// A token names bytes once, for the call and the argument that left them: one the web process
// never made, one used already, or one on another action gets no bytes.
TEST(PageBytes, TokensAreUsedOnceAndOnlyWhereBytesBelong) {
    platform::makeDirs(persistent());
    PageFixture fixture({{"index.html", page(R"(<script>
      window.go = function(){
        call('write', ['whfile://localhost/persistent/t.bin', pattern(200000, 4).buffer, 0]).then(function(r){
          report('written', r.value);
        });
      };
    </script>)")}},
                        kFileFeature);
    ASSERT_TRUE(fixture.load());
    RecordingClient client(fixture.ui().webViewDelegate.get());
    fixture.ui().webView->setClient(&client);
    fixture.ui().webView->evaluateScript("go()");
    ASSERT_EQ(fixture.waitForReport("written", 30)[1], 200000);
    ASSERT_EQ(client.held.size(), 1u);
    const platform::pagebridge::Call used = client.held[0];
    const std::string file = persistent() + "/t.bin";
    ASSERT_TRUE(testutil::readFile(file) == pattern(200000, 4));

    auto answerFor = [&](const std::string& id) -> Value {
        std::string probe = "JSON.stringify(raw[" + platform::jsStringLiteral(id) + "] || null)";
        Value found;
        testutil::spinUntil([&] {
            fixture.ui().webView->evaluateScript("window.webhostbridge.exec('INVALID', 'Probe', 'report', ['answer', " + probe + "]);");
            platform::runMainLoopFor(0.1);
            auto all = fixture.reportsTagged("answer");
            if (all.empty() || all.back()[1] == "null") return false;
            found = Value::parse(all.back()[1].get<std::string>());
            return true;
        }, 30);
        return found;
    };
    struct Case {
        std::string name;
        std::string service, action;
        platform::pagebridge::HeldBytes held;
        int status;
    };
    const platform::pagebridge::HeldBytes forged{1, "00112233445566778899aabbccddeeff", 200000};
    platform::pagebridge::HeldBytes otherArgument = *used.held;
    otherArgument.index = 0;
    const std::vector<Case> cases{
        {"replayed", "File", "write", *used.held, 9},
        {"never made", "File", "write", forged, 9},
        {"another action", "Probe", "echo", *used.held, 8},
        {"another argument", "File", "write", otherArgument, 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platform::pagebridge::Call m = used;
        m.callbackId = "case-" + c.name;
        m.service = c.service;
        m.action = c.action;
        m.held = c.held;
        fixture.ui().webViewDelegate->webViewBridgeMessage(m);
        Value answer = answerFor("case-" + c.name);
        EXPECT_EQ(answer["status"], c.status) << answer;
        EXPECT_TRUE(testutil::readFile(file) == pattern(200000, 4)) << "the file is as the one write left it";
    }
}
