// The host's command delegate: result scripts, evaluation and plug-in lookup.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/WHCommandDelegate.h"
#include "bridge/WHInvokedUrlCommand.h"

class WHViewController;

class WHCommandDelegateImpl : public WHCommandDelegate {
public:
    explicit WHCommandDelegateImpl(WHViewController* viewController);

    std::optional<std::string> pathForResource(const std::string& resourcePath) override;
    WHPlugin* getCommandInstance(const std::string& pluginName) override;
    void sendPluginResult(const WHPluginResult& result, const std::optional<std::string>& callbackId) override;
    void evalJs(const std::string& js) override;
    void evalJs(const std::string& js, bool scheduledOnRunLoop) override;
    void runInBackground(std::function<void()> block) override;
    std::optional<std::string> userAgent() override { return std::nullopt; }
    bool URLIsWhitelisted(const std::string&) override { return false; }
    const WHSettings& settings() override;

    bool execute(const WHInvokedUrlCommand&) { return false; }

    // "webhost.require('webhost/exec').nativeCallback(<id>,<status>,<message>,<keep>)"
    static std::string resultScript(const WHPluginResult& result, const std::optional<std::string>& callbackId);
    static std::string wrapEvalAndFetch(const std::string& js);
    // One evaluation for several scripts: each runs in order in the page's global scope; one
    // that throws does not stop the rest, and its error is reported to the page.
    static std::string batchScript(const std::vector<std::string>& scripts);

    WHViewController* viewController() const { return viewController_; }

    // Evaluates what is queued now.
    void flushPending();
    // Around a call from the page (main thread): answers given during it are evaluated right
    // after it returns, without waiting for another main-loop turn.
    void beginPageCall();
    void endPageCall();

private:
    void queue(std::string script);
    void evaluateNow(const std::string& script);

    WHViewController* viewController_;
    std::mutex mutex_;
    std::vector<std::string> pending_;
    bool flushScheduled_ = false;
    std::atomic<bool> dispatching_{false};
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};
