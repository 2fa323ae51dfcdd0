// The computer's interface addresses (getifaddrs), its default IPv4 route and the system's
// proxy settings.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform {

enum class AddressFamily { None, IPv4, IPv6, Other };

struct InterfaceAddress {
    std::string name;
    AddressFamily family = AddressFamily::None;  // None when the entry carries no address
    // An IPv4 or IPv6 entry's socket address as the system gives it: its first `length` bytes.
    std::array<std::uint8_t, 128> address{};
    std::uint32_t length = 0;
};

inline bool isIPv4(const InterfaceAddress& entry) { return entry.family == AddressFamily::IPv4; }
inline bool isIPv6(const InterfaceAddress& entry) { return entry.family == AddressFamily::IPv6; }

// The list in the system's order; absent when it cannot be read.
std::optional<std::vector<InterfaceAddress>> listInterfaceAddresses();

// An entry from a numeric IPv4 or IPv6 text (tests and callers that build lists).
InterfaceAddress makeInterfaceAddress(const std::string& name, const std::string& numericHost);

// The numeric host text of an IPv4 or IPv6 address (getnameinfo with NI_NUMERICHOST); empty
// when it cannot be converted.
std::string numericHostOf(const InterfaceAddress& entry);

// The interface that carries the default IPv4 route, from the text of /proc/net/route: the
// usable route with destination and mask 0 and the lowest metric.
std::optional<std::string> defaultRouteInterfaceFromTable(const std::string& routeTable);
std::optional<std::string> defaultRouteInterface();

// The proxy settings in force: each proxy variable of the environment that holds a value, and
// the GNOME proxy mode when it is other than "none". Empty when no proxy is set.
using EnvironmentLookup = std::function<std::optional<std::string>(const std::string& name)>;
std::map<std::string, std::string> proxySettings(const EnvironmentLookup& environment,
                                                 const std::optional<std::string>& gnomeProxyMode);
std::map<std::string, std::string> systemProxySettings();
// The "mode" of org.gnome.system.proxy, absent when the schema is not installed.
std::optional<std::string> gnomeProxyMode();

}  // namespace platform
