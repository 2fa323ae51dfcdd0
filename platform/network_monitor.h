// Network reachability on the system's network monitor (GNetworkMonitor), as a flag set:
// a usable network gives kReachable | kIsDirect, none gives 0. Changes are reported on the
// main thread. Tests inject a flag set in place of the system's.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

using ReachabilityFlags = std::uint32_t;

namespace reachability {
inline constexpr ReachabilityFlags kTransientConnection = 0x1;
inline constexpr ReachabilityFlags kReachable = 0x2;
inline constexpr ReachabilityFlags kConnectionRequired = 0x4;
inline constexpr ReachabilityFlags kConnectionOnTraffic = 0x8;
inline constexpr ReachabilityFlags kInterventionRequired = 0x10;
inline constexpr ReachabilityFlags kConnectionOnDemand = 0x20;
inline constexpr ReachabilityFlags kIsLocalAddress = 0x10000;
inline constexpr ReachabilityFlags kIsDirect = 0x20000;
}  // namespace reachability

class NetworkMonitor {
public:
    using Callback = std::function<void(ReachabilityFlags flags)>;

    // A monitor for a socket address (the bytes of a sockaddr_in or sockaddr_in6, as long as
    // their family needs); nullptr when the address is not one.
    static std::unique_ptr<NetworkMonitor> withAddress(const std::vector<std::uint8_t>& socketAddress);
    // A monitor for a host name; nullptr for an empty name.
    static std::unique_ptr<NetworkMonitor> withHostName(const std::string& hostName);

    ~NetworkMonitor();
    NetworkMonitor(const NetworkMonitor&) = delete;
    NetworkMonitor& operator=(const NetworkMonitor&) = delete;

    // The flags now; none when the system's state cannot be read.
    std::optional<ReachabilityFlags> flags() const;

    // Calls `callback` on the main thread with the flags at each change, until stop() or the
    // monitor goes away. Answers whether the system's monitor is there to watch.
    bool start(Callback callback);
    void stop();
    bool isStarted() const;

    const std::string& target() const { return target_; }

    // Tests: a flag set every monitor reports in place of the system's; each call (also with
    // the same flags) is reported to started monitors as a change. None returns to the system.
    static void setFlagsForTesting(std::optional<ReachabilityFlags> flags);

    struct Subscription;  // internal

private:
    explicit NetworkMonitor(std::string target);
    std::string target_;
    std::shared_ptr<Subscription> subscription_;
};

}  // namespace platform
