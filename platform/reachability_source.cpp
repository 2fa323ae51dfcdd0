#include "platform/reachability_source.h"

#include <gio/gio.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace platform {

// ---- flags by hand ----

std::optional<ReachabilityFlags> InjectedReachabilitySource::flags() const {
    std::lock_guard lock(mutex_);
    return flags_;
}

bool InjectedReachabilitySource::setCallback(Callback callback) {
    std::lock_guard lock(mutex_);
    if (callback && refuseCallback_) return false;
    callback_ = std::move(callback);
    return true;
}

bool InjectedReachabilitySource::setDispatchQueue(std::shared_ptr<SerialQueue> queue) {
    std::lock_guard lock(mutex_);
    if (queue && refuseQueue_) return false;
    queue_ = std::move(queue);
    return true;
}

bool InjectedReachabilitySource::hasCallback() const {
    std::lock_guard lock(mutex_);
    return static_cast<bool>(callback_);
}

void InjectedReachabilitySource::setFlags(std::optional<ReachabilityFlags> flags) {
    Callback callback;
    std::shared_ptr<SerialQueue> queue;
    {
        std::lock_guard lock(mutex_);
        flags_ = flags;
        callback = callback_;
        queue = queue_;
    }
    if (!callback) return;
    ReachabilityFlags f = flags.value_or(0);
    if (queue) {
        queue->async([callback, f] { callback(f); });
    } else {
        callback(f);
    }
}

// ---- the system's network monitor ----

namespace {

// What the reachability of an address depends on: the default route (any routed address, the
// unspecified one included), nothing (loopback), or the link alone.
enum class Target { Routed, Loopback, LinkLocal };

Target targetOfAddress(GInetAddress* a) {
    if (g_inet_address_get_is_loopback(a)) return Target::Loopback;
    if (g_inet_address_get_is_link_local(a)) return Target::LinkLocal;
    return Target::Routed;
}

Target targetOfHostname(const std::string& host) {
    if (host == "localhost" || host == "[::1]") return Target::Loopback;
    g_autoptr(GInetAddress) a = g_inet_address_new_from_string(host.c_str());
    if (!a) return Target::Routed;
    return targetOfAddress(a);
}

class SystemSource;

// One watcher of the system's monitor for every system target of the process.
class Hub {
public:
    static Hub& shared() {
        static Hub* hub = new Hub;  // lives for the process; the system monitor is a singleton too
        return *hub;
    }

    // False when the system has no network monitor.
    bool add(const std::shared_ptr<SystemSource>& s) {
        std::lock_guard lock(mutex_);
        if (!connectLocked()) return false;
        std::erase_if(sources_, [](const auto& w) { return w.expired(); });
        sources_.push_back(s);
        return true;
    }

    std::optional<ReachabilityFlags> flags(Target target) {
        std::lock_guard lock(mutex_);
        if (injected_) return injected_;
        if (!monitor_) return std::nullopt;
        if (target == Target::Loopback) {
            return kReachabilityFlagReachable | kReachabilityFlagIsLocalAddress | kReachabilityFlagIsDirect;
        }
        if (!g_network_monitor_get_network_available(monitor_)) return 0u;
        if (target == Target::LinkLocal) return kReachabilityFlagReachable | kReachabilityFlagIsDirect;
        switch (g_network_monitor_get_connectivity(monitor_)) {
        case G_NETWORK_CONNECTIVITY_LOCAL: return 0u;
        case G_NETWORK_CONNECTIVITY_PORTAL: return kReachabilityFlagReachable | kReachabilityFlagInterventionRequired;
        case G_NETWORK_CONNECTIVITY_LIMITED:
        case G_NETWORK_CONNECTIVITY_FULL:
        default: return kReachabilityFlagReachable;
        }
    }

    void inject(std::optional<ReachabilityFlags> flags) {
        {
            std::lock_guard lock(mutex_);
            injected_ = flags;
        }
        changed();
    }

private:
    bool connectLocked() {
        if (monitor_) return true;
        if (triedConnect_) return false;
        triedConnect_ = true;
        // The monitor signals in the main context that was the thread's default when it was first
        // asked for; delivery does not depend on which one.
        monitor_ = g_network_monitor_get_default();
        if (!monitor_) return false;
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
        hub->changed();
    }

    void changed();

