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
#include <sys/socket.h>
#include <cstdint>
#include <unistd.h>
#include <JavaScriptCore/JavaScript.h>
#include <webkit2/webkit-web-extension.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/bridge_channel.h"
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

// The engine's values are reached through its C interface here: it costs a fraction of what the
// object wrappers cost on every call of the bridge.

// Array buffers for bytes on their way, made by the engine (a buffer over memory of our own is
// not allowed in a web process) and kept, per frame, for the next transfer once used: fresh
// memory is slow to touch for the first time, and large transfers come again. A frame's buffers
// go with its document.
struct Buffer {
    JSObjectRef object = nullptr;  // the array buffer, protected from the collector while here
    void* data = nullptr;
    std::size_t capacity = 0;
    explicit operator bool() const { return object != nullptr; }
};

class Buffers {
public:
    // A buffer of at least `size` bytes in the frame's script world, its first `touch` bytes
    // ready to be written.
    Buffer take(WebKitFrame* frame, JSGlobalContextRef ctx, std::size_t size, std::size_t touch) {
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
        if (!pool.ctx) pool.ctx = JSGlobalContextRetain(ctx);
        if (!pool.watched) {
            g_object_weak_ref(G_OBJECT(frame), &Buffers::frameGone, this);
            pool.watched = true;
        }
        std::size_t capacity = roundUp(size ? size : 1);
        JSValueRef exception = nullptr;
        JSObjectRef array = JSObjectMakeTypedArray(ctx, kJSTypedArrayTypeUint8Array, capacity, &exception);
        if (!array || exception) return {};
        Buffer b;
        b.object = JSObjectGetTypedArrayBuffer(ctx, array, &exception);
        if (!b.object || exception) return {};
        b.data = JSObjectGetArrayBufferBytesPtr(ctx, b.object, &exception);
        b.capacity = JSObjectGetArrayBufferByteLength(ctx, b.object, &exception);
        if (!b.data || exception || b.capacity < size) return {};
        JSValueProtect(ctx, b.object);
#ifdef MADV_POPULATE_WRITE
        // Touched at once, without a fault for every page.
        if (touch) {
            auto begin = (reinterpret_cast<std::uintptr_t>(b.data) + 4095) & ~std::uintptr_t(4095);
            auto end = (reinterpret_cast<std::uintptr_t>(b.data) + std::min(touch, b.capacity)) & ~std::uintptr_t(4095);
            if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
        }
#endif
        return b;
    }
    // Back for reuse in the frame, while it shows the same document.
    void give(WebKitFrame* frame, JSGlobalContextRef ctx, Buffer b) {
        if (!b) return;
        auto it = pools_.find(frame);
        if (it == pools_.end() || it->second.ctx != ctx || b.capacity > kKeep) return drop(ctx, b);
        Pool& pool = it->second;
        // The largest buffers are the ones worth keeping.
        while (!pool.free.empty() && pool.kept + b.capacity > kKeep) {
            auto smallest = std::min_element(pool.free.begin(), pool.free.end(),
                                             [](const Buffer& x, const Buffer& y) { return x.capacity < y.capacity; });
            if (smallest->capacity >= b.capacity) break;
            pool.kept -= smallest->capacity;
            drop(pool.ctx, *smallest);
            pool.free.erase(smallest);
        }
        if (pool.kept + b.capacity > kKeep) return drop(ctx, b);
        pool.free.push_back(b);
        pool.kept += b.capacity;
    }
    static void drop(JSGlobalContextRef ctx, Buffer& b) {
        if (b.object && ctx) JSValueUnprotect(ctx, b.object);
        b = {};
    }
    // The frame shows a new document: the buffers of the old one go.
    void documentChanged(WebKitFrame* frame) {
        auto it = pools_.find(frame);
        if (it != pools_.end()) clear(it->second);
    }

private:
    struct Pool {
        JSGlobalContextRef ctx = nullptr;  // retained
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
        for (auto& b : pool.free) drop(pool.ctx, b);
        pool.free.clear();
        pool.kept = 0;
        if (pool.ctx) JSGlobalContextRelease(pool.ctx);
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
    WebKitFrame* frame = nullptr;    // not a reference: only compared
    JSGlobalContextRef ctx = nullptr;  // retained while it holds a buffer
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
    if (h.ctx) JSGlobalContextRelease(h.ctx);
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
    JSValueRef (*call)(Entry&, JSContextRef, std::size_t, const JSValueRef[]);
};

void freeEntry(Entry* e) {
    g_object_unref(e->frame);
    g_weak_ref_clear(&e->page);
    delete e;
}

std::string validUTF8(std::string text) {
    if (g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) return text;
    char* fixed = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
    std::string out = fixed;
    g_free(fixed);
    return out;
}

std::string textOfString(JSStringRef s) {
    std::string out(JSStringGetMaximumUTF8CStringSize(s), '\0');
    std::size_t n = JSStringGetUTF8CString(s, out.data(), out.size());
    out.resize(n ? n - 1 : 0);
    return out;
}

std::optional<std::string> textOf(JSContextRef ctx, JSValueRef v) {
    if (!v || !JSValueIsString(ctx, v)) return std::nullopt;
    JSStringRef s = JSValueToStringCopy(ctx, v, nullptr);
    if (!s) return std::string();
    std::string out = validUTF8(textOfString(s));
    JSStringRelease(s);
    return out;
}

// Texts as they are, numbers in their script form, anything else absent.
std::optional<std::string> textOrNumberOf(JSContextRef ctx, JSValueRef v) {
    if (v && JSValueIsNumber(ctx, v)) {
        JSStringRef s = JSValueToStringCopy(ctx, v, nullptr);
        if (!s) return std::string();
        std::string out = textOfString(s);
        JSStringRelease(s);
        return out;
    }
    return textOf(ctx, v);
}

JSValueRef argAt(std::size_t count, const JSValueRef args[], std::size_t i) { return i < count ? args[i] : nullptr; }

double numberAt(JSContextRef ctx, std::size_t count, const JSValueRef args[], std::size_t i, double fallback) {
    JSValueRef v = argAt(count, args, i);
    return v && JSValueIsNumber(ctx, v) ? JSValueToNumber(ctx, v, nullptr) : fallback;
}

std::size_t sizeOf(const Fields& fields) {
    std::size_t total = 0;
    for (const auto& f : fields) total += f ? f->size() : 0;
    return total;
}

// ---- the page's channel ----

// A page's own channel to the view (platform/bridge_channel.h), made as its main frame gets a
// trusted document and announced again at each one; it lives as long as the page.
struct PageChannel {
    std::unique_ptr<platform::BridgeChannel> channel;
    int peer = -1;  // the view's end, kept to announce again
    std::string name;
    ~PageChannel() {
        channel.reset();
        if (peer >= 0) ::close(peer);
    }
};
constexpr const char* kChannelKey = "kivano-channel";

PageChannel* channelOf(WebKitWebPage* page) { return static_cast<PageChannel*>(g_object_get_data(G_OBJECT(page), kChannelKey)); }

bool handleMessage(WebKitWebPage* page, const char* name, GVariant* params, GUnixFDList* fds);

void announceChannel(WebKitWebPage* page) {
    PageChannel* c = channelOf(page);
    if (!c || !c->channel || !c->channel->isOpen()) {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
        static unsigned serial = 0;
        c = new PageChannel;
        c->peer = pair[1];
        c->name = std::to_string(::getpid()) + "." + std::to_string(webkit_web_page_get_id(page)) + "." + std::to_string(++serial);
        c->channel = std::make_unique<platform::BridgeChannel>(
            pair[0], platform::kBridgeChannelWebPriority,
            [page](const std::string& kind, GVariant* params, GUnixFDList* fds) { handleMessage(page, kind.c_str(), params, fds); },
            [page] { g_object_set_data(G_OBJECT(page), kChannelKey, nullptr); });
        g_object_set_data_full(G_OBJECT(page), kChannelKey, c, [](gpointer p) { delete static_cast<PageChannel*>(p); });
    }
    GUnixFDList* fds = g_unix_fd_list_new();
    gint32 handle = g_unix_fd_list_append(fds, c->peer, nullptr);
    if (handle < 0) {
        g_object_unref(fds);
        return;
    }
    WebKitUserMessage* message =
        webkit_user_message_new_with_fd_list(platform::kBridgeChannelMessage, g_variant_new("(sh)", c->name.c_str(), handle), fds);
    g_object_unref(fds);
    webkit_web_page_send_message_to_view(page, message, nullptr, nullptr, nullptr);
}

// To the view through the page's channel while it is open, else as an engine message.
void sendToView(WebKitWebPage* page, const char* name, GVariant* params) {
    PageChannel* c = channelOf(page);
    GVariant* p = g_variant_ref_sink(params);
    if (!c || !c->channel || !c->channel->send(name, p)) {
        webkit_web_page_send_message_to_view(page, webkit_user_message_new(name, p), nullptr, nullptr, nullptr);
    }
    g_variant_unref(p);
}

void send(Entry& e, const char* kind, const Fields& fields) {
    auto* page = static_cast<WebKitWebPage*>(g_weak_ref_get(&e.page));
    if (!page) return;
    const char* uri = webkit_frame_get_uri(e.frame);
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("ams"));
    for (const auto& f : fields) g_variant_builder_add(&b, "ms", f ? f->c_str() : nullptr);
    std::string name = std::string(platform::kBridgeMessagePrefix) + kind;
    sendToView(page, name.c_str(), g_variant_new("(sams)", uri ? uri : "", &b));
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
JSValueRef nativeExec(Entry& e, JSContextRef ctx, std::size_t n, const JSValueRef args[]) {
    Held h = pending;
    pending = {};
    JSValueRef undefined = JSValueMakeUndefined(ctx);
    if (!frameTrusted(e)) return giveBack(h), undefined;
    auto callbackId = textOf(ctx, argAt(n, args, 0));
    JSValueRef unwritable = argAt(n, args, 6);
    if (unwritable && JSValueToBoolean(ctx, unwritable)) {
        giveBack(h);
        refuse(e, "exec", callbackId, "the arguments cannot be written as JSON");
        return undefined;
    }
    Fields fields{callbackId, textOf(ctx, argAt(n, args, 1)), textOf(ctx, argAt(n, args, 2)), textOf(ctx, argAt(n, args, 3))};
    double heldIndex = numberAt(ctx, n, args, 4, -1), heldSize = numberAt(ctx, n, args, 5, 0);
    std::string token;
    if (heldIndex >= 0 && h.buffer && h.frame == e.frame && heldSize >= 0 && heldSize <= static_cast<double>(h.buffer.capacity)) {
        token = newToken();
        if (token.empty()) {
            giveBack(h);
            refuse(e, "exec", callbackId, "no random token for the bytes");
            return undefined;
        }
        fields.emplace_back(std::to_string(static_cast<long long>(heldIndex)) + " " + token + " " +
                            std::to_string(static_cast<unsigned long long>(heldSize)));
    } else {
        giveBack(h);
    }
    if (!sendBounded(e, "exec", fields, callbackId)) return giveBack(h), undefined;
    if (!token.empty()) {
        h.size = static_cast<std::size_t>(heldSize);
        heldBytes += h.buffer.capacity;
        held()[token] = h;
    }
    return undefined;
}

// allocate(size, likely): an array buffer of at least `size` bytes for the call about to be made;
// null when the bytes held would grow beyond the limit.
JSValueRef nativeAllocate(Entry& e, JSContextRef ctx, std::size_t n, const JSValueRef args[]) {
    giveBack(pending);
    double size = numberAt(ctx, n, args, 0, -1), likely = numberAt(ctx, n, args, 1, 0);
    if (!frameTrusted(e) || size < static_cast<double>(platform::kBridgeBulkBytes) ||
        size > static_cast<double>(platform::kBridgeMaxHeldBytes) ||
        heldBytes + static_cast<std::size_t>(size) > platform::kBridgeMaxHeldBytes) {
        return JSValueMakeNull(ctx);
    }
    JSGlobalContextRef global = JSContextGetGlobalContext(ctx);
    auto bytes = static_cast<std::size_t>(size);
    Buffer b = buffers().take(e.frame, global, bytes, likely > 0 && likely < size ? static_cast<std::size_t>(likely) : bytes);
    if (!b) return JSValueMakeNull(ctx);
    pending = Held{e.frame, JSGlobalContextRetain(global), b, 0};
    return b.object;
}

// console(operation, text)
JSValueRef nativeConsole(Entry& e, JSContextRef ctx, std::size_t n, const JSValueRef args[]) {
    if (frameTrusted(e)) sendBounded(e, "console", {textOf(ctx, argAt(n, args, 0)), textOf(ctx, argAt(n, args, 1))}, std::nullopt);
    return JSValueMakeUndefined(ctx);
}

// error(sourceURL, line, message)
JSValueRef nativeError(Entry& e, JSContextRef ctx, std::size_t n, const JSValueRef args[]) {
    if (frameTrusted(e)) {
        sendBounded(e, "error",
                    {textOf(ctx, argAt(n, args, 0)), textOrNumberOf(ctx, argAt(n, args, 1)), textOf(ctx, argAt(n, args, 2))},
                    std::nullopt);
    }
    return JSValueMakeUndefined(ctx);
}

// The class of the native functions: each object carries its Entry.
JSClassRef nativeFunctionClass() {
    static JSClassRef cls = [] {
        JSClassDefinition d = kJSClassDefinitionEmpty;
        d.className = "NativeFunction";
        d.callAsFunction = [](JSContextRef ctx, JSObjectRef function, JSObjectRef, std::size_t n, const JSValueRef args[],
                              JSValueRef*) -> JSValueRef {
            auto* e = static_cast<Entry*>(JSObjectGetPrivate(function));
            return e ? e->call(*e, ctx, n, args) : JSValueMakeUndefined(ctx);
        };
        d.finalize = [](JSObjectRef object) {
            if (auto* e = static_cast<Entry*>(JSObjectGetPrivate(object))) freeEntry(e);
        };
        return JSClassCreate(&d);
    }();
    return cls;
}

void setProperty(JSContextRef ctx, JSObjectRef object, const char* name, JSValueRef value) {
    JSStringRef n = JSStringCreateWithUTF8CString(name);
    JSObjectSetProperty(ctx, object, n, value, kJSPropertyAttributeNone, nullptr);
    JSStringRelease(n);
}

JSValueRef property(JSContextRef ctx, JSObjectRef object, const char* name) {
    JSStringRef n = JSStringCreateWithUTF8CString(name);
    JSValueRef v = JSObjectGetProperty(ctx, object, n, nullptr);
    JSStringRelease(n);
    return v;
}

void reportException(JSContextRef ctx, JSValueRef exception, const char* what) {
    if (!exception) return;
    JSStringRef s = JSValueToStringCopy(ctx, exception, nullptr);
    std::fprintf(stderr, "Page bridge: %s: %s\n", what, s ? textOfString(s).c_str() : "");
    if (s) JSStringRelease(s);
}

void windowObjectCleared(WebKitScriptWorld* world, WebKitWebPage* page, WebKitFrame* frame, gpointer) {
    buffers().documentChanged(frame);
    if (webkit_frame_is_main_frame(frame)) {
        g_object_set_data_full(G_OBJECT(page), kMainFrameKey, g_object_ref(frame), g_object_unref);
    }
    if (config().script.empty() || !trusted(webkit_frame_get_uri(frame))) return;
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    JSGlobalContextRef ctx = webkit_frame_get_javascript_context_for_script_world(frame, world);
    G_GNUC_END_IGNORE_DEPRECATIONS
    if (!ctx) return;
    JSValueRef exception = nullptr;
    JSStringRef source = JSStringCreateWithUTF8CString(config().script.c_str());
    JSValueRef install = JSEvaluateScript(ctx, source, nullptr, nullptr, 1, &exception);
    JSStringRelease(source);
    if (!install || exception || !JSValueIsObject(ctx, install) ||
        !JSObjectIsFunction(ctx, JSValueToObject(ctx, install, nullptr))) {
        reportException(ctx, exception, "the bridge script did not evaluate to a function");
        return;
    }
    JSObjectRef native = JSObjectMake(ctx, nullptr, nullptr);
    struct Function {
        const char* name;
        JSValueRef (*call)(Entry&, JSContextRef, std::size_t, const JSValueRef[]);
    };
    for (const Function& f : {Function{"exec", nativeExec}, Function{"console", nativeConsole},
                              Function{"error", nativeError}, Function{"allocate", nativeAllocate}}) {
        auto* e = new Entry{WEBKIT_FRAME(g_object_ref(frame)), {}, f.call};
        g_weak_ref_init(&e->page, page);
        setProperty(ctx, native, f.name, JSObjectMake(ctx, nativeFunctionClass(), e));
    }
    std::vector<JSValueRef> slots;
    for (const auto& a : config().bulkArguments) {
        JSStringRef service = JSStringCreateWithUTF8CString(a.service.c_str());
        JSStringRef action = JSStringCreateWithUTF8CString(a.action.c_str());
        JSValueRef slot[] = {JSValueMakeString(ctx, service), JSValueMakeString(ctx, action), JSValueMakeNumber(ctx, a.index)};
        JSStringRelease(service);
        JSStringRelease(action);
        slots.push_back(JSObjectMakeArray(ctx, 3, slot, nullptr));
    }
    setProperty(ctx, native, "bulk", JSObjectMakeArray(ctx, slots.size(), slots.data(), nullptr));
    setProperty(ctx, native, "bulkBytes", JSValueMakeNumber(ctx, static_cast<double>(platform::kBridgeBulkBytes)));
    JSValueRef argument = native;
    JSObjectCallAsFunction(ctx, JSValueToObject(ctx, install, nullptr), nullptr, 1, &argument, &exception);
    reportException(ctx, exception, "the bridge script failed");
    if (webkit_frame_is_main_frame(frame)) announceChannel(page);
}

// ---- what the view sends ----

// The location the document itself reports; a page script cannot change what it says.
std::string documentLocation(WebKitFrame* frame) {
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    JSGlobalContextRef ctx = webkit_frame_get_javascript_global_context(frame);
    G_GNUC_END_IGNORE_DEPRECATIONS
    if (!ctx) return {};
    JSValueRef location = property(ctx, JSContextGetGlobalObject(ctx), "location");
    if (!location || !JSValueIsObject(ctx, location)) return {};
    JSValueRef href = property(ctx, JSValueToObject(ctx, location, nullptr), "href");
    if (!href || !JSValueIsString(ctx, href)) return {};
    JSStringRef text = JSValueToStringCopy(ctx, href, nullptr);
    if (!text) return {};
    std::string out = textOfString(text);
    JSStringRelease(text);
    return out;
}

// A descriptor of the message, as a copy of our own (-1 when there is none).
int takeDescriptor(GUnixFDList* list, gint32 handle) {
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
void deliverBytes(WebKitFrame* frame, JSGlobalContextRef ctx, GUnixFDList* message, GVariant* item) {
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
    JSValueRef results = property(ctx, JSContextGetGlobalObject(ctx), platform::kBridgeResultsFunction);
    JSObjectRef resultsObject = results && JSValueIsObject(ctx, results) ? JSValueToObject(ctx, results, nullptr) : nullptr;
    JSValueRef bytes = resultsObject ? property(ctx, resultsObject, "bytes") : nullptr;
    JSObjectRef bytesFunction = bytes && JSValueIsObject(ctx, bytes) ? JSValueToObject(ctx, bytes, nullptr) : nullptr;
    if (bytesFunction && JSObjectIsFunction(ctx, bytesFunction)) {
        auto text = [&](const char* t) {
            JSStringRef s = JSStringCreateWithUTF8CString(t ? t : "");
            JSValueRef v = JSValueMakeString(ctx, s);
            JSStringRelease(s);
            return v;
        };
        // A read that failed answers as bytes that are not of the form.
        JSValueRef args[] = {text(callbackId),
                             JSValueMakeNumber(ctx, read ? status : badStatus),
                             JSValueMakeNumber(ctx, keep ? 1 : 0),
                             text(read ? form : ""),
                             text(mime),
                             JSValueMakeNumber(ctx, badStatus),
                             JSValueMakeNumber(ctx, badMessage),
                             read ? static_cast<JSValueRef>(buffer.object) : JSValueMakeNull(ctx),
                             JSValueMakeNumber(ctx, static_cast<double>(got))};
        JSObjectCallAsFunction(ctx, bytesFunction, resultsObject, 9, args, nullptr);
    }
    buffers().give(frame, ctx, buffer);
    acknowledge(ack);
}

void deliverItems(WebKitWebPage* page, GUnixFDList* message, GVariant* params) {
    auto* frame = static_cast<WebKitFrame*>(g_object_get_data(G_OBJECT(page), kMainFrameKey));
    if (!frame) return;
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    JSGlobalContextRef ctx = webkit_frame_get_javascript_global_context(frame);
    G_GNUC_END_IGNORE_DEPRECATIONS
    if (!ctx) return;
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
            JSStringRef script = JSStringCreateWithUTF8CString(g_variant_get_string(item, nullptr));
            JSEvaluateScript(ctx, script, nullptr, nullptr, 1, nullptr);
            JSStringRelease(script);
        } else if (g_variant_is_of_type(item, G_VARIANT_TYPE(platform::kBridgeBytesType))) {
            deliverBytes(frame, ctx, message, item);
        }
        g_variant_unref(item);
        g_variant_unref(boxed);
    }
    g_variant_unref(items);
}

