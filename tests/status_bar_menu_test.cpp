// The status-bar menu on a scripted status bar: the status item, the menu's items and their
// actions, the state line; commands go to the loopback test controller.
#include <gtest/gtest.h>

#include "companion/KVControlMain.h"
#include "companion/StatusBarMenu.h"
#include "platform/dispatch.h"
#include "plugins/services/ApplicationManager.h"
#include "tests/support/companion_rig.h"
#include "tests/support/main_loop_probe.h"
#include "tests/support/test_controller.h"
#include "tests/support/test_util.h"

using platform::MenuItem;
using testctl::Answer;
using testctl::TestController;
using testutil::CompanionRig;

namespace {

std::string kv(const std::string& key) { return Utils::kvString(key); }

std::shared_ptr<Hubstation> hubstation(const std::string& serial, const std::string& name,
                                       std::optional<std::string> defaultRoom = std::nullopt,
                                       const std::string& localURL = "192.168.1.2") {
    auto h = std::make_shared<Hubstation>(serial, localURL, "", TestController::kUser, TestController::kPassword);
    h->name = name;
    h->defaultRoomUUID = std::move(defaultRoom);
    return h;
}

std::shared_ptr<const PresenceControl> control(const std::string& uuid, const std::string& name,
                                               const std::string& roomUUID, const std::string& room) {
    return std::make_shared<PresenceControl>(uuid, name, roomUUID, room);
}

std::shared_ptr<const QuickAction> commandAction(const std::string& title, std::vector<std::string> commands,
                                                 std::optional<std::string> subtitle = std::nullopt) {
    return std::make_shared<QuickAction>("qa-" + title, title, QuickAction::QuickActionType::Command, std::move(commands),
                                         std::nullopt, "504F9410B84A", std::move(subtitle), "Home");
}

std::shared_ptr<const QuickAction> positionAction(const std::string& title, std::optional<std::string> url) {
    return std::make_shared<QuickAction>("qa-" + title, title, QuickAction::QuickActionType::Position, std::nullopt,
                                         std::move(url), "504F9410B84A", std::nullopt, "Home");
}

class MenuTest : public ::testing::Test {
protected:
    void SetUp() override { rig.start(); }
    StatusBarMenu& menu() { return rig.menu(); }
    std::vector<std::string> mainTitles() { return CompanionRig::titles(*menu().mainMenu()); }
    // The main-menu item after the given header-like title.
    std::shared_ptr<MenuItem> item(const std::string& title) { return menu().mainMenu()->itemWithTitle(title); }
    void selectHome(std::optional<QuickActionList> actions = std::nullopt,
                    std::optional<PresenceControlList> controls = std::nullopt,
                    std::optional<std::string> defaultRoom = std::nullopt, const std::string& localURL = "192.168.1.2") {
        menu().didReceiveArchive({{"504F9410B84A", {"Home", localURL}}});
        menu().didReceiveSelectedHubstation(hubstation("504F9410B84A", "Home", defaultRoom, localURL), std::move(actions),
                                            std::move(controls));
    }

