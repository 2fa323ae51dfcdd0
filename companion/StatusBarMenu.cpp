#include "companion/StatusBarMenu.h"

#include <algorithm>
#include <cctype>

#include "companion/CompanionHost.h"
#include "companion/KVControlMain.h"
#include "companion/KVHTTPCommand.h"
#include "companion/StatusBarInformation.h"
#include "platform/application.h"
#include "platform/panels.h"
#include "platform/strings.h"
#include "plugins/services/ApplicationManager.h"

using platform::Menu;
using platform::MenuItem;

static std::unique_ptr<StatusBarMenu>& menuSlot() {
    // Never released: the instance lives until the process ends, past static destruction.
    static auto* slot = new std::unique_ptr<StatusBarMenu>;
    return *slot;
}

StatusBarMenu& StatusBarMenu::sharedInstance() {
    auto& slot = menuSlot();
    if (!slot) slot = std::make_unique<StatusBarMenu>();
    return *slot;
}

void StatusBarMenu::setSharedInstance(std::unique_ptr<StatusBarMenu> instance) { menuSlot() = std::move(instance); }

static std::string kv(const std::string& key) { return Utils::kvString(key); }

static bool windowIsOpen() {
    KVControlMain* main = KVControlMain::sharedInstance();
    return main && main->windowIsOpen;
}

static void showTarragon(const std::optional<std::string>& url) {
    if (KVControlMain* main = KVControlMain::sharedInstance()) main->showTarragon(url);
}

static std::optional<std::string> presentAddress(const std::string& address) {
    if (address.empty()) return std::nullopt;
    return address;
}

StatusBarMenu::StatusBarMenu() : lifetime_(this) {
    platform::NotificationCenter::defaultCenter().addObserver(
        this, kApplicationManagerStatusBarIconVisibilityChangedNotification, nullptr,
        [this](const platform::Notification& n) { setStatusItemVisibility(n); });
    reloadHubstationList();
    reloadPresenceControlsList();
    reloadMenuList();
    // The application manager is created with the page, before the companion, and so announces its
    // setting before anyone listens: take the setting from the live plug-in.
    CompanionHost* host = CompanionHost::current();
    if (ApplicationManager* manager = host ? host->applicationManager() : nullptr) {
        platform::Notification n;
        n.name = kApplicationManagerStatusBarIconVisibilityChangedNotification;
        n.object = manager;
        n.userInfo = platform::Value{{"showItem", manager->visibleInStatusBar()}};
        setStatusItemVisibility(n);
    }
}

StatusBarMenu::~StatusBarMenu() {
    platform::NotificationCenter::defaultCenter().removeObserver(this);
    lifetime_.end();
    if (statusItem_) platform::systemStatusBar().removeStatusItem(statusItem_);
}

MenuItem::Action StatusBarMenu::actionOf(void (StatusBarMenu::*action)(MenuItem&)) {
    auto weak = lifetime_.token();
    return [weak, action](MenuItem& sender) {
        if (auto* self = weak.get()) (self->*action)(sender);
    };
}

void StatusBarMenu::menuDidChange() {
    if (statusItem_) statusItem_->menuDidChange();
}

void StatusBarMenu::setStatusItemVisibility(const platform::Notification& notification) {
    const auto& info = notification.userInfo;
    bool show = info.is_object() && info.contains("showItem") && info["showItem"].is_boolean() &&
                info["showItem"].get<bool>();
    auto& bar = platform::systemStatusBar();
    if (show) {
        if (statusItem_) bar.removeStatusItem(statusItem_);
        statusItem_ = bar.statusItemWithSquareLength();
        statusItem_->setImage(statusItemIcon_);
        statusItem_->setMenu(mainMenu_);
    } else if (statusItem_) {
        bar.removeStatusItem(statusItem_);
        statusItem_.reset();
    }
}

void StatusBarMenu::didReceiveArchive(const HubstationDict& hubstations) {
    hubstationDict_ = hubstations;
    reloadHubstationList();
    reloadMenuList();
}