// Writes the bytes held under the token into the view's descriptor; the count (or the negative
// error number) goes to the acknowledgement descriptor.
void writeHeld(GUnixFDList* message, GVariant* params) {
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

bool handleMessage(WebKitWebPage* page, const char* name, GVariant* params, GUnixFDList* fds) {
    if (g_strcmp0(name, platform::kBridgeDeliverMessage) == 0) {
        if (params && g_variant_is_of_type(params, G_VARIANT_TYPE("(av)"))) deliverItems(page, fds, params);
    } else if (g_strcmp0(name, platform::kBridgeWriteHeldMessage) == 0) {
        if (params && g_variant_is_of_type(params, G_VARIANT_TYPE("(shh)"))) writeHeld(fds, params);
    } else if (g_strcmp0(name, platform::kBridgeReleaseHeldMessage) == 0) {
        if (params && g_variant_is_of_type(params, G_VARIANT_TYPE("(s)"))) releaseHeld(params);
    } else {
        return false;
    }
    return true;
}

gboolean pageMessage(WebKitWebPage* page, WebKitUserMessage* message, gpointer) {
    const char* name = webkit_user_message_get_name(message);
    if (!name) return FALSE;
    return handleMessage(page, name, webkit_user_message_get_parameters(message), webkit_user_message_get_fd_list(message));
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