    CompanionRig rig;
};

TEST_F(MenuTest, StatusItemFollowsTheVisibilityNotice) {
    EXPECT_TRUE(rig.bar->created.empty()) << "no item before the application manager's notice";
    EXPECT_FALSE(menu().isStatusItemVisible());

    rig.postStatusItemVisibility(true);
    rig.postStatusItemVisibility(true);
    auto visible = rig.bar->visibleItems();
    ASSERT_EQ(visible.size(), 1u) << "a second notice replaces the item";
    EXPECT_EQ(rig.bar->created.size(), 2u);
    EXPECT_TRUE(menu().isStatusItemVisible());
    EXPECT_EQ(visible[0]->menu, menu().mainMenu());
    EXPECT_EQ(visible[0]->image, "StatusBarButtonIcon");

    for (auto info : {platform::Value(nullptr), platform::Value{{"showItem", "yes"}}, platform::Value{{"other", true}}}) {
        rig.postStatusItemVisibility(true);
        platform::NotificationCenter::defaultCenter().post(kApplicationManagerStatusBarIconVisibilityChangedNotification,
                                                           nullptr, info);
        EXPECT_TRUE(rig.bar->visibleItems().empty()) << info.dump();
        EXPECT_FALSE(menu().isStatusItemVisible());
    }
    rig.postStatusItemVisibility(false);  // without an item: nothing
    EXPECT_FALSE(menu().isStatusItemVisible());
}

TEST_F(MenuTest, WithoutControllersOnlyOpenAndQuit) {
    const std::vector<std::string> shortMenu{kv("kivano-control.general.open"), "---", kv("kivano-control.general.quit")};
    EXPECT_EQ(mainTitles(), shortMenu);
    EXPECT_EQ(CompanionRig::titles(*menu().hubstationMenu()),
              std::vector<std::string>{kv("kivano-control.general.no-hubstation-available")});

    selectHome(QuickActionList{commandAction("Light", {"a"})}, PresenceControlList{});
    menu().didReceiveArchive({});
    EXPECT_EQ(mainTitles(), shortMenu);
    EXPECT_EQ(menu().hubstation(), nullptr);
    EXPECT_FALSE(menu().quickActions());
    EXPECT_FALSE(menu().presenceControls());
    EXPECT_TRUE(menu().hubstationMenu()->items.empty()) << "an empty list gives an empty submenu";
    EXPECT_EQ(item(kv("kivano-control.general.quit"))->keyEquivalent, "q");
    EXPECT_EQ(item(kv("kivano-control.general.open"))->keyEquivalent, "o");
}

TEST_F(MenuTest, FullMenuInOrder) {
    auto light = commandAction("Light", {"a"}, "Kitchen");
    selectHome(QuickActionList{light, positionAction("Cams", "kivano://hs?mac=504F9410B84A&loc=cams")}, std::nullopt);
    std::string header = kv("kivano-control.presence-detector") + " (Beta)";
    EXPECT_EQ(mainTitles(), (std::vector<std::string>{
                                kv("kivano-control.general.open"), "---", "Home",
                                kv("kivano-control.presence.presence") + ": " + kv("kivano-control.presence-state.not-sent"),
                                "---", kv("kivano-control.quick-action.quick-action"), "Light\nKitchen", "Cams", "---", header,
                                kv("kivano-control.presence.no-local-structure"), "---", "---",
                                kv("kivano-control.general.quit")}));

    auto& items = menu().mainMenu()->items;
    EXPECT_EQ(items[2]->submenu, menu().hubstationMenu());
    EXPECT_TRUE(items[2]->isEnabled());
    EXPECT_FALSE(items[3]->isEnabled()) << "the state line";
    EXPECT_EQ(items[3], menu().stateLabelItem());
    ASSERT_TRUE(items[5]->attributedTitle);
    EXPECT_EQ(items[5]->attributedTitle->runs.size(), 1u);
    EXPECT_TRUE(items[5]->attributedTitle->runs[0].grey);
    EXPECT_EQ(items[5]->attributedTitle->runs[0].fontSize, 10);

    // Title in the menu's own size, the subtitle on a second line in 10 points.
    const auto& two = *items[6]->attributedTitle;
    ASSERT_EQ(two.runs.size(), 2u);
    EXPECT_EQ(two.text.substr(two.runs[0].start, two.runs[0].length), "Light");
    EXPECT_EQ(two.runs[0].fontSize, 0);
    EXPECT_EQ(two.text.substr(two.runs[1].start, two.runs[1].length), "Kitchen");
    EXPECT_EQ(two.runs[1].fontSize, 10);
    EXPECT_EQ(items[7]->attributedTitle->runs.size(), 1u);
    EXPECT_EQ(items[6]->actionName, "performQuickAction:");

    // The state line keeps its text over rebuilds.
    menu().updatePresenceDetectionState(KivanoControlState::Sending, kv("kivano-control.presence-state.sent"));
    menu().didReceiveQuickActions(std::nullopt);
    EXPECT_EQ(menu().stateLabelItem()->title,
              kv("kivano-control.presence.presence") + ": " + kv("kivano-control.presence-state.sent"));
    EXPECT_NE(item(kv("kivano-control.quick-action.no-quick-actions")), nullptr);
    EXPECT_FALSE(item(kv("kivano-control.quick-action.no-quick-actions"))->isEnabled());
}

TEST_F(MenuTest, SubtitleIsTheSecondLineEvenWhenTheTitleHoldsIt) {
    selectHome(QuickActionList{commandAction("Light on", {"a"}, "on")});
    const auto& t = *item("Light on\non")->attributedTitle;
    ASSERT_EQ(t.runs.size(), 2u);
    EXPECT_EQ(t.runs[1].start, std::string("Light on\n").size());
}

TEST_F(MenuTest, ControllerSubmenuSortsByNameAndTicksTheSelection) {
    menu().didReceiveArchive({{"S1", {"zeta", "10.0.0.1"}}, {"S2", {"Alpha", "10.0.0.2"}}, {"S3", {"beta", "10.0.0.3"}},
                              {"S4", {"alpha", "10.0.0.4"}}});
    menu().didReceiveSelectedHubstation(hubstation("S3", "beta"), std::nullopt, std::nullopt);
    auto titles = CompanionRig::titles(*menu().hubstationMenu());
    ASSERT_EQ(titles.size(), 4u);
    EXPECT_EQ(titles[2], "beta (10.0.0.3)");
    EXPECT_EQ(titles[3], "zeta (10.0.0.1)");
    EXPECT_TRUE((titles[0] == "Alpha (10.0.0.2)" && titles[1] == "alpha (10.0.0.4)") ||
                (titles[1] == "Alpha (10.0.0.2)" && titles[0] == "alpha (10.0.0.4)"));
    for (const auto& i : menu().hubstationMenu()->items) {
        EXPECT_EQ(i->stateOn, std::any_cast<std::string>(i->representedObject) == "S3") << i->title;
        EXPECT_EQ(i->actionName, "hubstationSelected:");
    }
    menu().didReceiveSelectedHubstation(nullptr, std::nullopt, std::nullopt);
    for (const auto& i : menu().hubstationMenu()->items) EXPECT_FALSE(i->stateOn);
    EXPECT_EQ(menu().mainMenu()->items[2]->title, kv("kivano-control.general.select-hubstation"));
}

TEST_F(MenuTest, PresenceSubmenuAndEntry) {
    auto a = control("A", "Motion A", "R1", "Kitchen");
    auto b = control("B", "Motion B", "R1", "Kitchen");
    auto c = control("C", "Motion C", "R2", "attic");
    selectHome(std::nullopt, PresenceControlList{a, b, c});
    EXPECT_EQ(CompanionRig::titles(*menu().presenceControlsMenu()),
              (std::vector<std::string>{"attic", "Motion A \u2022 Kitchen", "Motion B \u2022 Kitchen",
                                        kv("kivano-control.presence.is-deactivated")}));
    auto last = menu().presenceControlsMenu()->items.back();
    EXPECT_TRUE(last->stateOn);
    EXPECT_EQ(std::any_cast<std::string>(last->representedObject), StatusBarMenu::kDeactivationIdentifier);
    auto entry = item(kv("kivano-control.presence.is-deactivated"));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->submenu, menu().presenceControlsMenu());

