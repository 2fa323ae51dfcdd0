#include "plugins/standard/WHReachability.h"

#include <mutex>
#include <set>

#include "platform/log.h"
#include "platform/notification_center.h"

namespace {
// Live objects, so the callback can tell one of ours from a stale or foreign context.
std::mutex& liveMutex() {
    static std::mutex m;
    return m;
}
std::set<const void*>& liveObjects() {
    static std::set<const void*> s;
    return s;
}
}  // namespace

WHReachability::WHReachability(std::shared_ptr<platform::ReachabilitySource> source)
    : reachabilityRef_(std::move(source)) {
    std::lock_guard lock(liveMutex());
    liveObjects().insert(this);
}

WHReachability::~WHReachability() {
    stopNotifier();
    std::lock_guard lock(liveMutex());
    liveObjects().erase(this);
}

std::vector<std::uint8_t> WHReachability::ipv4Address(std::uint8_t a, std::uint8_t b, std::uint8_t c,
                                                      std::uint8_t d) {
    return platform::ReachabilitySource::ipv4SocketAddress(a, b, c, d);
}

std::unique_ptr<WHReachability> WHReachability::reachabilityForInternetConnection() {
    return reachabilityWithAddress(ipv4Address(0, 0, 0, 0));
}

std::unique_ptr<WHReachability> WHReachability::reachabilityWithAddress(const std::vector<std::uint8_t>& address) {
    auto source = platform::ReachabilitySource::forAddress(address);
    if (!source) return nullptr;
    return std::unique_ptr<WHReachability>(new WHReachability(std::move(source)));
}

std::unique_ptr<WHReachability> WHReachability::reachabilityWithHostName(const std::string& hostName) {
    auto source = platform::ReachabilitySource::forHostname(hostName);
    if (!source) return nullptr;
    return std::unique_ptr<WHReachability>(new WHReachability(std::move(source)));
}

std::unique_ptr<WHReachability> WHReachability::reachabilityForLocalWiFi() {
    auto r = reachabilityWithAddress(ipv4Address(169, 254, 0, 0));
    if (r) r->localWiFiRef = true;
    return r;
}

void WHReachability::ReachabilityCallback(platform::ReachabilityFlags, void* info) {
    if (!info) {
        platform::logLine("info was NULL in ReachabilityCallback");
        return;
    }
    {
        std::lock_guard lock(liveMutex());
        if (!liveObjects().count(info)) {
            platform::logLine("info was wrong class in ReachabilityCallback");
            return;
        }
    }
    auto* self = static_cast<WHReachability*>(info);
    platform::Notification n;
    n.name = kNetworkReachabilityChangedNotification;
    n.object = self;
    n.payload = self;
    platform::NotificationCenter::defaultCenter().post(n);
}

bool WHReachability::startNotifier() {
    if (!reachabilityRef_) return false;
    // Without a dispatch queue the changes come on the main thread's loop.
    void* context = this;
    return reachabilityRef_->setCallback([context](platform::ReachabilityFlags f) { ReachabilityCallback(f, context); }) &&
           reachabilityRef_->setDispatchQueue(nullptr);
}

void WHReachability::stopNotifier() {
    if (reachabilityRef_) reachabilityRef_->setCallback({});
}

NetworkStatus WHReachability::networkStatusForFlags(platform::ReachabilityFlags f) {
    using namespace platform;
    if (!(f & kReachabilityFlagReachable)) return NotReachable;
    if ((f & (kReachabilityFlagConnectionOnTraffic | kReachabilityFlagConnectionOnDemand)) &&
        !(f & kReachabilityFlagInterventionRequired))
        return ReachableViaWiFi;
    return (f & kReachabilityFlagConnectionRequired) ? NotReachable : ReachableViaWiFi;
}

NetworkStatus WHReachability::localWiFiStatusForFlags(platform::ReachabilityFlags f) {
    using namespace platform;
    return ((f & kReachabilityFlagReachable) && (f & kReachabilityFlagIsDirect)) ? ReachableViaWiFi : NotReachable;
}

NetworkStatus WHReachability::currentReachabilityStatus() const {
    auto flags = reachabilityRef_ ? reachabilityRef_->flags() : std::nullopt;
    if (!flags) return NotReachable;
    return localWiFiRef ? localWiFiStatusForFlags(*flags) : networkStatusForFlags(*flags);
}

bool WHReachability::connectionRequired() const {
    auto flags = reachabilityRef_ ? reachabilityRef_->flags() : std::nullopt;
    return flags && (*flags & platform::kReachabilityFlagConnectionRequired);
}
