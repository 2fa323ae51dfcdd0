// needs: bus keyring
// The status model over real files in the persistent filesystem, records in the harness's
// keyring and quick actions in the user defaults, with the menu on a scripted status bar.
#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <filesystem>

#include "app/AppDelegate.h"
#include "bridge/WHViewController.h"
#include "companion/KVControlMain.h"
#include "companion/StatusBarInformation.h"
#include "platform/keyed_archive.h"
#include "platform/paths.h"
#include "platform/user_defaults.h"
#include "plugins/services/ApplicationManager.h"
#include "plugins/services/HubstationInfoStore.h"
#include "plugins/services/QuickActions.h"
#include "plugins/services/StorageManager.h"
#include "plugins/standard/KCKeychain.h"
#include "plugins/standard/WHFile.h"
#include "tests/support/companion_rig.h"
#include "tests/support/keyring_control.h"
#include "tests/support/test_controller.h"
#include "tests/support/test_util.h"

using platform::Value;
using testctl::TestController;
using testutil::CompanionRig;

namespace {

const std::string A = "504F94000A01";
const std::string B = "504F94000B02";
const std::string C = "504F94000C03";
const std::string kUser = "admin";

std::string kv(const std::string& key) { return Utils::kvString(key); }

class ModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        vc = std::make_unique<WHViewController>();
        vc->registerPlugin(std::make_unique<WHFile>(nullptr), "WHFile");
        dir = static_cast<WHFile*>(vc->pluginObjects["WHFile"].get())->appDataPath;
        platform::makeDirs(dir);
        app.viewController = vc.get();
        app.startedAtLogin = true;  // the companion starts in menu-bar mode
        platform::Application::shared().setDelegate(&app);
    }
    void TearDown() override {
        rig.reset();
        for (const auto& s : {A, B, C, std::string(TestController::kSerialNo)}) {
            KCKeychain::deleteValueForKey(s);
            defaults().remove(s + kSelectedPresenceControlKey);
        }
        defaults().remove(kQuickActionsKey);
        defaults().synchronize();
        std::filesystem::remove_all(dir);
        platform::Application::shared().setDelegate(nullptr);
    }

    static platform::UserDefaults& defaults() { return platform::UserDefaults::standard(); }

    void writeJson(const std::string& name, const Value& v) { testutil::writeFile(dir + "/" + name, v.dump()); }
    Value readJson(const std::string& name) { return Value::parse(testutil::readFile(dir + "/" + name)); }

    static Value entry(const std::string& name, long long date, const std::string& url = "192.168.0.9") {
        return Value{{"hsName", name}, {"localUrl", url}, {"lastConnectedDate", date}};
    }
    void archive(const Value& deviceList, Value extra = Value::object()) {
        extra["deviceList"] = deviceList;
        writeJson(StatusBarInformation::kArchiveFile, extra);
    }
    static Value recordOf(const std::string& serial, const std::string& localUrl = "127.0.0.1:9",
                          const std::string& password = "secret") {
        return Value{{"mac", serial},           {"localUrl", localUrl}, {"remoteUrl", ""},
                     {"username", kUser},       {"password", password}, {"publicKey", "PK"},
                     {"configVersion", "1"}};
    }
    static void record(const Value& r) { ASSERT_TRUE(KCKeychain::saveValue(r, r["mac"].get<std::string>())); }
    void structure(const std::string& serial, const Value& controls) {
        writeJson(StatusBarInformation::structureFileName(serial, kUser),
                  Value{{"rooms", {{"R1", {{"name", "Kitchen"}}}, {"R2", {{"name", "Office"}}}}}, {"controls", controls}});
    }
    void defaultRoom(const std::string& serial, const std::string& room) {
        writeJson(StatusBarInformation::kSettingsFile, Value{{"hubstations", {{serial, {{"presenceRoom", room}}}}}});
    }
    static Value presence(const std::string& name, const std::string& room, const std::string& type = "Presence") {
        return Value{{"type", type}, {"name", name}, {"room", room}};
    }
    static void storeQuickActions(const std::vector<std::shared_ptr<const QuickAction>>& list) {
        std::vector<platform::ArchiveObject> items;
        for (const auto& a : list) items.emplace_back(std::shared_ptr<const platform::KeyedCodable>(a));
        auto data = platform::KeyedArchiver::archivedDataWithRootObject(platform::ArchiveObject::array(items));
        defaults().set(kQuickActionsKey, platform::makeBytes(data));
    }
    static std::shared_ptr<const QuickAction> command(const std::string& uuid, const std::string& serial,
                                                      std::vector<std::string> cmds = {"jdev/sps/io/a/on"}) {
        return std::make_shared<QuickAction>(uuid, "Action " + uuid, QuickAction::QuickActionType::Command, cmds,
                                             std::nullopt, serial, std::nullopt, "Home");
    }

    CompanionRig& start() {
        rig.reset();
        rig.emplace();
        rig->start();
        return *rig;
    }
    StatusBarInformation& model() { return rig->model(); }
    StatusBarMenu& menu() { return rig->menu(); }
    PresenceDetector& detector() { return rig->detector(); }
    std::string selected() { return model().selectedHS() ? model().selectedHS()->serialNo : "none"; }
    std::optional<std::string> saved(const std::string& serial) {
        return defaults().stringForKey(serial + kSelectedPresenceControlKey);
    }
    static void post(const char* name, Value info = nullptr) {
        platform::NotificationCenter::defaultCenter().post(name, nullptr, std::move(info));
    }

    std::unique_ptr<WHViewController> vc;
    AppDelegate app;
    std::string dir;
    std::optional<CompanionRig> rig;
};

