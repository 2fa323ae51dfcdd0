// A command delegate for plug-in tests without a web view: records every result.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bridge/WHCommandDelegate.h"
#include "bridge/WHPluginResult.h"
#include "platform/dispatch.h"
#include "tests/support/test_util.h"

namespace testutil {

struct ServicesRecordedResult {
    WHPluginResult result;
    std::optional<std::string> callbackId;
    bool onMainThread = false;
};

class ServicesRecordingDelegate : public WHCommandDelegate {
public:
    std::optional<std::string> pathForResource(const std::string&) override { return std::nullopt; }
    WHPlugin* getCommandInstance(const std::string&) override { return nullptr; }
    void sendPluginResult(const WHPluginResult& result, const std::optional<std::string>& callbackId) override {
        std::lock_guard lock(mutex_);
        results_.push_back({result, callbackId, platform::isMainThread()});
    }
    void evalJs(const std::string&) override {}
    void evalJs(const std::string&, bool) override {}
    void runInBackground(std::function<void()> block) override { platform::dispatchBackground(std::move(block)); }
    std::optional<std::string> userAgent() override { return std::nullopt; }
    bool URLIsWhitelisted(const std::string&) override { return true; }
    const WHSettings& settings() override { return settings_; }

    std::vector<ServicesRecordedResult> results() const {
        std::lock_guard lock(mutex_);
        return results_;
    }
    std::size_t count() const {
        std::lock_guard lock(mutex_);
        return results_.size();
    }
    ServicesRecordedResult last() const {
        std::lock_guard lock(mutex_);
        return results_.back();
    }
    // Runs the main loop until `n` results are in; answers whether they came.
    bool waitFor(std::size_t n, double timeoutSeconds = 10.0) const {
        return spinUntil([&] { return count() >= n; }, timeoutSeconds);
    }
    void clear() {
        std::lock_guard lock(mutex_);
        results_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<ServicesRecordedResult> results_;
    WHSettings settings_;
};

}  // namespace testutil
