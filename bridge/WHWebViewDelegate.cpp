#include "bridge/WHWebViewDelegate.h"

#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>

#include "bridge/WHCommandDelegateImpl.h"
#include "bridge/WHPlugin.h"
#include "bridge/WHViewController.h"
#include "platform/bundle.h"
#include "platform/log.h"
#include "platform/notification_center.h"
#include "platform/panels.h"
#include "platform/user_defaults.h"
#include "platform/window.h"

using platform::logf;

// ---- console ----

void WHConsole::log(const std::string& m) { logf("%s", m); }
void WHConsole::trace(const std::string& m) { logf("trace: %s", m); }
void WHConsole::debug(const std::string& m) { logf("debug: %s", m); }
void WHConsole::info(const std::string& m) { logf("info: %s", m); }
void WHConsole::warn(const std::string& m) { logf("warn: %s", m); }
void WHConsole::error(const std::string& m) { logf("error: %s", m); }

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
                    const Value& argumentsValue) {
    std::optional<std::string> callbackId;
    if (callbackIdValue.is_string()) callbackId = callbackIdValue.get<std::string>();
    Value arguments = argumentsValue.is_array() ? argumentsValue : Value::array();
    if (!serviceValue.is_string() || !actionValue.is_string()) {
        platform::logLine("ERROR: Classname and/or methodName not found for command.");
        return;
    }
    WHInvokedUrlCommand command(std::move(arguments), callbackId, serviceValue.get<std::string>(),
                                actionValue.get<std::string>());
    WHPlugin* plugin = viewController_->commandDelegate()->getCommandInstance(command.cmdClassName());
    if (!plugin) {
        logf("ERROR: Plugin '%s' not found, or is not a WHPlugin. Check your plugin mapping in config.xml.",
             command.cmdClassName());
        return;
    }
    if (!plugin->hasAction(command.methodName())) {
        logf("ERROR: Method '%s' not defined in Plugin '%s'", command.methodName() + ":", command.cmdClassName());
        return;
    }
    plugin->invokeAction(command.methodName(), command);
}

// ---- delegate ----

WHWebViewDelegate::WHWebViewDelegate(WHViewController* viewController) : viewController_(viewController) {}

std::string WHWebViewDelegate::pageWorldScript(bool publishConsole) {
    // Runs before any script of the document: every built-in it uses later is taken now.
    std::string s = R"JS((function(native){
'use strict';
var nativeExec = native.exec, nativeConsole = native.console, nativeError = native.error;
var stringify = JSON.stringify, toText = String, ErrorClass = Error, keys = Object.keys;
var defineProperty = Object.defineProperty, freeze = Object.freeze;
var listen = window.addEventListener.bind(window);
var later = window.setTimeout.bind(window);
var reportError = typeof window.reportError === 'function' ? window.reportError.bind(window)
                                                           : function(e){ later(function(){ throw e; }, 0); };
// Results from native code, in order: [[callbackId, status, message, keep], ...]. A callback that
// throws does not stop the ones after it; its error goes to the page's error handling.
function results(list){
  for (var i = 0; i < list.length; i++) {
    var r = list[i];
    try { webhost.require('webhost/exec').nativeCallback(r[0], r[1], r[2], r[3]); } catch (e) { reportError(e); }
  }
}
defineProperty(window, ')JS" + std::string(WHCommandDelegateImpl::kResultsFunction) + R"JS(', {value: results, configurable: false, writable: false});
listen('load', function(){
  try{webhost.require('webhost/channel').onNativeReady.fire();}catch(e){window._nativeReady = true;}
});
function text(m){
  if (typeof m === 'string') return m;
  if (m === undefined) return 'undefined';
  if (m instanceof ErrorClass) return toText(m);
  try { var j = stringify(m); return j === undefined ? toText(m) : j; } catch (e) { return toText(m); }
}
var bridge = {};
defineProperty(bridge, 'exec', {value: function(callbackId, service, action, args){
  nativeExec(callbackId, service, action, args);
}});
defineProperty(window, 'webhostbridge', {value: freeze(bridge), configurable: false, writable: false});
window.WebhostBridgeUtil = { getDictionaryKeys: function(obj){ return keys(obj); } };
listen('error', function(e){ nativeError(e.filename || '', e.lineno || 0, e.message || ''); });
)JS";
    if (publishConsole) {
        s += R"JS(var con = {};
['log','trace','debug','info','warn','error'].forEach(function(op){
  con[op] = function(m){ nativeConsole(op, text(m)); };
});
window.console = con;
)JS";
    }
    s += "})";
    return s;
}

