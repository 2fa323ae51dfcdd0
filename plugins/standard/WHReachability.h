// Reachability of a network target, posting kNetworkReachabilityChangedNotification on the
// main thread at every change the system reports.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/reachability_source.h"

inline constexpr const char* kNetworkReachabilityChangedNotification = "kNetworkReachabilityChangedNotification";

enum NetworkStatus : int {
    NotReachable = 0,
    ReachableViaWiFi = 1,
};

class WHReachability {
public:
    ~WHReachability();
    WHReachability(const WHReachability&) = delete;
    WHReachability& operator=(const WHReachability&) = delete;

    // The IPv4 address 0.0.0.0: the internet in general.
    static std::unique_ptr<WHReachability> reachabilityForInternetConnection();
    // `address`: the bytes of a socket address; nullptr when the platform refuses it.
    static std::unique_ptr<WHReachability> reachabilityWithAddress(const std::vector<std::uint8_t>& address);
    static std::unique_ptr<WHReachability> reachabilityWithHostName(const std::string& hostName);
    // The socket-address bytes of the IPv4 address a.b.c.d.
    static std::vector<std::uint8_t> ipv4Address(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d);
    // The link-local network 169.254.0.0.
    static std::unique_ptr<WHReachability> reachabilityForLocalWiFi();

    bool startNotifier();
    void stopNotifier();

    NetworkStatus currentReachabilityStatus() const;
    bool connectionRequired() const;

    static NetworkStatus networkStatusForFlags(platform::ReachabilityFlags flags);
    static NetworkStatus localWiFiStatusForFlags(platform::ReachabilityFlags flags);

    // The change callback; `info` is the object it was registered for.
    static void ReachabilityCallback(platform::ReachabilityFlags flags, void* info);

    bool localWiFiRef = false;

private:
    explicit WHReachability(std::shared_ptr<platform::ReachabilitySource> source);
    std::shared_ptr<platform::ReachabilitySource> reachabilityRef_;
};
