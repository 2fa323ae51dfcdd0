#include "tests/support/companion_rig.h"

#include "bridge/WHPlugin.h"
#include "companion/KVControlMain.h"
#include "companion/Reachability.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "plugins/services/ApplicationManager.h"

namespace testutil {

CompanionRig::CompanionRig(double timeScale, std::shared_ptr<platform::SessionNoticeSource> sessionNotices) {
    platform::setSystemStatusBar(bar);
    platform::setPanelResponder([this](const platform::PanelRequest& r) {
        alerts.push_back(r);
        platform::PanelAnswer a;
        a.button = alertAnswer;
        return a;
    });
    platform::NotificationCenter::defaultCenter().addObserver(
        this, WHPluginHandleOpenURLNotification, nullptr, [this](const platform::Notification& n) {
            if (const auto* url = std::any_cast<std::string>(&n.payload)) openedURLs.push_back(*url);
        });
    PresenceDetector::setSharedInstance(std::make_unique<PresenceDetector>(
        Reachability::createWithReachabilityRef(network), sessionNotices ? std::move(sessionNotices) : session, timeScale));
}

CompanionRig::~CompanionRig() {
    KVControlMain::setSharedInstance(nullptr);
    StatusBarInformation::setSharedInstance(nullptr);
    PresenceDetector::setSharedInstance(nullptr);
    StatusBarMenu::setSharedInstance(nullptr);
    platform::NotificationCenter::defaultCenter().removeObserver(this);
    platform::setPanelResponder({});
    platform::setSystemStatusBar(nullptr);
    // Let queued work of the dropped objects run out.
    platform::runMainLoopFor(0.02);
}

void CompanionRig::start() {
    KVControlMain::initilizeKVControl();
    // Without an application delegate the start shows the window; tests begin in menu-bar mode.
    KVControlMain::sharedInstance()->windowIsOpen = false;
}

bool CompanionRig::waitOnline(double timeout) {
    return platform::runMainLoopUntil([this] { return detector().isOnline(); }, timeout);
}

void CompanionRig::postStatusItemVisibility(bool show) {
    platform::NotificationCenter::defaultCenter().post(kApplicationManagerStatusBarIconVisibilityChangedNotification,
                                                       nullptr, platform::Value{{"showItem", show}});
}

std::vector<std::string> CompanionRig::titles(const platform::Menu& menu) {
    std::vector<std::string> out;
    for (const auto& i : menu.items) out.push_back(i->isSeparator ? "---" : i->displayTitle());
    return out;
}

}  // namespace testutil
