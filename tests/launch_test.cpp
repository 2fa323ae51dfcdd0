// needs: display bus
// The real program started with arguments, then a second time: which URLs reach the page and in
// what order, what the page's first script finds at start, start at login, the window preferences on the real window, the web storage and
// data folders, cookies across a quit and a fresh launch, and the quit paths during an intercom
// call.
#include <gtest/gtest.h>

#include <glib.h>
#include <libsoup/soup.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/paths.h"
#include "platform/value.h"
#include "tests/support/program_run.h"
#include "tests/support/sipp_peer.h"
#include "tests/support/soup_server_thread.h"
#include "tests/support/test_util.h"
#include "tests/support/x11_windows.h"

using testutil::ProgramRun;
using testutil::X11Window;

namespace {

const char* const kTitle = "Kivano";
const std::string kPagePrefix = "page: ";

// The page notes the document events and the URLs it is handed on the console.
const char* const kLoggingPage = R"(<html><head><script src="js/webhost.js"></script><script>
function note(t) { console.log('page: ' + t); }
document.addEventListener('deviceready', function () { note('deviceready'); });
['resign', 'pause', 'active', 'resume'].forEach(function (e) {
  document.addEventListener(e, function () { note('event ' + e); });
});
function handleOpenURL(u) { note('url ' + u); }
</script></head><body>launch</body></html>)";

// A bundle of the test's own: config.xml with the given preferences and start page, the page
// library of the build, and the pages.
class Bundle {
public:
    Bundle(const std::string& preferences, const std::string& content = "index.html",
           const std::map<std::string, std::string>& pages = {{"index.html", kLoggingPage}}) {
        platform::makeDirs(dir_.path() + "/www/js");
        testutil::writeFile(dir_.path() + "/www/js/webhost.js", testutil::readFile(testutil::bundleDir() + "/www/js/webhost.js"));
        for (const auto& [name, text] : pages) testutil::writeFile(dir_.path() + "/www/" + name, text);
        // No application manager: no status item, so closing the window quits.
        testutil::writeFile(dir_.path() + "/config.xml",
                            "<?xml version=\"1.0\"?><widget><content src=\"" + content + "\"/>" + preferences +
                                "<feature name=\"HandleOpenUrl\"><param name=\"osx-package\" value=\"KVHandleOpenURL\"/>"
                                "<param name=\"onload\" value=\"true\"/></feature></widget>");
    }
    const std::string& path() const { return dir_.path(); }

private:
    testutil::TempDir dir_;
};

std::unique_ptr<ProgramRun> launch(const Bundle& bundle, std::vector<std::string> args,
                                   std::map<std::string, std::string> env = {}, const std::string& cwd = "") {
    env["KIVANO_BUNDLE_DIR"] = bundle.path();
    return std::make_unique<ProgramRun>(ProgramRun::Options{std::move(args), std::move(env), cwd});
}

// What the page noted, in order (without the prefix).
std::vector<std::string> pageNotes(const ProgramRun& run) {
    std::vector<std::string> out;
    for (const auto& l : run.lines()) {
        if (l.rfind(kPagePrefix, 0) == 0) out.push_back(l.substr(kPagePrefix.size()));
    }
    return out;
}

std::vector<std::string> pageURLs(const ProgramRun& run) {
    std::vector<std::string> out;
    for (const auto& n : pageNotes(run)) {
        if (n.rfind("url ", 0) == 0) out.push_back(n.substr(4));
    }
    return out;
}

bool waitForNote(ProgramRun& run, const std::string& note, double timeout = 30) {
    return run.waitForLine(kPagePrefix + note, timeout);
}

// Waits until the program has a window with our title in the wanted map state.
bool waitForWindow(const ProgramRun& run, bool viewable, X11Window& out, double timeout = 15) {
    return testutil::spinUntil(
        [&] { return testutil::findWindow(run.pid(), kTitle, out) && out.viewable == viewable; }, timeout);
}

// The program's quit path: the window is closed as a window manager closes it; without a status
// item the application terminates.
void quit(ProgramRun& run) {
    X11Window w;
    ASSERT_TRUE(waitForWindow(run, true, w)) << run.transcript();
    testutil::requestClose(w);
    EXPECT_EQ(run.waitForExit(30), 0) << run.transcript();
}

bool exists(const std::string& path) { return g_file_test(path.c_str(), G_FILE_TEST_EXISTS); }