    menu().didReceiveSelectedPresenceControl(b);
    auto items = menu().presenceControlsMenu()->items;
    EXPECT_FALSE(items[1]->stateOn);
    EXPECT_TRUE(items[2]->stateOn);
    EXPECT_EQ(items.back()->title, kv("kivano-control.presence.deactivate"));
    EXPECT_FALSE(items.back()->stateOn);
    EXPECT_NE(item("Kitchen"), nullptr) << "the entry names the selected control's room";

    struct Case {
        const char* name;
        bool selected;
        std::optional<PresenceControlList> controls;
        std::optional<std::string> defaultRoom;
        std::shared_ptr<const PresenceControl> chosen;
        std::string entry;
        std::string header;
    };
    std::string header = kv("kivano-control.presence-detector") + " (Beta)";
    const Case cases[] = {
        {"no structure, controller", true, std::nullopt, std::nullopt, nullptr,
         kv("kivano-control.presence.no-local-structure"), header},
        {"empty structure", true, PresenceControlList{}, std::nullopt, nullptr,
         kv("kivano-control.presence.no-presence-controls"), header},
        {"default room, off", true, PresenceControlList{a, c}, "R2", nullptr, kv("activate"), header + " \u2022 attic"},
        {"default room, on", true, PresenceControlList{a, c}, "R2", c, kv("deactivate"), header + " \u2022 attic"},
        {"default room without controls", true, PresenceControlList{a}, "R9", nullptr, kv("activate"), header},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        selectHome(std::nullopt, k.controls, k.defaultRoom);
        menu().didReceiveSelectedPresenceControl(k.chosen);
        auto t = mainTitles();
        auto at = std::find(t.begin(), t.end(), k.header);
        ASSERT_NE(at, t.end());
        ASSERT_NE(at + 1, t.end());
        EXPECT_EQ(*(at + 1), k.entry);
        bool hasAction = k.defaultRoom && k.controls && !k.controls->empty();
        EXPECT_EQ(item(k.entry)->actionName, hasAction ? "activateOrDeactivateDefaultRoom:" : "");
    }
}

