// Tells the page the kind of network connection, at once and at every change of kind.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "bridge/WHPlugin.h"
#include "plugins/standard/WHReachability.h"

class WHConnection : public WHPlugin {
public:
    using WHPlugin::WHPlugin;
    ~WHConnection() override;

    const ActionTable& actions() const override;
    void pluginInitialize() override;

    void getConnectionInfo(const WHInvokedUrlCommand& command);

    void updateConnectionType(const platform::Notification& notification);
    void updateReachability(WHReachability& reachability);

    // "wifi" for status 1, "none" for 0, "unknown" otherwise.
    static std::string w3cConnectionTypeFor(int status);

    std::string connectionType = "none";
    std::unique_ptr<WHReachability> internetReach;

private:
    std::optional<std::string> callbackId_;
};