void StatusBarMenu::didReceiveSelectedHubstation(std::shared_ptr<Hubstation> hubstation,
                                                 std::optional<QuickActionList> quickActions,
                                                 std::optional<PresenceControlList> presenceControls) {
    hubstation_ = std::move(hubstation);
    quickActions_ = std::move(quickActions);
    presenceControls_ = std::move(presenceControls);
    reloadPresenceControlsList();
    reloadMenuList();
    for (const auto& item : hubstationMenu_->items) {
        const auto* serial = std::any_cast<std::string>(&item->representedObject);
        if (hubstation_ && serial && *serial == hubstation_->serialNo) {
            item->stateOn = true;
            updatePresenceDetectionState(KivanoControlState::Normal, kv("kivano-control.presence-state.not-sent"));
        } else {
            item->stateOn = false;
        }
    }
    menuDidChange();
}

void StatusBarMenu::didReceiveQuickActions(std::optional<QuickActionList> quickActions) {
    quickActions_ = std::move(quickActions);
    reloadMenuList();
}

void StatusBarMenu::didReceivePresenceControls(std::optional<PresenceControlList> presenceControls) {
    presenceControls_ = std::move(presenceControls);
    reloadPresenceControlsList();
    reloadMenuList();
}

void StatusBarMenu::didReceiveSelectedPresenceControl(std::shared_ptr<const PresenceControl> control) {
    presenceControl_ = std::move(control);
    reloadPresenceControlsList();
    reloadMenuList();
}

void StatusBarMenu::updatePresenceDetectionState(KivanoControlState state, const std::optional<std::string>& text) {
    std::string shown = hubstation_ ? text.value_or("") : kv("kivano-control.presence-state.no-hubstation");
    std::string title;
    std::string icon = "StatusBarButtonIcon";
    switch (state) {
        case KivanoControlState::Offline:
            title = kv("no-network.title");
            icon = "StatusBarButtonIconOffline";
            break;
        case KivanoControlState::Inactive:
            title = kv("kivano-control.presence.is-deactivated");
            break;
        case KivanoControlState::Normal:
        case KivanoControlState::Sending:
        case KivanoControlState::Error:
            title = kv("kivano-control.presence.presence") + ": " + shown;
            if (state == KivanoControlState::Sending) icon = "StatusBarButtonIconPresence";
            if (state == KivanoControlState::Error) icon = "StatusBarButtonIconError";
            break;
    }
    if (stateLabelItem_) stateLabelItem_->title = title;
    statusItemIcon_ = icon;
    if (statusItem_) statusItem_->setImage(icon);
    menuDidChange();
}

void StatusBarMenu::reloadMenuList() {
    mainMenu_->removeAllItems();
    mainMenu_->addItem(MenuItem::item(kv("kivano-control.general.open"), "o", actionOf(&StatusBarMenu::openTarragon),
                                      "openTarragon:"));
    if (!hubstationDict_ || hubstationDict_->empty()) {
        hubstation_.reset();
        quickActions_.reset();
        presenceControl_.reset();
        presenceControls_.reset();
        addCloseItem();
        menuDidChange();
        return;
    }
    mainMenu_->addItem(MenuItem::separatorItem());

    auto controller = MenuItem::item(hubstation_ ? hubstation_->name.value_or(hubstation_->serialNo)
                                                 : kv("kivano-control.general.select-hubstation"));
    controller->submenu = hubstationMenu_;
    mainMenu_->addItem(controller);

    std::string stateTitle = stateLabelItem_ ? stateLabelItem_->title : "";
    stateLabelItem_ = MenuItem::item(stateTitle);
    mainMenu_->addItem(stateLabelItem_);
    mainMenu_->addItem(MenuItem::separatorItem());

    addItemWithAttributedTitle(kv("kivano-control.quick-action.quick-action"));
    if (!quickActions_ || quickActions_->empty()) {
        mainMenu_->addItem(MenuItem::item(kv("kivano-control.quick-action.no-quick-actions")));
    } else {
        for (const auto& action : *quickActions_) {
            auto item = MenuItem::item("", "", actionOf(&StatusBarMenu::performQuickAction), "performQuickAction:");
            platform::AttributedTitle t;
            t.text = action->title();
            t.runs.push_back({0, action->title().size(), 0, false});
            if (action->subtitle()) {
                t.text += "\n";
                std::size_t at = t.text.size();
                t.text += *action->subtitle();
                // The subtitle is the second line, also when the title contains the same text.
                t.runs.push_back({at, action->subtitle()->size(), 10, false});
            }
            item->attributedTitle = std::move(t);
            item->representedObject = action;
            mainMenu_->addItem(item);
        }
    }
    mainMenu_->addItem(MenuItem::separatorItem());

    std::string header = kv("kivano-control.presence-detector") + " (Beta)";
    if (hubstation_ && hubstation_->hasDefaultRoom() && presenceControls_) {
        for (const auto& c : *presenceControls_) {
            if (c->roomUUID() == *hubstation_->defaultRoomUUID) {
                header += " \u2022 " + c->roomName();
                break;
            }
        }
    }
    addItemWithAttributedTitle(header);

    std::shared_ptr<MenuItem> entry;
    if (!presenceControls_) {
        entry = MenuItem::item(kv(hubstation_ ? "kivano-control.presence.no-local-structure"
                                              : "kivano-control.presence.no-presence-controls"));
    } else if (presenceControls_->empty()) {
        entry = MenuItem::item(kv("kivano-control.presence.no-presence-controls"));
    } else if (!hubstation_ || !hubstation_->hasDefaultRoom()) {
        entry = MenuItem::item(presenceControl_ ? presenceControl_->roomName()
                                                : kv("kivano-control.presence.is-deactivated"));
        entry->submenu = presenceControlsMenu_;
    } else {
        entry = MenuItem::item(kv(presenceControl_ ? "deactivate" : "activate"), "",
                               actionOf(&StatusBarMenu::activateOrDeactivateDefaultRoom),
                               "activateOrDeactivateDefaultRoom:");
    }
    mainMenu_->addItem(entry);
    mainMenu_->addItem(MenuItem::separatorItem());
    addCloseItem();
    menuDidChange();
}

