#include "bridge/WHWebViewDelegate.h"

#include <chrono>
#include <cstdio>
#include <cctype>
#include <cstdlib>

#include "bridge/WHCommandDelegateImpl.h"
#include "bridge/WHPlugin.h"
#include "bridge/WHViewController.h"
#include "platform/bundle.h"
#include "platform/log.h"
#include "platform/notification_center.h"
#include "platform/pagebridge/wire.h"
#include "platform/panels.h"
#include "platform/strings.h"
#include "platform/user_defaults.h"
#include "platform/window.h"

using platform::logf;

// Bytes the web process kept for a call's argument; they are let go when the object goes, unless
// an action wrote them.
static std::shared_ptr<WHHeldBytes> heldBytesOf(const platform::pagebridge::Call& call, WHCommandDelegateImpl* d) {
    if (!d || !call.held || !platform::pagebridge::isToken(call.held->token)) return nullptr;
    return d->heldBytes(call.held->token, call.held->size);
}

// ---- console ----

void WHConsole::log(const std::string& m) { logf("%s", m); }
void WHConsole::trace(const std::string& m) { logf("trace: %s", m); }
void WHConsole::debug(const std::string& m) { logf("debug: %s", m); }
void WHConsole::info(const std::string& m) { logf("info: %s", m); }
void WHConsole::warn(const std::string& m) { logf(platform::LogLevel::Warning, "warn: %s", m); }
void WHConsole::error(const std::string& m) { logf(platform::LogLevel::Error, "error: %s", m); }

bool WHConsole::call(const std::string& op, const std::string& m) {
    if (op == "log") log(m);
    else if (op == "trace") trace(m);
    else if (op == "debug") debug(m);
    else if (op == "info") info(m);
    else if (op == "warn") warn(m);
    else if (op == "error") error(m);
    else return false;
    return true;
}

// ---- bridge ----

void WHBridge::exec(const Value& callbackIdValue, const Value& serviceValue, const Value& actionValue,
                    Value arguments, std::shared_ptr<WHHeldBytes> held, std::size_t heldIndex) {
    std::optional<std::string> callbackId;
    if (callbackIdValue.is_string()) callbackId = callbackIdValue.get<std::string>();
    if (!arguments.is_array()) arguments = Value::array();
    if (!serviceValue.is_string() || !actionValue.is_string()) {
        platform::logLine(platform::LogLevel::Error, "ERROR: Classname and/or methodName not found for command.");
        return;
    }
    WHInvokedUrlCommand command(std::move(arguments), callbackId, serviceValue.get<std::string>(),
                                actionValue.get<std::string>());
    if (held) command.setHeldBytes(heldIndex, std::move(held));
    WHPlugin* plugin = viewController_->commandDelegate()->getCommandInstance(command.cmdClassName());
    if (!plugin) {
        logf(platform::LogLevel::Error, "ERROR: Plugin '%s' not found, or is not a WHPlugin. Check your plugin mapping in config.xml.",
             command.cmdClassName());
        return;
    }
    if (!plugin->hasAction(command.methodName())) {
        logf(platform::LogLevel::Error, "ERROR: Method '%s' not defined in Plugin '%s'", command.methodName() + ":", command.cmdClassName());
        return;
    }
    plugin->invokeAction(command.methodName(), command);
}

// ---- delegate ----

WHWebViewDelegate::WHWebViewDelegate(WHViewController* viewController) : viewController_(viewController) {}

void WHWebViewDelegate::install(platform::WebView& webView) {
    std::string prefix = viewController_->trustedPagePrefix();
    if (prefix.empty()) return;
    bool keepPageConsole = platform::UserDefaults::standard().boolForKey("WebKitDeveloperExtras");
    if (!console_ && !keepPageConsole) console_ = std::make_unique<WHConsole>();
    bridge_ = std::make_unique<WHBridge>(&webView, viewController_);
    webView.installPageBridge({prefix, !keepPageConsole, bulkArguments()});
}

std::vector<platform::PageBridgeConfig::BulkArgument> WHWebViewDelegate::bulkArguments() const {
    std::vector<platform::PageBridgeConfig::BulkArgument> out;
    for (const auto& [service, className] : viewController_->pluginsMap) {
        for (const auto& a : PluginRegistry::bulkArguments(className)) {
            out.push_back({platform::asciiLower(service), a.action, static_cast<unsigned>(a.index)});
        }
    }
    return out;
}

// Long page texts in log lines and panels are cut here.
static std::string shortened(const std::string& text, std::size_t max = 2048) {
    if (text.size() <= max) return text;
    std::size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
    return text.substr(0, cut) + "\u2026";
}

