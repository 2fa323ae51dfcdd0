// A command delegate that records what plug-ins answer, for plug-in tests without a page.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bridge/WHCommandDelegate.h"
#include "bridge/WHInvokedUrlCommand.h"
#include "bridge/WHPlugin.h"

namespace testutil {

class KeychainRecordingDelegate : public WHCommandDelegate {
public:
    struct Answer {
        int status = -1;
        std::optional<Value> message;  // absent: the result had no message
        std::optional<std::string> callbackId;
    };

    std::optional<std::string> pathForResource(const std::string&) override { return std::nullopt; }
    WHPlugin* getCommandInstance(const std::string&) override { return nullptr; }
    void sendPluginResult(const WHPluginResult& result, const std::optional<std::string>& callbackId) override {
        std::lock_guard lock(mutex_);
        answers_.push_back({static_cast<int>(result.status()), result.message(), callbackId});
    }
    void evalJs(const std::string&) override {}
    void evalJs(const std::string&, bool) override {}
    void runInBackground(std::function<void()> block) override { block(); }
    std::optional<std::string> userAgent() override { return std::nullopt; }
    bool URLIsWhitelisted(const std::string&) override { return false; }
    const WHSettings& settings() override { return settings_; }

    std::vector<Answer> answers() const {
        std::lock_guard lock(mutex_);
        return answers_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        answers_.clear();
    }

    // Calls one action of the plug-in and answers what it sent (exactly one answer is expected;
    // status -1 when it sent none, -2 when it sent more).
    Answer call(WHPlugin& plugin, const std::string& action, Value arguments) {
        clear();
        plugin.setCommandDelegate(this);
        WHInvokedUrlCommand command(std::move(arguments), "cb-" + action, "Test", action);
        plugin.invokeAction(action, command);
        auto got = answers();
        if (got.size() == 1) return got[0];
        Answer none;
        none.status = got.empty() ? -1 : -2;
        return none;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Answer> answers_;
    WHSettings settings_;
};

}  // namespace testutil
