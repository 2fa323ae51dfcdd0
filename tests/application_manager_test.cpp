// The application manager: visibility setting, start at login, update download and start.
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

#include "bridge/WHConfigParser.h"
#include "platform/autostart.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "platform/paths.h"
#include "platform/user_defaults.h"
#include "plugins/services/ApplicationManager.h"
#include "platform/file_folders.h"
#include "tests/support/download_server.h"
#include "tests/support/recording_delegate.h"
#include "tests/support/services_scripted_platform.h"
#include "tests/support/test_util.h"

using testutil::DownloadServer;
using testutil::ScriptedSavePanel;
using testutil::ScriptedWorkspace;
using testutil::RecordingDelegate;

namespace {

WHInvokedUrlCommand command(const std::string& action, Value args = Value::array()) {
    return WHInvokedUrlCommand(std::move(args), "ApplicationManager1", "ApplicationManager", action);
}

const std::string kSetting = kApplicationManagerStatusBarIconVisibilityChangedSetting;

class ApplicationManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::initMainThread();
        platform::UserDefaults::standard().reset();
        platform::UserDefaults::standard().remove(kSetting);
        ::unlink(platform::autostartEntryPath(kTarragonLauncherAppBundleId).c_str());
        panel = ScriptedSavePanel::install();
        workspace = ScriptedWorkspace::install();
        platform::NotificationCenter::defaultCenter().addObserver(
            this, kApplicationManagerStatusBarIconVisibilityChangedNotification, nullptr,
            [this](const platform::Notification& n) { posted.push_back(n.userInfo); });
    }
    void TearDown() override {
        plugin.reset();
        platform::NotificationCenter::defaultCenter().removeObserver(this);
        ScriptedSavePanel::uninstall();
        ScriptedWorkspace::uninstall();
    }

    // Creates the plug-in as the host does; a second call is a restart of the program.
    ApplicationManager& start() {
        plugin.reset();
        platform::UserDefaults::standard().reset();
        plugin = std::make_unique<ApplicationManager>(nullptr);
        plugin->setCommandDelegate(&delegate);
        plugin->pluginInitialize();
        return *plugin;
    }

    WHPluginResult call(const std::string& action, Value args = Value::array()) {
        delegate.clear();
        plugin->invokeAction(action, command(action, std::move(args)));
        EXPECT_EQ(delegate.count(), 1u) << action;
        return delegate.count() ? delegate.last().result : WHPluginResult();
    }

    bool askBool(const std::string& action) {
        auto r = call(action);
        EXPECT_EQ(r.status(), WHCommandStatus_OK);
        return r.message() && r.message()->is_boolean() && r.message()->get<bool>();
    }

    RecordingDelegate delegate{RecordingDelegate::Background::Pool};
    std::unique_ptr<ApplicationManager> plugin;
    std::shared_ptr<ScriptedSavePanel> panel;
    std::shared_ptr<ScriptedWorkspace> workspace;
    std::vector<Value> posted;
    testutil::TempDir dir;
};

TEST_F(ApplicationManagerTest, InitialisationAnnouncesTheStoredVisibility) {
    struct Case {
        const char* what;
        Value stored;  // null: no setting
        bool visible;
    };
    const std::vector<Case> cases = {
        {"no setting", nullptr, true}, {"false", false, false}, {"true", true, true},
        {"number 0", 0, false},        {"number 2", 2, true},   {"text", "no", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.stored.is_null()) {
            platform::UserDefaults::standard().remove(kSetting);
        } else {
            platform::UserDefaults::standard().set(kSetting, c.stored);
        }
        posted.clear();
        start();
        ASSERT_EQ(posted.size(), 1u);
        EXPECT_EQ(posted[0], Value({{"showItem", c.visible}}));
        EXPECT_EQ(askBool("isVisibleInStatusBar"), c.visible);
        EXPECT_TRUE(posted.size() == 1u) << "asking posts nothing";
    }
}