TEST_F(ModelTest, SelectsTheMostRecentlyConnectedController) {
    struct Case {
        const char* name;
        long long a, b, c;
        std::string expected;
    };
    const Case cases[] = {
        {"greatest date", 100, 200, 150, B},
        {"equal greatest dates: the first met", 200, 200, 100, A},
        {"first entry greatest", 300, 200, 250, A},
    };
    for (const auto& s : {A, B, C}) record(recordOf(s));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        archive(Value{{A, entry("Alpha", c.a)}, {B, entry("Beta", c.b)}, {C, entry("Gamma", c.c)}});
        start();
        EXPECT_EQ(selected(), c.expected);
        ASSERT_TRUE(model().selectedHS());
        EXPECT_EQ(model().selectedHS()->name, c.expected == A ? "Alpha" : "Beta");
        EXPECT_EQ(model().selectedHS()->localURL, "127.0.0.1:9");
        EXPECT_EQ(model().selectedHS()->username, kUser);
        EXPECT_EQ(menu().hubstation(), model().selectedHS());
        EXPECT_EQ(detector().hubstation(), model().selectedHS());
        EXPECT_EQ(model().hubstationDict().size(), 3u);
        for (const auto& i : menu().hubstationMenu()->items) {
            EXPECT_EQ(i->stateOn, std::any_cast<std::string>(i->representedObject) == c.expected);
        }
    }
}

TEST_F(ModelTest, ArchiveThatGivesNoSelection) {
    record(recordOf(A));
    start();
    EXPECT_FALSE(model().currentArchive()) << "no file";
    EXPECT_EQ(CompanionRig::titles(*menu().hubstationMenu()),
              std::vector<std::string>{kv("kivano-control.general.no-hubstation-available")})
        << "the menu was not told";

    for (Value list : {Value::object(), Value("not an object")}) {
        SCOPED_TRACE(list.dump());
        archive(list);
        start();
        EXPECT_TRUE(model().currentArchive());
        EXPECT_EQ(selected(), "none");
        EXPECT_TRUE(menu().hubstationMenu()->items.empty()) << "an empty list was pushed";
    }

    // A later archive notice that still names the selected controller keeps its record.
    archive(Value{{A, entry("Alpha", 10)}});
    start();
    auto before = model().selectedHS();
    ASSERT_TRUE(before);
    archive(Value{{A, entry("Alpha renamed", 10)}});
    post(kStorageManagerArchiveChangedNotification);
    EXPECT_EQ(model().selectedHS(), before);
    EXPECT_EQ(model().hubstationDict().at(A).name, "Alpha renamed");
    // An empty list afterwards leaves the selection alone, too.
    archive(Value::object());
    post(kStorageManagerArchiveChangedNotification);
    EXPECT_EQ(model().selectedHS(), before);
}

