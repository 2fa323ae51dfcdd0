// A command delegate for plug-in tests without a web view: records every result a plug-in sends.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bridge/WHCommandDelegate.h"
#include "bridge/WHInvokedUrlCommand.h"
#include "bridge/WHPlugin.h"
#include "bridge/WHPluginResult.h"
#include "platform/dispatch.h"
#include "tests/support/test_util.h"

namespace testutil {

struct RecordedResult {
    WHPluginResult result;
    std::optional<std::string> callbackId;
    bool onMainThread = false;

    int status() const { return static_cast<int>(result.status()); }
    // Absent when the result carried no message.
    std::optional<Value> message() const { return result.message(); }
};

class RecordingDelegate : public WHCommandDelegate {
public:
    // Where runInBackground runs its work: at once on the calling thread, or on the pool.
    enum class Background { Inline, Pool };

    explicit RecordingDelegate(Background background = Background::Inline) : background_(background) {}

    std::optional<std::string> pathForResource(const std::string&) override { return std::nullopt; }
    WHPlugin* getCommandInstance(const std::string&) override { return nullptr; }
    void sendPluginResult(const WHPluginResult& result, const std::optional<std::string>& callbackId) override {
        std::lock_guard lock(mutex_);
        results_.push_back({result, callbackId, platform::isMainThread()});
        arrived_.notify_all();
    }
    void evalJs(const std::string&) override {}
    void evalJs(const std::string&, bool) override {}
    void runInBackground(std::function<void()> block) override {
        if (background_ == Background::Pool)
            platform::dispatchBackground(std::move(block));
        else
            block();
    }
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
    // The last result; status 0 without a message or callback when there is none.
    RecordedResult last() const {
        std::lock_guard lock(mutex_);
        if (results_.empty()) return {WHPluginResult::resultWithStatus(WHCommandStatus_NO_RESULT), std::nullopt};
        return results_.back();
    }
    // Runs the main loop until `n` results are in; answers whether they came.
    bool waitFor(std::size_t n, double timeoutSeconds = 10.0) const {
        return spinUntil([&] { return count() >= n; }, timeoutSeconds);
    }
    // Blocks (without running the main loop) until a result for `callbackId` is in, for plug-ins that
    // answer from their own threads; the first such result, or a test failure and an empty result.
    WHPluginResult resultFor(const std::string& callbackId, double timeoutSeconds = 10.0) {
        std::unique_lock lock(mutex_);
        WHPluginResult found;
        bool ok = arrived_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [&] {
            for (const auto& r : results_) {
                if (r.callbackId == callbackId) {
                    found = r.result;
                    return true;
                }
            }
            return false;
        });
        EXPECT_TRUE(ok) << "no result for " << callbackId;
        return found;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        results_.clear();
    }

    // Calls one action of the plug-in with this delegate (callback "cb-<action>") and answers what it
    // sent; a test failure when it sent anything but exactly one result.
    RecordedResult call(WHPlugin& plugin, const std::string& action, Value arguments) {
        clear();
        plugin.setCommandDelegate(this);
        WHInvokedUrlCommand command(std::move(arguments), "cb-" + action, "Test", action);
        plugin.invokeAction(action, command);
        auto got = results();
        if (got.size() == 1) return got[0];
        ADD_FAILURE() << action << " sent " << got.size() << " results, expected exactly one";
        return {WHPluginResult::resultWithStatus(WHCommandStatus_NO_RESULT), std::nullopt};
    }

private:
    const Background background_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<RecordedResult> results_;
    WHSettings settings_;
};

// Calls an action of a plug-in as the host would, with a callback identifier.
inline void callAction(WHPlugin& plugin, const std::string& action, Value arguments = Value::array(),
                       std::optional<std::string> callbackId = "cb1") {
    WHInvokedUrlCommand command(std::move(arguments), std::move(callbackId), "", action);
    plugin.invokeAction(action, command);
}

}  // namespace testutil