int mode(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

const std::string kId = "com.kivano.Tarragon";

// Launch URLs arrive before launching finishes: of two, only the later one is shown, once. A
// second launch hands its URLs to the running instance, in order. The window has the size of
// "WindowSize" where the window manager puts it, and "HideMousePointer" 0 hides the pointer.
TEST(Launch, UrlsAtLaunchAndFromASecondLaunch) {
    Bundle bundle(R"(<preference name="WindowSize" value="640x480"/><preference name="HideMousePointer" value="0"/>)");
    auto first = launch(bundle, {"kivano://hs?mac=A", "kivano://hs?mac=B"});
    ASSERT_NE(first->pid(), 0);
    ASSERT_TRUE(waitForNote(*first, "url kivano://hs?mac=B")) << first->transcript();

    X11Window w;
    ASSERT_TRUE(waitForWindow(*first, true, w)) << first->transcript();
    ASSERT_TRUE(testutil::spinUntil([&] {
        testutil::findWindow(first->pid(), kTitle, w);
        return w.width == 640 && w.height == 480;
    }, 10)) << w.width << "x" << w.height;
    EXPECT_FALSE(w.programPosition) << "the window manager places the window";
    EXPECT_FALSE(w.userPosition);
    EXPECT_TRUE(testutil::spinUntil([&] { return testutil::pointerIsBlankOver(w); }, 10)) << "pointer hidden";

    auto second = launch(bundle, {"kivano://hs?mac=C", "kivano://hs?mac=D"});
    EXPECT_EQ(second->waitForExit(30), 0) << second->transcript();
    ASSERT_TRUE(waitForNote(*first, "url kivano://hs?mac=D")) << first->transcript();
    platform::runMainLoopFor(0.5);  // a late duplicate would show here
    EXPECT_EQ(pageURLs(*first), (std::vector<std::string>{"kivano://hs?mac=B", "kivano://hs?mac=C", "kivano://hs?mac=D"}))
        << first->transcript();
    quit(*first);
}

// The page's load is under way before the application registers and before the start-up
// plug-ins are made, yet nothing of the page is served before them: the first script's request
// of the file plug-in's scheme and its first call find the plug-in made at start.
TEST(Launch, TheFirstScriptFindsTheStartUpPlugins) {
    const std::string folder = platform::dataHome() + "/" + kId + "/files";
    platform::makeDirs(folder);
    testutil::writeFile(folder + "/first.txt", "made before the start");
    const std::string page = R"(<html><head><script src="js/webhost.js"></script><script>
function note(t) { console.log('page: ' + t); }
fetch('whfile://localhost/persistent/first.txt').then(function (r) { return r.text(); })
  .then(function (t) { note('first request ' + t); }, function (e) { note('first request failed ' + e); });
webhost.exec(function (v) { note('first call ' + v); }, function (e) { note('first call failed ' + JSON.stringify(e)); },
             'File', 'testFileExists', [)" + platform::Value(folder + "/first.txt").dump() + R"(]);
document.addEventListener('deviceready', function () { note('deviceready'); });
</script></head><body>first</body></html>)";
    Bundle bundle("<feature name=\"File\"><param name=\"osx-package\" value=\"WHFile\"/>"
                  "<param name=\"onload\" value=\"true\"/></feature>",
                  "index.html", {{"index.html", page}});
    auto run = launch(bundle, {});
    ASSERT_NE(run->pid(), 0);
    EXPECT_TRUE(waitForNote(*run, "first request made before the start")) << run->transcript();
    EXPECT_TRUE(waitForNote(*run, "first call 1")) << run->transcript();
    ASSERT_TRUE(waitForNote(*run, "deviceready")) << run->transcript();
    quit(*run);
}

// Started at login the program keeps its window hidden while the page loads; a later launch
// without URL shows it, and the page hears it come back.
TEST(Launch, StartAtLoginStaysHidden) {
    Bundle bundle("");
    auto first = launch(bundle, {"kivano://startup"});
    ASSERT_NE(first->pid(), 0);
    ASSERT_TRUE(waitForNote(*first, "deviceready")) << first->transcript();
    platform::runMainLoopFor(0.5);
    X11Window w;
    EXPECT_FALSE(testutil::findWindow(first->pid(), kTitle, w) && w.viewable) << "window shown at login";
    EXPECT_TRUE(pageURLs(*first).empty()) << first->transcript();

    auto second = launch(bundle, {});
    EXPECT_EQ(second->waitForExit(30), 0) << second->transcript();
    EXPECT_TRUE(waitForWindow(*first, true, w)) << first->transcript();
    ASSERT_TRUE(waitForNote(*first, "event active")) << first->transcript();
    auto notes = pageNotes(*first);
    auto resume = std::find(notes.begin(), notes.end(), "event resume");
    auto active = std::find(notes.begin(), notes.end(), "event active");
    EXPECT_LT(resume, active) << first->transcript();
    EXPECT_TRUE(pageURLs(*first).empty());
    quit(*first);
}

