// The host's command delegate: results and scripts for the page, evaluation and plug-in lookup.
//
// Results go to the page as data: each flush of the queue hands the results queued one after the
// other to the page-world function kResultsFunction in one evaluation of the form
// kResultsFunction([[callbackId,status,message,keep],...]), a call with one JSON value that the
// engine takes as data without compiling a script. Scripts queued by plug-ins stay evaluations of
// their own; both kinds keep the order they were queued in.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/WHCommandDelegate.h"
#include "bridge/WHInvokedUrlCommand.h"
#include "bridge/WHOutOfBandBytes.h"
#include "platform/lifetime.h"
#include "platform/pagebridge/wire.h"
#include "platform/webview.h"

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
    bool carriesPageBytes(std::uint64_t length) override;

    bool execute(const WHInvokedUrlCommand&) { return false; }

    // The page-world function that hands results to the page library's nativeCallback, in order
    // (defined by platform/pagebridge/page_world.js, not writable by the page).
    static constexpr const char* kResultsFunction = platform::pagebridge::kResultsFunction;

    // Results queued together go in calls of up to about this many bytes.
    static constexpr std::size_t kMaxResultsCallBytes = 16u << 20;

    // One result as an element of the results array: [<id>,<status>,<message>,<keep>].
    static std::string resultEntry(const WHPluginResult& result, const std::optional<std::string>& callbackId);
    // The evaluation handing these entries to the page: kResultsFunction([<entry>,...]).
    static std::string resultsCall(const std::vector<std::string>& entries);
    static std::string wrapEvalAndFetch(const std::string& js);

    WHViewController* viewController() const { return viewController_; }

    // Evaluates what is queued now.
    void flushPending();
    // Around a call from the page (main thread): answers given during it are evaluated right
    // after it returns, without waiting for another main-loop turn.
    void beginPageCall();
    void endPageCall();

    // The bytes a call's argument left in the web process (the message's "<index> <token> <size>").
    std::shared_ptr<WHHeldBytes> heldBytes(const std::string& token, std::uint64_t size);

private:
    struct Pending {
        enum Kind { Result, Script, Bytes } kind;
        std::string text;  // a result entry or a script
        std::optional<WHPluginResult> bytes;
        std::optional<std::string> callbackId;
    };
    void queue(Pending item);
    void evaluateNow(const std::string& script);
    void deliver(std::vector<platform::PageDelivery> items);

    WHViewController* viewController_;
    std::mutex mutex_;
    std::vector<Pending> pending_;
    bool flushScheduled_ = false;
    std::atomic<bool> dispatching_{false};
    platform::Lifetime<WHCommandDelegateImpl> lifetime_{this};
};
