// The menu-bar companion for tests: a scripted status bar, a presence detector on injected
// network and session notices with shortened timers, recorded alerts and main-window URLs.
// The companion itself (menu, then model) starts with start(), after the test has written its
// files and records.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "companion/PresenceDetector.h"
#include "companion/StatusBarInformation.h"
#include "companion/StatusBarMenu.h"
#include "platform/panels.h"
#include "platform/reachability_source.h"
#include "platform/session_notices.h"
#include "platform/status_item.h"

namespace testutil {

class CompanionRig {
public:
    // Timer intervals of the detector are multiplied by `timeScale`. The detector hears the
    // session from `sessionNotices` when given, else from `session`.
    explicit CompanionRig(double timeScale = 0.01,
                          std::shared_ptr<platform::SessionNoticeSource> sessionNotices = nullptr);
    ~CompanionRig();
    CompanionRig(const CompanionRig&) = delete;
    CompanionRig& operator=(const CompanionRig&) = delete;

    // Creates the companion as at launch: the menu first, then the model.
    void start();
    // Waits until the detector has seen the network's first check.
    bool waitOnline(double timeout = 5);
    // Posts the application manager's status-item notice.
    void postStatusItemVisibility(bool show);

    StatusBarMenu& menu() { return StatusBarMenu::sharedInstance(); }
    StatusBarInformation& model() { return StatusBarInformation::sharedInstance(); }
    PresenceDetector& detector() { return PresenceDetector::sharedInstance(); }

    // Titles of a menu's items in order; separators read "---".
    static std::vector<std::string> titles(const platform::Menu& menu);

    std::shared_ptr<platform::ScriptedStatusBar> bar = std::make_shared<platform::ScriptedStatusBar>();
    std::shared_ptr<platform::InjectedReachabilitySource> network =
        std::make_shared<platform::InjectedReachabilitySource>();
    std::shared_ptr<platform::InjectedSessionNoticeSource> session =
        std::make_shared<platform::InjectedSessionNoticeSource>();
    std::vector<std::string> openedURLs;        // URLs handed to the main window
    std::vector<platform::PanelRequest> alerts;  // every alert shown
    int alertAnswer = 1;                        // the button chosen in alerts
};

}  // namespace testutil
