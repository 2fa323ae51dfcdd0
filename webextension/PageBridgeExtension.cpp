// The web-process side of the page bridge, loaded into every web process of the application's
// web view. It decides natively, frame by frame, whether a frame's document is one of the
// application's own (its URL has the trusted prefix): only there, when the frame's script window
// is set up and before any script of the document runs, does the bridge script get its native
// entry object; each call through it checks the frame again. Scripts the view delivers run in the
// main frame only while the document shown there is trusted, decided here, where documents
// change. The page's own world never holds anything that opens the bridge to another frame.
//
// Bytes go outside the messages where there are many of them: the bytes of a call's argument at a
// bulk position stay here under a random single-use token until the view hands over a
// descriptor to write them into; bytes for the page arrive as a descriptor range, read here and
// given to the page world's results function. Descriptors come only from the view and are never
// seen by a script; this process opens no file itself.
#include <gio/gunixfdlist.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <cstdint>
#include <unistd.h>
#include <JavaScriptCore/JavaScript.h>
#include <webkit2/webkit-web-extension.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/page_bridge.h"

namespace {

using Fields = std::vector<std::optional<std::string>>;

struct BulkArgument {
    std::string service;
    std::string action;
    guint32 index;
};

struct Config {
    std::string trustedPrefix;
    std::string script;
    guint64 messageLimit = 0;
    std::vector<BulkArgument> bulkArguments;
};

Config& config() {
    static Config c;
    return c;
}

constexpr const char* kMainFrameKey = "kivano-main-frame";
// Longest callback identifier repeated in a refusal.
constexpr std::size_t kMaxRefusedIdBytes = 1024;

bool trusted(const char* url) { return url && platform::pageURLHasPrefix(url, config().trustedPrefix); }

// ---- memory for bytes ----

// Array buffers for bytes on their way, made by the engine (a buffer over memory of our own is
// not allowed in a web process) and kept, per frame, for the next transfer once used: fresh
// memory is slow to touch for the first time, and large transfers come again. A frame's buffers
// go with its document.
struct Buffer {
    JSCValue* value = nullptr;  // the array buffer, owned reference
    void* data = nullptr;
    std::size_t capacity = 0;
    explicit operator bool() const { return value != nullptr; }
};

class Buffers {
public:
    // A buffer of at least `size` bytes in the frame's script world, its first `touch` bytes
    // ready to be written.
    Buffer take(WebKitFrame* frame, JSCContext* ctx, std::size_t size, std::size_t touch) {
        auto& pool = pools_[frame];
        if (pool.ctx != ctx) clear(pool);
        std::size_t best = pool.free.size();
        for (std::size_t i = 0; i < pool.free.size(); ++i) {
            const Buffer& b = pool.free[i];
            if (b.capacity >= size && (best == pool.free.size() || b.capacity < pool.free[best].capacity)) best = i;
        }
        if (best < pool.free.size()) {
            Buffer b = pool.free[best];
            pool.free.erase(pool.free.begin() + static_cast<std::ptrdiff_t>(best));
            pool.kept -= b.capacity;
            return b;
        }
        if (!pool.ctx) pool.ctx = JSC_CONTEXT(g_object_ref(ctx));
        if (!pool.watched) {
            g_object_weak_ref(G_OBJECT(frame), &Buffers::frameGone, this);
            pool.watched = true;
        }
        std::size_t capacity = roundUp(size ? size : 1);
        JSCValue* array = jsc_value_new_typed_array(ctx, JSC_TYPED_ARRAY_UINT8, capacity);
        if (!array || jsc_context_get_exception(ctx)) {
            jsc_context_clear_exception(ctx);
            if (array) g_object_unref(array);
            return {};
        }
        Buffer b;
        b.value = jsc_value_typed_array_get_buffer(array);
        g_object_unref(array);
        gsize length = 0;
        b.data = b.value ? jsc_value_array_buffer_get_data(b.value, &length) : nullptr;
        b.capacity = length;
        if (!b.data || length < size) {
            if (b.value) g_object_unref(b.value);
            return {};
        }
#ifdef MADV_POPULATE_WRITE
        // Touched at once, without a fault for every page.
        if (touch) {
            auto begin = (reinterpret_cast<std::uintptr_t>(b.data) + 4095) & ~std::uintptr_t(4095);
            auto end = (reinterpret_cast<std::uintptr_t>(b.data) + std::min(touch, length)) & ~std::uintptr_t(4095);
            if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
        }
#endif
        return b;
    }
    // Back for reuse in the frame, while it shows the same document.
    void give(WebKitFrame* frame, JSCContext* ctx, Buffer b) {
        if (!b) return;
        auto it = pools_.find(frame);
        if (it == pools_.end() || it->second.ctx != ctx || b.capacity > kKeep) return drop(b);
        Pool& pool = it->second;
        // The largest buffers are the ones worth keeping.
        while (!pool.free.empty() && pool.kept + b.capacity > kKeep) {
            auto smallest = std::min_element(pool.free.begin(), pool.free.end(),
                                             [](const Buffer& x, const Buffer& y) { return x.capacity < y.capacity; });
            if (smallest->capacity >= b.capacity) break;
            pool.kept -= smallest->capacity;
            drop(*smallest);
            pool.free.erase(smallest);
        }
        if (pool.kept + b.capacity > kKeep) return drop(b);
        pool.free.push_back(b);
        pool.kept += b.capacity;
    }
    static void drop(Buffer& b) {
        if (b.value) g_object_unref(b.value);
        b = {};
    }
    // The frame shows a new document: the buffers of the old one go.
    void documentChanged(WebKitFrame* frame) {
        auto it = pools_.find(frame);
        if (it != pools_.end()) clear(it->second);
    }

private:
    struct Pool {
        JSCContext* ctx = nullptr;  // owned reference
        std::vector<Buffer> free;
        std::size_t kept = 0;
        bool watched = false;  // told when the frame goes
    };
    static constexpr std::size_t kKeep = 96u << 20;
    static std::size_t roundUp(std::size_t n) {
        const std::size_t unit = n >= (1u << 20) ? (1u << 20) : 4096;
        return (n + unit - 1) / unit * unit;
    }
    static void clear(Pool& pool) {
        for (auto& b : pool.free) drop(b);
        pool.free.clear();
        pool.kept = 0;
        if (pool.ctx) g_object_unref(pool.ctx);
        pool.ctx = nullptr;
    }
    static void frameGone(gpointer self, GObject* frame) {
        auto* buffers = static_cast<Buffers*>(self);
        auto it = buffers->pools_.find(reinterpret_cast<WebKitFrame*>(frame));
        if (it == buffers->pools_.end()) return;
        clear(it->second);
        buffers->pools_.erase(it);
    }
    std::map<WebKitFrame*, Pool> pools_;
};

Buffers& buffers() {
    static Buffers b;
    return b;
}

// Bytes of calls, held until the view asks for them or lets them go.
struct Held {
    WebKitFrame* frame = nullptr;  // not a reference: only compared
    JSCContext* ctx = nullptr;     // likewise
    Buffer buffer;
    std::size_t size = 0;
};
std::map<std::string, Held>& held() {
    static std::map<std::string, Held> h;
    return h;
}
std::size_t heldBytes = 0;
// The buffer the bridge script is filling for the call it is about to make.
Held pending;

void giveBack(Held& h) {
    buffers().give(h.frame, h.ctx, h.buffer);
    h = {};
}

// 128 random bits, as hexadecimal; empty when the system gives none.
std::string newToken() {
    unsigned char bits[16];
    std::size_t got = 0;
    while (got < sizeof bits) {
        ssize_t n = getrandom(bits + got, sizeof bits - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return {};
        }
        got += static_cast<std::size_t>(n);
    }
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bits) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

bool writeAll(int fd, const char* data, std::size_t size, std::size_t& done) {
    done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// ---- the frames' entry objects ----

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

double numberAt(GPtrArray* args, guint i, double fallback) {
    JSCValue* v = argAt(args, i);
    return v && jsc_value_is_number(v) ? jsc_value_to_double(v) : fallback;
}

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

// Sends the message, or a refusal when it is larger than the limit; answers whether it was sent.
bool sendBounded(Entry& e, const char* kind, const Fields& fields, const std::optional<std::string>& callbackId) {
    std::size_t total = sizeOf(fields);
    if (config().messageLimit && total > config().messageLimit) {
        refuse(e, kind, callbackId,
               "a message of " + std::to_string(total) + " bytes is larger than the limit of " +
                   std::to_string(config().messageLimit));
        return false;
    }
    send(e, kind, fields);
    return true;
}

bool frameTrusted(const Entry& e) { return trusted(webkit_frame_get_uri(e.frame)); }

// exec(callbackId, service, action, argumentsJSON, heldIndex, heldSize, unwritable): the bridge
// script writes the arguments as JSON; at heldIndex (not negative) they have null where the bytes
// it just put into the allocated buffer stand.
void nativeExec(GPtrArray* args, gpointer data) {
    auto& e = *static_cast<Entry*>(data);
    Held h = pending;
    pending = {};
    if (!frameTrusted(e)) return giveBack(h);
    auto callbackId = textOf(argAt(args, 0));
    JSCValue* unwritable = argAt(args, 6);
    if (unwritable && jsc_value_to_boolean(unwritable)) {
        giveBack(h);
        return refuse(e, "exec", callbackId, "the arguments cannot be written as JSON");
    }
    Fields fields{callbackId, textOf(argAt(args, 1)), textOf(argAt(args, 2)), textOf(argAt(args, 3))};
    double heldIndex = numberAt(args, 4, -1), heldSize = numberAt(args, 5, 0);
    std::string token;
    if (heldIndex >= 0 && h.buffer && h.frame == e.frame && heldSize >= 0 && heldSize <= static_cast<double>(h.buffer.capacity)) {
        token = newToken();
        if (token.empty()) {
            giveBack(h);
            return refuse(e, "exec", callbackId, "no random token for the bytes");
        }
        fields.emplace_back(std::to_string(static_cast<long long>(heldIndex)) + " " + token + " " +
                            std::to_string(static_cast<unsigned long long>(heldSize)));
    } else {
        giveBack(h);
    }
    if (!sendBounded(e, "exec", fields, callbackId)) return giveBack(h);
    if (!token.empty()) {
        h.size = static_cast<std::size_t>(heldSize);
        heldBytes += h.buffer.capacity;
        held()[token] = h;
    }
}

// allocate(size, likely): an array buffer of at least `size` bytes for the call about to be made;
// null when the bytes held would grow beyond the limit.
JSCValue* nativeAllocate(GPtrArray* args, gpointer data) {
    auto& e = *static_cast<Entry*>(data);
    giveBack(pending);
    JSCValue* sizeValue = argAt(args, 0);
    JSCContext* ctx = sizeValue ? jsc_value_get_context(sizeValue) : nullptr;
    if (!ctx) return nullptr;
    double size = numberAt(args, 0, -1), likely = numberAt(args, 1, 0);
    if (!frameTrusted(e) || size < static_cast<double>(platform::kBridgeBulkBytes) ||
        size > static_cast<double>(platform::kBridgeMaxHeldBytes) ||
        heldBytes + static_cast<std::size_t>(size) > platform::kBridgeMaxHeldBytes) {
        return jsc_value_new_null(ctx);
    }
    auto n = static_cast<std::size_t>(size);
    Buffer b = buffers().take(e.frame, ctx, n, likely > 0 && likely < size ? static_cast<std::size_t>(likely) : n);
    if (!b) return jsc_value_new_null(ctx);
    pending = Held{e.frame, ctx, b, 0};
    return JSC_VALUE(g_object_ref(b.value));
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
    buffers().documentChanged(frame);
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
        GCallback callback;
        GType returns;
    };
    for (const Function& f : {Function{"exec", G_CALLBACK(nativeExec), G_TYPE_NONE},
                              Function{"console", G_CALLBACK(nativeConsole), G_TYPE_NONE},
                              Function{"error", G_CALLBACK(nativeError), G_TYPE_NONE},
                              Function{"allocate", G_CALLBACK(nativeAllocate), JSC_TYPE_VALUE}}) {
        auto* e = new Entry{WEBKIT_FRAME(g_object_ref(frame)), {}};
        g_weak_ref_init(&e->page, page);
        JSCValue* fn = jsc_value_new_function_variadic(ctx, f.name, f.callback, e, freeEntry, f.returns);
        jsc_value_object_set_property(native, f.name, fn);
        g_object_unref(fn);
    }
    GPtrArray* slots = g_ptr_array_new_with_free_func(g_object_unref);
    for (const auto& a : config().bulkArguments) {
        GPtrArray* slot = g_ptr_array_new_with_free_func(g_object_unref);
        g_ptr_array_add(slot, jsc_value_new_string(ctx, a.service.c_str()));
        g_ptr_array_add(slot, jsc_value_new_string(ctx, a.action.c_str()));
        g_ptr_array_add(slot, jsc_value_new_number(ctx, a.index));
        g_ptr_array_add(slots, jsc_value_new_array_from_garray(ctx, slot));
        g_ptr_array_unref(slot);
    }
    JSCValue* slotArray = jsc_value_new_array_from_garray(ctx, slots);
    g_ptr_array_unref(slots);
    jsc_value_object_set_property(native, "bulk", slotArray);
    g_object_unref(slotArray);
    JSCValue* bulkBytes = jsc_value_new_number(ctx, static_cast<double>(platform::kBridgeBulkBytes));
    jsc_value_object_set_property(native, "bulkBytes", bulkBytes);
    g_object_unref(bulkBytes);

    JSCValue* result = jsc_value_function_call(install, JSC_TYPE_VALUE, native, G_TYPE_NONE);
    reportException(ctx, "the bridge script failed");
    if (result) g_object_unref(result);
    g_object_unref(native);
    g_object_unref(install);
    g_object_unref(ctx);
}

// ---- what the view sends ----

// The location the document itself reports; a page script cannot change what it says.
std::string documentLocation(WebKitFrame* frame) {
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    JSGlobalContextRef ctx = webkit_frame_get_javascript_global_context(frame);
    G_GNUC_END_IGNORE_DEPRECATIONS
    std::string out;
    if (!ctx) return out;
    auto property = [&](JSObjectRef object, const char* name) -> JSValueRef {
        JSStringRef n = JSStringCreateWithUTF8CString(name);
        JSValueRef v = JSObjectGetProperty(ctx, object, n, nullptr);
        JSStringRelease(n);
        return v;
    };
    JSValueRef location = property(JSContextGetGlobalObject(ctx), "location");
    if (!location || !JSValueIsObject(ctx, location)) return out;
    JSValueRef href = property(JSValueToObject(ctx, location, nullptr), "href");
    if (!href || !JSValueIsString(ctx, href)) return out;
    JSStringRef text = JSValueToStringCopy(ctx, href, nullptr);
    if (!text) return out;
    out.resize(JSStringGetMaximumUTF8CStringSize(text));
    std::size_t n = JSStringGetUTF8CString(text, out.data(), out.size());
    out.resize(n ? n - 1 : 0);
    JSStringRelease(text);
    return out;
}

// A descriptor of the message, as a copy of our own (-1 when there is none).
int takeDescriptor(WebKitUserMessage* message, gint32 handle) {
    GUnixFDList* list = webkit_user_message_get_fd_list(message);
    if (!list || handle < 0 || handle >= g_unix_fd_list_get_length(list)) return -1;
    return g_unix_fd_list_get(list, handle, nullptr);
}

void acknowledge(int fd) {
    if (fd < 0) return;
    char one = 1;
    ssize_t ignored = ::write(fd, &one, 1);
    (void)ignored;
    ::close(fd);
}

// Reads the range, has the page world's results function make the message from it and hand it
// to the page; acknowledges once that is done.
void deliverBytes(WebKitFrame* frame, JSCContext* ctx, WebKitUserMessage* message, GVariant* item) {
    const char *callbackId = nullptr, *form = nullptr, *mime = nullptr;
    gint32 status = 0, badStatus = 0, badMessage = 0, dataHandle = -1, ackHandle = -1;
    gboolean keep = FALSE;
    guint64 offset = 0, length = 0;
    g_variant_get(item, platform::kBridgeBytesType, &callbackId, &status, &keep, &form, &mime, &badStatus, &badMessage,
                  &dataHandle, &offset, &length, &ackHandle);
    int fd = takeDescriptor(message, dataHandle);
    int ack = takeDescriptor(message, ackHandle);
    Buffer buffer;
    std::size_t got = 0;
    bool read = fd >= 0 && length <= platform::kBridgeMaxHeldBytes;
    if (read) {
        buffer = buffers().take(frame, ctx, static_cast<std::size_t>(length), static_cast<std::size_t>(length));
        read = static_cast<bool>(buffer);
    }
    while (read && got < length) {
        ssize_t n = ::pread(fd, static_cast<char*>(buffer.data) + got, length - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            read = false;
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    if (fd >= 0) ::close(fd);
    JSCValue* results = jsc_context_get_value(ctx, platform::kBridgeResultsFunction);
    JSCValue* bytes = results && jsc_value_is_object(results) ? jsc_value_object_get_property(results, "bytes") : nullptr;
    if (bytes && jsc_value_is_function(bytes)) {
        // A read that failed answers as bytes that are not of the form.
        JSCValue* value = read ? JSC_VALUE(g_object_ref(buffer.value)) : jsc_value_new_null(ctx);
        JSCValue* r = jsc_value_function_call(bytes, G_TYPE_STRING, callbackId, G_TYPE_INT, read ? status : badStatus,
                                              G_TYPE_INT, keep ? 1 : 0, G_TYPE_STRING, read ? form : "", G_TYPE_STRING, mime,
                                              G_TYPE_INT, badStatus, G_TYPE_INT, badMessage, JSC_TYPE_VALUE, value,
                                              G_TYPE_DOUBLE, static_cast<double>(got), G_TYPE_NONE);
        if (r) g_object_unref(r);
        g_object_unref(value);
        jsc_context_clear_exception(ctx);
    }
    if (bytes) g_object_unref(bytes);
    if (results) g_object_unref(results);
    buffers().give(frame, ctx, buffer);
    acknowledge(ack);
}

void deliverItems(WebKitWebPage* page, WebKitUserMessage* message, GVariant* params) {
    auto* frame = static_cast<WebKitFrame*>(g_object_get_data(G_OBJECT(page), kMainFrameKey));
    if (!frame) return;
    JSCContext* ctx = webkit_frame_get_js_context(frame);
    GVariant* items = g_variant_get_child_value(params, 0);
    const gsize count = g_variant_n_children(items);
    // Each item is handed over on its own; one may change the document, so each is decided on the
    // document shown when it is about to run. What is not handed over is dropped (the descriptors
    // close with the message).
    for (gsize i = 0; i < count; ++i) {
        if (!trusted(webkit_frame_get_uri(frame)) || !trusted(documentLocation(frame).c_str())) break;
        GVariant* boxed = g_variant_get_child_value(items, i);
        GVariant* item = g_variant_get_variant(boxed);
        if (g_variant_is_of_type(item, G_VARIANT_TYPE_STRING)) {
            gsize length = 0;
            const char* script = g_variant_get_string(item, &length);
            JSCValue* result = jsc_context_evaluate(ctx, script, static_cast<gssize>(length));
            if (result) g_object_unref(result);
            jsc_context_clear_exception(ctx);
        } else if (g_variant_is_of_type(item, G_VARIANT_TYPE(platform::kBridgeBytesType))) {
            deliverBytes(frame, ctx, message, item);
        }
        g_variant_unref(item);
        g_variant_unref(boxed);
    }
    g_variant_unref(items);
    g_object_unref(ctx);
}

// Writes the bytes held under the token into the view's descriptor; the count (or the negative
// error number) goes to the acknowledgement descriptor.
void writeHeld(WebKitUserMessage* message, GVariant* params) {
    const char* token = nullptr;
    gint32 dataHandle = -1, ackHandle = -1;
    g_variant_get(params, "(&shh)", &token, &dataHandle, &ackHandle);
    int fd = takeDescriptor(message, dataHandle);
    int ack = takeDescriptor(message, ackHandle);
    std::int64_t answer = -ENOENT;
    auto it = token ? held().find(token) : held().end();
    if (it != held().end()) {
        Held h = it->second;
        held().erase(it);  // used up, whatever happens now
        heldBytes -= h.buffer.capacity;
        std::size_t done = 0;
        if (fd < 0) {
            answer = -EBADF;
        } else if (writeAll(fd, static_cast<const char*>(h.buffer.data), h.size, done)) {
            answer = static_cast<std::int64_t>(done);
        } else {
            answer = errno ? -errno : -EIO;
        }
        giveBack(h);
    }
    if (fd >= 0) ::close(fd);
    if (ack >= 0) {
        std::size_t done = 0;
        writeAll(ack, reinterpret_cast<const char*>(&answer), sizeof answer, done);
        ::close(ack);
    }
}

void releaseHeld(GVariant* params) {
    const char* token = nullptr;
    g_variant_get(params, "(&s)", &token);
    auto it = token ? held().find(token) : held().end();
    if (it == held().end()) return;
    heldBytes -= it->second.buffer.capacity;
    giveBack(it->second);
    held().erase(it);
}

gboolean pageMessage(WebKitWebPage* page, WebKitUserMessage* message, gpointer) {
    const char* name = webkit_user_message_get_name(message);
    if (!name) return FALSE;
    GVariant* params = webkit_user_message_get_parameters(message);
    if (g_strcmp0(name, platform::kBridgeDeliverMessage) == 0) {
        if (params && g_variant_is_of_type(params, G_VARIANT_TYPE("(av)"))) deliverItems(page, message, params);
    } else if (g_strcmp0(name, platform::kBridgeWriteHeldMessage) == 0) {
        if (params && g_variant_is_of_type(params, G_VARIANT_TYPE("(shh)"))) writeHeld(message, params);
    } else if (g_strcmp0(name, platform::kBridgeReleaseHeldMessage) == 0) {
        if (params && g_variant_is_of_type(params, G_VARIANT_TYPE("(s)"))) releaseHeld(params);
    } else {
        return FALSE;
    }
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
        GVariantIter* slots = nullptr;
        if (g_variant_lookup(dict, platform::kBridgeBulkArgumentsKey, "a(ssu)", &slots)) {
            const char *service = nullptr, *action = nullptr;
            guint32 index = 0;
            while (g_variant_iter_next(slots, "(&s&su)", &service, &action, &index)) {
                config().bulkArguments.push_back({service, action, index});
            }
            g_variant_iter_free(slots);
        }
    }
    g_signal_connect(webkit_script_world_get_default(), "window-object-cleared", G_CALLBACK(windowObjectCleared), nullptr);
    g_signal_connect(extension, "page-created", G_CALLBACK(pageCreated), nullptr);
}