TEST_F(MenuTest, StateLineAndIcon) {
    rig.postStatusItemVisibility(true);
    auto shown = rig.bar->visibleItems().at(0);
    std::string p = kv("kivano-control.presence.presence") + ": ";
    struct Case {
        KivanoControlState state;
        std::string line;
        std::string icon;
    };
    selectHome();
    const Case cases[] = {
        {KivanoControlState::Offline, kv("no-network.title"), "StatusBarButtonIconOffline"},
        {KivanoControlState::Inactive, kv("kivano-control.presence.is-deactivated"), "StatusBarButtonIcon"},
        {KivanoControlState::Normal, p + "text", "StatusBarButtonIcon"},
        {KivanoControlState::Sending, p + "text", "StatusBarButtonIconPresence"},
        {KivanoControlState::Error, p + "text", "StatusBarButtonIconError"},
    };
    for (const auto& c : cases) {
        menu().updatePresenceDetectionState(c.state, "text");
        EXPECT_EQ(menu().stateLabelItem()->title, c.line);
        EXPECT_EQ(menu().statusItemIcon(), c.icon);
        EXPECT_EQ(shown->image, c.icon);
    }
    menu().didReceiveArchive({{"504F9410B84A", {"Home", "x"}}});
    menu().didReceiveSelectedHubstation(nullptr, std::nullopt, std::nullopt);
    menu().updatePresenceDetectionState(KivanoControlState::Sending, "ignored");
    EXPECT_EQ(menu().stateLabelItem()->title, p + kv("kivano-control.presence-state.no-hubstation"));
}

