#include "bridge/WHCommandDelegateImpl.h"

#include "bridge/WHViewController.h"
#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "platform/webview.h"

WHCommandDelegateImpl::WHCommandDelegateImpl(WHViewController* viewController) : viewController_(viewController) {}

std::optional<std::string> WHCommandDelegateImpl::pathForResource(const std::string& resourcePath) {
    auto slash = resourcePath.find_last_of('/');
    std::string file = slash == std::string::npos ? resourcePath : resourcePath.substr(slash + 1);
    std::string sub = slash == std::string::npos ? std::string() : resourcePath.substr(0, slash);
    std::string folder = viewController_->wwwFolderName;
    if (!sub.empty()) folder += "/" + sub;
    return platform::Bundle::main().pathForResource(file, "", folder);
}

WHPlugin* WHCommandDelegateImpl::getCommandInstance(const std::string& pluginName) {
    return viewController_->getCommandInstance(pluginName);
}

static std::string callbackText(const std::optional<std::string>& callbackId) {
    return callbackId ? *callbackId : std::string("(null)");
}

std::string WHCommandDelegateImpl::resultEntry(const WHPluginResult& result, const std::optional<std::string>& callbackId) {
    auto message = result.messageAsJSON();
    std::string entry = "[";
    entry += platform::scriptSafeJson(platform::toJson(Value(callbackText(callbackId))));
    entry += ",";
    entry += std::to_string(static_cast<std::int32_t>(result.status()));
    entry += ",";
    entry += message ? *message : std::string("null");
    entry += result.keepCallback() ? ",1]" : ",0]";
    return entry;
}

std::string WHCommandDelegateImpl::resultsCall(const std::vector<std::string>& entries) {
    std::size_t size = 0;
    for (const auto& e : entries) size += e.size() + 1;
    std::string call;
    call.reserve(size + 32);
    call += kResultsFunction;
    call += "([";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i) call += ',';
        call += entries[i];
    }
    call += "])";
    return call;
}

void WHCommandDelegateImpl::sendPluginResult(const WHPluginResult& result, const std::optional<std::string>& callbackId) {
    if (callbackId && *callbackId == "INVALID") return;
    queue({true, resultEntry(result, callbackId)});
}

std::string WHCommandDelegateImpl::wrapEvalAndFetch(const std::string& js) {
    return "try{webhost.require('webhost/exec').nativeEvalAndFetch(function(){" + js +
           "})}catch(e){console.log('exeption nativeEvalAndFetch : '+e);};";
}

void WHCommandDelegateImpl::evalJs(const std::string& js) { evalJs(js, true); }

void WHCommandDelegateImpl::evalJs(const std::string& js, bool scheduledOnRunLoop) {
    std::string wrapped = wrapEvalAndFetch(js);
    if (scheduledOnRunLoop) {
        queue({false, std::move(wrapped)});
    } else {
        evaluateNow(wrapped);
    }
}

void WHCommandDelegateImpl::runInBackground(std::function<void()> block) { platform::dispatchBackground(std::move(block)); }

const WHSettings& WHCommandDelegateImpl::settings() { return viewController_->settings; }

void WHCommandDelegateImpl::queue(Pending item) {
    bool schedule = false;
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(std::move(item));
        if (!flushScheduled_ && !dispatching_) {
            flushScheduled_ = true;
            schedule = true;
        }
    }
    if (schedule) {
        // A flush still queued when the delegate is gone finds nothing to do.
        platform::dispatchMain([this, alive = std::weak_ptr<int>(alive_)] {
            if (alive.lock()) flushPending();
        });
    }
}

void WHCommandDelegateImpl::beginPageCall() { dispatching_ = true; }

void WHCommandDelegateImpl::endPageCall() {
    dispatching_ = false;
    flushPending();
}

void WHCommandDelegateImpl::flushPending() {
    std::vector<Pending> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(pending_);
        flushScheduled_ = false;
    }
    if (batch.empty()) return;
    // Results queued one after the other go in one call; each script is an evaluation of its own.
    std::vector<std::string> scripts;
    std::vector<std::string> entries;
    for (auto& item : batch) {
        if (item.isResult) {
            entries.push_back(std::move(item.text));
            continue;
        }
        if (!entries.empty()) {
            scripts.push_back(resultsCall(entries));
            entries.clear();
        }
        scripts.push_back(std::move(item.text));
    }
    if (!entries.empty()) scripts.push_back(resultsCall(entries));
    deliver(scripts);
}

// Results and events are for the application's own page only: the document shown, not one a
// load in progress may bring; the web view decides again where the document changes.
void WHCommandDelegateImpl::evaluateNow(const std::string& script) { deliver({script}); }

void WHCommandDelegateImpl::deliver(const std::vector<std::string>& scripts) {
    platform::WebView* view = viewController_->webView;
    if (!view) return;
    if (!viewController_->isTrustedPageURL(view->committedURL())) return;
    view->evaluateScriptsInTrustedPage(scripts);
}
