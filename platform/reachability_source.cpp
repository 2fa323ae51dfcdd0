#include "platform/reachability_source.h"

#include <gio/gio.h>

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

bool isLoopbackName(const std::string& host) {
    if (host == "localhost" || host == "::1" || host == "[::1]") return true;
    GInetAddress* a = g_inet_address_new_from_string(host.c_str());
    if (!a) return false;
    bool loop = g_inet_address_get_is_loopback(a) != FALSE;
    g_object_unref(a);
    return loop;
}

class MonitorSource : public ReachabilitySource {
public:
    explicit MonitorSource(std::optional<std::string> hostname) : hostname_(std::move(hostname)) {
        monitor_ = g_network_monitor_get_default();
        if (monitor_) {
            g_object_ref(monitor_);
            handler_ = g_signal_connect(monitor_, "network-changed", G_CALLBACK(&MonitorSource::onChanged), this);
        }
    }
    ~MonitorSource() override {
        if (monitor_) {
            g_signal_handler_disconnect(monitor_, handler_);
            g_object_unref(monitor_);
        }
    }

    bool valid() const { return monitor_ != nullptr; }

    std::optional<ReachabilityFlags> flags() const override {
        if (!monitor_) return std::nullopt;
        if (hostname_ && isLoopbackName(*hostname_)) {
            return kReachabilityFlagReachable | kReachabilityFlagIsLocalAddress | kReachabilityFlagIsDirect;
        }
        if (!g_network_monitor_get_network_available(monitor_)) return 0u;
        switch (g_network_monitor_get_connectivity(monitor_)) {
        case G_NETWORK_CONNECTIVITY_LOCAL: return 0u;
        case G_NETWORK_CONNECTIVITY_PORTAL:
            return kReachabilityFlagReachable | kReachabilityFlagInterventionRequired;
        case G_NETWORK_CONNECTIVITY_LIMITED:
        case G_NETWORK_CONNECTIVITY_FULL:
        default: return kReachabilityFlagReachable;
        }
    }

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

private:
    static void onChanged(GNetworkMonitor*, gboolean, gpointer data) {
        auto* self = static_cast<MonitorSource*>(data);
        Callback callback;
        std::shared_ptr<SerialQueue> queue;
        {
            std::lock_guard lock(self->mutex_);
            callback = self->callback_;
            queue = self->queue_;
        }
        if (!callback) return;
        ReachabilityFlags f = self->flags().value_or(0);
        if (queue) {
            queue->async([callback, f] { callback(f); });
        } else {
            callback(f);
        }
    }

    std::optional<std::string> hostname_;
    GNetworkMonitor* monitor_ = nullptr;
    gulong handler_ = 0;
    std::mutex mutex_;
    Callback callback_;
    std::shared_ptr<SerialQueue> queue_;
};

}  // namespace

std::shared_ptr<ReachabilitySource> ReachabilitySource::forDefaultRoute() {
    auto s = std::make_shared<MonitorSource>(std::nullopt);
    if (!s->valid()) return nullptr;
    return s;
}

std::shared_ptr<ReachabilitySource> ReachabilitySource::forHostname(const std::string& hostname) {
    if (hostname.empty()) return nullptr;
    for (unsigned char c : hostname) {
        if (c <= 0x20 || c == 0x7F) return nullptr;
    }
    auto s = std::make_shared<MonitorSource>(hostname);
    if (!s->valid()) return nullptr;
    return s;
}

}  // namespace platform