void StatusBarMenu::addCloseItem() {
    mainMenu_->addItem(MenuItem::separatorItem());
    mainMenu_->addItem(MenuItem::item(
        kv("kivano-control.general.quit"), "q", [](MenuItem&) { platform::Application::shared().terminate(); },
        "terminate:"));
}

void StatusBarMenu::reloadHubstationList() {
    hubstationMenu_->removeAllItems();
    if (!hubstationDict_) {
        hubstationMenu_->addItem(MenuItem::item(kv("kivano-control.general.no-hubstation-available")));
        return;
    }
    std::vector<std::pair<std::string, HubstationEntry>> entries(hubstationDict_->begin(), hubstationDict_->end());
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return platform::asciiLower(a.second.name) < platform::asciiLower(b.second.name); });
    for (const auto& [serial, entry] : entries) {
        auto item = MenuItem::item(entry.name + " (" + entry.localURL + ")", "",
                                   actionOf(&StatusBarMenu::hubstationSelected), "hubstationSelected:");
        item->representedObject = serial;
        item->stateOn = hubstation_ && hubstation_->serialNo == serial;
        hubstationMenu_->addItem(item);
    }
}

void StatusBarMenu::reloadPresenceControlsList() {
    presenceControlsMenu_->removeAllItems();
    if (!presenceControls_) return;
    std::stable_sort(presenceControls_->begin(), presenceControls_->end(),
                     [](const auto& a, const auto& b) { return platform::asciiLower(a->roomName()) < platform::asciiLower(b->roomName()); });
    for (const auto& c : *presenceControls_) {
        std::string title = areMultiplePresenceControlsInRoomOf(*c) ? c->name() + " \u2022 " + c->roomName() : c->roomName();
        auto item = MenuItem::item(title, "", actionOf(&StatusBarMenu::controlSelected), "controlSelected:");
        item->representedObject = c;
        item->stateOn = presenceControl_ && presenceControl_->UUID() == c->UUID();
        presenceControlsMenu_->addItem(item);
    }
    auto off = MenuItem::item(kv(presenceControl_ ? "kivano-control.presence.deactivate"
                                                  : "kivano-control.presence.is-deactivated"),
                              "", actionOf(&StatusBarMenu::controlSelected), "controlSelected:");
    off->stateOn = !presenceControl_;
    off->representedObject = std::string(kDeactivationIdentifier);
    presenceControlsMenu_->addItem(off);
}

bool StatusBarMenu::areMultiplePresenceControlsInRoomOf(const PresenceControl& presenceControl) const {
    if (!presenceControls_) return false;
    int count = 0;
    for (const auto& c : *presenceControls_) {
        if (c->roomName() == presenceControl.roomName() && ++count >= 2) return true;
    }
    return false;
}

void StatusBarMenu::addItemWithAttributedTitle(const std::string& title) {
    auto item = MenuItem::item(title);
    item->attributedTitle = platform::AttributedTitle{title, {{0, title.size(), 10, true}}};
    mainMenu_->addItem(item);
}