TEST_F(ApplicationManagerTest, ShowStatusBarIconStoresAndAnnouncesAcrossARestart) {
    start();
    posted.clear();
    auto r = call("showStatusBarIcon", Value{false});
    EXPECT_EQ(r.status(), WHCommandStatus_OK);
    EXPECT_FALSE(r.message().has_value());
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0], Value({{"showItem", false}}));
    EXPECT_FALSE(askBool("isVisibleInStatusBar"));

    posted.clear();
    start();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0], Value({{"showItem", false}}));

    // Numbers are Booleans by their truth value.
    posted.clear();
    EXPECT_EQ(call("showStatusBarIcon", Value{1}).status(), WHCommandStatus_OK);
    EXPECT_EQ(posted.back(), Value({{"showItem", true}}));
    EXPECT_TRUE(askBool("isVisibleInStatusBar"));
    EXPECT_EQ(platform::UserDefaults::standard().object(kSetting), std::optional<Value>(true));
}

TEST_F(ApplicationManagerTest, ShowStatusBarIconRefusesWhatIsNoBoolean) {
    start();
    call("showStatusBarIcon", Value{false});
    for (const Value& args : {Value{"yes"}, Value::array(), Value{nullptr}, Value{Value::array()}}) {
        SCOPED_TRACE(args.dump());
        posted.clear();
        auto r = call("showStatusBarIcon", args);
        EXPECT_EQ(r.status(), WHCommandStatus_ERROR);
        EXPECT_FALSE(r.message().has_value());
        EXPECT_TRUE(posted.empty());
        EXPECT_FALSE(askBool("isVisibleInStatusBar"));
        EXPECT_EQ(platform::UserDefaults::standard().object(kSetting), std::optional<Value>(false));
    }
}

TEST_F(ApplicationManagerTest, StartAtLoginWritesAndRemovesTheAutostartEntry) {
    const std::string entry = platform::autostartEntryPath(kTarragonLauncherAppBundleId);
    EXPECT_EQ(entry, platform::configHome() + "/autostart/com.kivano.Tarragon.desktop");
    start();
    EXPECT_FALSE(askBool("doesAppStartWithSystem"));

    auto r = call("setAsStartupApp", Value{1});
    EXPECT_EQ(r.status(), WHCommandStatus_OK);
    EXPECT_FALSE(r.message().has_value());
    EXPECT_TRUE(askBool("doesAppStartWithSystem"));
    std::string text = testutil::readFile(entry);
    EXPECT_NE(text.find("[Desktop Entry]"), std::string::npos);
    EXPECT_NE(text.find("Exec=" + platform::desktopExecQuote(platform::executablePath()) + " kivano://startup\n"),
              std::string::npos)
        << text;

    start();
    EXPECT_TRUE(askBool("doesAppStartWithSystem")) << "read from the entry at initialisation";

    EXPECT_EQ(call("setAsStartupApp", Value{false}).status(), WHCommandStatus_OK);
    EXPECT_FALSE(askBool("doesAppStartWithSystem"));
    struct stat st;
    EXPECT_NE(::stat(entry.c_str(), &st), 0);
    EXPECT_EQ(call("setAsStartupApp", Value{false}).status(), WHCommandStatus_OK) << "removing an absent entry";

    for (const Value& args : {Value{"true"}, Value::array()}) {
        EXPECT_EQ(call("setAsStartupApp", args).status(), WHCommandStatus_ERROR);
        EXPECT_FALSE(askBool("doesAppStartWithSystem"));
    }
}

TEST_F(ApplicationManagerTest, RefusedLoginItemChangeKeepsTheOldValue) {
    const std::string autostart = platform::configHome() + "/autostart";
    const std::string entry = platform::autostartEntryPath(kTarragonLauncherAppBundleId);
    start();
    // Enabling: a file where the folder should be.
    ::rename(autostart.c_str(), (autostart + ".saved").c_str());
    testutil::writeFile(autostart, "not a folder");
    EXPECT_EQ(call("setAsStartupApp", Value{true}).status(), WHCommandStatus_ERROR);
    EXPECT_FALSE(askBool("doesAppStartWithSystem"));
    ::unlink(autostart.c_str());
    ::rename((autostart + ".saved").c_str(), autostart.c_str());

    // Disabling: the entry cannot be removed (a folder with content stands there).
    ASSERT_EQ(call("setAsStartupApp", Value{true}).status(), WHCommandStatus_OK);
    ::unlink(entry.c_str());
    ::mkdir(entry.c_str(), 0700);
    testutil::writeFile(entry + "/keep", "x");
    EXPECT_EQ(call("setAsStartupApp", Value{false}).status(), WHCommandStatus_ERROR);
    EXPECT_TRUE(askBool("doesAppStartWithSystem"));
    ::unlink((entry + "/keep").c_str());
    ::rmdir(entry.c_str());
}

