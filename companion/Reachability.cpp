#include "companion/Reachability.h"

#include "platform/dispatch.h"

using platform::ReachabilityFlags;

const char* const ReachabilityChangedNotification = "ReachabilityChangedNotification";

static const char* kindText(ReachabilityError::Kind kind) {
    switch (kind) {
    case ReachabilityError::Kind::FailedToCreateWithAddress: return "FailedToCreateWithAddress";
    case ReachabilityError::Kind::FailedToCreateWithHostname: return "FailedToCreateWithHostname";
    case ReachabilityError::Kind::UnableToSetCallback: return "UnableToSetCallback";
    case ReachabilityError::Kind::UnableToSetDispatchQueue: return "UnableToSetDispatchQueue";
    }
    return "ReachabilityError";
}

ReachabilityError::ReachabilityError(Kind kind, std::string detail)
    : std::runtime_error(kindText(kind)), kind_(kind), detail_(std::move(detail)) {}

std::string Reachability::description(NetworkStatus status) {
    switch (status) {
    case NetworkStatus::notReachable: return "No Connection";
    case NetworkStatus::reachableViaWiFi: return "WiFi";
    case NetworkStatus::reachableViaWWAN: return "Cellular";
    }
    return "No Connection";
}

Reachability::Reachability(Passkey, std::shared_ptr<platform::ReachabilitySource> ref)
    : reachabilityRef(std::move(ref)),
      reachabilitySerialQueue(std::make_shared<platform::SerialQueue>("com.kivano.Tarragon.reachability")) {}

std::shared_ptr<Reachability> Reachability::create() {
    auto ref = platform::ReachabilitySource::forDefaultRoute();
    if (!ref) return nullptr;
    return createWithReachabilityRef(std::move(ref));
}

std::shared_ptr<Reachability> Reachability::createWithHostname(const std::string& hostname) {
    auto ref = platform::ReachabilitySource::forHostname(hostname);
    if (!ref) return nullptr;
    return createWithReachabilityRef(std::move(ref));
}

std::shared_ptr<Reachability> Reachability::createWithReachabilityRef(
    std::shared_ptr<platform::ReachabilitySource> ref) {
    return std::make_shared<Reachability>(Passkey{}, std::move(ref));
}

Reachability::~Reachability() {
    stopNotifier();
    reachabilityRef.reset();
}

void Reachability::startNotifier() {
    if (!reachabilityRef || notifierRunning) return;
    // The registration does not own the monitor; a change that arrives while it lives is
    // handed to the main thread, and that queued check keeps it alive until it has run.
    std::weak_ptr<Reachability> weak = weak_from_this();
    bool ok = reachabilityRef->setCallback([weak](ReachabilityFlags) {
        if (auto self = weak.lock()) {
            platform::dispatchMain([self = std::move(self)] { self->reachabilityChanged(); });
        }
    });
    if (!ok) {
        stopNotifier();
        throw ReachabilityError(ReachabilityError::Kind::UnableToSetCallback);
    }
    if (!reachabilityRef->setDispatchQueue(reachabilitySerialQueue)) {
        stopNotifier();
        throw ReachabilityError(ReachabilityError::Kind::UnableToSetDispatchQueue);
    }
    // The first check always posts, since there are no previous flags yet.
    platform::dispatchMain([self = shared_from_this()] { self->reachabilityChanged(); });
    notifierRunning = true;
}

void Reachability::stopNotifier() {
    if (reachabilityRef) {
        reachabilityRef->setCallback({});
        reachabilityRef->setDispatchQueue(nullptr);
    }
    notifierRunning = false;
}

std::optional<ReachabilityFlags> Reachability::readFlags() const {
    if (!reachabilityRef) return std::nullopt;
    return reachabilityRef->flags();
}

bool Reachability::reachableIn(ReachabilityFlags f) {
    using namespace platform;
    if (!(f & kReachabilityFlagReachable)) return false;
    bool requiredAndTransient =
        (f & kReachabilityFlagConnectionRequired) && (f & kReachabilityFlagTransientConnection);
    return !requiredAndTransient;
}

bool Reachability::isReachable() const { return reachableIn(flags()); }

bool Reachability::isReachableViaWiFi() const {
    auto f = readFlags();
    return f && (*f & platform::kReachabilityFlagReachable);
}

Reachability::NetworkStatus Reachability::currentReachabilityStatus() const {
    auto f = readFlags();
    if (!f || !reachableIn(*f)) return NetworkStatus::notReachable;
    if (isReachableViaWiFi()) return NetworkStatus::reachableViaWiFi;
    if (isRunningOnDevice) return NetworkStatus::reachableViaWWAN;
    return NetworkStatus::notReachable;
}

std::string Reachability::description() const {
    using namespace platform;
    ReachabilityFlags f = flags();
    auto mark = [f](ReachabilityFlags flag, char c) { return (f & flag) ? c : '-'; };
    std::string s;
    s += isRunningOnDevice ? '-' : 'X';
    s += mark(kReachabilityFlagReachable, 'R');
    s += ' ';
    s += mark(kReachabilityFlagConnectionRequired, 'c');
    s += mark(kReachabilityFlagTransientConnection, 't');
    s += mark(kReachabilityFlagInterventionRequired, 'i');
    s += mark(kReachabilityFlagConnectionOnTraffic, 'C');
    s += mark(kReachabilityFlagConnectionOnDemand, 'D');
    s += mark(kReachabilityFlagIsLocalAddress, 'l');
    s += mark(kReachabilityFlagIsDirect, 'd');
    return s;
}

void Reachability::reachabilityChanged() {
    ReachabilityFlags f = flags();
    if (previousFlags && *previousFlags == f) return;
    if (reachableIn(f)) {
        if (whenReachable) whenReachable(*this);
    } else {
        if (whenUnreachable) whenUnreachable(*this);
    }
    platform::Notification n;
    n.name = ReachabilityChangedNotification;
    n.object = this;
    n.payload = shared_from_this();
    if (notificationCenter) notificationCenter->post(n);
    previousFlags = f;
}
