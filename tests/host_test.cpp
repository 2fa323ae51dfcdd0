// needs: display
// The host without a display: config.xml, plug-in lookup, start page, preferences, resource
// lookup, result queueing, URL arrival and the companion's window modes.
#include <gtest/gtest.h>

#include <gtk/gtk.h>
#include <pwd.h>
#include <unistd.h>

#include "app/Interface.h"
#include "bridge/KVHandleOpenURL.h"
#include "bridge/WHConfigParser.h"
#include "companion/KVControlMain.h"
#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "platform/paths.h"
#include "platform/user_defaults.h"
#include "tests/support/recording_webview.h"
#include "tests/support/test_util.h"

using platform::Value;
using testutil::RecordingWebView;

// The results a delivery hands to the page ("<function>([...])"), or null for another script.
static Value resultsIn(const std::string& script) {
    const std::string head = std::string(WHCommandDelegateImpl::kResultsFunction) + "(";
    if (script.rfind(head, 0) != 0 || script.back() != ')') return nullptr;
    auto parsed = platform::parseJson(script.substr(head.size(), script.size() - head.size() - 1));
    return parsed ? *parsed : Value();
}

TEST(ConfigParser, ElementsAndAttributes) {
    WHConfigParser p;
    p.parseText(R"(<widget>
      <preference name="WindowSize" value="800x600"/>
      <preference name="WindowSize" value="1024x768"/>
      <preference name="Gone" value="1"/><preference name="Gone"/>
      <param name="osx-package" value="Stray"/>
      <feature name="Device"><param name="OSX-Package" value="WHDevice"/><param name="onload" value="true"/>
        <param name="x" onload="TRUE"/></feature>
      <feature name="Other"><param name="ios-package" value="A"/><param name="ios-package"/></feature>
      <feature name="Late"><param name="onload" value="TRUE"/></feature>
      <access origin="*"/>
      <content src="first.html"/><content src="start.html"/>
    </widget>)");
    EXPECT_EQ(p.settings, (std::map<std::string, std::string>{{"WindowSize", "1024x768"}}));
    EXPECT_EQ(p.pluginsDict, (std::map<std::string, std::string>{{"device", "WHDevice"}}));
    EXPECT_EQ(p.startupPluginNames, (std::vector<std::string>{"device", "device"}));
    EXPECT_EQ(p.whitelistHosts, (std::vector<std::string>{"*"}));
    EXPECT_EQ(p.startPage, "start.html");
}

TEST(ConfigParser, ParseErrorKeepsWhatCameBefore) {
    WHConfigParser p;
    p.parseText(R"(<widget><preference name="A" value="1"/><feature name="F"><param name="osx-package" value="C"/>
                   <broken <preference name="B" value="2"/></widget>)");
    EXPECT_EQ(p.settings.count("A"), 1u);
    EXPECT_EQ(p.settings.count("B"), 0u);
    EXPECT_EQ(p.pluginsDict["f"], "C");
}

// A bundle of the test's own; the host reads it.
class HostTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        gtk_init(nullptr, nullptr);
        platform::initMainThread();
    }
    void makeBundle(const std::string& config, bool withPage = true) {
        platform::makeDirs(dir.path() + "/www/css");
        if (withPage) testutil::writeFile(dir.path() + "/www/index.html", "<html></html>");
        testutil::writeFile(dir.path() + "/www/css/app.css", "body{}");
        testutil::writeFile(dir.path() + "/config.xml", config);
        platform::Bundle::main().setResourcePathForTesting(dir.path());
    }
    void TearDown() override {
        ui.reset();
        platform::Bundle::main().setResourcePathForTesting("");
        platform::UserDefaults::standard().reset();
    }
    std::unique_ptr<MainInterface> loadUI() {
        auto wv = std::make_unique<RecordingWebView>();
        web = wv.get();
        return MainInterface::load(std::move(wv));
    }
    testutil::TempDir dir;
    std::unique_ptr<MainInterface> ui;
    RecordingWebView* web = nullptr;
};

// A page's call as the page bridge hands it over.
static platform::BridgeMessage call(const std::string& id, const std::string& service, const std::string& action,
                                    const std::string& arguments) {
    return platform::pagebridge::Call{id, service, action, arguments, std::nullopt};
}

