#include "platform/notification_center.h"

#include <algorithm>

namespace platform {

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter* c = new NotificationCenter;
    return *c;
}

void NotificationCenter::addObserver(const void* owner, const std::string& name, const void* object, Handler handler) {
    std::lock_guard lock(mutex_);
    entries_.push_back({owner, name, object, std::make_shared<Handler>(std::move(handler)), std::make_shared<std::atomic<bool>>(true)});
}

void NotificationCenter::removeObserver(const void* owner) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](Entry& e) {
        if (e.owner != owner) return false;
        *e.alive = false;
        return true;
    });
}

void NotificationCenter::removeObserver(const void* owner, const std::string& name) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](Entry& e) {
        if (e.owner != owner || e.name != name) return false;
        *e.alive = false;
        return true;
    });
}

void NotificationCenter::post(const Notification& n) {
    std::vector<Entry> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& e : entries_) {
            if (!e.name.empty() && e.name != n.name) continue;
            if (e.object != nullptr && e.object != n.object) continue;
            matching.push_back(e);
        }
    }
    for (const auto& e : matching) {
        // An observer removed by an earlier handler of this post is skipped.
        if (*e.alive) (*e.handler)(n);
    }
}

void NotificationCenter::post(const std::string& name, const void* object, Value userInfo) {
    Notification n;
    n.name = name;
    n.object = object;
    n.userInfo = std::move(userInfo);
    post(n);
}

}  // namespace platform
