// The web-process side of the page bridge, loaded into every web process of the application's
// web view. It decides natively, frame by frame, whether a frame's document is one of the
// application's own (its URL has the trusted prefix): only there, when the frame's script window
// is set up and before any script of the document runs, does the bridge script get its native
// entry object; each call through it checks the frame again. Scripts the view delivers run in the
// main frame only while the document shown there is trusted, decided here, where documents
// change. The page's own world never holds anything that opens the bridge to another frame.
#include <webkit2/webkit-web-extension.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/page_bridge.h"

namespace {

using Fields = std::vector<std::optional<std::string>>;

struct Config {
    std::string trustedPrefix;
    std::string script;
    guint64 messageLimit = 0;
};

Config& config() {
    static Config c;
    return c;
}

constexpr const char* kMainFrameKey = "kivano-main-frame";
// Longest callback identifier repeated in a refusal.
constexpr std::size_t kMaxRefusedIdBytes = 1024;

bool trusted(const char* url) { return url && platform::pageURLHasPrefix(url, config().trustedPrefix); }

// What each native function of a frame holds.
struct Entry {
    WebKitFrame* frame;  // owned reference
    GWeakRef page;
};

void freeEntry(gpointer data) {
    auto* e = static_cast<Entry*>(data);
    g_object_unref(e->frame);
    g_weak_ref_clear(&e->page);
    delete e;
}

std::string validUTF8(const char* text) {
    if (g_utf8_validate(text, -1, nullptr)) return text;
    char* fixed = g_utf8_make_valid(text, -1);
    std::string out = fixed;
    g_free(fixed);
    return out;
}

std::optional<std::string> textOf(JSCValue* v) {
    if (!v || !jsc_value_is_string(v)) return std::nullopt;
    char* t = jsc_value_to_string(v);
    std::string out = t ? validUTF8(t) : std::string();
    g_free(t);
    return out;
}

// Texts as they are, numbers in their script form, anything else absent.
std::optional<std::string> textOrNumberOf(JSCValue* v) {
    if (v && jsc_value_is_number(v)) {
        char* t = jsc_value_to_string(v);
        std::string out = t ? t : "";
        g_free(t);
        return out;
    }
    return textOf(v);
}

JSCValue* argAt(GPtrArray* args, guint i) { return i < args->len ? JSC_VALUE(g_ptr_array_index(args, i)) : nullptr; }

std::size_t sizeOf(const Fields& fields) {
    std::size_t total = 0;
    for (const auto& f : fields) total += f ? f->size() : 0;
    return total;
}

void send(Entry& e, const char* kind, const Fields& fields) {
    auto* page = static_cast<WebKitWebPage*>(g_weak_ref_get(&e.page));
    if (!page) return;
    const char* uri = webkit_frame_get_uri(e.frame);
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("ams"));
    for (const auto& f : fields) g_variant_builder_add(&b, "ms", f ? f->c_str() : nullptr);
    std::string name = std::string(platform::kBridgeMessagePrefix) + kind;
    WebKitUserMessage* message = webkit_user_message_new(name.c_str(), g_variant_new("(sams)", uri ? uri : "", &b));
    webkit_web_page_send_message_to_view(page, message, nullptr, nullptr, nullptr);
    g_object_unref(page);
}

void refuse(Entry& e, const char* kind, const std::optional<std::string>& callbackId, const std::string& why) {
    std::optional<std::string> id = callbackId && callbackId->size() <= kMaxRefusedIdBytes ? callbackId : std::nullopt;
    send(e, "refused", {std::string(kind), id, why});
}

// Sends the message, or a refusal when it is larger than the limit.
void sendBounded(Entry& e, const char* kind, const Fields& fields, const std::optional<std::string>& callbackId) {
    std::size_t total = sizeOf(fields);
    if (config().messageLimit && total > config().messageLimit) {
        refuse(e, kind, callbackId,
               "a message of " + std::to_string(total) + " bytes is larger than the limit of " +
                   std::to_string(config().messageLimit));
        return;
    }
    send(e, kind, fields);
}

bool frameTrusted(const Entry& e) { return trusted(webkit_frame_get_uri(e.frame)); }

// exec(callbackId, service, action, args)
void nativeExec(GPtrArray* args, gpointer data) {
    auto& e = *static_cast<Entry*>(data);
    if (!frameTrusted(e)) return;
    auto callbackId = textOf(argAt(args, 0));
    std::optional<std::string> json;
    JSCValue* list = argAt(args, 3);
    if (list && jsc_value_is_array(list)) {
        char* text = jsc_value_to_json(list, 0);
        if (!text) {
            jsc_context_clear_exception(jsc_value_get_context(list));
            refuse(e, "exec", callbackId, "the arguments cannot be written as JSON");
            return;
        }
        json = validUTF8(text);
        g_free(text);
    }
    sendBounded(e, "exec", {callbackId, textOf(argAt(args, 1)), textOf(argAt(args, 2)), std::move(json)}, callbackId);
}

// console(operation, text)
void nativeConsole(GPtrArray* args, gpointer data) {
    auto& e = *static_cast<Entry*>(data);
    if (!frameTrusted(e)) return;
    sendBounded(e, "console", {textOf(argAt(args, 0)), textOf(argAt(args, 1))}, std::nullopt);
}

// error(sourceURL, line, message)
void nativeError(GPtrArray* args, gpointer data) {
    auto& e = *static_cast<Entry*>(data);
    if (!frameTrusted(e)) return;
    sendBounded(e, "error", {textOf(argAt(args, 0)), textOrNumberOf(argAt(args, 1)), textOf(argAt(args, 2))},
                std::nullopt);
}