static const char* kConfig = R"(<widget>
  <feature name="Logger"><param name="osx-package" value="WHLogger"/></feature>
  <feature name="Log2"><param name="osx-package" value="WHLogger"/></feature>
  <feature name="Missing"><param name="osx-package" value="NoSuchClass"/></feature>
  <feature name="HandleOpenUrl"><param name="osx-package" value="KVHandleOpenURL"/><param name="onload" value="true"/></feature>
</widget>)";

TEST_F(HostTest, PluginLookupByServiceName) {
    makeBundle(kConfig);
    testutil::LogCapture logs;
    ui = loadUI();
    auto& vc = *ui->viewController;
    EXPECT_EQ(vc.pluginObjects.count("KVHandleOpenURL"), 1u) << "start-up plug-in";
    WHPlugin* a = vc.getCommandInstance("Logger");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(vc.getCommandInstance("LOGGER"), a);
    EXPECT_EQ(vc.getCommandInstance("log2"), a) << "two services, one class, one instance";
    EXPECT_EQ(a->viewController(), &vc);
    EXPECT_EQ(a->commandDelegate(), vc.commandDelegate());
    EXPECT_EQ(vc.getCommandInstance("Unmapped"), nullptr);
    EXPECT_EQ(vc.getCommandInstance("Missing"), nullptr);
    EXPECT_TRUE(logs.contains("WHPlugin class NoSuchClass (pluginName: Missing) does not exist."));
}

TEST_F(HostTest, StartPageAndPageObjects) {
    makeBundle(kConfig);
    ui = loadUI();
    EXPECT_EQ(web->loadedURL, "file://" + dir.path() + "/www/index.html");
    EXPECT_EQ(web->loadTimeout, 20.0);
    const std::string www = "file://" + dir.path() + "/www/";
    EXPECT_EQ(web->bridge.trustedPrefix, www);
    EXPECT_TRUE(web->bridge.publishConsole);
    // A message while the web view shows another document is dropped unread, whatever sent it.
    testutil::LogCapture logs;
    for (const std::string& shown : {std::string("http://127.0.0.1/"), www + "../x.html"}) {
        web->setCurrentURL(shown);
        web->client->webViewBridgeMessage(call("cb", "Logger", "logLevel", R"(["LOG","remote"])"));
    }
    EXPECT_EQ(ui->viewController->pluginObjects.count("WHLogger"), 0u);
    web->setCurrentURL(www + "index.html");
    web->client->webViewBridgeMessage(call("cb", "Logger", "logLevel", R"(["LOG","own"])"));
    EXPECT_TRUE(logs.contains("own"));
    EXPECT_FALSE(logs.contains("remote"));

    EXPECT_EQ(ui->viewController->trustedPagePrefix(), www);
    struct Case {
        std::string url;
        bool trusted;
    } cases[] = {
        {www + "sub/x.html?q", true},          {www + "../secret.html", false}, {www + "%2e%2e/secret.html", false},
        {www + "sub/..", false},               {www + "a%00b.html", false},     {"file://" + dir.path() + "/wwwx/a.html", false},
        {"http://127.0.0.1/", false},          {"", false},
    };
    for (const auto& k : cases) EXPECT_EQ(ui->viewController->isTrustedPageURL(k.url), k.trusted) << k.url;
}

