#include "app/AppDelegate.h"

#include "bridge/WHViewController.h"
#include "companion/KVControlMain.h"
#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "platform/log.h"
#include "platform/url_handler.h"
#include "platform/window.h"
#include "plugins/services/ApplicationManager.h"
#include "plugins/standard/WHFile.h"

using platform::Notification;

AppDelegate::AppDelegate() {
    auto& c = platform::NotificationCenter::defaultCenter();
    for (const char* name : {platform::kWindowWillCloseNotification, platform::kWindowDidMiniaturizeNotification,
                             platform::kWindowDidDeminiaturizeNotification}) {
        c.addObserver(this, name, nullptr, [this](const Notification& n) { didReceiveNotification(n); });
    }
}

AppDelegate::~AppDelegate() {
    platform::NotificationCenter::defaultCenter().removeObserver(this);
    stopCloseConnectionTimer();
}

AppDelegate* AppDelegate::shared() { return dynamic_cast<AppDelegate*>(platform::Application::shared().delegate()); }

void AppDelegate::applicationWillFinishLaunching() {
    // The URL handler is the application's open path (applicationOpenURL); here the schemes.
    const std::string id = platform::desktopEntryId();
    platform::installDesktopEntryIfRunFromBuildTree({"kivano", "kivanocmd", "kvtarragon"});
    for (const char* scheme : {"kivano", "kivanocmd", "kvtarragon"}) checkDefaultURLScheme(scheme, id);
}

void AppDelegate::checkDefaultURLScheme(const std::string& scheme, const std::string& bundleID) {
    auto current = platform::defaultHandlerForURLScheme(scheme);
    if (!current || *current != bundleID) platform::setDefaultHandlerForURLScheme(scheme, bundleID);
}

void AppDelegate::applicationDidFinishLaunching() {
    if (window) window->setDarkAppearance();
    KVControlMain::initilizeKVControl();
    if (startingURL) {
        KVControlMain::sharedInstance()->showTarragon(*startingURL);
        startingURL.reset();
    }
    initializationPassed = true;
}

void AppDelegate::applicationReopen() {
    // A later launch without URL brings the window back.
    if (KVControlMain::sharedInstance()) KVControlMain::sharedInstance()->showTarragon(std::nullopt);
}

void AppDelegate::getUrl(const std::optional<std::string>& text) {
    if (!text) return;
    if (*text == kStartupURL) {
        startedAtLogin = true;
        return;
    }
    if (KVControlMain::sharedInstance()) {
        KVControlMain::sharedInstance()->showTarragon(*text);
    } else {
        startingURL = *text;
    }
}

void AppDelegate::didReceiveNotification(const Notification& n) {
    platform::logf("didReceiveNotification: %s", n.name);
    if (n.name == platform::kWindowWillCloseNotification) {
        sendEventToJS("'resign'", false);
        sendEventToJS("'pause'", true);
        if (n.object == window && window && KVControlMain::sharedInstance()) KVControlMain::sharedInstance()->closedTarragon();
    } else if (n.name == platform::kWindowDidMiniaturizeNotification) {
        sendEventToJS("'resign'", false);
    } else if (n.name == platform::kWindowDidDeminiaturizeNotification) {
        sendEventToJS("'active'", true);
    }
}

void AppDelegate::sendEventToJS(const std::string& event, bool scheduleOnRunLoop) {
    if (!viewController || !viewController->commandDelegate()) return;
    viewController->commandDelegate()->evalJs("webhost.fireDocumentEvent(" + event + ");", scheduleOnRunLoop);
}

void AppDelegate::showPageWindow() {
    if (!viewController) return;
    viewController->showWindow();
    if (viewController->window) viewController->window->makeKeyAndOrderFront();
}

WHFile* AppDelegate::filePlugin() const { return viewController ? viewController->livePlugin<WHFile>() : nullptr; }

ApplicationManager* AppDelegate::applicationManager() const {
    return viewController ? viewController->livePlugin<ApplicationManager>() : nullptr;
}

void AppDelegate::stopCloseConnectionTimer() {
    if (cancelConnectionTimer) {
        cancelConnectionTimer->invalidate();
        cancelConnectionTimer.reset();
    }
}
