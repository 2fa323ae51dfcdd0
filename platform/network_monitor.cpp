#include "platform/network_monitor.h"

#include <gio/gio.h>
#include <sys/socket.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>

#include "platform/dispatch.h"
#include "platform/log.h"

namespace platform {

struct NetworkMonitor::Subscription {
    explicit Subscription(Callback cb) : callback(std::move(cb)) {}
    Callback callback;
    std::atomic<bool> active{true};
};

namespace {

// One watcher of the system's monitor for every NetworkMonitor of the process.
class Hub {
public:
    static Hub& shared() {
        static Hub* hub = new Hub;  // lives for the process; the system monitor is a singleton too
        return *hub;
    }

    std::optional<ReachabilityFlags> current() {
        std::lock_guard lock(mutex_);
        if (injected_) return injected_;
        if (!connectLocked()) return std::nullopt;
        bool available = g_network_monitor_get_network_available(monitor_);
        return available ? (reachability::kReachable | reachability::kIsDirect) : ReachabilityFlags{0};
    }

    bool subscribe(const std::shared_ptr<NetworkMonitor::Subscription>& s) {
        std::lock_guard lock(mutex_);
        std::erase_if(subscribers_, [](const auto& w) { return w.expired(); });
        subscribers_.push_back(s);
        return injected_.has_value() || connectLocked();
    }

    void inject(std::optional<ReachabilityFlags> flags) {
        {
            std::lock_guard lock(mutex_);
            injected_ = flags;
        }
        dispatchMain([this] { deliver(); });
    }

private:
    bool connectLocked() {
        if (monitor_) return true;
        if (triedConnect_) return false;
        triedConnect_ = true;
        // The monitor signals in the main context of the thread that first asks for it; that is
        // the main thread's unless a thread pushed a context of its own.
        monitor_ = g_network_monitor_get_default();
        if (!monitor_) {
            logLine("No network monitor available");
            return false;
        }
        g_object_ref(monitor_);
        g_signal_connect(monitor_, "network-changed", G_CALLBACK(&Hub::onNetworkChanged), this);
        return true;
    }

    static void onNetworkChanged(GNetworkMonitor*, gboolean, gpointer self) {
        auto* hub = static_cast<Hub*>(self);
        {
            std::lock_guard lock(hub->mutex_);
            if (hub->injected_) return;  // tests own the state
        }
        if (isMainThread()) {
            hub->deliver();
        } else {
            dispatchMain([hub] { hub->deliver(); });
        }
    }

    // Main thread.
    void deliver() {
        auto flags = current();
        if (!flags) return;
        std::vector<std::shared_ptr<NetworkMonitor::Subscription>> live;
        {
            std::lock_guard lock(mutex_);
            for (const auto& w : subscribers_) {
                if (auto s = w.lock()) live.push_back(std::move(s));
            }
        }
        for (const auto& s : live) {
            if (s->active.load()) s->callback(*flags);
        }
    }

    std::mutex mutex_;
    GNetworkMonitor* monitor_ = nullptr;
    bool triedConnect_ = false;
    std::optional<ReachabilityFlags> injected_;
    std::vector<std::weak_ptr<NetworkMonitor::Subscription>> subscribers_;
};

}  // namespace

NetworkMonitor::NetworkMonitor(std::string target) : target_(std::move(target)) {}

NetworkMonitor::~NetworkMonitor() { stop(); }

std::unique_ptr<NetworkMonitor> NetworkMonitor::withAddress(const std::vector<std::uint8_t>& address) {
    if (address.size() < sizeof(sa_family_t)) return nullptr;
    sockaddr_storage storage{};
    if (address.size() > sizeof(storage)) return nullptr;
    std::copy(address.begin(), address.end(), reinterpret_cast<std::uint8_t*>(&storage));
    char text[INET6_ADDRSTRLEN + 8] = {0};
    if (storage.ss_family == AF_INET && address.size() >= sizeof(sockaddr_in)) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&storage);
        const auto* b = reinterpret_cast<const std::uint8_t*>(&in->sin_addr);
        std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    } else if (storage.ss_family == AF_INET6 && address.size() >= sizeof(sockaddr_in6)) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
        GInetAddress* a = g_inet_address_new_from_bytes(in6->sin6_addr.s6_addr, G_SOCKET_FAMILY_IPV6);
        gchar* s = g_inet_address_to_string(a);
        std::snprintf(text, sizeof text, "%s", s);
        g_free(s);
        g_object_unref(a);
    } else {
        return nullptr;
    }
    return std::unique_ptr<NetworkMonitor>(new NetworkMonitor(text));
}

std::unique_ptr<NetworkMonitor> NetworkMonitor::withHostName(const std::string& hostName) {
    if (hostName.empty()) return nullptr;
    return std::unique_ptr<NetworkMonitor>(new NetworkMonitor(hostName));
}

std::optional<ReachabilityFlags> NetworkMonitor::flags() const { return Hub::shared().current(); }

bool NetworkMonitor::start(Callback callback) {
    stop();
    if (!callback) return false;
    auto s = std::make_shared<Subscription>(std::move(callback));
    if (!Hub::shared().subscribe(s)) return false;
    subscription_ = std::move(s);
    return true;
}

void NetworkMonitor::stop() {
    if (subscription_) {
        subscription_->active = false;
        subscription_.reset();
    }
}

bool NetworkMonitor::isStarted() const { return subscription_ != nullptr; }

void NetworkMonitor::setFlagsForTesting(std::optional<ReachabilityFlags> flags) { Hub::shared().inject(flags); }

}  // namespace platform