void WHWebViewDelegate::webViewBridgeMessage(const platform::BridgeMessage& message) {
    namespace wire = platform::pagebridge;
    auto* d = dynamic_cast<WHCommandDelegateImpl*>(viewController_->commandDelegate());
    const auto* call = std::get_if<wire::Call>(&message);
    // Only the application's own document talks: the one the web view committed, whatever a
    // message says.
    platform::WebView* view = viewController_->webView;
    const std::string shown = view ? view->committedURL() : std::string();
    if (!viewController_->isTrustedPageURL(shown)) {
        logf("Page message while the main frame shows %s dropped unread", shortened(shown, 256));
        if (call) heldBytesOf(*call, d);
        return;
    }
    if (const std::size_t total = wire::textBytes(message); total > kMaxPageMessageBytes) {
        std::string why = "a message of " + std::to_string(total) + " bytes is larger than the limit of " +
                          std::to_string(kMaxPageMessageBytes);
        if (call) {
            heldBytesOf(*call, d);
            return refuseCall(call->callbackId, why);
        }
        logf("ERROR: page message refused: %s", why);
        return;
    }
    if (call) {
        execMessage(*call);
    } else if (const auto* c = std::get_if<wire::Console>(&message)) {
        if (console_ && c->operation) console_->call(*c->operation, c->text ? *c->text : platform::describe(Value(nullptr)));
    } else if (const auto* e = std::get_if<wire::ScriptError>(&message)) {
        Value line = 0;
        if (const auto& l = e->line) {
            char* end = nullptr;
            long long n = std::strtoll(l->c_str(), &end, 10);
            line = end && *end == '\0' && !l->empty() ? Value(n) : Value(*l);
        }
        webViewAddMessageToConsole(
            Value{{"sourceURL", e->sourceURL.value_or("")}, {"lineNumber", line}, {"message", e->message.value_or("")}});
    } else if (const auto* r = std::get_if<wire::Refusal>(&message)) {
        if (r->kind == "call") return refuseCall(r->callbackId, r->why);
        logf("ERROR: page %s message refused: %s", shortened(r->kind, 64), r->why);
    }
}

void WHWebViewDelegate::execMessage(const platform::pagebridge::Call& call) {
    auto* d = dynamic_cast<WHCommandDelegateImpl*>(viewController_->commandDelegate());
    std::shared_ptr<WHHeldBytes> held = heldBytesOf(call, d);
    auto text = [](const std::optional<std::string>& t) -> Value { return t ? Value(*t) : Value(nullptr); };
    Value arguments = nullptr;
    if (call.arguments) {
        const std::string& json = *call.arguments;
        // parseJson refuses a value this deep before parsing (it would overflow the stack when
        // copied); the depth is looked at again only to say why.
        auto parsed = platform::parseJson(json, kMaxPageValueDepth);
        if (!parsed) {
            if (platform::jsonNestsDeeperThan(json, kMaxPageValueDepth)) {
                return refuseCall(call.callbackId,
                                  "the arguments are nested deeper than " + std::to_string(kMaxPageValueDepth) + " levels");
            }
            return refuseCall(call.callbackId, "the arguments are not JSON");
        }
        arguments = std::move(*parsed);
    }
    // Held bytes only where the service's class takes them, in place of a null argument.
    const std::size_t heldIndex = call.held ? call.held->index : 0;
    if (call.held) {
        bool expected = false;
        if (held && call.service && call.action) {
            std::string service = platform::asciiLower(*call.service);
            for (const auto& a : bulkArguments()) {
                expected = expected || (a.service == service && a.action == *call.action && a.index == heldIndex);
            }
        }
        if (!expected || !arguments.is_array() || heldIndex >= arguments.size() || !arguments[heldIndex].is_null()) {
            return refuseCall(call.callbackId, "bytes for an argument that takes none");
        }
    }
    if (!bridge_) return;
    if (d) d->beginPageCall();
    bridge_->exec(text(call.callbackId), text(call.service), text(call.action), std::move(arguments), std::move(held), heldIndex);
    if (d) d->endPageCall();
}

void WHWebViewDelegate::refuseCall(const std::optional<std::string>& callbackId, const std::string& why) {
    logf("ERROR: call refused: %s", why);
    if (callbackId && viewController_->commandDelegate()) {
        viewController_->commandDelegate()->sendPluginResult(
            WHPluginResult::resultWithStatus(WHCommandStatus_JSON_EXCEPTION, why), *callbackId);
    }
}