TEST_F(ModelTest, RecordThatCannotBeReadDropsOrKeepsTheController) {
    archive(Value{{A, entry("Alpha", 10)}});
    defaults().set(A + kSelectedPresenceControlKey, Value("pd1"));

    // A locked keyring hides the record: nothing is selected and nothing is forgotten.
    record(recordOf(A));
    ASSERT_TRUE(testutil::lockDefaultKeyring());
    start();
    bool unlocked = testutil::unlockDefaultKeyring();
    ASSERT_TRUE(unlocked);
    EXPECT_EQ(selected(), "none");
    EXPECT_EQ(saved(A), "pd1");
    EXPECT_EQ(model().hubstationDict().size(), 1u);

    // A missing record drops the controller and its saved presence control.
    KCKeychain::deleteValueForKey(A);
    start();
    EXPECT_EQ(selected(), "none");
    EXPECT_FALSE(saved(A));
    EXPECT_EQ(CompanionRig::titles(*menu().hubstationMenu()).size(), 1u) << "the archive entry stays listed";

    // So does a record without credentials.
    defaults().set(A + kSelectedPresenceControlKey, Value("pd1"));
    ASSERT_TRUE(KCKeychain::saveValue(Value{{"mac", A}, {"localUrl", "x"}}, A));
    start();
    EXPECT_EQ(selected(), "none");
    EXPECT_FALSE(saved(A));
}

TEST_F(ModelTest, QuickActionsOfTheSelectedController) {
    archive(Value{{A, entry("Alpha", 10)}});
    record(recordOf(A));
    const std::string editOrNewURL = "kivano://hs?mac=" + A + "&loc=quickactions";

    start();
    ASSERT_TRUE(model().quickActions());
    EXPECT_TRUE(model().quickActions()->empty()) << "nothing stored: no entry of our own";

    storeQuickActions({});
    post(kQuickActionsChangedNotification);
    ASSERT_EQ(model().quickActions()->size(), 1u);
    EXPECT_EQ(model().quickActions()->at(0)->title(), kv("kivano-control.quick-action.new"));
    EXPECT_EQ(model().quickActions()->at(0)->URL(), editOrNewURL);
    EXPECT_EQ(model().quickActions()->at(0)->type, QuickAction::QuickActionType::Position);

    storeQuickActions({command("mine", A), command("other", B), command(kQuickActionsDefaultUUID, A)});
    post(kQuickActionsChangedNotification);
    ASSERT_EQ(model().quickActions()->size(), 2u);
    EXPECT_EQ(model().quickActions()->at(0)->UUID(), "mine");
    EXPECT_EQ(model().quickActions()->at(1)->title(), kv("kivano-control.quick-action.edit") + " ...");
    EXPECT_EQ(model().quickActions()->at(1)->URL(), editOrNewURL);
    EXPECT_NE(menu().mainMenu()->itemWithTitle("Action mine"), nullptr) << "the menu was told";

    defaults().set(kQuickActionsKey, platform::makeBytes({'x', 'y'}));
    post(kQuickActionsChangedNotification);
    EXPECT_TRUE(model().quickActions()->empty()) << "an unreadable list is no list";
}

