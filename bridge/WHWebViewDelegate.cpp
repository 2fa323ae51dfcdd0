#include "bridge/WHWebViewDelegate.h"

#include <glib.h>
#include <gtk/gtk.h>

#include <cstdio>

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

static std::string randomSecret() {
    std::string out;
    for (int i = 0; i < 4; ++i) {
        char buf[9];
        std::snprintf(buf, sizeof buf, "%08x", g_random_int());
        out += buf;
    }
    return out;
}

std::string WHWebViewDelegate::pageWorldScript(const std::string& trustedPrefix, bool publishConsole,
                                               const std::string& secret) {
    std::string s = "(function(){\n";
    s += "var T=" + platform::jsStringLiteral(trustedPrefix, '"') + ";\n";
    s += R"JS(
window.addEventListener('load', function(){
  try{webhost.require('webhost/channel').onNativeReady.fire();}catch(e){window._nativeReady = true;}
});
var here = location.protocol + '//' + location.host + location.pathname;
try { here = decodeURIComponent(here); } catch (e) {}
if (here.indexOf(T) !== 0 || here.indexOf('/../') !== -1) return;
var h = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.)JS";
    s += kMessageHandler;
    s += ";\nif (!h) return;\nvar S=" + platform::jsStringLiteral(secret, '"') + ";\n";
    s += R"JS(var pm = h.postMessage.bind(h), stringify = JSON.stringify;
function post(m){ m.unshift(S); pm(stringify(m)); }
function text(m){
  if (typeof m === 'string') return m;
  if (m === undefined) return 'undefined';
  if (m instanceof Error) return String(m);
  try { var j = stringify(m); return j === undefined ? String(m) : j; } catch (e) { return String(m); }
}
var bridge = {};
Object.defineProperty(bridge, 'exec', {value: function(callbackId, service, action, args){
  post(['exec', callbackId === undefined ? null : callbackId, service === undefined ? null : service,
        action === undefined ? null : action, Array.isArray(args) ? args : null]);
}});
Object.defineProperty(window, 'webhostbridge', {value: Object.freeze(bridge), configurable: false, writable: false});
window.WebhostBridgeUtil = { getDictionaryKeys: function(obj){ return Object.keys(obj); } };
window.addEventListener('error', function(e){
  post(['error', e.filename || '', e.lineno || 0, e.message || '']);
});
)JS";
    if (publishConsole) {
        s += R"JS(
var con = {};
['log','trace','debug','info','warn','error'].forEach(function(op){
  con[op] = function(m){ post(['console', op, text(m)]); };
});
window.console = con;
)JS";
    }
    s += "})();\n";
    return s;
}

void WHWebViewDelegate::install(platform::WebView& webView) {
    std::string prefix = viewController_->trustedPagePrefix();
    if (prefix.empty()) return;
    bool keepPageConsole = platform::UserDefaults::standard().boolForKey("WebKitDeveloperExtras");
    if (!console_ && !keepPageConsole) console_ = std::make_unique<WHConsole>();
    bridge_ = std::make_unique<WHBridge>(&webView, viewController_);
    if (secret_.empty()) secret_ = randomSecret();
    webView.registerMessageHandler(kMessageHandler, "");
    webView.addUserScript(pageWorldScript(prefix, !keepPageConsole, secret_), true, "");
}

void WHWebViewDelegate::webViewScriptMessage(const std::string&, const std::string& body) {
    auto msg = platform::parseJson(body);
    // Only the script injected into the application's own frames knows the secret.
    if (!msg || !msg->is_array() || msg->size() < 2 || !(*msg)[0].is_string() || !(*msg)[1].is_string()) return;
    if (secret_.empty() || (*msg)[0].get<std::string>() != secret_) return;
    const std::string kind = (*msg)[1].get<std::string>();
    auto at = [&](std::size_t i) -> Value { return i + 1 < msg->size() ? (*msg)[i + 1] : Value(nullptr); };
    if (kind == "exec") {
        if (!bridge_) return;
        auto* d = dynamic_cast<WHCommandDelegateImpl*>(viewController_->commandDelegate());
        if (d) d->beginPageCall();
        bridge_->exec(at(1), at(2), at(3), at(4));
        if (d) d->endPageCall();
    } else if (kind == "console") {
        Value op = at(1), text = at(2);
        if (console_ && op.is_string()) console_->call(op.get<std::string>(), text.is_string() ? text.get<std::string>() : platform::describe(text));
    } else if (kind == "error") {
        webViewAddMessageToConsole(Value{{"sourceURL", at(1)}, {"lineNumber", at(2)}, {"message", at(3)}});
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

bool WHWebViewDelegate::webViewDecideNavigation(const std::string& url, bool) {
    logf("navigating to %s", url);
    return true;
}

static GtkWindow* parentWindow(WHViewController* vc) { return vc && vc->window ? vc->window->gtk() : nullptr; }

static std::string tr(const char* key) { return platform::Bundle::main().localizedString(key); }

void WHWebViewDelegate::webViewRunAlert(const std::string& message) {
    platform::runAlertPanel(parentWindow(viewController_), message, {tr("OK")});
}

bool WHWebViewDelegate::webViewRunConfirm(const std::string& message) {
    return platform::runAlertPanel(parentWindow(viewController_), message, {tr("OK"), tr("Cancel")}) == 0;
}

bool WHWebViewDelegate::webViewRunBeforeUnloadConfirm(const std::string& message) { return webViewRunConfirm(message); }

std::optional<std::string> WHWebViewDelegate::webViewRunPrompt(const std::string& prompt, const std::string& defaultText) {
    return platform::runPromptPanel(parentWindow(viewController_), prompt, defaultText, {tr("OK"), tr("Cancel")});
}

std::optional<std::vector<std::string>> WHWebViewDelegate::webViewRunOpenPanel(bool allowMultiple) {
    return platform::runOpenPanel(parentWindow(viewController_), allowMultiple, tr("open"), tr("Cancel"));
}

void WHWebViewDelegate::webViewMainFrameDidFinishLoad(const std::string& url) {
    viewController_->mainFrameLoaded = true;
    platform::NotificationCenter::defaultCenter().post(kWebViewMainFrameDidFinishLoadNotification, viewController_->webView);
}
