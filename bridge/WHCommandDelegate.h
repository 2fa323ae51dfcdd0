// What a plug-in calls on the host.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "bridge/WHPluginResult.h"

class WHPlugin;

using WHSettings = std::map<std::string, std::string>;

class WHCommandDelegate {
public:
    virtual ~WHCommandDelegate() = default;
    virtual std::optional<std::string> pathForResource(const std::string& resourcePath) = 0;
    virtual WHPlugin* getCommandInstance(const std::string& pluginName) = 0;
    // From any thread; the callback script is queued to the main thread.
    virtual void sendPluginResult(const WHPluginResult& result, const std::optional<std::string>& callbackId) = 0;
    virtual void evalJs(const std::string& js) = 0;
    virtual void evalJs(const std::string& js, bool scheduledOnRunLoop) = 0;
    virtual void runInBackground(std::function<void()> block) = 0;
    virtual std::optional<std::string> userAgent() = 0;
    virtual bool URLIsWhitelisted(const std::string& url) = 0;
    virtual const WHSettings& settings() = 0;
    // Whether a result of page bytes this long goes to the page outside the messages (from any
    // thread); where not, such a result is sent as a message made from its bytes.
    virtual bool carriesPageBytes(std::uint64_t length) { return false; }
};