TEST_F(ModelTest, ChoiceOfThePresenceControl) {
    archive(Value{{A, entry("Alpha", 10)}});
    record(recordOf(A));
    structure(A, Value{{"pd1", presence("Motion", "R1")},
                       {"pd2", presence("Desk", "R2", "PresenceController")},
                       {"pd3", presence("Desk 2", "R2")},
                       {"sw", presence("Switch", "R1", "Switch")},
                       {"odd", {{"type", "Presence"}, {"name", "x"}, {"room", 7}}},
                       {"text", "not an object"}});

    // The default room's first control, not saved.
    defaultRoom(A, "R2");
    start();
    ASSERT_TRUE(model().presenceControls());
    EXPECT_EQ(model().presenceControls()->size(), 3u);
    EXPECT_EQ(model().selectedPresenceCtrlUUID(), "pd2");
    ASSERT_TRUE(detector().presenceControl());
    EXPECT_EQ(detector().presenceControl()->UUID(), "pd2");
    EXPECT_EQ(detector().presenceControl()->roomName(), "Office");
    EXPECT_EQ(menu().presenceControl(), detector().presenceControl());
    EXPECT_FALSE(saved(A));

    // No default room: the saved choice.
    defaultRoom(A, kPresenceDetectorDifferentRoomUUID);
    defaults().set(A + kSelectedPresenceControlKey, Value("pd1"));
    start();
    EXPECT_EQ(model().selectedPresenceCtrlUUID(), "pd1");
    EXPECT_EQ(saved(A), "pd1");

    // A saved choice that is gone is forgotten, and detection is off.
    defaults().set(A + kSelectedPresenceControlKey, Value("gone"));
    start();
    EXPECT_FALSE(model().selectedPresenceCtrlUUID());
    EXPECT_FALSE(saved(A));
    EXPECT_FALSE(detector().presenceControl());

    // A choice in the menu without a default room is saved.
    ASSERT_NE(menu().presenceControlsMenu()->itemWithTitle("Kitchen"), nullptr);
    menu().presenceControlsMenu()->itemWithTitle("Kitchen")->activate();
    EXPECT_EQ(saved(A), "pd1");
    EXPECT_EQ(detector().presenceControl()->UUID(), "pd1");
    menu().presenceControlsMenu()->items.back()->activate();  // the deactivation entry
    EXPECT_FALSE(saved(A));
    EXPECT_FALSE(detector().presenceControl());

    // Without a structure file a saved choice is neither used nor removed.
    defaults().set(A + kSelectedPresenceControlKey, Value("pd1"));
    std::filesystem::remove(dir + "/" + StatusBarInformation::structureFileName(A, kUser));
    start();
    EXPECT_FALSE(model().presenceControls());
    EXPECT_FALSE(model().selectedPresenceCtrlUUID());
    EXPECT_EQ(saved(A), "pd1");
    EXPECT_NE(menu().mainMenu()->itemWithTitle(kv("kivano-control.presence.no-local-structure")), nullptr);
}

TEST_F(ModelTest, ChangeNotificationsForTheSelectedController) {
    archive(Value{{A, entry("Alpha", 10)}});
    record(recordOf(A));
    structure(A, Value{{"pd1", presence("Motion", "R1")}});
    defaults().set(A + kSelectedPresenceControlKey, Value("pd1"));
    start();
    ASSERT_TRUE(rig->waitOnline());
    ASSERT_EQ(model().selectedPresenceCtrlUUID(), "pd1");
    auto control = detector().presenceControl();

    // Structure: another controller's does nothing; ours reloads and selects the same control again.
    post(kStorageManagerStructureChangedNotification, Value{{"serialNo", B}});
    EXPECT_EQ(detector().presenceControl(), control);
    structure(A, Value{{"pd1", presence("Motion", "R2")}, {"pd9", presence("Other", "R1")}});
    post(kStorageManagerStructureChangedNotification, Value{{"serialNo", A}});
    ASSERT_TRUE(detector().presenceControl());
    EXPECT_NE(detector().presenceControl(), control);
    EXPECT_EQ(detector().presenceControl()->roomName(), "Office");
    EXPECT_EQ(detector().pendingPresenceInterval(), 0.0) << "restarted";

    // Record: a new public key changes nothing the menu shows; a new password does.
    auto hs = model().selectedHS();
    Value r = recordOf(A);
    r["publicKey"] = "PK2";
    record(r);
    post(kHubstationInfoStoreDataChangedNotification, Value{{"serialNo", A}});
    EXPECT_NE(model().selectedHS(), hs);
    EXPECT_EQ(menu().hubstation(), hs);
    EXPECT_EQ(detector().hubstation(), hs);
    record(recordOf(A, "127.0.0.1:9", "new-password"));
    post(kHubstationInfoStoreDataChangedNotification, Value{{"serialNo", A}});
    EXPECT_EQ(menu().hubstation(), model().selectedHS());
    EXPECT_EQ(detector().hubstation()->password, "new-password");
    EXPECT_EQ(detector().presenceControl()->UUID(), "pd1") << "same controller: detection goes on";

    // Settings: an empty room changes nothing; a default room selects its control.
    defaultRoom(A, "");
    post(kStorageManagerSettingsChangedNotification);
    EXPECT_FALSE(model().selectedHS()->defaultRoomUUID);
    defaultRoom(A, "R1");
    post(kStorageManagerSettingsChangedNotification, Value{{"serialNo", "ignored"}});
    EXPECT_EQ(model().selectedHS()->defaultRoomUUID, "R1");
    EXPECT_EQ(model().selectedPresenceCtrlUUID(), "pd9");
    defaultRoom(A, "");
    post(kStorageManagerSettingsChangedNotification);
    EXPECT_EQ(model().selectedHS()->defaultRoomUUID, "R1") << "an empty room keeps the previous one";

    // Visibility: the first notice is ignored, a later hidden one ends detection.
    post(kApplicationManagerStatusBarIconVisibilityChangedNotification, Value{{"showItem", false}});
    EXPECT_EQ(model().selectedPresenceCtrlUUID(), "pd9");
    post(kApplicationManagerStatusBarIconVisibilityChangedNotification, Value{{"showItem", false}});
    EXPECT_FALSE(model().selectedPresenceCtrlUUID());
    EXPECT_FALSE(detector().presenceControl());
    post(kApplicationManagerStatusBarIconVisibilityChangedNotification, Value{{"showItem", true}});
    EXPECT_EQ(model().selectedPresenceCtrlUUID(), "pd9") << "shown again: the default room";

    // The record goes: the controller is dropped and everyone is told.
    KCKeychain::deleteValueForKey(A);
    post(kHubstationInfoStoreDataChangedNotification, Value{{"serialNo", A}});
    EXPECT_EQ(selected(), "none");
    EXPECT_EQ(menu().hubstation(), nullptr);
    EXPECT_EQ(detector().hubstation(), nullptr);
    EXPECT_EQ(detector().presenceControl(), nullptr);
}

