// The menu-bar face of the companion: the status item, its main menu with the controller and
// presence-control submenus, and the state line of the presence detector. It keeps only what the
// status model and the detector push into it and rebuilds the menu whole after every change.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "companion/Hubstation.h"
#include "companion/KivanoControlState.h"
#include "companion/PresenceControl.h"
#include "platform/lifetime.h"
#include "platform/http_client.h"
#include "platform/notification_center.h"
#include "platform/status_item.h"
#include "plugins/services/QuickAction.h"

struct HubstationEntry {
    std::string name;
    std::string localURL;
    bool operator==(const HubstationEntry&) const = default;
};
using HubstationDict = std::map<std::string, HubstationEntry>;
using QuickActionList = std::vector<std::shared_ptr<const QuickAction>>;
using PresenceControlList = std::vector<std::shared_ptr<const PresenceControl>>;

class StatusBarMenu {
public:
    static StatusBarMenu& sharedInstance();
    // Replaces the single instance (tests); null drops it, the next use creates a new one.
    static void setSharedInstance(std::unique_ptr<StatusBarMenu> instance);

    StatusBarMenu();
    ~StatusBarMenu();
    StatusBarMenu(const StatusBarMenu&) = delete;
    StatusBarMenu& operator=(const StatusBarMenu&) = delete;

    void setStatusItemVisibility(const platform::Notification& notification);
    bool isStatusItemVisible() const { return statusItem_ != nullptr; }

    void didReceiveArchive(const HubstationDict& hubstations);
    void didReceiveSelectedHubstation(std::shared_ptr<Hubstation> hubstation, std::optional<QuickActionList> quickActions,
                                      std::optional<PresenceControlList> presenceControls);
    void didReceiveQuickActions(std::optional<QuickActionList> quickActions);
    void didReceivePresenceControls(std::optional<PresenceControlList> presenceControls);
    void didReceiveSelectedPresenceControl(std::shared_ptr<const PresenceControl> control);
    void updatePresenceDetectionState(KivanoControlState state, const std::optional<std::string>& text);

    // Menu actions; each gets the chosen item.
    void openTarragon(platform::MenuItem& sender);
    void hubstationSelected(platform::MenuItem& sender);
    void performQuickAction(platform::MenuItem& sender);
    void controlSelected(platform::MenuItem& sender);
    void activateOrDeactivateDefaultRoom(platform::MenuItem& sender);

    // The text an alert shows for a failed command.
    static std::string getErrorText(const platform::HttpErrorRef& error);

    // What the menu shows, for inspection.
    const std::shared_ptr<platform::StatusItem>& statusItem() const { return statusItem_; }
    const std::string& statusItemIcon() const { return statusItemIcon_; }
    const std::shared_ptr<platform::Menu>& mainMenu() const { return mainMenu_; }
    const std::shared_ptr<platform::Menu>& hubstationMenu() const { return hubstationMenu_; }
    const std::shared_ptr<platform::Menu>& presenceControlsMenu() const { return presenceControlsMenu_; }
    const std::shared_ptr<platform::MenuItem>& stateLabelItem() const { return stateLabelItem_; }
    const std::shared_ptr<Hubstation>& hubstation() const { return hubstation_; }
    const std::optional<QuickActionList>& quickActions() const { return quickActions_; }
    const std::optional<PresenceControlList>& presenceControls() const { return presenceControls_; }
    const std::shared_ptr<const PresenceControl>& presenceControl() const { return presenceControl_; }

    static constexpr const char* kDeactivationIdentifier = "kDeactivationIdentifier";

private:
    void reloadMenuList();
    void addCloseItem();
    void reloadHubstationList();
    void reloadPresenceControlsList();
    bool areMultiplePresenceControlsInRoomOf(const PresenceControl& presenceControl) const;
    void addItemWithAttributedTitle(const std::string& title);
    void showAlert(const std::string& message, const std::optional<std::string>& informativeText,
                   const std::optional<std::string>& location);
    void menuDidChange();
    platform::MenuItem::Action actionOf(void (StatusBarMenu::*action)(platform::MenuItem&));

    std::shared_ptr<platform::StatusItem> statusItem_;
    std::string statusItemIcon_ = "StatusBarButtonIcon";
    std::shared_ptr<platform::Menu> mainMenu_ = std::make_shared<platform::Menu>();
    std::shared_ptr<platform::Menu> hubstationMenu_ = std::make_shared<platform::Menu>();
    std::shared_ptr<platform::Menu> presenceControlsMenu_ = std::make_shared<platform::Menu>();
    std::shared_ptr<platform::MenuItem> stateLabelItem_;
    std::optional<HubstationDict> hubstationDict_;
    std::shared_ptr<Hubstation> hubstation_;
    std::optional<QuickActionList> quickActions_;
    std::optional<PresenceControlList> presenceControls_;
    std::shared_ptr<const PresenceControl> presenceControl_;
    // Items outlive a rebuild while an action runs; they reach the menu only while it lives.
    platform::Lifetime<StatusBarMenu> lifetime_;
};
