#include "bridge/WHWebViewDelegate.h"

#include <gtk/gtk.h>

#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <sstream>

#include "bridge/WHCommandDelegateImpl.h"
#include "bridge/WHPlugin.h"
#include "bridge/WHViewController.h"
#include "platform/bundle.h"
#include "platform/log.h"
#include "platform/notification_center.h"
#include "platform/page_bridge.h"
#include "platform/panels.h"
#include "platform/user_defaults.h"
#include "platform/window.h"

using platform::logf;

static std::string asciiLowered(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Bytes the web process kept for a call's argument, named by the message's fifth field
// "<index> <token> <size>"; they are let go when the object goes, unless an action wrote them.
static std::shared_ptr<WHHeldBytes> heldBytesOf(const platform::BridgeMessage& message, WHCommandDelegateImpl* d,
                                                std::size_t& index) {
    if (!d || message.kind != "exec" || message.fields.size() <= 4 || !message.fields[4]) return nullptr;
    std::istringstream in(*message.fields[4]);
    std::string token;
    unsigned long long size = 0;
    in >> index >> token >> size;
    if (in.fail() || token.size() != 32 || token.find_first_not_of("0123456789abcdef") != std::string::npos) return nullptr;
    return d->heldBytes(token, size);
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

std::string WHWebViewDelegate::pageWorldScript(bool publishConsole) {
    // Runs before any script of the document: every built-in it uses later is taken now, and
    // called through Reflect.apply, so nothing the page changes afterwards is on its way.
    std::string s = R"JS((function(native){
'use strict';
var nativeExec = native.exec, nativeConsole = native.console, nativeError = native.error;
var nativeAllocate = native.allocate, bulkSlots = native.bulk || [], BULK = native.bulkBytes;
var stringify = JSON.stringify, toText = String, ErrorClass = Error, keys = Object.keys;
var defineProperty = Object.defineProperty, freeze = Object.freeze, create = Object.create;
var getOwnDescriptor = Object.getOwnPropertyDescriptor, getPrototype = Object.getPrototypeOf;
var apply = Reflect.apply, isArray = Array.isArray, ArrayClass = Array, join = Array.prototype.join;
var fromCharCode = String.fromCharCode, charCodeAt = String.prototype.charCodeAt;
var objectToString = Object.prototype.toString;
var U8 = Uint8Array, AB = ArrayBuffer, isView = AB.isView;
var abByteLength = getOwnDescriptor(AB.prototype, 'byteLength').get;
var TA = getPrototype(U8.prototype);
var taBuffer = getOwnDescriptor(TA, 'buffer').get, taOffset = getOwnDescriptor(TA, 'byteOffset').get,
    taLength = getOwnDescriptor(TA, 'byteLength').get, taSet = TA.set, subarray = TA.subarray;
var dvBuffer = getOwnDescriptor(DataView.prototype, 'buffer').get, dvOffset = getOwnDescriptor(DataView.prototype, 'byteOffset').get,
    dvLength = getOwnDescriptor(DataView.prototype, 'byteLength').get;
var toBase64 = U8.prototype.toBase64, setFromBase64 = U8.prototype.setFromBase64;
var btoa64 = window.btoa.bind(window);
var encoder = typeof TextEncoder === 'function' ? new TextEncoder() : null, encodeInto = encoder && TextEncoder.prototype.encodeInto;
var utf8 = typeof TextDecoder === 'function' ? new TextDecoder('utf-8', {fatal: true, ignoreBOM: true}) : null,
    decode = utf8 && TextDecoder.prototype.decode;
var strict = freeze(create(null, {lastChunkHandling: {value: 'strict', enumerable: true}}));
var listen = window.addEventListener.bind(window);
var later = window.setTimeout.bind(window);
var reportError = typeof window.reportError === 'function' ? window.reportError.bind(window)
                                                           : function(e){ later(function(){ throw e; }, 0); };
listen('load', function(){
  try{webhost.require('webhost/channel').onNativeReady.fire();}catch(e){window._nativeReady = true;}
});
function text(m){
  if (typeof m === 'string') return m;
  if (m === undefined) return 'undefined';
  if (m instanceof ErrorClass) return toText(m);
  try { var j = stringify(m); return j === undefined ? toText(m) : j; } catch (e) { return toText(m); }
}

// Bytes of an array buffer or a view (typed array or data view), as a Uint8Array.
function viewBytes(v){
  try { return new U8(apply(taBuffer, v, []), apply(taOffset, v, []), apply(taLength, v, [])); }
  catch (e) { return new U8(apply(dvBuffer, v, []), apply(dvOffset, v, []), apply(dvLength, v, [])); }
}
function isBuffer(v){
  if (v instanceof AB) return true;
  if (isArray(v) || apply(objectToString, v, []) !== '[object ArrayBuffer]') return false;
  try { apply(abByteLength, v, []); return true; } catch (e) { return false; }
}
function binaryString(u8){
  var parts = [], CH = 0x2000;
  for (var i = 0; i < u8.length; i += CH) parts[parts.length] = apply(fromCharCode, null, apply(subarray, u8, [i, i + CH]));
  return apply(join, parts, ['']);
}
function base64Of(u8){
  return toBase64 ? apply(toBase64, u8, []) : btoa64(binaryString(u8));
}
// Bytes that a library passes as they are go as the array-buffer object, as its own would.
function replacer(key, value){
  if (typeof value !== 'object' || value === null) return value;
  if (isView(value)) return {WHType: 'ArrayBuffer', data: base64Of(viewBytes(value))};
  if (isBuffer(value)) return {WHType: 'ArrayBuffer', data: base64Of(new U8(value))};
  return value;
}

// Argument positions whose bytes stay in this process for the native side to fetch.
var bulkActions = create(null);
for (var k = 0; k < bulkSlots.length; k++) bulkActions[bulkSlots[k][1]] = true;
function lowerAscii(t){
  var out = '';
  for (var i = 0; i < t.length; i++) {
    var c = apply(charCodeAt, t, [i]);
    out += c >= 65 && c <= 90 ? fromCharCode(c + 32) : t[i];
  }
  return out;
}
function slotOf(service, action){
  if (typeof service !== 'string' || typeof action !== 'string' || !bulkActions[action]) return -1;
  var lower = lowerAscii(service);
  for (var i = 0; i < bulkSlots.length; i++) {
    if (bulkSlots[i][0] === lower && bulkSlots[i][1] === action) return bulkSlots[i][2];
  }
  return -1;
}
// What a value holds that is bytes (a text, raw bytes, the array-buffer object with strict Base64),
// read once; null for anything else or fewer bytes than go apart.
function bulkOf(v){
  if (typeof v === 'string') return encoder && v.length >= BULK ? {kind: 'text', source: v, size: v.length * 3, likely: v.length} : null;
  if (typeof v !== 'object' || v === null) return null;
  if (isView(v) || isBuffer(v)) {
    var u = isView(v) ? viewBytes(v) : new U8(v);
    return u.length >= BULK ? {kind: 'bytes', source: u, size: u.length} : null;
  }
  var type = v.WHType, data = v.data;
  if (type !== 'ArrayBuffer' || typeof data !== 'string' || data.length % 4 || !setFromBase64) return null;
  var pad = data.length && data[data.length - 1] === '=' ? (data[data.length - 2] === '=' ? 2 : 1) : 0;
  var size = data.length / 4 * 3 - pad;
  return size >= BULK ? {kind: 'base64', source: data, size: size} : null;
}
// The bytes into the buffer; their count, or -1 when they are not what they claimed.
function fill(d, buffer){
  var target = new U8(buffer, 0, d.size);
  if (d.kind === 'bytes') { apply(taSet, target, [d.source]); return d.size; }
  var r;
  if (d.kind === 'base64') {
    r = apply(setFromBase64, target, [d.source, strict]);
    return r.read === d.source.length && r.written === d.size ? d.size : -1;
  }
  r = apply(encodeInto, encoder, [d.source, target]);
  return r.read === d.source.length ? r.written : -1;
}
function copyWithNull(list, index){
  var copy = new ArrayClass(list.length);
  for (var i = 0; i < list.length; i++) {
    defineProperty(copy, i, {value: i === index ? null : list[i], writable: true, enumerable: true, configurable: true});
  }
  return copy;
}

var bridge = {};
defineProperty(bridge, 'exec', {value: function(callbackId, service, action, args){
  var list = args, heldIndex = -1, heldSize = 0;
  if (isArray(args)) {
    var index = slotOf(service, action);
    if (index >= 0 && index < args.length) {
      var d = null;
      try { d = bulkOf(args[index]); } catch (e) {}
      var buffer = d && nativeAllocate(d.size, d.likely || d.size);
      if (buffer) {
        var n = -1;
        try { n = fill(d, buffer); } catch (e) {}
        if (n >= 0) {
          heldIndex = index;
          heldSize = n;
          list = copyWithNull(args, index);
        }
      }
    }
  }
  var json;
  if (isArray(list)) {
    // Only objects may be or hold raw bytes.
    var objects = false;
    for (var i = 0; i < list.length && !objects; i++) objects = typeof list[i] === 'object' && list[i] !== null;
    try { json = objects ? stringify(list, replacer) : stringify(list); }
    catch (e) { nativeExec(callbackId, service, action, null, -1, 0, true); return; }
  }
  nativeExec(callbackId, service, action, json, heldIndex, heldSize);
}});
defineProperty(window, 'webhostbridge', {value: freeze(bridge), configurable: false, writable: false});
window.WebhostBridgeUtil = { getDictionaryKeys: function(obj){ return keys(obj); } };
listen('error', function(e){ nativeError(e.filename || '', e.lineno || 0, e.message || ''); });

// Results from native code, in order: [[callbackId, status, message, keep], ...]. A callback that
// throws does not stop the ones after it; its error goes to the page's error handling.
function results(list){
  for (var i = 0; i < list.length; i++) {
    var r = list[i];
    try { webhost.require('webhost/exec').nativeCallback(r[0], r[1], r[2], r[3]); } catch (e) { reportError(e); }
  }
}
// One result whose message is made here from bytes that came outside the messages.
function bytes(callbackId, status, keep, form, mime, badStatus, badMessage, buffer, length){
  var u8 = new U8(buffer, 0, length), message;
  try {
    if (form === 'arraybuffer') message = {WHType: 'ArrayBuffer', data: base64Of(u8)};
    else if (form === 'base64') message = base64Of(u8);
    else if (form === 'dataurl') message = 'data:' + mime + ';base64,' + base64Of(u8);
    else if (form === 'text' && utf8) message = apply(decode, utf8, [u8]);
    else if (form === 'binarystring') message = binaryString(u8);
    else throw form;
  } catch (e) {
    status = badStatus;
    message = badMessage;
  }
  results([[callbackId, status, message, keep]]);
}
defineProperty(results, 'bytes', {value: bytes});
defineProperty(window, ')JS" + std::string(platform::kBridgeResultsFunction) + R"JS(', {value: results, configurable: false, writable: false});
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
    webView.installPageBridge({prefix, pageWorldScript(!keepPageConsole), kMaxPageMessageBytes, bulkArguments()});
}

std::vector<platform::PageBridgeConfig::BulkArgument> WHWebViewDelegate::bulkArguments() const {
    std::vector<platform::PageBridgeConfig::BulkArgument> out;
    for (const auto& [service, className] : viewController_->pluginsMap) {
        for (const auto& a : PluginRegistry::bulkArguments(className)) {
            out.push_back({asciiLowered(service), a.action, static_cast<unsigned>(a.index)});
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
    // Only the bridge of a trusted frame sends; nothing else is read.
    auto letHeldGo = [&] {
        std::size_t index = 0;
        heldBytesOf(message, dynamic_cast<WHCommandDelegateImpl*>(viewController_->commandDelegate()), index);
    };
    if (!viewController_->isTrustedPageURL(message.frameURL)) {
        logf("Page message from %s dropped unread", shortened(message.frameURL, 256));
        return letHeldGo();
    }
    auto field = [&](std::size_t i) -> std::optional<std::string> {
        return i < message.fields.size() ? message.fields[i] : std::nullopt;
    };
    std::size_t total = 0;
    for (const auto& f : message.fields) total += f ? f->size() : 0;
    if (total > kMaxPageMessageBytes) {
        std::string why = "a message of " + std::to_string(total) + " bytes is larger than the limit of " +
                          std::to_string(kMaxPageMessageBytes);
        letHeldGo();
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
    auto* d = dynamic_cast<WHCommandDelegateImpl*>(viewController_->commandDelegate());
    std::size_t heldIndex = 0;
    std::shared_ptr<WHHeldBytes> held = heldBytesOf(message, d, heldIndex);
    const bool heldNamed = message.fields.size() > 4 && message.fields[4];
    auto field = [&](std::size_t i) -> Value {
        return i < message.fields.size() && message.fields[i] ? Value(*message.fields[i]) : Value(nullptr);
    };
    std::optional<std::string> callbackId;
    if (!message.fields.empty()) callbackId = message.fields[0];
    Value arguments = nullptr;
    if (message.fields.size() > 3 && message.fields[3]) {
        const std::string& json = *message.fields[3];
        // parseJson refuses a value this deep before parsing (it would overflow the stack when
        // copied); the depth is looked at again only to say why.
        auto parsed = platform::parseJson(json, kMaxPageValueDepth);
        if (!parsed) {
            if (platform::jsonNestsDeeperThan(json, kMaxPageValueDepth)) {
                return refuseCall(callbackId, "the arguments are nested deeper than " + std::to_string(kMaxPageValueDepth) + " levels");
            }
            return refuseCall(callbackId, "the arguments are not JSON");
        }
        arguments = std::move(*parsed);
    }
    // Held bytes only where the service's class takes them, in place of a null argument.
    if (heldNamed) {
        bool expected = false;
        if (held && message.fields.size() > 2 && message.fields[1] && message.fields[2]) {
            std::string service = asciiLowered(*message.fields[1]);
            for (const auto& a : bulkArguments()) {
                expected = expected || (a.service == service && a.action == *message.fields[2] && a.index == heldIndex);
            }
        }
        if (!expected || !arguments.is_array() || heldIndex >= arguments.size() || !arguments[heldIndex].is_null()) {
            return refuseCall(callbackId, "bytes for an argument that takes none");
        }
    }
    if (!bridge_) return;
    if (d) d->beginPageCall();
    bridge_->exec(field(0), field(1), field(2), std::move(arguments), std::move(held), heldIndex);
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
