#include "plugins/services/NetworkInterface.h"

#include "bridge/WHCommandDelegate.h"

WH_REGISTER_PLUGIN(NetworkInterface);

NetworkInterface::Source NetworkInterface::systemSource() {
    return {platform::listInterfaceAddresses, platform::defaultRouteInterface, platform::systemProxySettings};
}

const WHPlugin::ActionTable& NetworkInterface::actions() const {
    static const ActionTable table{WH_ACTION(NetworkInterface, getIP), WH_ACTION(NetworkInterface, isInVPN)};
    return table;
}

std::optional<std::string> NetworkInterface::addressOf(const std::vector<platform::InterfaceAddress>& list,
                                                       const std::optional<std::string>& defaultRouteInterface) {
    std::optional<std::string> kept;
    for (const auto& entry : list) {
        if (!platform::isIPv4(entry) && !platform::isIPv6(entry)) continue;
        // No interface here is called "en0": the one with the default IPv4 route stands in for it.
        bool wanted = entry.name == "en0" || entry.name == "ppp0" ||
                      (defaultRouteInterface && !defaultRouteInterface->empty() && entry.name == *defaultRouteInterface);
        if (wanted) kept = platform::numericHostOf(entry);
    }
    return kept;
}

void NetworkInterface::getIP(const WHInvokedUrlCommand& command) {
    auto list = source_.interfaceAddresses ? source_.interfaceAddresses() : std::nullopt;
    std::optional<std::string> address;
    if (list) address = addressOf(*list, source_.defaultRouteInterface ? source_.defaultRouteInterface() : std::nullopt);
    commandDelegate()->sendPluginResult(address ? WHPluginResult::resultWithStatus(WHCommandStatus_OK, *address)
                                                : WHPluginResult::resultWithStatus(WHCommandStatus_ERROR),
                                        command.callbackId());
}

void NetworkInterface::isInVPN(const WHInvokedUrlCommand& command) {
    bool present = source_.proxySettings && !source_.proxySettings().empty();
    commandDelegate()->sendPluginResult(WHPluginResult::resultWithStatusMessageAsBool(WHCommandStatus_OK, present),
                                        command.callbackId());
}