TEST_F(ApplicationManagerTest, HiddenOrDisabledEntriesDoNotStartAtLogin) {
    const std::string entry = platform::autostartEntryPath(kTarragonLauncherAppBundleId);
    platform::makeDirs(platform::configHome() + "/autostart");
    struct Case {
        const char* text;
        bool active;
    };
    const std::vector<Case> cases = {
        {"[Desktop Entry]\nType=Application\nExec=kivano kivano://startup\n", true},
        {"[Desktop Entry]\nType=Application\nExec=kivano\nHidden=true\n", false},
        {"[Desktop Entry]\nType=Application\nExec=kivano\nX-GNOME-Autostart-enabled=false\n", false},
        {"[Desktop Entry]\nType=Application\nExec=kivano\nX-GNOME-Autostart-enabled=true\nHidden=false\n", true},
        {"not a desktop entry", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        testutil::writeFile(entry, c.text);
        start();
        EXPECT_EQ(askBool("doesAppStartWithSystem"), c.active);
    }
}

TEST(ServiceNames, TheBundlesConfigMapsTheDesktopServicesToTheirClasses) {
    WHConfigParser parser;
    ASSERT_TRUE(parser.parseFile(testutil::bundleDir() + "/config.xml"));
    for (const char* name : {"StorageManager", "ApplicationManager", "AppLink", "NetworkInterface"}) {
        std::string key = name;
        std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
        ASSERT_EQ(parser.pluginsDict.count(key), 1u) << name;
        EXPECT_TRUE(PluginRegistry::has(parser.pluginsDict[key])) << name;
    }
    // The status item depends on the announcement at initialisation, so the manager starts with the page.
    const auto& startup = parser.startupPluginNames;
    EXPECT_NE(std::find(startup.begin(), startup.end(), "applicationmanager"), startup.end());
}

TEST(DesktopExecQuote, QuotesWhatTheExecLineWouldSplitOrExpand) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/usr/bin/kivano", "/usr/bin/kivano"},
        {"/opt/My Apps/kivano", "\"/opt/My Apps/kivano\""},
        {"/tmp/a$b\"c`d\\e", "\"/tmp/a\\$b\\\"c\\`d\\\\e\""},
        {"/opt/100%/kivano", "/opt/100%%/kivano"},  // "%" opens a field code, also inside quotes
        {"/opt/a b/%u", "\"/opt/a b/%%u\""},
        {"", "\"\""},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(platform::desktopExecQuote(in), out) << in;
}

class UpdateDownloadTest : public ApplicationManagerTest {
protected:
    DownloadServer server;

    // What the downloads left in the application's cache: the body waits there only while its dialog is open.
    static std::vector<std::string> leftDownloads() {
        std::vector<std::string> names;
        auto folder = platform::supportFolder(platform::SupportFolderKind::Caches, "downloads");
        if (!folder) return names;
        for (const auto& e : std::filesystem::directory_iterator(*folder)) names.push_back(e.path().filename().string());
        return names;
    }
};

TEST_F(UpdateDownloadTest, SavedDownloadsOfferTheBodyUnderTheUpdateName) {
    server.route("/update.dmg", {200, std::string("DMG\0body", 8)});
    std::string large(8 << 20, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 131 + (i >> 12));
    server.route("/large.dmg", {200, large});
    start();
    struct Case {
        std::string url;
        std::string chosen;
        std::string content;
    };
    // The HTTP status is not examined: a 404 page is offered like any body.
    const std::vector<Case> cases = {
        {server.url("/update.dmg"), dir.file("first.dmg"), std::string("DMG\0body", 8)},
        {server.url("/large.dmg"), dir.file("large.dmg"), large},
        {server.url("/missing"), dir.file("second"), "<html><body>Not Found</body></html>"},
    };
    std::string expectedPath;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        delegate.clear();
        plugin->downloadUpdate(command("downloadUpdate", Value{c.url}));
        ASSERT_TRUE(testutil::spinUntil([&] { return panel->openCount() == 1; }));
        EXPECT_EQ(delegate.count(), 0u);
        auto options = panel->shown().back();
        EXPECT_EQ(options.nameFieldValue, "ZorudaZidovAdad");
        EXPECT_EQ(options.allowedFileTypes, std::vector<std::string>{"dmg"});
        panel->answer(c.chosen);
        ASSERT_TRUE(delegate.waitFor(1));
        EXPECT_EQ(delegate.last().result.status(), WHCommandStatus_OK);
        EXPECT_FALSE(delegate.last().result.message().has_value());
        EXPECT_TRUE(delegate.last().onMainThread);
        expectedPath = platform::pathWithAllowedType(c.chosen, options);
        EXPECT_EQ(testutil::readFile(expectedPath), c.content);
        EXPECT_EQ(plugin->updateFilePath(), std::optional<std::string>(expectedPath));
        EXPECT_EQ(leftDownloads(), std::vector<std::string>{});
    }
    // Two saved downloads: the second path is kept.
    EXPECT_EQ(expectedPath, dir.file("second.dmg"));
}