TEST_F(MenuTest, OpenAndLocationActions) {
    auto open = [&] { return item(kv("kivano-control.general.open"))->activate(); };
    EXPECT_TRUE(open());
    EXPECT_TRUE(rig.openedURLs.empty()) << "no controller: the window opens without URL";

    auto kitchen = control("A", "Motion", "R1", "Kitchen");
    selectHome(QuickActionList{positionAction("Cams", "kivano://hs?mac=504F9410B84A&loc=cams"), positionAction("Nowhere", std::nullopt)},
               PresenceControlList{kitchen});
    KVControlMain::sharedInstance()->windowIsOpen = false;
    open();
    KVControlMain::sharedInstance()->windowIsOpen = false;
    menu().didReceiveSelectedPresenceControl(kitchen);
    open();
    ASSERT_EQ(rig.openedURLs.size(), 2u);
    EXPECT_EQ(rig.openedURLs[0], "kivano://hs?mac=504F9410B84A");
    EXPECT_EQ(rig.openedURLs[1], "kivano://hs?mac=504F9410B84A&loc=wallmount/R1");
    open();  // the window is open now: no location
    EXPECT_EQ(rig.openedURLs.size(), 2u);

    rig.openedURLs.clear();
    EXPECT_TRUE(item("Cams")->activate());
    EXPECT_TRUE(item("Nowhere")->activate());
    EXPECT_EQ(rig.openedURLs, std::vector<std::string>{"kivano://hs?mac=504F9410B84A&loc=cams"});

    // An item whose represented object is not what the action expects does nothing.
    auto odd = MenuItem::item("odd");
    odd->representedObject = 42;
    menu().performQuickAction(*odd);
    menu().hubstationSelected(*odd);
    menu().controlSelected(*odd);
    EXPECT_EQ(rig.openedURLs.size(), 1u);
}

TEST_F(MenuTest, CommandQuickActionSendsAuthenticatedCommands) {
    TestController hs;
    ASSERT_TRUE(hs.running());
    selectHome(QuickActionList{commandAction("Scene", {"jdev/sps/io/light/on", "jdev/sps/io/blind/up", "/jdev/sps/io/x/off"})},
               std::nullopt, std::nullopt, hs.address());
    ASSERT_TRUE(item("Scene")->activate());
    ASSERT_TRUE(testutil::spinUntil([&] { return hs.commands().size() == 3; }));
    auto seen = hs.commands();
    std::sort(seen.begin(), seen.end());
    const std::vector<std::string> paths{"/jdev/sps/io/blind/up", "/jdev/sps/io/light/on", "/jdev/sps/io/x/off"};
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(seen[i].rfind(paths[i] + "?auth=", 0), 0u) << seen[i];
    platform::runMainLoopFor(0.2);
    EXPECT_TRUE(rig.alerts.empty());

    // Wrong credentials: one alert per command, with the controller's answer explained.
    hs.setCredentials("admin", "other");
    ASSERT_TRUE(item("Scene")->activate());
    ASSERT_TRUE(testutil::spinUntil([&] { return rig.alerts.size() == 3; }));
    for (const auto& a : rig.alerts) {
        EXPECT_EQ(a.message, kv("unable-to-send-command"));
        EXPECT_EQ(a.informativeText, kv("kivano-control.error.wrong-credentials"));
        EXPECT_EQ(a.buttons, std::vector<std::string>{kv("okay")});
        EXPECT_TRUE(a.warning);
    }

    // Nothing listens: the local path's error is shown.
    rig.alerts.clear();
    hs.refuse();
    selectHome(QuickActionList{commandAction("One", {"jdev/sps/io/a/on"})}, std::nullopt, std::nullopt, hs.address());
    ASSERT_TRUE(item("One")->activate());
    ASSERT_TRUE(testutil::spinUntil([&] { return rig.alerts.size() == 1; }));
    ASSERT_TRUE(rig.alerts[0].informativeText);
    EXPECT_FALSE(rig.alerts[0].informativeText->empty());
}

