#include "companion/StatusBarInformation.h"

#include <climits>
#include <ctime>

#include "companion/FilePluginAccess.h"
#include "companion/KVControlMain.h"
#include "companion/PresenceDetector.h"
#include "platform/log.h"
#include "platform/user_defaults.h"
#include "plugins/services/ApplicationManager.h"
#include "plugins/services/HubstationInfoStore.h"
#include "plugins/services/QuickActions.h"
#include "plugins/services/StorageManager.h"
#include "plugins/standard/KCKeychain.h"

using platform::Value;

static std::unique_ptr<StatusBarInformation>& informationSlot() {
    // Never released: the instance lives until the process ends, past static destruction.
    static auto* slot = new std::unique_ptr<StatusBarInformation>;
    return *slot;
}

StatusBarInformation& StatusBarInformation::sharedInstance() {
    auto& slot = informationSlot();
    if (!slot) slot = std::make_unique<StatusBarInformation>();
    return *slot;
}

void StatusBarInformation::setSharedInstance(std::unique_ptr<StatusBarInformation> instance) {
    informationSlot() = std::move(instance);
}

std::string StatusBarInformation::structureFileName(const std::string& serialNo, const std::string& username) {
    return serialNo + "_" + username + "_local.json";
}

static std::optional<Value> loadJson(const std::string& name) {
    std::optional<Value> out;
    FilePluginAccess::loadFile(name, [&](std::optional<Value> v) { out = std::move(v); });
    return out;
}

