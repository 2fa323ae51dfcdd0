#include "plugins/standard/WHConnection.h"

#include "bridge/WHCommandDelegate.h"

WH_REGISTER_PLUGIN(WHConnection);

WHConnection::~WHConnection() {
    platform::NotificationCenter::defaultCenter().removeObserver(this, kNetworkReachabilityChangedNotification);
}

const WHPlugin::ActionTable& WHConnection::actions() const {
    static const ActionTable table{WH_ACTION(WHConnection, getConnectionInfo)};
    return table;
}

std::string WHConnection::w3cConnectionTypeFor(int status) {
    switch (status) {
        case ReachableViaWiFi: return "wifi";
        case NotReachable: return "none";
        default: return "unknown";
    }
}

void WHConnection::pluginInitialize() {
    connectionType = "none";
    internetReach = WHReachability::reachabilityForInternetConnection();
    auto& center = platform::NotificationCenter::defaultCenter();
    center.removeObserver(this, kNetworkReachabilityChangedNotification);
    center.addObserver(
        this, kNetworkReachabilityChangedNotification, nullptr,
        [this](const platform::Notification& n) { updateConnectionType(n); });
    if (internetReach) {
        connectionType = w3cConnectionTypeFor(internetReach->currentReachabilityStatus());
        internetReach->startNotifier();
    }
}

void WHConnection::getConnectionInfo(const WHInvokedUrlCommand& command) {
    callbackId_ = command.callbackId();
    auto result = WHPluginResult::resultWithStatus(WHCommandStatus_OK, connectionType);
    result.setKeepCallbackAsBool(true);
    if (commandDelegate()) commandDelegate()->sendPluginResult(result, command.callbackId());
}

void WHConnection::updateConnectionType(const platform::Notification& notification) {
    auto* const* reach = std::any_cast<WHReachability*>(&notification.payload);
    if (!reach || !*reach) return;
    updateReachability(**reach);
}

void WHConnection::updateReachability(WHReachability& reachability) {
    std::string type = w3cConnectionTypeFor(reachability.currentReachabilityStatus());
    if (type == connectionType) return;
    connectionType = type;
    if (!callbackId_ || !commandDelegate()) return;
    auto result = WHPluginResult::resultWithStatus(WHCommandStatus_OK, connectionType);
    result.setKeepCallbackAsBool(true);
    commandDelegate()->sendPluginResult(result, callbackId_);
}