// Calls the host refuses before any plug-in sees them; each one that names a callback gets a
// JSON error on it.
TEST_F(HostTest, DeepBrokenOrOversizedCallsAreRefusedWithAnAnswer) {
    makeBundle(kConfig);
    ui = loadUI();
    auto nested = [](std::size_t levels) { return std::string(levels, '[') + std::string(levels, ']'); };
    // The argument array is one level; the second argument adds the rest.
    const std::size_t inner = WHWebViewDelegate::kMaxPageValueDepth - 1;
    struct Case {
        std::string name;
        platform::BridgeMessage message;
        bool reaches;
        std::string logged;
    } cases[] = {
        {"at-limit", call("at-limit", "Logger", "logLevel", "[\"mark\"," + nested(inner) + "]"), true, "mark: [["},
        {"one-deeper", call("one-deeper", "Logger", "logLevel", "[\"mark\"," + nested(inner + 1) + "]"), false,
         "ERROR: call refused: the arguments are nested deeper than 256 levels"},
        {"very-deep", call("very-deep", "Logger", "logLevel", "[\"mark\"," + nested(100000) + "]"), false,
         "ERROR: call refused: the arguments are nested deeper than 256 levels"},
        {"deep-in-text", call("deep-in-text", "Logger", "logLevel", "[\"mark\",\"" + std::string(1000, '[') + "\"]"),
         true, "mark: [[["},
        {"broken", call("broken", "Logger", "logLevel", "[\"mark\","), false, "ERROR: call refused: the arguments are not JSON"},
        {"oversized",
         call("oversized", "Logger", "logLevel", "[\"mark\",\"" + std::string(WHWebViewDelegate::kMaxPageMessageBytes, 'x') + "\"]"),
         false, "ERROR: call refused: a message of"},
        {"refused-there", platform::pagebridge::Refusal{"call", "refused-there", "too large over there"}, false,
         "ERROR: call refused: too large over there"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        testutil::LogCapture logs;
        web->scripts.clear();
        web->client->webViewBridgeMessage(k.message);
        EXPECT_TRUE(logs.containsSubstring(k.logged));
        EXPECT_EQ(logs.containsSubstring("mark: "), k.reaches);
        platform::runMainLoopUntil([&] { return !web->scripts.empty(); }, k.reaches ? 0.1 : 2);
        Value results = web->scripts.empty() ? Value() : resultsIn(web->scripts[0]);
        bool answered = results.is_array() && results.size() == 1 && results[0][0] == k.name && results[0][1] == 8;
        EXPECT_EQ(answered, !k.reaches);
    }
}

TEST_F(HostTest, MissingStartPageLoadsTheErrorText) {
    makeBundle(R"(<widget><content src="start.html?x=1"/></widget>)");
    testutil::LogCapture logs;
    ui = loadUI();
    EXPECT_TRUE(ui->viewController->loadFromString);
    EXPECT_TRUE(logs.contains("ERROR: Start Page at 'www/start.html?x=1' was not found."));
    EXPECT_EQ(web->loadedHTML, "<html><body> ERROR: Start Page at 'www/start.html?x=1' was not found. </body></html>");
}

TEST_F(HostTest, StartPageAsURLAndItsOrigin) {
    makeBundle(R"(<widget><content src="http://127.0.0.1:8080/app/index.html"/></widget>)");
    ui = loadUI();
    EXPECT_EQ(web->loadedURL, "http://127.0.0.1:8080/app/index.html");
    EXPECT_TRUE(ui->viewController->isTrustedPageURL("http://127.0.0.1:8080/other.html"));
    EXPECT_FALSE(ui->viewController->isTrustedPageURL("http://127.0.0.1:8081/app/index.html"));
}

TEST_F(HostTest, NoConfigMeansNoPageAndNoPlugins) {
    platform::Bundle::main().setResourcePathForTesting(dir.path());
    ui = loadUI();
    EXPECT_TRUE(web->loadedURL.empty());
    EXPECT_TRUE(web->loadedHTML.empty());
    EXPECT_EQ(ui->viewController->getCommandInstance("Logger"), nullptr);
}

TEST_F(HostTest, WindowSizeAndOtherPreferences) {
    struct Case {
        const char* value;
        double w, h;
        bool full;
    } cases[] = {{"1024x768", 1024, 768, false}, {"1024X768", 0, 0, false}, {"800x600x2", 0, 0, false},
                 {"0x600", 0, 600, false},       {"fullscreen", 0, 0, true}, {"Fullscreen", 0, 0, false},
                 {" 12abcx 7", 12, 7, false}};
    for (const auto& k : cases) {
        makeBundle(std::string("<widget><preference name=\"WindowSize\" value=\"") + k.value +
                   "\"/><preference name=\"EnableWebGL\" value=\"  +0yes\"/></widget>");
        ui = loadUI();
        EXPECT_EQ(ui->viewController->cfgWindowSize.width, k.w) << k.value;
        EXPECT_EQ(ui->viewController->cfgWindowSize.height, k.h) << k.value;
        EXPECT_EQ(ui->viewController->cfgFullScreen, k.full) << k.value;
        EXPECT_TRUE(web->webGL);
        EXPECT_EQ(web->localStoragePath, platform::dataHome() + "/com.kivano.Tarragon");
        ui.reset();
    }
}

// The web storage folder: the application's data folder, the preference made absolute (never
// below the working folder), and the fallback below the home folder when the data folder
// cannot be made.
TEST_F(HostTest, LocalStorageFolder) {
    const std::string home = platform::homeDir();
    const std::string id = platform::Bundle::main().identifier();
    const std::string blocker = dir.file("plain-file");
    testutil::writeFile(blocker, "");
    struct Case {
        const char* preference;  // null: none
        bool dataHomeFails;
        std::string expected;
    } cases[] = {
        {nullptr, false, platform::dataHome() + "/" + id},
        {nullptr, true, home + "/Library/Application Support/" + id},
        {"~/Library/Web", false, home + "/Library/Web"},
        {"~", false, home},
        {"/var/tmp/web", false, "/var/tmp/web"},
        {"web/store", false, home + "/web/store"},
    };
    const std::string dataHome = platform::dataHome();
    for (const auto& k : cases) {
        SCOPED_TRACE(k.preference ? k.preference : "(none)");
        std::string pref = k.preference ? std::string("<preference name=\"OSXLocalStoragePath\" value=\"") + k.preference + "\"/>" : "";
        makeBundle("<widget>" + pref + "</widget>");
        if (k.dataHomeFails) g_setenv("XDG_DATA_HOME", (blocker + "/share").c_str(), TRUE);
        testutil::LogCapture logs;
        ui = loadUI();
        g_setenv("XDG_DATA_HOME", dataHome.c_str(), TRUE);
        EXPECT_EQ(web->localStoragePath, k.expected);
        EXPECT_TRUE(logs.contains("WebStoragePath is '" + k.expected + "', modify in config.xml."));
        EXPECT_EQ(logs.contains("error finding app support directory " + blocker + "/share/" + id + ": " +
                                g_strerror(ENOTDIR)),
                  k.dataHomeFails);
        ui.reset();
    }

    // A relative HOME is not the home folder; the account's one is.
    makeBundle(R"(<widget><preference name="OSXLocalStoragePath" value="~/Web"/></widget>)");
    g_setenv("HOME", "relative-home", TRUE);
    ui = loadUI();
    g_setenv("HOME", home.c_str(), TRUE);
    EXPECT_EQ(web->localStoragePath, std::string(getpwuid(getuid())->pw_dir) + "/Web");
}

TEST_F(HostTest, ResourceLookupBelowWww) {
    makeBundle(kConfig);
    ui = loadUI();
    auto* d = ui->viewController->commandDelegate();
    EXPECT_EQ(d->pathForResource("index.html"), dir.path() + "/www/index.html");
    EXPECT_EQ(d->pathForResource("css/app.css"), dir.path() + "/www/css/app.css");
    EXPECT_FALSE(d->pathForResource("app.css"));
    EXPECT_FALSE(d->pathForResource("css/"));
}

TEST_F(HostTest, ResultsAreQueuedInOrderAndNeverEvaluatedInsideTheCaller) {
    makeBundle(kConfig);
    ui = loadUI();
    auto* d = ui->viewController->commandDelegate();
    web->scripts.clear();
    auto kept = WHPluginResult::resultWithStatusMessageAsInt(WHCommandStatus_OK, 1);
    kept.setKeepCallbackAsBool(true);
    d->sendPluginResult(kept, "cb");
    d->sendPluginResult(kept, "cb");
    d->sendPluginResult(WHPluginResult::resultWithStatus(WHCommandStatus_OK), "cb");
    d->sendPluginResult(WHPluginResult::resultWithStatus(WHCommandStatus_OK), "INVALID");
    EXPECT_TRUE(web->scripts.empty()) << "nothing runs inside the caller";
    platform::runMainLoopUntil([&] { return !web->scripts.empty(); }, 2);
    ASSERT_EQ(web->scripts.size(), 1u) << "one evaluation for one main-loop turn";
    EXPECT_EQ(resultsIn(web->scripts[0]), Value::parse(R"([["cb",1,1,1],["cb",1,1,1],["cb",1,null,0]])")) << web->scripts[0];

    // Scripts stay evaluations of their own, between the results queued before and after them.
    web->scripts.clear();
    d->sendPluginResult(kept, "a");
    d->evalJs("first()");
    d->evalJs("second()");
    d->sendPluginResult(kept, "b");
    d->sendPluginResult(kept, "c");
    platform::runMainLoopUntil([&] { return web->scripts.size() >= 4; }, 2);
    ASSERT_EQ(web->scripts.size(), 4u);
    EXPECT_EQ(resultsIn(web->scripts[0]), Value::parse(R"([["a",1,1,1]])"));
    EXPECT_EQ(web->scripts[1], WHCommandDelegateImpl::wrapEvalAndFetch("first()"));
    EXPECT_EQ(web->scripts[2], WHCommandDelegateImpl::wrapEvalAndFetch("second()"));
    EXPECT_EQ(resultsIn(web->scripts[3]), Value::parse(R"([["b",1,1,1],["c",1,1,1]])"));
    for (const auto& script : web->scripts) EXPECT_EQ(script.find("eval("), std::string::npos) << script;
}

TEST_F(HostTest, ResultsAreNotEvaluatedIntoAForeignPage) {
    makeBundle(kConfig);
    ui = loadUI();
    web->setCurrentURL("https://example.invalid/");
    web->scripts.clear();
    ui->viewController->commandDelegate()->sendPluginResult(WHPluginResult::resultWithStatus(1, "secret"), "cb");
    platform::runMainLoopFor(0.1);
    EXPECT_TRUE(web->scripts.empty());
}

TEST_F(HostTest, UrlsBeforeTheFirstLoadWaitForIt) {
    makeBundle(kConfig);
    ui = loadUI();
    platform::Application::shared().finishLaunchingForTesting();
    web->scripts.clear();
    ui->delegate->getUrl(std::string("kivano://hs?mac=1"));
    EXPECT_TRUE(web->scripts.empty()) << "the page has not loaded yet";
    web->client->webViewMainFrameDidFinishLoad(web->currentURL());
    ASSERT_EQ(web->scripts.size(), 1u);
    EXPECT_EQ(web->scripts[0], KVHandleOpenURL::openURLScript("kivano://hs?mac=1"));
    EXPECT_EQ(web->scripts[0],
              "document.addEventListener('deviceready',function(){if (typeof handleOpenURL === 'function') { "
              "handleOpenURL(\"kivano://hs?mac=1\");}});");
    ui->delegate->getUrl(std::string("kivano://hs?mac=2"));
    ASSERT_EQ(web->scripts.size(), 2u) << "after the load, at once";
}

// URL arrival and window modes through the application delegate and the companion.
TEST_F(HostTest, UrlArrivalAndWindowModes) {
    makeBundle(kConfig);
    ui = loadUI();
    auto& d = *ui->delegate;
    std::vector<std::string> posted;
    platform::NotificationCenter::defaultCenter().addObserver(&posted, WHPluginHandleOpenURLNotification, nullptr,
                                                              [&](const platform::Notification& n) {
                                                                  auto* u = std::any_cast<std::string>(&n.payload);
                                                                  posted.push_back(u ? *u : "<none>");
                                                              });
    d.getUrl(std::string("kivano://a"));
    d.getUrl(std::string("kivano://b"));
    d.getUrl(std::string("KIVANO://startup"));
    EXPECT_EQ(d.startingURL, "KIVANO://startup");
    EXPECT_FALSE(d.startedAtLogin);
    d.getUrl(std::string(kStartupURL));
    EXPECT_TRUE(d.startedAtLogin);
    d.startedAtLogin = false;
    d.getUrl(std::string("kivano://b"));
    EXPECT_TRUE(posted.empty());

    web->scripts.clear();
    platform::Application::shared().finishLaunchingForTesting();
    ASSERT_NE(KVControlMain::sharedInstance(), nullptr);
    EXPECT_TRUE(d.initializationPassed);
    EXPECT_FALSE(d.startingURL);
    EXPECT_EQ(posted, (std::vector<std::string>{"kivano://b"}));
    EXPECT_TRUE(KVControlMain::sharedInstance()->windowIsOpen);
    EXPECT_EQ(platform::Application::shared().activationPolicy(), platform::ActivationPolicy::Regular);

    // In window mode a URL posts at once and no events go out.
    d.getUrl(std::string("kivano://c d"));
    EXPECT_EQ(posted.back(), "<none>") << "a text that does not parse posts without object";
    KVControlMain::sharedInstance()->showTarragon(std::string());
    KVControlMain::sharedInstance()->showTarragon(std::nullopt);
    EXPECT_EQ(posted.size(), 2u);

    // Closing: resign at once, pause queued; the application ends without a status item.
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillTerminateNotification);
    web->scripts.clear();
    ui->window->performClose();
    ASSERT_EQ(web->scripts.size(), 1u);
    EXPECT_NE(web->scripts[0].find("fireDocumentEvent('resign')"), std::string::npos);
    EXPECT_FALSE(KVControlMain::sharedInstance()->windowIsOpen);
    EXPECT_EQ(platform::Application::shared().activationPolicy(), platform::ActivationPolicy::Accessory);
    EXPECT_TRUE(platform::Application::shared().isTerminating());
    platform::runMainLoopUntil([&] { return web->scripts.size() >= 2; }, 2);
    ASSERT_EQ(web->scripts.size(), 2u);
    EXPECT_NE(web->scripts[1].find("fireDocumentEvent('pause')"), std::string::npos);

    // Reopening from menu-bar mode sends resume, then active.
    web->scripts.clear();
    KVControlMain::sharedInstance()->showTarragon(std::nullopt);
    platform::runMainLoopUntil([&] { return !web->scripts.empty(); }, 2);
    ASSERT_EQ(web->scripts.size(), 2u) << "both in the same main-loop turn";
    EXPECT_NE(web->scripts[0].find("fireDocumentEvent('resume')"), std::string::npos);
    EXPECT_NE(web->scripts[1].find("fireDocumentEvent('active')"), std::string::npos);
    platform::NotificationCenter::defaultCenter().removeObserver(&posted);
}

TEST_F(HostTest, StartAtLoginStaysInTheMenuBar) {
    makeBundle(kConfig);
    ui = loadUI();
    ui->delegate->getUrl(std::string(kStartupURL));
    web->scripts.clear();
    platform::Application::shared().setActivationPolicy(platform::ActivationPolicy::Regular);
    KVControlMain::initilizeKVControl();
    EXPECT_FALSE(KVControlMain::sharedInstance()->windowIsOpen);
    EXPECT_EQ(platform::Application::shared().activationPolicy(), platform::ActivationPolicy::Accessory);
    EXPECT_FALSE(ui->window->isVisible());
    platform::runMainLoopFor(0.05);
    EXPECT_TRUE(web->scripts.empty());
}

TEST(CompanionUtils, LimitsAndStrings) {
    EXPECT_EQ(Utils::getBPS(), 1048576);
    EXPECT_EQ(Utils::getFPS(), 20);
    EXPECT_EQ(Utils::kvString("no-such-key-here"), "no-such-key-here");
}

TEST(Logger, Levels) {
    testutil::LogCapture logs;
    WHLogger logger(nullptr);
    logger.invokeAction("logLevel", WHInvokedUrlCommand(Value::parse(R"(["LOG", "plain"])"), "c", "Logger", "logLevel"));
    logger.invokeAction("logLevel", WHInvokedUrlCommand(Value::parse(R"(["log", "lower"])"), "c", "Logger", "logLevel"));
    logger.invokeAction("logLevel", WHInvokedUrlCommand(Value::parse(R"([null, "none"])"), "c", "Logger", "logLevel"));
    EXPECT_TRUE(logs.contains("plain"));
    EXPECT_TRUE(logs.contains("log: lower"));
    EXPECT_TRUE(logs.contains("(null): none"));
}