// Every change that restarts detection waits, while the screen is locked, for the unlock.
TEST_F(ModelTest, RestartsWhileLockedWaitForTheUnlock) {
    archive(Value{{A, entry("Alpha", 10)}});
    record(recordOf(A));
    structure(A, Value{{"pd1", presence("Motion", "R1")}, {"pd2", presence("Door", "R2")}});
    start();
    ASSERT_TRUE(rig->waitOnline());
    struct Restart {
        const char* name;
        std::function<void()> run;
    };
    const Restart restarts[] = {
        {"a control picked in the menu",
         [&] { menu().presenceControlsMenu()->itemWithTitle("Kitchen")->activate(); }},
        {"structure changed",
         [&] { post(kStorageManagerStructureChangedNotification, Value{{"serialNo", A}}); }},
        {"record changed",
         [&] {
             record(recordOf(A, "127.0.0.1:9", "other-password"));
             post(kHubstationInfoStoreDataChangedNotification, Value{{"serialNo", A}});
         }},
        {"default room set",
         [&] {
             defaultRoom(A, "R2");
             post(kStorageManagerSettingsChangedNotification);
         }},
        {"default room activated in the menu",
         [&] {
             menu().mainMenu()->itemWithTitle(kv("deactivate"))->activate();
             menu().mainMenu()->itemWithTitle(kv("activate"))->activate();
         }},
    };
    for (const auto& r : restarts) {
        SCOPED_TRACE(r.name);
        rig->session->post(platform::kSessionScreenIsLockedNotice);
        r.run();
        ASSERT_TRUE(detector().presenceControl());
        EXPECT_FALSE(detector().pendingPresenceInterval()) << "no pulse while locked";
        rig->session->post(platform::kSessionScreenIsUnlockedNotice);
        EXPECT_EQ(detector().pendingPresenceInterval(), 0.0) << "the unlock starts it";
    }
}