void WHWebViewDelegate::webViewAddMessageToConsole(const Value& message) {
    if (!message.is_object()) return;
    std::string source = message.value("sourceURL", Value("")).is_string() ? message["sourceURL"].get<std::string>() : "";
    auto q = source.find_first_of("?#");
    if (q != std::string::npos) source.resize(q);
    auto slash = source.find_last_of('/');
    std::string last = slash == std::string::npos ? source : source.substr(slash + 1);
    logf("JavaScript error: %s:%s: %s", last, platform::describe(message.value("lineNumber", Value(0))),
         platform::describe(message.value("message", Value(""))));
}

bool WHWebViewDelegate::webViewDecideNavigation(const platform::NavigationRequest& request) {
    logf("navigating to %s", shortened(request.url));
    // File documents are origin-mates of the application's pages (their frames, local storage,
    // local schemes): no local document but the application's own is ever shown.
    if (request.localScheme && !viewController_->isTrustedPageURL(request.url)) {
        logf("Navigation to %s refused: a local document that is not a page of the application", shortened(request.url));
        return false;
    }
    return true;
}

static const platform::Window* parentWindow(WHViewController* vc) { return vc ? vc->window : nullptr; }

static std::string tr(const char* key) { return platform::Bundle::main().localizedString(key); }

// Panels show at most this much of a page's text.
static constexpr std::size_t kMaxPanelText = 4096;

void WHWebViewDelegate::webViewRunAlert(const std::string& message) {
    platform::runAlertPanel(parentWindow(viewController_), shortened(message, kMaxPanelText), {tr("OK")});
}

bool WHWebViewDelegate::webViewRunConfirm(const std::string& message) {
    return platform::runAlertPanel(parentWindow(viewController_), shortened(message, kMaxPanelText),
                                   {tr("OK"), tr("Cancel")}) == 0;
}

bool WHWebViewDelegate::webViewRunBeforeUnloadConfirm(const std::string& message) { return webViewRunConfirm(message); }

std::optional<std::string> WHWebViewDelegate::webViewRunPrompt(const std::string& prompt, const std::string& defaultText) {
    return platform::runPromptPanel(parentWindow(viewController_), shortened(prompt, kMaxPanelText),
                                    shortened(defaultText, kMaxPanelText), {tr("OK"), tr("Cancel")});
}

std::optional<std::vector<std::string>> WHWebViewDelegate::webViewRunOpenPanel(bool allowMultiple) {
    return platform::runOpenPanel(parentWindow(viewController_), allowMultiple, tr("open"), tr("Cancel"));
}

void WHWebViewDelegate::webViewMainFrameCommitted(const std::string& url) {
    if (viewController_->isTrustedPageURL(url)) return;
    // The page that held the plug-ins' kept callbacks is gone; they close them as their stop
    // actions do (streams, searches, calls).
    logf("The main frame shows %s, not a page of the application: plug-ins close their kept callbacks", shortened(url));
    platform::NotificationCenter::defaultCenter().post(WHPluginResetNotification, viewController_->webView);
}

void WHWebViewDelegate::webViewWebProcessTerminated() {
    // The page went with its process: what it held ends as when the application's document is
    // left, and the start page comes back as a browser brings back a page whose process died.
    platform::NotificationCenter::defaultCenter().post(WHPluginResetNotification, viewController_->webView);
    platform::WebView* view = viewController_->webView;
    const std::string start = viewController_->startURL();
    if (!view || start.empty()) return;
    const auto now = std::chrono::steady_clock::now();
    terminations_.push_back(now);
    while (now - terminations_.front() > kTerminationWindow) terminations_.pop_front();
    if (terminations_.size() < kTerminationsBeforeNotice) {
        view->loadURL(start, 20.0);
        return;
    }
    // Ended again and again: a plain page says so, and its button loads the start page anew.
    terminations_.clear();
    logf("The page's web process ended %zu times within %lld s: it is not loaded again until asked", kTerminationsBeforeNotice,
         static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(kTerminationWindow).count()));
    auto escaped = [](const std::string& text) { return platform::escapeMarkup(text); };
    view->loadHTML("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + escaped(tr("pageEndedTitle")) +
                       "</title></head><body style=\"font-family: sans-serif; margin: 3em;\"><h1>" +
                       escaped(tr("pageEndedTitle")) + "</h1><p>" + escaped(tr("pageEndedText")) + "</p><p><a id=\"retry\" href=\"" +
                       escaped(start) + "\" style=\"padding: .5em 1em; border: 1px solid; text-decoration: none;\">" +
                       escaped(tr("pageEndedRetry")) + "</a></p></body></html>",
                   start);
}

void WHWebViewDelegate::webViewMainFrameDidFinishLoad(const std::string& url) {
    viewController_->mainFrameLoaded = true;
    platform::NotificationCenter::defaultCenter().post(kWebViewMainFrameDidFinishLoadNotification, viewController_->webView);
}
