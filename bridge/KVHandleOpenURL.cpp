#include "bridge/KVHandleOpenURL.h"

#include "bridge/WHViewController.h"
#include "bridge/WHWebViewDelegate.h"
#include "platform/log.h"
#include "platform/webview.h"

WH_REGISTER_PLUGIN(KVHandleOpenURL);
WH_REGISTER_PLUGIN(WHLogger);

KVHandleOpenURL::~KVHandleOpenURL() { platform::NotificationCenter::defaultCenter().removeObserver(this); }

void KVHandleOpenURL::pluginInitialize() {
    auto& center = platform::NotificationCenter::defaultCenter();
    center.addObserver(this, WHPluginHandleOpenURLNotification, nullptr,
                       [this](const platform::Notification& n) { applicationLaunchedWithUrl(n); });
    // The page is ready for URLs once its first load has finished; a URL evaluated earlier would
    // be lost with the document that was still loading.
    if (viewController() && viewController()->mainFrameLoaded) {
        pageLoaded = true;
    } else {
        center.addObserver(this, kWebViewMainFrameDidFinishLoadNotification, webView(),
                           [this](const platform::Notification&) { mainFrameLoaded(); });
    }
}

void KVHandleOpenURL::mainFrameLoaded() {
    platform::NotificationCenter::defaultCenter().removeObserver(this, kWebViewMainFrameDidFinishLoadNotification);
    pageLoaded = true;
    auto waiting = std::move(waiting_);
    waiting_.clear();
    for (const auto& u : waiting) processOpenUrl(u, true);
}

void KVHandleOpenURL::applicationLaunchedWithUrl(const platform::Notification& notification) {
    const auto* text = std::any_cast<std::string>(&notification.payload);
    if (!text) return;
    url = *text;
    if (pageLoaded) {
        processOpenUrl(*url, true);
    } else {
        waiting_.push_back(*url);
    }
    url.reset();
}

std::string KVHandleOpenURL::openURLScript(const std::string& u) {
    return "document.addEventListener('deviceready',function(){if (typeof handleOpenURL === 'function') { handleOpenURL(" +
           platform::jsStringLiteral(u, '"') + ");}});";
}

void KVHandleOpenURL::processOpenUrl(const std::string& u, bool loaded) {
    if (!loaded || !webView()) return;
    if (viewController() && !viewController()->isTrustedPageURL(webView()->committedURL())) return;
    webView()->evaluateScriptInTrustedPage(openURLScript(u));
}

const WHPlugin::ActionTable& WHLogger::actions() const {
    static const ActionTable table{WH_ACTION(WHLogger, logLevel)};
    return table;
}

void WHLogger::logLevel(const WHInvokedUrlCommand& command) {
    Value level = command.argumentAtIndex(0);
    Value message = command.argumentAtIndex(1);
    if (level.is_string() && level.get<std::string>() == "LOG") {
        platform::logf("%s", platform::describe(message));
    } else {
        platform::logf("%s: %s", platform::describe(level), platform::describe(message));
    }
}