static std::optional<std::string> textAt(const Value& object, const char* key) {
    if (!object.is_object()) return std::nullopt;
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

static platform::UserDefaults& defaults() { return platform::UserDefaults::standard(); }

StatusBarInformation::StatusBarInformation() {
    loadArchive();
    auto& center = platform::NotificationCenter::defaultCenter();
    center.addObserver(this, kApplicationManagerStatusBarIconVisibilityChangedNotification, nullptr,
                       [this](const platform::Notification& n) { statusItemVisibilityChanged(n); });
    center.addObserver(this, kStorageManagerArchiveChangedNotification, nullptr,
                       [this](const platform::Notification&) { loadArchive(); });
    center.addObserver(this, kHubstationInfoStoreDataChangedNotification, nullptr,
                       [this](const platform::Notification& n) { hubstationInfoStoreChanged(n); });
    center.addObserver(this, kQuickActionsChangedNotification, nullptr,
                       [this](const platform::Notification& n) { quickActionsChanged(n); });
    center.addObserver(this, kStorageManagerStructureChangedNotification, nullptr,
                       [this](const platform::Notification& n) { structureChanged(n); });
    center.addObserver(this, kStorageManagerSettingsChangedNotification, nullptr,
                       [this](const platform::Notification& n) { settingsChanged(n); });
}

StatusBarInformation::~StatusBarInformation() { platform::NotificationCenter::defaultCenter().removeObserver(this); }

void StatusBarInformation::stopDetectorWithRemoval() {
    PresenceDetector::sharedInstance().stopPresenceDetector(true, std::nullopt);
}

void StatusBarInformation::loadArchive() {
    hubstationDict_.clear();
    currentArchive_ = loadJson(kArchiveFile);
    if (!currentArchive_) return;

    std::optional<std::string> newest;
    long long newestDate = LLONG_MIN;
    auto list = currentArchive_->find("deviceList");
    if (list != currentArchive_->end() && list->is_object()) {
        for (auto it = list->begin(); it != list->end(); ++it) {
            const Value& entry = it.value();
            auto name = textAt(entry, "hsName");
            if (!name) continue;  // not a controller entry we can show
            hubstationDict_[it.key()] = HubstationEntry{*name, textAt(entry, "localUrl").value_or("")};
            long long date = LLONG_MIN;
            if (entry.contains("lastConnectedDate") && entry["lastConnectedDate"].is_number_integer()) {
                date = entry["lastConnectedDate"].get<long long>();
            }
            if (!newest || date > newestDate) {
                newest = it.key();
                newestDate = date;
            }
        }
    }
    platform::logLine("did receive new archive");
    StatusBarMenu::sharedInstance().didReceiveArchive(hubstationDict_);
    if (newest) checkAvailabilityAndSelectHubstation(*newest);
}

void StatusBarInformation::checkAvailabilityAndSelectHubstation(const std::string& serialNo) {
    if (!hubstationDict_.count(serialNo)) {
        platform::logLine("given serialNo of hubstation isn't available anymore");
        removeHubstation(serialNo);
    } else if (selectedHS_ && selectedHS_->serialNo == serialNo) {
        return;
    } else {
        selectHubstation(serialNo);
    }
}

void StatusBarInformation::selectHubstation(const std::string& serialNo) {
    if (!loadSelectedHubstation(serialNo)) return;
    loadQuickActions();
    loadPresenceControls();
    selectedPresenceCtrlUUID_.reset();
    platform::logLine("did receive new hubstation");
    StatusBarMenu::sharedInstance().didReceiveSelectedHubstation(selectedHS_, quickActions_, presenceControls_);
    PresenceDetector::sharedInstance().didReceiveSelectedHubstation(selectedHS_);
    if (!activatePresenceDetectorInDefaultRoom()) {
        checkAvailabilityAndSelectPresenceCtrlUUID(defaults().stringForKey(serialNo + kSelectedPresenceControlKey));
    }
}

bool StatusBarInformation::loadSelectedHubstation(const std::string& serialNo) {
    auto record = HubstationInfoStore::storedRecord(serialNo);
    if (!record) {
        // A locked or unreachable keyring hides the record but has not lost it: keep everything.
        auto status = KCKeychain::lastLoadStatus();
        if (status == KCKeychainLoadStatus::Locked || status == KCKeychainLoadStatus::Unavailable) {
            platform::logf(platform::LogLevel::Warning, "the record of hubstation %s cannot be read now, selection kept", serialNo);
            return false;
        }
        removeHubstation(serialNo);
        return false;
    }
    auto username = textAt(*record, "username");
    auto password = textAt(*record, "password");
    if (!username || !password) {
        removeHubstation(serialNo);
        return false;
    }
    selectedHS_ = std::make_shared<Hubstation>(serialNo, textAt(*record, "localUrl").value_or(""),
                                               textAt(*record, "remoteUrl").value_or(""), *username, *password);
    auto entry = hubstationDict_.find(serialNo);
    if (entry != hubstationDict_.end()) selectedHS_->name = entry->second.name;
    loadSettings();
    return true;
}

void StatusBarInformation::loadSettings() {
    if (!selectedHS_) return;
    auto settings = loadJson(kSettingsFile);
    if (!settings) return;
    auto hubs = settings->find("hubstations");
    if (hubs == settings->end() || !hubs->is_object()) return;
    auto mine = hubs->find(selectedHS_->serialNo);
    if (mine == hubs->end() || !mine->is_object()) return;
    auto room = textAt(*mine, "presenceRoom");
    if (room && !room->empty()) selectedHS_->defaultRoomUUID = *room;
}

void StatusBarInformation::loadQuickActions() {
    quickActions_ = QuickActionList{};
    auto stored = QuickActions::storedQuickActions();
    if (!stored) return;
    std::string serialNo = selectedHS_ ? selectedHS_->serialNo : "";
    for (const auto& action : *stored) {
        if (!action || action->UUID() == kQuickActionsDefaultUUID) continue;
        if (selectedHS_ && action->serialNo() && *action->serialNo() == serialNo) quickActions_->push_back(action);
    }
    std::string title;
    std::string url;
    if (!quickActions_->empty()) {
        title = Utils::kvString("kivano-control.quick-action.edit") + " ...";
        url = "kivano://hs?mac=" + serialNo + "&loc=quickactions";
    } else {
        title = Utils::kvString("kivano-control.quick-action.new");
        url = selectedHS_ ? "kivano://hs?mac=" + serialNo + "&loc=quickactions" : "kivano://?loc=quickactions";
    }
    quickActions_->push_back(std::make_shared<QuickAction>(kQuickActionsDefaultUUID, title, url));
}

void StatusBarInformation::loadPresenceControls() {
    presenceControls_ = PresenceControlList{};
    if (!selectedHS_) return;
    auto file = loadJson(structureFileName(selectedHS_->serialNo, selectedHS_->username));
    if (!file) {
        presenceControls_.reset();
        return;
    }
    parseAndSetStructure(*file);
}

void StatusBarInformation::parseAndSetStructure(const Value& file) {
    const Value* rooms = nullptr;
    if (auto r = file.find("rooms"); r != file.end() && r->is_object()) rooms = &*r;
    auto controls = file.find("controls");
    if (controls == file.end() || !controls->is_object()) return;
    for (auto it = controls->begin(); it != controls->end(); ++it) {
        const Value& c = it.value();
        auto type = textAt(c, "type");
        if (!type || (*type != "Presence" && *type != "PresenceController")) continue;
        auto name = textAt(c, "name");
        auto room = textAt(c, "room");
        if (!name || !room) continue;
        std::string roomName;
        if (rooms) {
            if (auto r = rooms->find(*room); r != rooms->end()) roomName = textAt(*r, "name").value_or("");
        }
        presenceControls_->push_back(std::make_shared<PresenceControl>(it.key(), *name, *room, roomName));
    }
}

bool StatusBarInformation::activatePresenceDetectorInDefaultRoom() {
    if (!selectedHS_ || !selectedHS_->hasDefaultRoom() || !presenceControls_ || presenceControls_->empty()) return false;
    for (const auto& c : *presenceControls_) {
        if (c->roomUUID() == *selectedHS_->defaultRoomUUID) {
            std::string uuid = c->UUID();
            selectNewPresenceControl(uuid);
            return true;
        }
    }
    return false;
}

void StatusBarInformation::selectNewPresenceControl(const std::string& UUID) {
    if (selectedPresenceCtrlUUID_) stopDetectorWithRemoval();
    if (!selectedHS_) return;
    selectPresenceControl(UUID, !selectedHS_->hasDefaultRoom());
}

void StatusBarInformation::selectPresenceControl(const std::string& UUID, bool saveUUID) {
    auto control = loadSelectedPresenceControlUUID(UUID);
    if (!control) return;
    if (saveUUID) {
        defaults().set(selectedHS_->serialNo + kSelectedPresenceControlKey, Value(UUID));
        defaults().synchronize();
    }
    platform::logLine("did received new selected presence control");
    StatusBarMenu::sharedInstance().didReceiveSelectedPresenceControl(control);
    PresenceDetector::sharedInstance().didReceiveSelectedPresenceControl(control);
}

std::shared_ptr<const PresenceControl> StatusBarInformation::loadSelectedPresenceControlUUID(const std::string& UUID) {
    std::shared_ptr<const PresenceControl> found;
    if (presenceControls_) {
        for (const auto& c : *presenceControls_) {
            if (c->UUID() == UUID) {
                found = c;
                break;
            }
        }
    }
    if (selectedPresenceCtrlUUID_ && *selectedPresenceCtrlUUID_ != UUID) removePresenceControlUUID();
    if (found) selectedPresenceCtrlUUID_ = UUID;
    return found;
}

void StatusBarInformation::checkAvailabilityAndSelectPresenceCtrlUUID(const std::optional<std::string>& UUID) {
    if (!UUID) {
        StatusBarMenu::sharedInstance().didReceiveSelectedPresenceControl(nullptr);
        stopDetectorWithRemoval();
        return;
    }
    if (!presenceControls_) return;
    for (const auto& c : *presenceControls_) {
        if (c->UUID() == *UUID) {
            std::string uuid = *UUID;
            selectPresenceControl(uuid, selectedPresenceCtrlUUID_ && *selectedPresenceCtrlUUID_ != uuid);
            return;
        }
    }
    platform::logLine("given UUID of presence control isn't available anymore");
    removePresenceControlUUID();
}

void StatusBarInformation::removePresenceControlUUID() {
    if (!selectedHS_) return;
    defaults().remove(selectedHS_->serialNo + kSelectedPresenceControlKey);
    defaults().synchronize();
    selectedPresenceCtrlUUID_.reset();
    StatusBarMenu::sharedInstance().didReceiveSelectedPresenceControl(nullptr);
    stopDetectorWithRemoval();
}

void StatusBarInformation::deactivatePresenceDetector() {
    if (selectedPresenceCtrlUUID_) removePresenceControlUUID();
}

void StatusBarInformation::removeHubstation(const std::string& serialNo) {
    defaults().remove(serialNo + kSelectedPresenceControlKey);
    defaults().synchronize();
    bool wasSelected = selectedHS_ != nullptr;
    selectedHS_.reset();
    quickActions_.reset();
    presenceControls_.reset();
    selectedPresenceCtrlUUID_.reset();
    if (wasSelected) {
        StatusBarMenu::sharedInstance().didReceiveSelectedHubstation(nullptr, std::nullopt, std::nullopt);
        PresenceDetector::sharedInstance().didReceiveSelectedHubstation(nullptr);
    }
}

void StatusBarInformation::selectNewHubstation(const std::string& serialNo, bool updateLastConnectionDate) {
    if (selectedHS_ && selectedHS_->serialNo == serialNo) return;
    selectHubstation(serialNo);
    if (updateLastConnectionDate) updateLastConnectedDate(serialNo);
}

void StatusBarInformation::updateLastConnectedDate(const std::string& serialNo) {
    if (!currentArchive_) return;
    auto list = currentArchive_->find("deviceList");
    if (list == currentArchive_->end() || !list->is_object()) return;
    auto entry = list->find(serialNo);
    if (entry == list->end() || !entry->is_object()) return;
    (*entry)["lastConnectedDate"] = static_cast<long long>(std::time(nullptr));
    FilePluginAccess::saveFile(kArchiveFile, *currentArchive_, [](bool ok) {
        platform::logLine(std::string("Changing last connected date succeeded: ") + (ok ? "true" : "false"));
    });
}

void StatusBarInformation::statusItemVisibilityChanged(const platform::Notification& notification) {
    if (!initialStatusItemVisibilityNotification_) {
        initialStatusItemVisibilityNotification_ = true;
        return;
    }
    const Value& info = notification.userInfo;
    if (!info.is_object() || !info.contains("showItem") || !info["showItem"].is_boolean()) return;
    if (info["showItem"].get<bool>()) {
        activatePresenceDetectorInDefaultRoom();
    } else {
        deactivatePresenceDetector();
    }
}

void StatusBarInformation::hubstationInfoStoreChanged(const platform::Notification& notification) {
    if (!selectedHS_) return;
    auto serial = textAt(notification.userInfo, "serialNo");
    if (!serial || *serial != selectedHS_->serialNo) return;
    std::shared_ptr<Hubstation> old = selectedHS_;
    if (!loadSelectedHubstation(*serial)) return;
    if (old->localURL == selectedHS_->localURL && old->remoteURL == selectedHS_->remoteURL &&
        old->username == selectedHS_->username && old->password == selectedHS_->password) {
        return;
    }
    platform::logLine("did receive new hubstation info store");
    StatusBarMenu::sharedInstance().didReceiveSelectedHubstation(selectedHS_, quickActions_, presenceControls_);
    PresenceDetector::sharedInstance().didReceiveSelectedHubstation(selectedHS_);
}

void StatusBarInformation::quickActionsChanged(const platform::Notification&) {
    if (!selectedHS_) return;
    loadQuickActions();
    StatusBarMenu::sharedInstance().didReceiveQuickActions(quickActions_);
}

void StatusBarInformation::structureChanged(const platform::Notification& notification) {
    if (!selectedHS_) return;
    auto serial = textAt(notification.userInfo, "serialNo");
    if (!serial || *serial != selectedHS_->serialNo) return;
    loadPresenceControls();
    StatusBarMenu::sharedInstance().didReceivePresenceControls(presenceControls_);
    stopDetectorWithRemoval();
    if (!activatePresenceDetectorInDefaultRoom() && selectedPresenceCtrlUUID_) {
        checkAvailabilityAndSelectPresenceCtrlUUID(std::optional<std::string>(*selectedPresenceCtrlUUID_));
    }
}

void StatusBarInformation::settingsChanged(const platform::Notification&) {
    if (!selectedHS_) return;
    bool hadDefault = selectedHS_->hasDefaultRoom();
    auto room = selectedHS_->defaultRoomUUID;
    loadSettings();
    if (hadDefault == selectedHS_->hasDefaultRoom() && room == selectedHS_->defaultRoomUUID) return;
    StatusBarMenu::sharedInstance().didReceiveSelectedHubstation(selectedHS_, quickActions_, presenceControls_);
    if (!activatePresenceDetectorInDefaultRoom() && selectedPresenceCtrlUUID_) deactivatePresenceDetector();
}