    std::mutex mutex_;
    GNetworkMonitor* monitor_ = nullptr;
    bool triedConnect_ = false;
    std::optional<ReachabilityFlags> injected_;
    std::vector<std::weak_ptr<SystemSource>> sources_;
};

class SystemSource : public ReachabilitySource, public std::enable_shared_from_this<SystemSource> {
public:
    explicit SystemSource(Target target) : target_(target) {}

    std::optional<ReachabilityFlags> flags() const override { return Hub::shared().flags(target_); }

    bool setCallback(Callback callback) override {
        std::lock_guard lock(mutex_);
        callback_ = std::move(callback);
        return true;
    }

    bool setDispatchQueue(std::shared_ptr<SerialQueue> queue) override {
        std::lock_guard lock(mutex_);
        queue_ = std::move(queue);
        return true;
    }

    void changed() {
        Callback callback;
        std::shared_ptr<SerialQueue> queue;
        {
            std::lock_guard lock(mutex_);
            callback = callback_;
            queue = queue_;
        }
        if (!callback) return;
        if (queue) {
            ReachabilityFlags f = flags().value_or(0);
            queue->async([callback, f] { callback(f); });
            return;
        }
        // On the main thread, later: the callback and the flags of that moment.
        std::weak_ptr<SystemSource> weak = weak_from_this();
        dispatchMain([weak] {
            auto self = weak.lock();
            if (!self) return;
            Callback now;
            {
                std::lock_guard lock(self->mutex_);
                now = self->callback_;
            }
            if (now) now(self->flags().value_or(0));
        });
    }

private:
    const Target target_;
    std::mutex mutex_;
    Callback callback_;
    std::shared_ptr<SerialQueue> queue_;
};

void Hub::changed() {
    std::vector<std::shared_ptr<SystemSource>> live;
    {
        std::lock_guard lock(mutex_);
        for (const auto& w : sources_) {
            if (auto s = w.lock()) live.push_back(std::move(s));
        }
    }
    for (const auto& s : live) s->changed();
}

std::shared_ptr<ReachabilitySource> systemSource(Target target) {
    auto s = std::make_shared<SystemSource>(target);
    if (!Hub::shared().add(s)) return nullptr;
    return s;
}

}  // namespace

std::shared_ptr<ReachabilitySource> ReachabilitySource::forDefaultRoute() { return systemSource(Target::Routed); }

std::shared_ptr<ReachabilitySource> ReachabilitySource::forHostname(const std::string& hostname) {
    if (hostname.empty()) return nullptr;
    for (unsigned char c : hostname) {
        if (c <= 0x20 || c == 0x7F) return nullptr;
    }
    return systemSource(targetOfHostname(hostname));
}

std::shared_ptr<ReachabilitySource> ReachabilitySource::forAddress(const std::vector<std::uint8_t>& address) {
    sockaddr_storage storage{};
    if (address.size() < sizeof(sa_family_t) || address.size() > sizeof(storage)) return nullptr;
    std::copy(address.begin(), address.end(), reinterpret_cast<std::uint8_t*>(&storage));
    g_autoptr(GInetAddress) a = nullptr;
    if (storage.ss_family == AF_INET && address.size() >= sizeof(sockaddr_in)) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&storage);
        a = g_inet_address_new_from_bytes(reinterpret_cast<const guint8*>(&in->sin_addr), G_SOCKET_FAMILY_IPV4);
    } else if (storage.ss_family == AF_INET6 && address.size() >= sizeof(sockaddr_in6)) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
        a = g_inet_address_new_from_bytes(in6->sin6_addr.s6_addr, G_SOCKET_FAMILY_IPV6);
    } else {
        return nullptr;
    }
    return systemSource(targetOfAddress(a));
}

void ReachabilitySource::setSystemFlagsForTesting(std::optional<ReachabilityFlags> flags) {
    Hub::shared().inject(flags);
}

std::vector<std::uint8_t> ReachabilitySource::ipv4SocketAddress(std::uint8_t a, std::uint8_t b, std::uint8_t c,
                                                                 std::uint8_t d) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    const std::uint8_t bytes[4] = {a, b, c, d};
    std::memcpy(&in.sin_addr, bytes, 4);
    std::vector<std::uint8_t> out(sizeof in);
    std::memcpy(out.data(), &in, sizeof in);
    return out;
}

}  // namespace platform
