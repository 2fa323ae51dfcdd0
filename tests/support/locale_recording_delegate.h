// A command delegate that records the results plug-ins send, for plug-in tests without a page.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bridge/WHCommandDelegate.h"
#include "bridge/WHInvokedUrlCommand.h"
#include "bridge/WHPlugin.h"

namespace testutil {

struct RecordedResult {
    WHPluginResult result;
    std::optional<std::string> callbackId;

    int status() const { return static_cast<int>(result.status()); }
    const Value& message() const {
        static const Value none;
        return result.message() ? *result.message() : none;
    }
};

class LocaleRecordingDelegate : public WHCommandDelegate {
public:
    std::optional<std::string> pathForResource(const std::string&) override { return std::nullopt; }
    WHPlugin* getCommandInstance(const std::string&) override { return nullptr; }
    void sendPluginResult(const WHPluginResult& result, const std::optional<std::string>& callbackId) override {
        std::lock_guard lock(mutex_);
        results_.push_back({result, callbackId});
    }
    void evalJs(const std::string& js) override { evalJs(js, true); }
    void evalJs(const std::string& js, bool) override {
        std::lock_guard lock(mutex_);
        scripts_.push_back(js);
    }
    void runInBackground(std::function<void()> block) override { block(); }
    std::optional<std::string> userAgent() override { return std::nullopt; }
    bool URLIsWhitelisted(const std::string&) override { return false; }
    const WHSettings& settings() override { return settings_; }

    std::vector<RecordedResult> results() const {
        std::lock_guard lock(mutex_);
        return results_;
    }
    std::size_t count() const {
        std::lock_guard lock(mutex_);
        return results_.size();
    }
    // The last result; status 0 without a message when there is none.
    RecordedResult last() const {
        std::lock_guard lock(mutex_);
        if (results_.empty()) return {WHPluginResult::resultWithStatus(WHCommandStatus_NO_RESULT), std::nullopt};
        return results_.back();
    }
    void clear() {
        std::lock_guard lock(mutex_);
        results_.clear();
        scripts_.clear();
    }

    WHSettings settings_;

private:
    mutable std::mutex mutex_;
    std::vector<RecordedResult> results_;
    std::vector<std::string> scripts_;
};

// Calls an action of a plug-in as the host would, with a callback identifier.
inline void callAction(WHPlugin& plugin, const std::string& action, Value arguments = Value::array(),
                       std::optional<std::string> callbackId = "cb1") {
    WHInvokedUrlCommand command(std::move(arguments), std::move(callbackId), "", action);
    plugin.invokeAction(action, command);
}

}  // namespace testutil