// Where the web storage lands, from a working folder of its own: the application's data folder,
// the home-relative fallback when that cannot be made, or the preference with "~" expanded.
// WebKit's caches go to the application's cache folder; nothing goes to folders named after the
// program, and nothing below the working folder.
TEST(Launch, StorageFolders) {
    const std::string home = platform::homeDir();
    const std::string blocked = home + "/not-a-folder";
    testutil::writeFile(blocked, "");
    struct Case {
        const char* name;
        std::string preference;
        bool dataHomeFails;
        std::string storage;  // where web storage goes
        std::string cookies;  // the folder holding cookies.sqlite
    } cases[] = {
        {"default", "", false, platform::dataHome() + "/" + kId, platform::dataHome() + "/" + kId},
        {"fallback", "", true, home + "/Library/Application Support/" + kId, home + "/Library/Application Support/" + kId},
        {"preference", R"(<preference name="OSXLocalStoragePath" value="~/web data"/>)", false, home + "/web data",
         platform::dataHome() + "/" + kId},
    };
    const char* page = R"(<html><head><script src="js/webhost.js"></script><script>
document.addEventListener('deviceready', function () {
  localStorage.setItem('kept', 'yes');
  console.log('page: stored');
});</script></head><body>storage</body></html>)";
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        testutil::TempDir cwd;
        Bundle bundle(k.preference, "index.html", {{"index.html", page}});
        std::map<std::string, std::string> env;
        if (k.dataHomeFails) env["XDG_DATA_HOME"] = blocked + "/share";
        auto run = launch(bundle, {}, env, cwd.path());
        ASSERT_TRUE(waitForNote(*run, "stored")) << run->transcript();
        quit(*run);

        EXPECT_TRUE(run->waitForLine("WebStoragePath is '" + k.storage + "', modify in config.xml.", 0))
            << run->transcript();
        EXPECT_TRUE(exists(k.storage + "/storage")) << k.storage;
        EXPECT_TRUE(exists(k.cookies + "/cookies.sqlite")) << k.cookies;
        EXPECT_FALSE(exists(cwd.path() + "/~")) << "a literal ~ below the working folder";
        if (k.dataHomeFails) {
            EXPECT_TRUE(run->waitForLine(
                [&](const std::string& l) {
                    return l.rfind("error finding app support directory " + blocked + "/share/" + kId, 0) == 0 &&
                           l.find(g_strerror(ENOTDIR)) != std::string::npos;
                },
                0))
                << run->transcript();
        } else {
            EXPECT_EQ(mode(platform::dataHome() + "/" + kId), 0700);
        }
        EXPECT_EQ(mode(platform::cacheHome() + "/" + kId), 0700);
        EXPECT_FALSE(exists(platform::dataHome() + "/kivano"));
        EXPECT_FALSE(exists(platform::cacheHome() + "/kivano"));
        EXPECT_TRUE(exists(platform::cacheHome() + "/" + kId + "/hsts-storage.sqlite"));
    }
}

// A loopback site: the page on 127.0.0.1 sets a cookie and shows an image from localhost (another
// site), which sets one of its own. After a clean quit a fresh launch sends both again.
class CookieSite {
public:
    struct Request {
        std::string host, path, cookie;
    };
    CookieSite()
        : server_("cookie site", [this](SoupServer* s) {
              soup_server_add_handler(s, nullptr, &CookieSite::handle, this, nullptr);
          }) {}
    unsigned port() const { return server_.port(); }
    std::vector<Request> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        requests_.clear();
    }
    bool saw(const std::string& path) const {
        for (const auto& r : requests()) {
            if (r.path == path) return true;
        }
        return false;
    }
    std::string cookieOf(const std::string& path) const {
        for (const auto& r : requests()) {
            if (r.path == path) return r.cookie;
        }
        return "<no request>";
    }

private:
    static void handle(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable*, gpointer self) {
        auto* site = static_cast<CookieSite*>(self);
        SoupMessageHeaders* in = soup_server_message_get_request_headers(msg);
        const char* host = soup_message_headers_get_one(in, "Host");
        const char* cookie = soup_message_headers_get_one(in, "Cookie");
        {
            std::lock_guard lock(site->mutex_);
            site->requests_.push_back({host ? host : "", path, cookie ? cookie : ""});
        }
        SoupMessageHeaders* out = soup_server_message_get_response_headers(msg);
        std::string p = path;
        std::string other = "http://localhost:" + std::to_string(site->port());
        if (p == "/page") {
            soup_message_headers_append(out, "Set-Cookie", "first=1; Max-Age=86400; Path=/");
            std::string body = "<html><body><img src=\"" + other + "/pixel\" onload=\"new Image().src='/done'\"></body></html>";
            soup_server_message_set_response(msg, "text/html", SOUP_MEMORY_COPY, body.data(), body.size());
        } else if (p == "/pixel") {
            soup_message_headers_append(out, "Set-Cookie", "third=1; Max-Age=86400; Path=/; SameSite=None");
            static const unsigned char gif[] = {0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 1, 0, 1, 0, 0x80, 0, 0, 0, 0, 0,
                                                0xff, 0xff, 0xff, 0x21, 0xf9, 4, 1, 0, 0, 0, 0, 0x2c, 0, 0, 0, 0,
                                                1, 0, 1, 0, 0, 2, 2, 0x44, 1, 0, 0x3b};
            soup_server_message_set_response(msg, "image/gif", SOUP_MEMORY_STATIC, reinterpret_cast<const char*>(gif),
                                             sizeof gif);
        } else {
            soup_server_message_set_response(msg, "text/plain", SOUP_MEMORY_STATIC, "", 0);
        }
        soup_server_message_set_status(msg, 200, nullptr);
    }

    mutable std::mutex mutex_;
    std::vector<Request> requests_;
    testutil::SoupServerThread server_;  // last: stopped before what its handler uses goes
};

