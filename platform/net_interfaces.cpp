#include "platform/net_interfaces.h"

#include <arpa/inet.h>
#include <gio/gio.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/paths.h"

namespace platform {

std::optional<std::vector<InterfaceAddress>> listInterfaceAddresses() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return std::nullopt;
    std::vector<InterfaceAddress> out;
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        InterfaceAddress entry;
        entry.name = a->ifa_name ? a->ifa_name : "";
        entry.address.ss_family = AF_UNSPEC;
        if (a->ifa_addr) {
            socklen_t len = 0;
            if (a->ifa_addr->sa_family == AF_INET) len = sizeof(sockaddr_in);
            if (a->ifa_addr->sa_family == AF_INET6) len = sizeof(sockaddr_in6);
            if (len > 0) {
                std::memcpy(&entry.address, a->ifa_addr, len);
                entry.length = len;
            } else {
                entry.address.ss_family = a->ifa_addr->sa_family;
            }
        }
        out.push_back(std::move(entry));
    }
    ::freeifaddrs(list);
    return out;
}

InterfaceAddress makeInterfaceAddress(const std::string& name, const std::string& numericHost) {
    InterfaceAddress entry;
    entry.name = name;
    entry.address.ss_family = AF_UNSPEC;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&entry.address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&entry.address);
    if (::inet_pton(AF_INET, numericHost.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        entry.length = sizeof(sockaddr_in);
    } else if (::inet_pton(AF_INET6, numericHost.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        entry.length = sizeof(sockaddr_in6);
    }
    return entry;
}

std::string numericHostOf(const InterfaceAddress& entry) {
    int family = entry.address.ss_family;
    if ((family != AF_INET && family != AF_INET6) || entry.length == 0) return {};
    char host[NI_MAXHOST] = {0};
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&entry.address), entry.length, host, sizeof host, nullptr, 0,
                      NI_NUMERICHOST) != 0) {
        return {};
    }
    return host;
}

std::optional<std::string> defaultRouteInterfaceFromTable(const std::string& routeTable) {
    // Iface Destination Gateway Flags RefCnt Use Metric Mask ...   (hexadecimal fields)
    std::istringstream in(routeTable);
    std::string line;
    std::getline(in, line);  // header
    std::optional<std::string> best;
    unsigned long bestMetric = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string iface, dest, gateway, flags, refcnt, use, metric, mask;
        if (!(fields >> iface >> dest >> gateway >> flags >> refcnt >> use >> metric >> mask)) continue;
        constexpr unsigned long kRouteUp = 0x1;
        if (dest != "00000000" || mask != "00000000") continue;
        if ((std::strtoul(flags.c_str(), nullptr, 16) & kRouteUp) == 0) continue;
        unsigned long m = std::strtoul(metric.c_str(), nullptr, 10);
        if (!best || m < bestMetric) {
            best = iface;
            bestMetric = m;
        }
    }
    return best;
}

std::optional<std::string> defaultRouteInterface() {
    std::string table;
    if (!readFile("/proc/net/route", table)) return std::nullopt;
    return defaultRouteInterfaceFromTable(table);
}

std::map<std::string, std::string> proxySettings(const EnvironmentLookup& environment,
                                                 const std::optional<std::string>& mode) {
    std::map<std::string, std::string> out;
    for (const char* name : {"http_proxy", "https_proxy", "ftp_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY",
                             "FTP_PROXY", "ALL_PROXY"}) {
        auto value = environment(name);
        if (value && !value->empty()) out[name] = *value;
    }
    if (mode && !mode->empty() && *mode != "none") out["org.gnome.system.proxy.mode"] = *mode;
    return out;
}

std::optional<std::string> gnomeProxyMode() {
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    if (!source) return std::nullopt;
    g_autoptr(GSettingsSchema) schema = g_settings_schema_source_lookup(source, "org.gnome.system.proxy", TRUE);
    if (!schema) return std::nullopt;
    g_autoptr(GSettings) settings = g_settings_new("org.gnome.system.proxy");
    g_autofree char* mode = g_settings_get_string(settings, "mode");
    if (!mode) return std::nullopt;
    return std::string(mode);
}

std::map<std::string, std::string> systemProxySettings() {
    return proxySettings(
        [](const std::string& name) -> std::optional<std::string> {
            const char* v = std::getenv(name.c_str());
            if (!v) return std::nullopt;
            return std::string(v);
        },
        gnomeProxyMode());
}

}  // namespace platform
