#include "plugins/services/ApplicationManager.h"

#include "bridge/WHCommandDelegate.h"
#include "platform/autostart.h"
#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "platform/download.h"
#include "platform/file_info.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/user_defaults.h"
#include "platform/text_checks.h"
#include "platform/url_handler.h"
#include "platform/workspace.h"
#include "plugins/services/StorageManager.h"

WH_REGISTER_PLUGIN(ApplicationManager);

using platform::UserDefaults;

std::optional<bool> lenientBoolean(const Value& value) {
    if (value.is_boolean()) return value.get<bool>();
    if (value.is_number_integer() || value.is_number_unsigned()) return value.get<long long>() != 0;
    if (value.is_number_float()) return value.get<double>() != 0.0;
    return std::nullopt;
}

ApplicationManager::ApplicationManager(platform::WebView* webView)
    : WHPlugin(webView), lifetime_(this) {}

ApplicationManager::~ApplicationManager() {
    lifetime_.end();
    if (webView() && webView()->resourceLoadDelegate() == this) webView()->setResourceLoadDelegate(nullptr);
}

const WHPlugin::ActionTable& ApplicationManager::actions() const {
    static const ActionTable table{
        WH_ACTION(ApplicationManager, showStatusBarIcon),
        WH_ACTION(ApplicationManager, setAsStartupApp),
        WH_ACTION(ApplicationManager, doesAppStartWithSystem),
        WH_ACTION(ApplicationManager, isVisibleInStatusBar),
        WH_ACTION(ApplicationManager, downloadUpdate),
        WH_ACTION(ApplicationManager, startUpdate),
    };
    return table;
}

void ApplicationManager::pluginInitialize() {
    WHPlugin::pluginInitialize();
    if (webView()) webView()->setResourceLoadDelegate(this);
    startedAtLogin_ = isAppLauncherActive(platform::desktopEntryId(kTarragonLauncherAppBundleId));
    bool visible = true;
    if (auto stored = UserDefaults::standard().object(kApplicationManagerStatusBarIconVisibilityChangedSetting)) {
        if (auto b = lenientBoolean(*stored)) visible = *b;
    }
    visibleInStatusBar_ = visible;
    postStatusBarIconVisibilityNotification(visible);
}

void ApplicationManager::postStatusBarIconVisibilityNotification(bool showItem) {
    platform::NotificationCenter::defaultCenter().post(kApplicationManagerStatusBarIconVisibilityChangedNotification, this,
                                                       Value{{"showItem", showItem}});
}

bool ApplicationManager::isAppLauncherActive(const std::string& appName) {
    return platform::isAutostartEntryEnabled(appName);
}

void ApplicationManager::showStatusBarIcon(const WHInvokedUrlCommand& command) {
    auto show = lenientBoolean(command.argumentAtIndex(0));
    if (!show) {
        commandDelegate()->sendPluginResult(WHPluginResult::resultWithStatus(WHCommandStatus_ERROR), command.callbackId());
        return;
    }
    UserDefaults::standard().set(kApplicationManagerStatusBarIconVisibilityChangedSetting, *show);
    visibleInStatusBar_ = *show;
    postStatusBarIconVisibilityNotification(*show);
    commandDelegate()->sendPluginResult(WHPluginResult::resultWithStatus(WHCommandStatus_OK), command.callbackId());
}

void ApplicationManager::setAsStartupApp(const WHInvokedUrlCommand& command) {
    auto enabled = lenientBoolean(command.argumentAtIndex(0));
    if (!enabled) {
        commandDelegate()->sendPluginResult(WHPluginResult::resultWithStatus(WHCommandStatus_ERROR), command.callbackId());
        return;
    }
    std::string error;
    if (!platform::setAutostartEntry(platform::desktopEntryId(kTarragonLauncherAppBundleId), *enabled, platform::Bundle::main().name(),
                                     platform::executablePath(), "kivano://startup", &error)) {
        platform::logf(platform::LogLevel::Warning, "Start at login could not be %s: %s", std::string(*enabled ? "enabled" : "disabled"), error);
        commandDelegate()->sendPluginResult(WHPluginResult::resultWithStatus(WHCommandStatus_ERROR), command.callbackId());
        return;
    }
    startedAtLogin_ = *enabled;
    commandDelegate()->sendPluginResult(WHPluginResult::resultWithStatus(WHCommandStatus_OK), command.callbackId());
}

