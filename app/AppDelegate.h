// The application delegate: URL schemes and URLs, launch, window events to document events.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "companion/CompanionHost.h"
#include "platform/application.h"
#include "platform/notification_center.h"

namespace platform {
class Timer;
class Window;
}
class WHViewController;

inline constexpr const char* kStartupURL = "kivano://startup";

class AppDelegate : public platform::ApplicationDelegate, public CompanionHost {
public:
    AppDelegate();
    ~AppDelegate() override;

    // The application's delegate when it is an AppDelegate.
    static AppDelegate* shared();

    void applicationWillFinishLaunching() override;
    void applicationDidFinishLaunching() override;
    void applicationOpenURL(const std::string& url) override { getUrl(url); }
    void applicationReopen() override;

    void checkDefaultURLScheme(const std::string& scheme, const std::string& bundleID);
    // Our 'GURL' event: the URL text, absent when the event carried none.
    void getUrl(const std::optional<std::string>& text);
    void didReceiveNotification(const platform::Notification& notification);
    void sendEventToJS(const std::string& event, bool scheduleOnRunLoop);
    void stopCloseConnectionTimer() override;

    // The companion's host.
    bool launchedAtLogin() const override { return startedAtLogin; }
    bool launchFinished() const override { return initializationPassed; }
    bool closeConnectionPending() const override { return cancelConnectionTimer != nullptr; }
    void sendEventToPage(const std::string& event, bool scheduleOnRunLoop) override { sendEventToJS(event, scheduleOnRunLoop); }
    void showPageWindow() override;
    WHFile* filePlugin() const override;
    ApplicationManager* applicationManager() const override;

    platform::Window* window = nullptr;
    bool initializationPassed = false;
    std::shared_ptr<platform::Timer> cancelConnectionTimer;
    std::optional<std::string> startingURL;
    bool startedAtLogin = false;
    WHViewController* viewController = nullptr;
};
