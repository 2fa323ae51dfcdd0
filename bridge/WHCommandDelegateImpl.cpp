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
    if (callbackId && *callbackId == "INVALID") {
        if (result.pageBytes()) result.pageBytes()->handedOver();
        return;
    }
    if (result.pageBytes()) {
        if (carriesPageBytes(result.pageBytes()->length())) {
            queue({Pending::Bytes, {}, result, callbackId});
            return;
        }
        queue({Pending::Result, resultEntry(result.materialized(), callbackId), std::nullopt, std::nullopt});
        return;
    }
    queue({Pending::Result, resultEntry(result, callbackId), std::nullopt, std::nullopt});
}

bool WHCommandDelegateImpl::carriesPageBytes(std::uint64_t length) {
    platform::WebView* view = viewController_->webView;
    return view && length >= platform::pagebridge::kBulkBytes && view->carriesBytes();
}

std::shared_ptr<WHHeldBytes> WHCommandDelegateImpl::heldBytes(const std::string& token, std::uint64_t size) {
    auto alive = lifetime_.token();
    auto view = [this, alive]() -> platform::WebView* { return alive ? viewController_->webView : nullptr; };
    return std::make_shared<WHHeldBytes>(
        token, size,
        [view](const std::string& t, int fd, int ack) {
            if (platform::WebView* v = view()) v->writeHeldBytes(t, fd, ack);
        },
        [view](const std::string& t) {
            if (platform::WebView* v = view()) v->releaseHeldBytes(t);
        });
}

std::string WHCommandDelegateImpl::wrapEvalAndFetch(const std::string& js) {
    return "try{webhost.require('webhost/exec').nativeEvalAndFetch(function(){" + js +
           "})}catch(e){console.log('exeption nativeEvalAndFetch : '+e);};";
}

void WHCommandDelegateImpl::evalJs(const std::string& js) { evalJs(js, true); }

void WHCommandDelegateImpl::evalJs(const std::string& js, bool scheduledOnRunLoop) {
    std::string wrapped = wrapEvalAndFetch(js);
    if (scheduledOnRunLoop) {
        queue({Pending::Script, std::move(wrapped), std::nullopt, std::nullopt});
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
        // Page bytes are waited for (by the file queue): they never wait for a page call to end.
        bool urgent = item.kind == Pending::Bytes;
        pending_.push_back(std::move(item));
        if (!flushScheduled_ && (!dispatching_ || urgent)) {
            flushScheduled_ = true;
            schedule = true;
        }
    }
    if (schedule) {
        // A flush still queued when the delegate is gone finds nothing to do.
        platform::dispatchMainPromptly([alive = lifetime_.token()] {
            if (WHCommandDelegateImpl* self = alive.get()) self->flushPending();
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
    // Results queued one after the other go in one call; each script and each result of page
    // bytes is handed over on its own.
    std::vector<platform::PageDelivery> items;
    std::vector<std::string> entries;
    std::size_t entryBytes = 0;
    auto endResults = [&] {
        if (entries.empty()) return;
        items.push_back({resultsCall(entries), std::nullopt});
        entries.clear();
        entryBytes = 0;
    };
    for (auto& item : batch) {
        switch (item.kind) {
            case Pending::Result:
                // Many results piled up go in calls of a bounded size, one after the other.
                if (entryBytes + item.text.size() > kMaxResultsCallBytes) endResults();
                entryBytes += item.text.size();
                entries.push_back(std::move(item.text));
                break;
            case Pending::Script:
                endResults();
                items.push_back({std::move(item.text), std::nullopt});
                break;
            case Pending::Bytes: {
                endResults();
                const WHPluginResult& r = *item.bytes;
                const WHPageBytes& b = *r.pageBytes();
                platform::PageBytes p;
                p.callbackId = callbackText(item.callbackId);
                p.status = static_cast<int>(r.status());
                p.keep = r.keepCallback();
                switch (r.pageBytesForm()) {
                    case WHPageBytesForm::ArrayBuffer: p.form = "arraybuffer"; break;
                    case WHPageBytesForm::Base64Text: p.form = "base64"; break;
                    case WHPageBytesForm::DataURL: p.form = "dataurl"; break;
                    case WHPageBytesForm::UTF8Text: p.form = "text"; break;
                    case WHPageBytesForm::BinaryString: p.form = "binarystring"; break;
                }
                p.mimeType = r.pageBytesMimeType();
                p.invalidStatus = r.invalidStatus();
                p.invalidMessage = r.invalidMessage();
                p.fd = b.fd();
                p.offset = b.offset();
                p.length = b.length();
                p.ackFd = b.acknowledgement();
                items.push_back({{}, std::move(p)});
                break;
            }
        }
    }
    endResults();
    deliver(std::move(items));
    // The view passed copies of the descriptors, or dropped them with the items.
    for (auto& item : batch) {
        if (item.kind == Pending::Bytes) item.bytes->pageBytes()->handedOver();
    }
}

// Results and events are for the application's own page only: the document shown, not one a
// load in progress may bring; the web view decides again where the document changes.
void WHCommandDelegateImpl::evaluateNow(const std::string& script) { deliver({{script, std::nullopt}}); }

void WHCommandDelegateImpl::deliver(std::vector<platform::PageDelivery> items) {
    platform::WebView* view = viewController_->webView;
    if (!view) return;
    if (!viewController_->isTrustedPageURL(view->committedURL())) return;
    view->deliverToTrustedPage(std::move(items));
}
