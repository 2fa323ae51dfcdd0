#include "platform/net_interfaces.h"

#include <arpa/inet.h>
#include <gio/gio.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/paths.h"

namespace platform {

static_assert(sizeof(InterfaceAddress::address) >= sizeof(sockaddr_in6));

namespace {

void keep(InterfaceAddress& entry, const void* address, std::size_t length) {
    std::memcpy(entry.address.data(), address, length);
    entry.length = static_cast<std::uint32_t>(length);
}

}  // namespace

std::optional<std::vector<InterfaceAddress>> listInterfaceAddresses() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return std::nullopt;
    std::vector<InterfaceAddress> out;
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        InterfaceAddress entry;
        entry.name = a->ifa_name ? a->ifa_name : "";
        if (a->ifa_addr) {
            if (a->ifa_addr->sa_family == AF_INET) {
                entry.family = AddressFamily::IPv4;
                keep(entry, a->ifa_addr, sizeof(sockaddr_in));
            } else if (a->ifa_addr->sa_family == AF_INET6) {
                entry.family = AddressFamily::IPv6;
                keep(entry, a->ifa_addr, sizeof(sockaddr_in6));
            } else if (a->ifa_addr->sa_family != AF_UNSPEC) {
                entry.family = AddressFamily::Other;
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
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    if (::inet_pton(AF_INET, numericHost.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        entry.family = AddressFamily::IPv4;
        keep(entry, &v4, sizeof v4);
    } else if (::inet_pton(AF_INET6, numericHost.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        entry.family = AddressFamily::IPv6;
        keep(entry, &v6, sizeof v6);
    }
    return entry;
}

std::string numericHostOf(const InterfaceAddress& entry) {
    if ((!isIPv4(entry) && !isIPv6(entry)) || entry.length == 0 || entry.length > sizeof(sockaddr_storage)) return {};
    sockaddr_storage address{};
    std::memcpy(&address, entry.address.data(), entry.length);
    char host[NI_MAXHOST] = {0};
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), entry.length, host, sizeof host, nullptr, 0,
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
