// The desktop side the page controls: the status item's visibility setting, start at login
// (an XDG autostart entry), and the download and start of an update. It also answers the web
// view's authentication challenges without credentials, so no credential dialog is shown.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "bridge/WHPlugin.h"
#include "platform/lifetime.h"
#include "platform/webview.h"

inline constexpr const char* kApplicationManagerStatusBarIconVisibilityChangedNotification =
    "kApplicationManagerStatusBarIconVisibilityChangedNotification";
inline constexpr const char* kApplicationManagerStatusBarIconVisibilityChangedSetting =
    "kApplicationManagerStatusBarIconVisibilityChangedSetting";
// Names the autostart entry: $XDG_CONFIG_HOME/autostart/<id>.desktop.
inline constexpr const char* kTarragonLauncherAppBundleId = "com.kivano.Tarragon";
// The proposed name of a downloaded update.
inline constexpr const char* kApplicationManagerUpdateFileName = "ZorudaZidovAdad.dmg";

class ApplicationManager : public WHPlugin, public platform::WebViewResourceLoadDelegate {
public:
    explicit ApplicationManager(platform::WebView* webView);
    ~ApplicationManager() override;
    const ActionTable& actions() const override;

    void pluginInitialize() override;
    void onAppTerminate() override;

    void showStatusBarIcon(const WHInvokedUrlCommand& command);
    void setAsStartupApp(const WHInvokedUrlCommand& command);
    void doesAppStartWithSystem(const WHInvokedUrlCommand& command);
    void isVisibleInStatusBar(const WHInvokedUrlCommand& command);
    void downloadUpdate(const WHInvokedUrlCommand& command);
    void startUpdate(const WHInvokedUrlCommand& command);

    platform::AuthenticationAnswer webViewDidReceiveAuthenticationChallenge(
        const platform::AuthenticationChallenge& challenge) override;

    bool startedAtLogin() const { return startedAtLogin_; }
    bool visibleInStatusBar() const { return visibleInStatusBar_; }
    const std::optional<std::string>& updateFilePath() const { return updateFilePath_; }

private:
    void postStatusBarIconVisibilityNotification(bool showItem);
    static bool isAppLauncherActive(const std::string& appName);

    bool startedAtLogin_ = false;
    bool visibleInStatusBar_ = false;
    std::optional<std::string> updateFilePath_;
    // Downloads outlive a call; they reach the plug-in only while it lives.
    platform::Lifetime<ApplicationManager> lifetime_;
};

// Lenient Boolean reading: true and false as they are, numbers by their truth value.
std::optional<bool> lenientBoolean(const Value& value);