TEST(Launch, CookiesSurviveAQuitAndAFreshLaunch) {
    CookieSite site;
    std::string start = "http://127.0.0.1:" + std::to_string(site.port()) + "/page";
    Bundle bundle("", start);

    auto first = launch(bundle, {});
    ASSERT_TRUE(testutil::spinUntil([&] { return site.saw("/done"); }, 30)) << first->transcript();
    EXPECT_EQ(site.cookieOf("/page"), "") << "the jar starts empty";
    quit(*first);
    EXPECT_TRUE(exists(platform::dataHome() + "/" + kId + "/cookies.sqlite"));

    site.clear();
    auto second = launch(bundle, {});
    ASSERT_TRUE(testutil::spinUntil([&] { return site.saw("/done"); }, 30)) << second->transcript();
    EXPECT_EQ(site.cookieOf("/page"), "first=1") << "first-party cookie kept";
    EXPECT_EQ(site.cookieOf("/pixel"), "third=1") << "third-party cookie taken and kept";
    quit(*second);
}

// The quit paths during a confirmed intercom call: the window closed (no status item), SIGTERM
// and SIGINT all end the run in order, the door gets its BYE and answers it, and the exit status
// is 0.
TEST(Launch, QuitDuringAnIntercomCallEndsTheCallAtTheDoor) {
#ifndef KIVANO_HAVE_LINPHONE
    GTEST_SKIP() << "built without a SIP library";
#endif
    if (!testutil::SippPeer::available()) GTEST_SKIP() << "SIPp is not installed";
    struct Case {
        const char* name;
        int signal;  // 0: the window is closed
    };
    for (const Case& c : {Case{"window closed", 0}, Case{"SIGTERM", SIGTERM}, Case{"SIGINT", SIGINT}}) {
        SCOPED_TRACE(c.name);
        // The door's time-out runs from its start, before the program's start and page: an upper
        // bound well beyond both.
        testutil::SippPeer door("answer", {120});
        ASSERT_TRUE(door.started());
        platform::Value settings = {{"sipPort", testutil::freeSipPort()}, {"srcUser", "intercom-test"}, {"srcHost", "127.0.0.1"},
                          {"kvIntercomPass", "geheim"}};
        std::string config = platform::toJson(platform::Value{{"target", door.uri()}, {"settings", settings}});
        std::string page = R"(<html><head><script src="js/webhost.js"></script><script>
document.addEventListener('deviceready', function () {
  webhost.exec(function (r) { console.log('page: state ' + r.state); },
               function (e) { console.log('page: ended ' + JSON.stringify(e)); },
               'SIP', 'makeCall', [)" + platform::jsStringLiteral(config, '\'') + R"(]);
});</script></head><body>intercom</body></html>)";
        Bundle bundle(R"(<feature name="SIP"><param name="osx-package" value="SIP"/></feature>)", "index.html",
                      {{"index.html", page}});
        auto run = launch(bundle, {});
        ASSERT_NE(run->pid(), 0);
        ASSERT_TRUE(waitForNote(*run, "state 5")) << run->transcript() << door.errors();
        if (c.signal == 0) {
            quit(*run);
        } else {
            ::kill(run->pid(), c.signal);
            EXPECT_EQ(run->waitForExit(30), 0) << run->transcript();
        }
        EXPECT_EQ(door.wait(), 0) << door.errors() << run->transcript();
        std::vector<std::string> received;
        for (const auto& m : door.messages())
            if (m.received) received.push_back(m.name);
        EXPECT_NE(std::find(received.begin(), received.end(), "BYE"), received.end()) << testing::PrintToString(received);
        for (const auto& note : pageNotes(*run)) EXPECT_EQ(note.rfind("ended", 0), std::string::npos) << note;
    }
}

}  // namespace
