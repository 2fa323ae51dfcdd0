// The computer's own address and whether proxy settings are in force.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bridge/WHPlugin.h"
#include "platform/net_interfaces.h"

class NetworkInterface : public WHPlugin {
public:
    // Where the plug-in reads the system; tests give their own.
    struct Source {
        std::function<std::optional<std::vector<platform::InterfaceAddress>>()> interfaceAddresses;
        std::function<std::optional<std::string>()> defaultRouteInterface;
        std::function<std::map<std::string, std::string>()> proxySettings;
    };
    static Source systemSource();

    explicit NetworkInterface(platform::WebView* webView) : WHPlugin(webView), source_(systemSource()) {}
    const ActionTable& actions() const override;
    void setSource(Source source) { source_ = std::move(source); }

    void getIP(const WHInvokedUrlCommand& command);
    void isInVPN(const WHInvokedUrlCommand& command);

    // The last IPv4 or IPv6 address in the list's order on "en0", "ppp0" or the default-route
    // interface (when given); absent when none.
    static std::optional<std::string> addressOf(const std::vector<platform::InterfaceAddress>& list,
                                                const std::optional<std::string>& defaultRouteInterface);

private:
    Source source_;
};
