// Where the reachability monitors read their flags: the system's network monitor
// (GNetworkMonitor) for a target, or flags set by hand.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch.h"

namespace platform {

using ReachabilityFlags = std::uint32_t;
enum ReachabilityFlag : ReachabilityFlags {
    kReachabilityFlagTransientConnection = 1u << 0,
    kReachabilityFlagReachable = 1u << 1,
    kReachabilityFlagConnectionRequired = 1u << 2,
    kReachabilityFlagConnectionOnTraffic = 1u << 3,
    kReachabilityFlagInterventionRequired = 1u << 4,
    kReachabilityFlagConnectionOnDemand = 1u << 5,
    kReachabilityFlagIsLocalAddress = 1u << 16,
    kReachabilityFlagIsDirect = 1u << 17,
};

class ReachabilitySource {
public:
    using Callback = std::function<void(ReachabilityFlags)>;
    virtual ~ReachabilitySource() = default;

    // The flags now; absent when they cannot be read.
    virtual std::optional<ReachabilityFlags> flags() const = 0;
    // Installs the change callback, or removes it when empty. False when refused.
    virtual bool setCallback(Callback callback) = 0;
    // The queue changes are delivered on; null removes it. False when refused.
    virtual bool setDispatchQueue(std::shared_ptr<SerialQueue> queue) = 0;

    // Targets watched through the system's network monitor. Without a dispatch queue their changes
    // reach the callback on the main thread, on a later turn of the main loop, with the flags of
    // that moment. Null when the system has no network monitor.
    //   loopback target:       reachable, local address, direct
    //   no network:            0
    //   link-local target:     reachable, direct
    //   otherwise, by connectivity: local only 0, behind a portal reachable with intervention
    //   required, limited or full reachable.
    // The default route (the all-zero IPv4 address).
    static std::shared_ptr<ReachabilitySource> forDefaultRoute();
    // A host by name; null for an empty name or one with blanks or control characters.
    static std::shared_ptr<ReachabilitySource> forHostname(const std::string& hostname);
    // A socket address: the bytes of a sockaddr_in or sockaddr_in6, as long as their family
    // needs; null when the bytes are not one.
    static std::shared_ptr<ReachabilitySource> forAddress(const std::vector<std::uint8_t>& socketAddress);
    // The socket address (sockaddr_in bytes) of an IPv4 address, port 0, for forAddress().
    static std::vector<std::uint8_t> ipv4SocketAddress(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d);

    // Tests: flags that every system target reports in place of the system's; each call (also
    // with the same flags) is reported to them as a change. None returns to the system.
    static void setSystemFlagsForTesting(std::optional<ReachabilityFlags> flags);
};

// Flags given by hand, for tests and for targets the system cannot watch.
class InjectedReachabilitySource : public ReachabilitySource {
public:
    explicit InjectedReachabilitySource(std::optional<ReachabilityFlags> flags = kReachabilityFlagReachable)
        : flags_(flags) {}

    std::optional<ReachabilityFlags> flags() const override;
    bool setCallback(Callback callback) override;
    bool setDispatchQueue(std::shared_ptr<SerialQueue> queue) override;

    // Sets the flags and reports them as a change on the dispatch queue, or at once without one
    // (when a callback is set).
    void setFlags(std::optional<ReachabilityFlags> flags);
    void refuseCallback(bool refuse) { refuseCallback_ = refuse; }
    void refuseDispatchQueue(bool refuse) { refuseQueue_ = refuse; }
    bool hasCallback() const;

private:
    mutable std::mutex mutex_;
    std::optional<ReachabilityFlags> flags_;
    Callback callback_;
    std::shared_ptr<SerialQueue> queue_;
    bool refuseCallback_ = false;
    bool refuseQueue_ = false;
};

}  // namespace platform