void reportException(JSCContext* ctx, const char* what) {
    if (JSCException* ex = jsc_context_get_exception(ctx)) {
        char* report = jsc_exception_report(ex);
        std::fprintf(stderr, "Page bridge: %s: %s\n", what, report ? report : "");
        g_free(report);
        jsc_context_clear_exception(ctx);
    }
}

void windowObjectCleared(WebKitScriptWorld* world, WebKitWebPage* page, WebKitFrame* frame, gpointer) {
    if (webkit_frame_is_main_frame(frame)) {
        g_object_set_data_full(G_OBJECT(page), kMainFrameKey, g_object_ref(frame), g_object_unref);
    }
    if (config().script.empty() || !trusted(webkit_frame_get_uri(frame))) return;
    JSCContext* ctx = webkit_frame_get_js_context_for_script_world(frame, world);
    JSCValue* install = jsc_context_evaluate(ctx, config().script.c_str(), static_cast<gssize>(config().script.size()));
    if (!install || !jsc_value_is_function(install)) {
        reportException(ctx, "the bridge script did not evaluate to a function");
        if (install) g_object_unref(install);
        g_object_unref(ctx);
        return;
    }
    JSCValue* native = jsc_value_new_object(ctx, nullptr, nullptr);
    struct Function {
        const char* name;
        void (*callback)(GPtrArray*, gpointer);
    };
    for (const Function& f : {Function{"exec", nativeExec}, Function{"console", nativeConsole}, Function{"error", nativeError}}) {
        auto* e = new Entry{WEBKIT_FRAME(g_object_ref(frame)), {}};
        g_weak_ref_init(&e->page, page);
        JSCValue* fn = jsc_value_new_function_variadic(ctx, f.name, G_CALLBACK(f.callback), e, freeEntry, G_TYPE_NONE);
        jsc_value_object_set_property(native, f.name, fn);
        g_object_unref(fn);
    }
    JSCValue* result = jsc_value_function_call(install, JSC_TYPE_VALUE, native, G_TYPE_NONE);
    reportException(ctx, "the bridge script failed");
    if (result) g_object_unref(result);
    g_object_unref(native);
    g_object_unref(install);
    g_object_unref(ctx);
}

// The location the document itself reports; a page script cannot change what it says.
std::string documentLocation(JSCContext* ctx) {
    std::string out;
    JSCValue* global = jsc_context_get_global_object(ctx);
    JSCValue* location = jsc_value_object_get_property(global, "location");
    if (location && jsc_value_is_object(location)) {
        JSCValue* href = jsc_value_object_get_property(location, "href");
        if (href && jsc_value_is_string(href)) {
            char* text = jsc_value_to_string(href);
            out = text ? text : "";
            g_free(text);
        }
        if (href) g_object_unref(href);
    }
    if (location) g_object_unref(location);
    g_object_unref(global);
    jsc_context_clear_exception(ctx);
    return out;
}

gboolean pageMessage(WebKitWebPage* page, WebKitUserMessage* message, gpointer) {
    const char* name = webkit_user_message_get_name(message);
    if (!name || g_strcmp0(name, platform::kBridgeDeliverMessage) != 0) return FALSE;
    GVariant* params = webkit_user_message_get_parameters(message);
    if (!params || !g_variant_is_of_type(params, G_VARIANT_TYPE("(as)"))) return TRUE;
    auto* frame = static_cast<WebKitFrame*>(g_object_get_data(G_OBJECT(page), kMainFrameKey));
    if (!frame) return TRUE;
    JSCContext* ctx = webkit_frame_get_js_context(frame);
    GVariant* scripts = g_variant_get_child_value(params, 0);
    const gsize count = g_variant_n_children(scripts);
    // Each script is an evaluation of its own; one may change the document, so each is decided
    // on the document shown when it is about to run.
    for (gsize i = 0; i < count; ++i) {
        if (!trusted(webkit_frame_get_uri(frame)) || !trusted(documentLocation(ctx).c_str())) break;
        GVariant* text = g_variant_get_child_value(scripts, i);
        gsize length = 0;
        const char* script = g_variant_get_string(text, &length);
        JSCValue* result = jsc_context_evaluate(ctx, script, static_cast<gssize>(length));
        if (result) g_object_unref(result);
        jsc_context_clear_exception(ctx);
        g_variant_unref(text);
    }
    g_variant_unref(scripts);
    g_object_unref(ctx);
    return TRUE;
}

void pageCreated(WebKitWebExtension*, WebKitWebPage* page, gpointer) {
    g_signal_connect(page, "user-message-received", G_CALLBACK(pageMessage), nullptr);
}

}  // namespace

extern "C" G_MODULE_EXPORT void webkit_web_extension_initialize_with_user_data(WebKitWebExtension* extension,
                                                                               const GVariant* data) {
    auto* dict = const_cast<GVariant*>(data);
    if (dict && g_variant_is_of_type(dict, G_VARIANT_TYPE("a{sv}"))) {
        const char* text = nullptr;
        if (g_variant_lookup(dict, platform::kBridgeTrustedPrefixKey, "^&ay", &text)) config().trustedPrefix = text;
        if (g_variant_lookup(dict, platform::kBridgeScriptKey, "&s", &text)) config().script = text;
        guint64 limit = 0;
        if (g_variant_lookup(dict, platform::kBridgeMessageLimitKey, "t", &limit)) config().messageLimit = limit;
    }
    g_signal_connect(webkit_script_world_get_default(), "window-object-cleared", G_CALLBACK(windowObjectCleared), nullptr);
    g_signal_connect(extension, "page-created", G_CALLBACK(pageCreated), nullptr);
}