TEST_F(ModelTest, PickingAControllerInTheMenuWritesItsDate) {
    archive(Value{{A, entry("Alpha", 200)}, {B, {{"hsName", "Beta"}, {"localUrl", "b"}, {"lastConnectedDate", 100}, {"extra", 1}}}},
            Value{{"version", 3}, {"other", {1, 2}}});
    record(recordOf(A));
    record(recordOf(B));
    start();
    ASSERT_EQ(selected(), A);
    auto itemFor = [&](const std::string& serial) {
        for (const auto& i : menu().hubstationMenu()->items) {
            if (std::any_cast<std::string>(i->representedObject) == serial) return i;
        }
        return std::shared_ptr<platform::MenuItem>();
    };

    std::string before = testutil::readFile(dir + "/" + StatusBarInformation::kArchiveFile);
    itemFor(A)->activate();  // already selected: nothing, no date either
    EXPECT_EQ(testutil::readFile(dir + "/" + StatusBarInformation::kArchiveFile), before);

    long long now = std::time(nullptr);
    itemFor(B)->activate();
    EXPECT_EQ(selected(), B);
    Value written = readJson(StatusBarInformation::kArchiveFile);
    EXPECT_EQ(written["version"], 3);
    EXPECT_EQ(written["other"], Value({1, 2}));
    EXPECT_EQ(written["deviceList"][A], entry("Alpha", 200));
    EXPECT_EQ(written["deviceList"][B]["extra"], 1);
    EXPECT_EQ(written["deviceList"][B]["hsName"], "Beta");
    ASSERT_TRUE(written["deviceList"][B]["lastConnectedDate"].is_number_integer());
    EXPECT_NEAR(written["deviceList"][B]["lastConnectedDate"].get<long long>(), now, 2);

    // With the window open the date stays and the window goes to the controller.
    KVControlMain::sharedInstance()->windowIsOpen = true;
    before = testutil::readFile(dir + "/" + StatusBarInformation::kArchiveFile);
    itemFor(A)->activate();
    EXPECT_EQ(selected(), A);
    EXPECT_EQ(testutil::readFile(dir + "/" + StatusBarInformation::kArchiveFile), before);
    EXPECT_EQ(rig->openedURLs.back(), "kivano://hs?mac=" + A);
}

TEST_F(ModelTest, MenuRunsCommandsAndPulsesTheSelectedController) {
    TestController hs;
    ASSERT_TRUE(hs.running());
    const std::string serial = TestController::kSerialNo;
    archive(Value{{serial, entry("Home", 10, hs.address())}});
    record(recordOf(serial, hs.address()));
    structure(serial, Value{{"pd1", presence("Motion", "R1")}});
    defaultRoom(serial, "R1");
    storeQuickActions({command("scene", serial, {"jdev/sps/io/light/on"})});
    auto& r = start();
    r.postStatusItemVisibility(true);
    ASSERT_TRUE(r.waitOnline());

    // The default room's control is pulsed at once.
    ASSERT_TRUE(testutil::spinUntil([&] { return !hs.commands().empty(); }));
    EXPECT_EQ(hs.commands()[0].rfind("/jdev/sps/io/pd1/pulse?auth=", 0), 0u) << hs.commands()[0];

    auto shown = r.bar->visibleItems();
    ASSERT_EQ(shown.size(), 1u);
    auto item = shown[0]->menu->itemWithTitle("Action scene");
    ASSERT_NE(item, nullptr);
    ASSERT_TRUE(item->activate());
    ASSERT_TRUE(testutil::spinUntil([&] {
        for (const auto& c : hs.commands()) {
            if (c.rfind("/jdev/sps/io/light/on?auth=", 0) == 0) return true;
        }
        return false;
    }));
    EXPECT_EQ(hs.rejectedCommands(), 0);
    EXPECT_TRUE(r.alerts.empty());
}

}  // namespace

namespace {

TEST_F(ModelTest, StatusItemFollowsASettingAnnouncedBeforeTheCompanion) {
    for (bool visible : {true, false}) {
        SCOPED_TRACE(visible);
        defaults().set(kApplicationManagerStatusBarIconVisibilityChangedSetting, Value(visible));
        rig.reset();
        rig.emplace();
        // As at launch: the page's start-up plug-ins come first, the companion after them.
        vc->registerPlugin(std::make_unique<ApplicationManager>(nullptr), "ApplicationManager");
        rig->start();
        EXPECT_EQ(menu().isStatusItemVisible(), visible);
        EXPECT_EQ(rig->bar->visibleItems().size(), visible ? 1u : 0u);
        vc->pluginObjects.erase("ApplicationManager");
    }
    defaults().remove(kApplicationManagerStatusBarIconVisibilityChangedSetting);
}

}  // namespace
