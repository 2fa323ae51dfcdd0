// Hands URLs for the main window to the page's handleOpenURL.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bridge/WHPlugin.h"

class KVHandleOpenURL : public WHPlugin {
public:
    using WHPlugin::WHPlugin;
    ~KVHandleOpenURL() override;

    void pluginInitialize() override;
    void applicationLaunchedWithUrl(const platform::Notification& notification);
    void processOpenUrl(const std::string& url, bool pageLoaded);

    // The script that hands one URL to the page.
    static std::string openURLScript(const std::string& url);

    bool pageLoaded = false;
    std::optional<std::string> url;

private:
    void mainFrameLoaded();
    // URLs that arrived before the page's first load finished, in order.
    std::vector<std::string> waiting_;
};

class WHLogger : public WHPlugin {
public:
    using WHPlugin::WHPlugin;
    const ActionTable& actions() const override;
    void logLevel(const WHInvokedUrlCommand& command);
};