TEST_F(UpdateDownloadTest, FailuresAnswerOnceAndKeepTheSavedPath) {
    server.route("/update.dmg", {200, "v2"});
    start();
    panel->queueAnswer(dir.file("kept.dmg"));
    plugin->downloadUpdate(command("downloadUpdate", Value{server.url("/update.dmg")}));
    ASSERT_TRUE(delegate.waitFor(1));
    ASSERT_EQ(plugin->updateFilePath(), std::optional<std::string>(dir.file("kept.dmg")));
    std::size_t dialogs = panel->shown().size();

    struct Case {
        const char* what;
        Value args;
        std::string message;
        bool dialog;
    };
    const std::vector<Case> cases = {
        {"refused port", Value{"http://127.0.0.1:" + std::to_string(DownloadServer::refusedPort()) + "/u.dmg"},
         "download failed", false},
        {"cancelled dialog", Value{server.url("/update.dmg")}, "user canceled", true},
        {"write failure", Value{server.url("/update.dmg")}, "the file could not be written", true},
        {"no argument", Value::array(), "invalid URL", false},
        {"a number", Value{42}, "invalid URL", false},
        {"no URL", Value{"not a url"}, "invalid URL", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        delegate.clear();
        if (c.message == "user canceled") panel->queueAnswer(std::nullopt);
        if (c.message == "the file could not be written") panel->queueAnswer(dir.file("no/such/folder/u.dmg"));
        plugin->downloadUpdate(command("downloadUpdate", c.args));
        ASSERT_TRUE(delegate.waitFor(1));
        platform::runMainLoopFor(0.05);
        ASSERT_EQ(delegate.count(), 1u);
        auto r = delegate.last().result;
        EXPECT_EQ(r.status(), WHCommandStatus_ERROR);
        ASSERT_TRUE(r.message() && r.message()->is_string());
        EXPECT_EQ(r.message()->get<std::string>().rfind(c.message, 0), 0u) << r.message()->get<std::string>();
        EXPECT_EQ(panel->shown().size(), dialogs + (c.dialog ? 1 : 0));
        dialogs = panel->shown().size();
        EXPECT_EQ(plugin->updateFilePath(), std::optional<std::string>(dir.file("kept.dmg")));
        EXPECT_EQ(leftDownloads(), std::vector<std::string>{});
    }
}

TEST_F(UpdateDownloadTest, StartUpdateOpensTheSavedFileThenQuitsOrDoesNothing) {
    server.route("/update.dmg", {200, "v2"});
    start();
    plugin->startUpdate(command("startUpdate"));
    EXPECT_TRUE(workspace->calls.empty()) << "nothing saved: nothing opened, no quit";

    panel->queueAnswer(dir.file("u.dmg"));
    plugin->downloadUpdate(command("downloadUpdate", Value{server.url("/update.dmg")}));
    ASSERT_TRUE(delegate.waitFor(1));
    delegate.clear();

    ::rename(dir.file("u.dmg").c_str(), dir.file("moved.dmg").c_str());
    plugin->startUpdate(command("startUpdate"));
    EXPECT_TRUE(workspace->calls.empty()) << "the saved file is gone";
    ::rename(dir.file("moved.dmg").c_str(), dir.file("u.dmg").c_str());

    plugin->startUpdate(command("startUpdate", Value{"ignored"}));
    EXPECT_EQ(workspace->calls, (std::vector<std::string>{"openFile", "terminate"}));
    EXPECT_EQ(workspace->openedFiles, std::vector<std::string>{dir.file("u.dmg")});
    platform::runMainLoopFor(0.05);
    EXPECT_EQ(delegate.count(), 0u) << "startUpdate never answers";
}

}  // namespace