// The controller carries out the command and then resets the connection: the command went out
// once, and the alert tells that the connection was lost.
TEST_F(MenuTest, CommandWhoseConnectionIsResetIsSentOnceAndAlerts) {
    TestController hs;
    ASSERT_TRUE(hs.running());
    hs.resetCommands(true);
    selectHome(QuickActionList{commandAction("Door", {"jdev/sps/io/door/open"})}, std::nullopt, std::nullopt,
               hs.address());
    ASSERT_TRUE(item("Door")->activate());
    ASSERT_TRUE(testutil::spinUntil([&] { return rig.alerts.size() == 1; }, 30));
    EXPECT_EQ(rig.alerts[0].message, kv("unable-to-send-command"));
    EXPECT_EQ(rig.alerts[0].informativeText, std::optional<std::string>("The network connection was lost."));
    // The command has let its connections go: nothing more of it can reach the controller.
    ASSERT_TRUE(testutil::spinUntil([&] { return hs.openConnections() == 0; }, 30));
    EXPECT_EQ(hs.commands().size(), 1u);
    EXPECT_EQ(hs.commandRequests(), 1) << "the door opened once";
    EXPECT_EQ(rig.alerts.size(), 1u);
}

// A small answer that decodes to 16000 x 16000 pixels: the menu has no use for it, so it is not
// decoded; the main loop that answers the tray goes on answering, and memory stays.
TEST_F(MenuTest, PictureAnswerThatDecodesHugeCostsNothing) {
    constexpr std::size_t kMiB = 1048576;
    TestController hs;
    ASSERT_TRUE(hs.running());
    hs.setCommandAnswer(Answer{200, "image/png", testctl::blackPNG(16000, 16000)});
    selectHome(QuickActionList{commandAction("Snapshot", {"jdev/sps/io/camera/snapshot"})}, std::nullopt, std::nullopt,
               hs.address());
    testutil::MainLoopProbe probe;
    ASSERT_TRUE(item("Snapshot")->activate());
    // Over when the command has let its connections go, after its answer was handled.
    ASSERT_TRUE(testutil::spinUntil([&] { return hs.commandRequests() == 1 && hs.openConnections() == 0; }, 60));
    EXPECT_LT(probe.longestWait(), 0.25);
    EXPECT_LT(probe.residentGrowth(), 64 * kMiB);
    EXPECT_EQ(hs.commands().size(), 1u);
    EXPECT_TRUE(rig.alerts.empty()) << "a success shows nothing";
}

TEST_F(MenuTest, CommandWithoutControllerSendsNothing) {
    TestController hs;
    menu().didReceiveArchive({{"504F9410B84A", {"Home", hs.address()}}});
    auto action = commandAction("Scene", {"jdev/sps/io/light/on"});
    auto holder = MenuItem::item("Scene");
    holder->representedObject = action;
    menu().performQuickAction(*holder);
    platform::runMainLoopFor(0.2);
    EXPECT_EQ(hs.keyRequests(), 0);
    EXPECT_TRUE(rig.alerts.empty());
}

TEST(MenuErrorText, ByCode) {
    struct Case {
        long code;
        std::string text;
    };
    const Case cases[] = {
        {401, kv("kivano-control.error.wrong-credentials")},
        {404, kv("kivano-control.presence-state.pd-not-found")},
        {-1001, kv("kivano-control.presence-state.hs-not-found")},
        {500, "the server broke"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StatusBarMenu::getErrorText(platform::makeHttpError("D", c.code, "the server broke")), c.text) << c.code;
    }
}

TEST_F(MenuTest, DefaultRoomWithoutControlAlertsAndOffersTheWindow) {
    selectHome(std::nullopt, PresenceControlList{control("A", "M", "R1", "Kitchen")}, "R1");
    rig.alertAnswer = 0;
    ASSERT_TRUE(item(kv("activate"))->activate());
    ASSERT_EQ(rig.alerts.size(), 1u);
    EXPECT_EQ(rig.alerts[0].message,
              kv("kivano-control.presence-state.pd-not-found") + "! " + kv("kivano-control.error.end-detection"));
    EXPECT_EQ(rig.alerts[0].informativeText, kv("kivano-control.error.reconnect"));
    EXPECT_EQ(rig.alerts[0].buttons, (std::vector<std::string>{kv("open"), kv("cancel")}));
    EXPECT_EQ(rig.openedURLs, std::vector<std::string>{"kivano://hs?mac=504F9410B84A&loc=presencedetector"});
}

}  // namespace