void ApplicationManager::doesAppStartWithSystem(const WHInvokedUrlCommand& command) {
    commandDelegate()->sendPluginResult(WHPluginResult::resultWithStatusMessageAsBool(WHCommandStatus_OK, startedAtLogin_),
                                        command.callbackId());
}

void ApplicationManager::isVisibleInStatusBar(const WHInvokedUrlCommand& command) {
    commandDelegate()->sendPluginResult(WHPluginResult::resultWithStatusMessageAsBool(WHCommandStatus_OK, visibleInStatusBar_),
                                        command.callbackId());
}

void ApplicationManager::downloadUpdate(const WHInvokedUrlCommand& command) {
    WHCommandDelegate* delegate = commandDelegate();
    auto callbackId = command.callbackId();
    Value url = command.argumentAtIndex(0, nullptr, ArgKind::String);
    if (!url.is_string() || !platform::isURLText(url.get<std::string>(), platform::URLForm::Absolute)) {
        delegate->sendPluginResult(WHPluginResult::resultWithStatus(WHCommandStatus_ERROR, "invalid URL"), callbackId);
        return;
    }
    auto weak = lifetime_.token();
    platform::downloadURL(url.get<std::string>(), [weak, delegate, callbackId](platform::DownloadResult result) {
        if (!result.ok) {
            std::printf("%s\n", result.error.c_str());
            std::fflush(stdout);
            // Answered on the main thread, where the plug-in ends: a token is asked on its owner's thread.
            platform::dispatchMain([weak, delegate, callbackId] {
                if (weak) {
                    delegate->sendPluginResult(WHPluginResult::resultWithStatus(WHCommandStatus_ERROR, "download failed"),
                                               callbackId);
                }
            });
            return;
        }
        // The HTTP status is not examined: whatever body arrived is offered for saving.
        platform::dispatchMain([weak, delegate, callbackId, body = std::move(result.bodyFile)]() mutable {
            if (!weak) {
                platform::removeFile(body);
                return;
            }
            StorageManager::showSaveDialogForFile(
                body, kApplicationManagerUpdateFileName,
                [weak, delegate, callbackId](bool saved, const std::optional<std::string>& path,
                                             const std::optional<std::string>& writeError) {
                    auto* self = weak.get();
                    if (!self) return;
                    if (saved && path) {
                        self->updateFilePath_ = *path;
                        delegate->sendPluginResult(WHPluginResult::resultWithStatus(WHCommandStatus_OK), callbackId);
                    } else {
                        delegate->sendPluginResult(
                            WHPluginResult::resultWithStatus(WHCommandStatus_ERROR, writeError ? *writeError : "user canceled"),
                            callbackId);
                    }
                });
        });
    });
}

void ApplicationManager::startUpdate(const WHInvokedUrlCommand&) {
    // Quitting without an update to open would only close the program.
    if (!updateFilePath_ || !platform::isRegularFile(*updateFilePath_)) {
        platform::logf(platform::LogLevel::Warning, "startUpdate: no saved update to open (%s)", updateFilePath_ ? *updateFilePath_ : std::string("none"));
        return;
    }
    platform::Workspace& workspace = platform::sharedWorkspace();
    workspace.openFile(*updateFilePath_);
    workspace.terminate();
}

void ApplicationManager::onAppTerminate() {
    UserDefaults::standard().synchronize();
    WHPlugin::onAppTerminate();
}

platform::AuthenticationAnswer ApplicationManager::webViewDidReceiveAuthenticationChallenge(
    const platform::AuthenticationChallenge&) {
    return platform::AuthenticationAnswer::ContinueWithoutCredential;
}
