// The companion's model: the controllers the web application has connected to, the selected one
// with its connection record, quick actions, presence controls and default room, and the
// presence control the detector pulses. It reads what the page wrote through the plug-ins,
// follows their change notices and pushes the result into the menu and the presence detector.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "companion/StatusBarMenu.h"
#include "platform/notification_center.h"
#include "platform/value.h"

inline constexpr const char* kSelectedPresenceControlKey = "_SelectedPresenceControl";

class StatusBarInformation {
public:
    static StatusBarInformation& sharedInstance();
    // Replaces the single instance (tests); null drops it, the next use creates a new one.
    static void setSharedInstance(std::unique_ptr<StatusBarInformation> instance);

    StatusBarInformation();
    ~StatusBarInformation();
    StatusBarInformation(const StatusBarInformation&) = delete;
    StatusBarInformation& operator=(const StatusBarInformation&) = delete;

    void statusItemVisibilityChanged(const platform::Notification& notification);
    void loadArchive();
    void selectNewHubstation(const std::string& serialNo, bool updateLastConnectionDate);
    void selectNewPresenceControl(const std::string& UUID);
    bool activatePresenceDetectorInDefaultRoom();
    void deactivatePresenceDetector();
    void hubstationInfoStoreChanged(const platform::Notification& notification);
    void quickActionsChanged(const platform::Notification& notification);
    void structureChanged(const platform::Notification& notification);
    void settingsChanged(const platform::Notification& notification);

    const std::optional<platform::Value>& currentArchive() const { return currentArchive_; }
    const HubstationDict& hubstationDict() const { return hubstationDict_; }
    const std::shared_ptr<Hubstation>& selectedHS() const { return selectedHS_; }
    const std::optional<QuickActionList>& quickActions() const { return quickActions_; }
    const std::optional<PresenceControlList>& presenceControls() const { return presenceControls_; }
    const std::optional<std::string>& selectedPresenceCtrlUUID() const { return selectedPresenceCtrlUUID_; }

    // The archive, settings and structure files the model reads.
    static constexpr const char* kArchiveFile = "DadUdidizi.json";
    static constexpr const char* kSettingsFile = "RodEzazizer.json";
    static std::string structureFileName(const std::string& serialNo, const std::string& username);

private:
    void checkAvailabilityAndSelectHubstation(const std::string& serialNo);
    void selectHubstation(const std::string& serialNo);
    void checkAvailabilityAndSelectPresenceCtrlUUID(const std::optional<std::string>& UUID);
    void selectPresenceControl(const std::string& UUID, bool saveUUID);
    void removeHubstation(const std::string& serialNo);
    void removePresenceControlUUID();
    bool loadSelectedHubstation(const std::string& serialNo);
    void loadQuickActions();
    void loadPresenceControls();
    void parseAndSetStructure(const platform::Value& file);
    std::shared_ptr<const PresenceControl> loadSelectedPresenceControlUUID(const std::string& UUID);
    void loadSettings();
    void updateLastConnectedDate(const std::string& serialNo);
    void stopDetectorWithRemoval();

    std::optional<platform::Value> currentArchive_;
    HubstationDict hubstationDict_;
    std::shared_ptr<Hubstation> selectedHS_;
    std::optional<QuickActionList> quickActions_;
    std::optional<PresenceControlList> presenceControls_;
    std::optional<std::string> selectedPresenceCtrlUUID_;
    bool initialStatusItemVisibilityNotification_ = false;
};