std::string StatusBarMenu::getErrorText(const platform::HttpErrorRef& error) {
    if (!error) return {};
    switch (error->code) {
        case 401:
            return kv("kivano-control.error.wrong-credentials");
        case 404:
            return kv("kivano-control.presence-state.pd-not-found");
        case -1001:
            return kv("kivano-control.presence-state.hs-not-found");
        default:
            return error->localizedDescription();
    }
}

void StatusBarMenu::showAlert(const std::string& message, const std::optional<std::string>& informativeText,
                              const std::optional<std::string>& location) {
    if (!location) {
        platform::runWarningAlertPanel(nullptr, message, informativeText, {kv("okay")});
        return;
    }
    int button = platform::runWarningAlertPanel(nullptr, message, informativeText, {kv("open"), kv("cancel")});
    if (button == 0 && hubstation_) showTarragon("kivano://hs?mac=" + hubstation_->serialNo + "&loc=" + *location);
}

// ---- actions ----

void StatusBarMenu::openTarragon(MenuItem&) {
    if (!hubstation_ || windowIsOpen()) {
        showTarragon(std::nullopt);
        return;
    }
    std::string url = "kivano://hs?mac=" + hubstation_->serialNo;
    if (presenceControl_) url += "&loc=wallmount/" + presenceControl_->roomUUID();
    showTarragon(url);
}

void StatusBarMenu::hubstationSelected(MenuItem& sender) {
    const auto* serial = std::any_cast<std::string>(&sender.representedObject);
    if (!serial) return;
    std::string serialNo = *serial;  // the selection rebuilds the menu that holds the sender
    bool open = windowIsOpen();
    StatusBarInformation::sharedInstance().selectNewHubstation(serialNo, !open);
    if (open) showTarragon("kivano://hs?mac=" + serialNo);
}

void StatusBarMenu::performQuickAction(MenuItem& sender) {
    const auto* held = std::any_cast<std::shared_ptr<const QuickAction>>(&sender.representedObject);
    if (!held || !*held) return;
    std::shared_ptr<const QuickAction> action = *held;
    if (action->type == QuickAction::QuickActionType::Position) {
        if (action->URL()) showTarragon(*action->URL());
        return;
    }
    if (!action->commands() || !hubstation_) return;
    const Hubstation& hs = *hubstation_;
    KVHTTPHubstation target(hs.serialNo, presentAddress(hs.localURL), presentAddress(hs.remoteURL), hs.username,
                            hs.password);
    auto weak = lifetime_.token();
    for (const auto& text : *action->commands()) {
        auto command = KVHTTPCommand::create(
            text, target, KVHTTPReachMode::None,
            [weak](const KVHTTPResult&, bool success, const platform::HttpErrorRef& localError,
                   const platform::HttpErrorRef& remoteError, const platform::Value&) {
                if (success) return;
                auto* self = weak.get();
                if (!self) return;
                const auto& error = localError ? localError : remoteError;
                std::optional<std::string> info;
                if (error) info = getErrorText(error);
                self->showAlert(kv("unable-to-send-command"), info, std::nullopt);
            });
        command->setDecodesImages(false);  // a picture answer is thrown away
        command->send();
    }
}

void StatusBarMenu::controlSelected(MenuItem& sender) {
    if (const auto* held = std::any_cast<std::shared_ptr<const PresenceControl>>(&sender.representedObject)) {
        if (!*held) return;
        std::shared_ptr<const PresenceControl> control = *held;
        StatusBarInformation::sharedInstance().selectNewPresenceControl(control->UUID());
        if (windowIsOpen() && hubstation_) {
            showTarragon("kivano://hs?mac=" + hubstation_->serialNo + "&loc=wallmount/" + control->roomUUID());
        }
        return;
    }
    const auto* text = std::any_cast<std::string>(&sender.representedObject);
    if (text && *text == kDeactivationIdentifier) StatusBarInformation::sharedInstance().deactivatePresenceDetector();
}

void StatusBarMenu::activateOrDeactivateDefaultRoom(MenuItem&) {
    if (presenceControl_) {
        StatusBarInformation::sharedInstance().deactivatePresenceDetector();
        return;
    }
    if (!StatusBarInformation::sharedInstance().activatePresenceDetectorInDefaultRoom()) {
        showAlert(kv("kivano-control.presence-state.pd-not-found") + "! " + kv("kivano-control.error.end-detection"),
                  kv("kivano-control.error.reconnect"), std::string("presencedetector"));
    }
}
