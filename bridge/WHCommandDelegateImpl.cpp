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

std::string WHCommandDelegateImpl::resultScript(const WHPluginResult& result, const std::optional<std::string>& callbackId) {
    auto args = result.argumentsAsJSON();
    std::string script = "webhost.require('webhost/exec').nativeCallback(";
    script += platform::jsStringLiteral(callbackId ? *callbackId : std::string("(null)"), '\'');
    script += ",";
    script += std::to_string(static_cast<std::int32_t>(result.status()));
    script += ",";
    script += args ? *args : std::string("null");
    script += ",";
    script += result.keepCallback() ? "1" : "0";
    script += ")";
    return script;
}

void WHCommandDelegateImpl::sendPluginResult(const WHPluginResult& result, const std::optional<std::string>& callbackId) {
    if (callbackId && *callbackId == "INVALID") return;
    queue(resultScript(result, callbackId));
}

std::string WHCommandDelegateImpl::wrapEvalAndFetch(const std::string& js) {
    return "try{webhost.require('webhost/exec').nativeEvalAndFetch(function(){" + js +
           "})}catch(e){console.log('exeption nativeEvalAndFetch : '+e);};";
}

void WHCommandDelegateImpl::evalJs(const std::string& js) { evalJs(js, true); }

void WHCommandDelegateImpl::evalJs(const std::string& js, bool scheduledOnRunLoop) {
    std::string wrapped = wrapEvalAndFetch(js);
    if (scheduledOnRunLoop) {
        queue(std::move(wrapped));
    } else {
        evaluateNow(wrapped);
    }
}

void WHCommandDelegateImpl::runInBackground(std::function<void()> block) { platform::dispatchBackground(std::move(block)); }

const WHSettings& WHCommandDelegateImpl::settings() { return viewController_->settings; }

void WHCommandDelegateImpl::queue(std::string script) {
    bool schedule = false;
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(std::move(script));
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

std::string WHCommandDelegateImpl::batchScript(const std::vector<std::string>& scripts) {
    std::string s = "(function(s){for(var i=0;i<s.length;i++){try{(0,eval)(s[i]);}"
                    "catch(e){setTimeout(function(){throw e;},0);}}})([";
    for (std::size_t i = 0; i < scripts.size(); ++i) {
        if (i) s += ",";
        s += platform::jsStringLiteral(scripts[i], '"');
    }
    s += "]);";
    return s;
}

void WHCommandDelegateImpl::beginPageCall() { dispatching_ = true; }

void WHCommandDelegateImpl::endPageCall() {
    dispatching_ = false;
    flushPending();
}

void WHCommandDelegateImpl::flushPending() {
    std::vector<std::string> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(pending_);
        flushScheduled_ = false;
    }
    if (batch.empty()) return;
    // A script that throws has its error raised again from a timer, so the page's own error
    // handling sees it.
    evaluateNow(batch.size() == 1 ? "try{" + batch[0] + "\n}catch(e){setTimeout(function(){throw e;},0);}" : batchScript(batch));
}

void WHCommandDelegateImpl::evaluateNow(const std::string& script) {
    platform::WebView* view = viewController_->webView;
    if (!view) return;
    // Results and events are for the application's own page only: the document shown, not one a
    // load in progress may bring; the web view decides again where the document changes.
    if (!viewController_->isTrustedPageURL(view->committedURL())) return;
    view->evaluateScriptInTrustedPage(script);
}