void WHWebViewDelegate::install(platform::WebView& webView) {
    std::string prefix = viewController_->trustedPagePrefix();
    if (prefix.empty()) return;
    bool keepPageConsole = platform::UserDefaults::standard().boolForKey("WebKitDeveloperExtras");
    if (!console_ && !keepPageConsole) console_ = std::make_unique<WHConsole>();
    bridge_ = std::make_unique<WHBridge>(&webView, viewController_);
    webView.installPageBridge({prefix, pageWorldScript(!keepPageConsole), kMaxPageMessageBytes});
}

// Long page texts in log lines and panels are cut here.
static std::string shortened(const std::string& text, std::size_t max = 2048) {
    if (text.size() <= max) return text;
    std::size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
    return text.substr(0, cut) + "\u2026";
}

void WHWebViewDelegate::webViewBridgeMessage(const platform::BridgeMessage& message) {
    // Only the bridge of a trusted frame sends; nothing else is read.
    if (!viewController_->isTrustedPageURL(message.frameURL)) {
        logf("Page message from %s dropped unread", shortened(message.frameURL, 256));
        return;
    }
    auto field = [&](std::size_t i) -> std::optional<std::string> {
        return i < message.fields.size() ? message.fields[i] : std::nullopt;
    };
    std::size_t total = 0;
    for (const auto& f : message.fields) total += f ? f->size() : 0;
    if (total > kMaxPageMessageBytes) {
        std::string why = "a message of " + std::to_string(total) + " bytes is larger than the limit of " +
                          std::to_string(kMaxPageMessageBytes);
        if (message.kind == "exec") return refuseCall(field(0), why);
        logf("ERROR: page %s message refused: %s", message.kind, why);
        return;
    }
    if (message.kind == "exec") {
        execMessage(message);
    } else if (message.kind == "console") {
        auto op = field(0), text = field(1);
        if (console_ && op) console_->call(*op, text ? *text : platform::describe(Value(nullptr)));
    } else if (message.kind == "error") {
        Value line = 0;
        if (auto l = field(1)) {
            char* end = nullptr;
            long long n = std::strtoll(l->c_str(), &end, 10);
            line = end && *end == '\0' && !l->empty() ? Value(n) : Value(*l);
        }
        webViewAddMessageToConsole(
            Value{{"sourceURL", field(0).value_or("")}, {"lineNumber", line}, {"message", field(2).value_or("")}});
    } else if (message.kind == "refused") {
        std::string why = field(2).value_or("refused");
        if (field(0) == std::optional<std::string>("exec")) return refuseCall(field(1), why);
        logf("ERROR: page %s message refused: %s", shortened(field(0).value_or(""), 64), why);
    }
}

void WHWebViewDelegate::execMessage(const platform::BridgeMessage& message) {
    auto field = [&](std::size_t i) -> Value {
        return i < message.fields.size() && message.fields[i] ? Value(*message.fields[i]) : Value(nullptr);
    };
    std::optional<std::string> callbackId;
    if (!message.fields.empty()) callbackId = message.fields[0];
    Value arguments = nullptr;
    if (message.fields.size() > 3 && message.fields[3]) {
        const std::string& json = *message.fields[3];
        // Refused before parsing: a value this deep would overflow the stack when copied.
        if (platform::jsonNestsDeeperThan(json, kMaxPageValueDepth)) {
            return refuseCall(callbackId, "the arguments are nested deeper than " + std::to_string(kMaxPageValueDepth) + " levels");
        }
        auto parsed = platform::parseJson(json, kMaxPageValueDepth);
        if (!parsed) return refuseCall(callbackId, "the arguments are not JSON");
        arguments = std::move(*parsed);
    }
    if (!bridge_) return;
    auto* d = dynamic_cast<WHCommandDelegateImpl*>(viewController_->commandDelegate());
    if (d) d->beginPageCall();
    bridge_->exec(field(0), field(1), field(2), arguments);
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

static GtkWindow* parentWindow(WHViewController* vc) { return vc && vc->window ? vc->window->gtk() : nullptr; }

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

void WHWebViewDelegate::webViewMainFrameDidFinishLoad(const std::string& url) {
    viewController_->mainFrameLoaded = true;
    platform::NotificationCenter::defaultCenter().post(kWebViewMainFrameDidFinishLoadNotification, viewController_->webView);
}
