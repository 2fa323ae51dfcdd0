// In-process notification centre: observers by name and optional object, delivered
// synchronously on the posting thread, removed by owner.
#pragma once

#include <any>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/value.h"

namespace platform {

struct Notification {
    std::string name;
    const void* object = nullptr;  // sender identity, used for observer filtering
    std::any payload;              // the object's value, when it carries one (a URL text, say)
    Value userInfo;                // a dictionary or null
};

class NotificationCenter {
public:
    using Handler = std::function<void(const Notification&)>;

    static NotificationCenter& defaultCenter();

    // An empty name observes every name; a null object observes every sender.
    void addObserver(const void* owner, const std::string& name, const void* object, Handler handler);
    void removeObserver(const void* owner);
    void removeObserver(const void* owner, const std::string& name);

    void post(const Notification& n);
    void post(const std::string& name, const void* object = nullptr, Value userInfo = nullptr);

private:
    struct Entry {
        const void* owner;
        std::string name;
        const void* object;
        std::shared_ptr<Handler> handler;
        std::shared_ptr<std::atomic<bool>> alive;
    };
    std::mutex mutex_;
    std::vector<Entry> entries_;
};

}  // namespace platform
