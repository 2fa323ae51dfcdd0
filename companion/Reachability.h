// Watches whether the computer has a usable network route and posts
// ReachabilityChangedNotification on every change, always on the main thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/notification_center.h"
#include "platform/reachability_source.h"

extern const char* const ReachabilityChangedNotification;

class ReachabilityError : public std::runtime_error {
public:
    enum class Kind { FailedToCreateWithAddress, FailedToCreateWithHostname, UnableToSetCallback, UnableToSetDispatchQueue };
    ReachabilityError(Kind kind, std::string detail = {});
    Kind kind() const { return kind_; }
    // The IPv4 address or host name the failed constructor was given.
    const std::string& detail() const { return detail_; }

private:
    Kind kind_;
    std::string detail_;
};

class Reachability : public std::enable_shared_from_this<Reachability> {
public:
    enum class NetworkStatus { notReachable, reachableViaWiFi, reachableViaWWAN };
    static std::string description(NetworkStatus status);  // "No Connection", "WiFi", "Cellular"

    // The default route (all-zero IPv4 address); null when the system cannot watch it.
    static std::shared_ptr<Reachability> create();
    static std::shared_ptr<Reachability> createWithHostname(const std::string& hostname);
    // The designated constructor; a null target gives a monitor that is never reachable.
    static std::shared_ptr<Reachability> createWithReachabilityRef(std::shared_ptr<platform::ReachabilitySource> ref);

    ~Reachability();
    Reachability(const Reachability&) = delete;
    Reachability& operator=(const Reachability&) = delete;

    std::function<void(Reachability&)> whenReachable;
    std::function<void(Reachability&)> whenUnreachable;
    bool reachableOnWWAN = true;
    platform::NotificationCenter* notificationCenter = &platform::NotificationCenter::defaultCenter();
    std::optional<platform::ReachabilityFlags> previousFlags;
    bool isRunningOnDevice = true;
    bool notifierRunning = false;
    std::shared_ptr<platform::ReachabilitySource> reachabilityRef;
    std::shared_ptr<platform::SerialQueue> reachabilitySerialQueue;

    // Registers for changes and queues an initial check on the main thread. Throws ReachabilityError.
    void startNotifier();
    void stopNotifier();

    bool isReachable() const;
    bool isReachableViaWiFi() const;
    bool isReachableViaWWAN() const { return false; }
    NetworkStatus currentReachabilityStatus() const;
    std::string currentReachabilityString() const { return description(currentReachabilityStatus()); }
    // Ten characters: device mark, "R", a blank, then c t i C D l d ("-" for a flag not set).
    std::string description() const;

private:
    struct Passkey {};

public:
    Reachability(Passkey, std::shared_ptr<platform::ReachabilitySource> ref);

private:
    std::optional<platform::ReachabilityFlags> readFlags() const;
    platform::ReachabilityFlags flags() const { return readFlags().value_or(0); }
    static bool reachableIn(platform::ReachabilityFlags f);
    void reachabilityChanged();
};
