#include "companion/KVControlMain.h"

#include "bridge/WHPlugin.h"
#include "companion/CompanionHost.h"
#include "companion/StatusBarInformation.h"
#include "companion/StatusBarMenu.h"
#include "platform/application.h"
#include "platform/bundle.h"
#include "platform/notification_center.h"
#include "platform/text_checks.h"
#include "platform/window.h"

using platform::ActivationPolicy;
using platform::Application;

static std::unique_ptr<KVControlMain>& instanceSlot() {
    static std::unique_ptr<KVControlMain> slot;
    return slot;
}

KVControlMain* KVControlMain::sharedInstance() { return instanceSlot().get(); }
void KVControlMain::setSharedInstance(std::unique_ptr<KVControlMain> instance) { instanceSlot() = std::move(instance); }
void KVControlMain::initilizeKVControl() { instanceSlot() = std::make_unique<KVControlMain>(); }

KVControlMain::KVControlMain() {
    windowIsOpen = false;
    StatusBarMenu::sharedInstance();
    StatusBarInformation::sharedInstance();
    CompanionHost* host = CompanionHost::current();
    if (host && host->launchedAtLogin()) {
        windowIsOpen = false;
        Application::shared().setActivationPolicy(ActivationPolicy::Accessory);
        return;
    }
    showTarragon(std::nullopt);
}

void KVControlMain::showTarragon(const std::optional<std::string>& url) {
    bool wasOpen = windowIsOpen;
    windowIsOpen = true;
    Application::shared().setActivationPolicy(ActivationPolicy::Regular);
    if (CompanionHost* host = CompanionHost::current()) {
        if (!wasOpen && host->launchFinished() && !host->closeConnectionPending()) {
            host->sendEventToPage("'resume'", true);
            host->sendEventToPage("'active'", true);
        }
        host->stopCloseConnectionTimer();
        host->showPageWindow();
        Application::shared().activateIgnoringOtherApps();
    }
    if (url && !url->empty()) {
        platform::Notification n;
        n.name = WHPluginHandleOpenURLNotification;
        if (platform::isURLText(*url, platform::URLForm::Lenient)) n.payload = *url;
        platform::NotificationCenter::defaultCenter().post(n);
    }
}

void KVControlMain::closedTarragon() {
    windowIsOpen = false;
    Application::shared().setActivationPolicy(ActivationPolicy::Accessory);
    if (!StatusBarMenu::sharedInstance().isStatusItemVisible()) Application::shared().terminate();
}

std::string Utils::kvString(const std::string& key) { return platform::Bundle::main().localizedString(key); }
