// The web-process half of the page bridge, loaded into every web process of the program's web
// view. It decides natively, frame by frame, whether a frame's document is one of the
// application's own (its URL has the trusted prefix): only there, when the frame's script window
// is set up and before any script of the document runs, does the page-world script get its native
// entry object; each call through it checks the frame again. The page's own world never holds
// anything that opens the bridge to another frame.
//
// The program decides for itself which document may talk to it: once its main frame has committed
// an application document, it admits this page with a token (wire.h, Admit). Only then does the
// page get its channel, announced with that token; everything the page sends waits for it, in
// order, and goes nowhere else. What the program delivers runs in the main frame only while the
// document shown there is trusted, decided here, where documents change.
//
// Bytes go outside the messages where there are many of them: the bytes of a call's argument at a
// bulk position stay here under a random single-use token until the program hands over a
// descriptor to write them into; bytes for the page arrive as a descriptor range, read here and
// given to the page world's results function. Descriptors come only from the program and are never
// seen by a script; this process opens no file itself.
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>
#include <JavaScriptCore/JavaScript.h>
#include <webkit2/webkit-web-extension.h>

#include <algorithm>
#include <deque>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/fd_io.h"
#include "platform/pagebridge/channel.h"
#include "platform/pagebridge/wire.h"

namespace {

namespace wire = platform::pagebridge;

wire::StartData& config() {
    static wire::StartData c;
    return c;
}

constexpr const char* kMainFrameKey = "kivano-main-frame";
// Priority of the channel's main-loop sources here: the engine's own messages'.
constexpr int kChannelPriority = 100;
// Longest callback identifier repeated in a refusal.
constexpr std::size_t kMaxRefusedIdBytes = 1024;

bool trusted(const char* url) { return url && wire::pageURLHasPrefix(url, config().trustedPrefix); }

// ---- memory for bytes ----

// The engine's values are reached through its C interface here: it costs a fraction of what the
// object wrappers cost on every call of the bridge.

// Array buffers for bytes on their way, made by the engine (a buffer over memory of our own is
// not allowed in a web process), one per transfer and kept by none. Fresh memory is slow to touch
// page by page, so a buffer's memory is asked for in large pages and touched at once before the
// bytes go in; once they have gone on, its memory goes back to the system at once, without
// waiting for the collector to find the buffer unused.
struct Buffer {
    JSObjectRef object = nullptr;  // the array buffer, protected from the collector while here
    void* data = nullptr;
    std::size_t capacity = 0;
    explicit operator bool() const { return object != nullptr; }
};

// The whole units (pages, large pages) inside [data, data + size).
void advise(void* data, std::size_t size, std::uintptr_t unit, int advice) {
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + unit - 1) & ~(unit - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(unit - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, advice);
}
constexpr std::uintptr_t kPageBytes = 4096, kLargePageBytes = std::uintptr_t(2) << 20;

// A buffer of at least `size` bytes in the script world of `ctx`, its first `touch` bytes ready
// to be written.
Buffer takeBuffer(JSGlobalContextRef ctx, std::size_t size, std::size_t touch) {
    JSValueRef exception = nullptr;
    JSObjectRef array = JSObjectMakeTypedArray(ctx, kJSTypedArrayTypeUint8Array, size ? size : 1, &exception);
    if (!array || exception) return {};
    Buffer b;
    b.object = JSObjectGetTypedArrayBuffer(ctx, array, &exception);
    if (!b.object || exception) return {};
    b.data = JSObjectGetArrayBufferBytesPtr(ctx, b.object, &exception);
    b.capacity = JSObjectGetArrayBufferByteLength(ctx, b.object, &exception);
    if (!b.data || exception || b.capacity < size) return {};
    JSValueProtect(ctx, b.object);
    touch = std::min(touch, b.capacity);
#ifdef MADV_HUGEPAGE
    advise(b.data, touch, kLargePageBytes, MADV_HUGEPAGE);
#endif
#ifdef MADV_POPULATE_WRITE
    advise(b.data, touch, kPageBytes, MADV_POPULATE_WRITE);
#endif
    return b;
}

// Buffers from this size on give their memory back as soon as their bytes have gone on; smaller
// ones keep it warm for the engine's next use, until the collector frees them.
constexpr std::size_t kReleaseFromBytes = 4u << 20;

// The buffer's bytes are not needed any more: a large buffer's memory goes back now (the buffer
// reads as zeros from then on).
void releaseMemory(const Buffer& b) {
    if (b && b.capacity >= kReleaseFromBytes) advise(b.data, b.capacity, kPageBytes, MADV_DONTNEED);
}

// The buffer goes: its memory now, the object to the collector.
void dropBuffer(JSGlobalContextRef ctx, Buffer& b) {
    releaseMemory(b);
    if (b && ctx) JSValueUnprotect(ctx, b.object);
    b = {};
}

// ---- collection after large transfers ----

// A large transfer leaves the page's copies of the bytes behind (the Base64 text a library made,
// the text it was handed, the buffers of the transfer before): the collector, left to itself,
// frees them long after, and memory grows by many times the bytes. Once as many bytes as this have
// gone either way, the page's world is collected: after bytes for the page, as soon as the web
// process is idle, that is after the page's own handling of them; after the page's bytes went to
// a file, a moment later, so that the page's answer and its next transfer do not wait for it.
constexpr std::size_t kCollectAfterBytes = 8u << 20;
constexpr unsigned kCollectAfterWriteMs = 500;

// The engine's synchronous collections, of everything and of what is new; exported by the engine
// though not in its public headers. Without them, only a hint that memory was let go.
extern "C" void JSSynchronousGarbageCollectForDebugging(JSContextRef) __attribute__((weak));
extern "C" void JSSynchronousEdenCollectForDebugging(JSContextRef) __attribute__((weak));

class Collection {
public:
    // The copies a page library made for a large write (its Base64 text) are new and unused once
    // the bytes are in the file: a collection of what is new frees them at little cost, while the
    // program syncs the file.
    static void afterWrite(JSGlobalContextRef ctx, std::size_t bytes) {
        if (bytes >= kReleaseFromBytes && ctx && JSSynchronousEdenCollectForDebugging) {
            JSSynchronousEdenCollectForDebugging(ctx);
        }
    }
    enum class When { Idle, Later };
    void transferred(JSGlobalContextRef ctx, std::size_t bytes, When when) {
        moved_ += bytes;
        if (moved_ < kCollectAfterBytes || !ctx) return;
        if (ctx_ && ctx_ != ctx) run();
        if (!ctx_) ctx_ = JSGlobalContextRetain(ctx);
        // A second source may be added for an earlier time; whichever comes first collects.
        if (when == When::Idle && !idle_) {
            idle_ = true;
            g_idle_add_full(G_PRIORITY_LOW, &Collection::onIdle, this, nullptr);
        } else if (when == When::Later && !later_) {
            later_ = true;
            g_timeout_add_full(G_PRIORITY_LOW, kCollectAfterWriteMs, &Collection::onLater, this, nullptr);
        }
    }

private:
    static gboolean onIdle(gpointer self) {
        auto* c = static_cast<Collection*>(self);
        c->idle_ = false;
        c->run();
        return G_SOURCE_REMOVE;
    }
    static gboolean onLater(gpointer self) {
        auto* c = static_cast<Collection*>(self);
        c->later_ = false;
        c->run();
        return G_SOURCE_REMOVE;
    }
    void run() {
        if (!ctx_) return;
        moved_ = 0;
        if (JSSynchronousGarbageCollectForDebugging) {
            JSSynchronousGarbageCollectForDebugging(ctx_);
        } else {
            JSGarbageCollect(ctx_);
        }
        JSGlobalContextRelease(ctx_);
        ctx_ = nullptr;
    }
    JSGlobalContextRef ctx_ = nullptr;  // retained while a collection is due
    std::size_t moved_ = 0;
    bool idle_ = false, later_ = false;  // sources waiting
};

Collection& collection() {
    static Collection c;
    return c;
}

// The buffer whose bytes the page world's results function is being handed.
const Buffer* delivering = nullptr;

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
    dropBuffer(h.ctx, h.buffer);
    if (h.ctx) JSGlobalContextRelease(h.ctx);
    h = {};
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
    g_autofree char* fixed = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
    return fixed;
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

// ---- the page's channel ----

// A page's way to the program: the channel of the document its main frame shows, made when the
// program admits that document. Until then what the page sends waits here, in order, up to a
// bound; a new document in the main frame closes the channel, and what waited for it goes.
struct PageEnd {
    std::unique_ptr<wire::Channel> channel;
    std::deque<wire::PageMessage> waiting;
    std::size_t waitingBytes = 0;
    bool warned = false;
    static constexpr std::size_t kMaxWaitingBytes = 64u << 20;
    static constexpr std::size_t kRefusalBytes = 4u << 20;  // room for the refusals of what does not fit

    void documentChanged() {
        channel.reset();
        waiting.clear();
        waitingBytes = 0;
        warned = false;
    }
};
constexpr const char* kPageEndKey = "kivano-page-end";

PageEnd& pageEnd(WebKitWebPage* page) {
    auto* end = static_cast<PageEnd*>(g_object_get_data(G_OBJECT(page), kPageEndKey));
    if (!end) {
        end = new PageEnd;
        g_object_set_data_full(G_OBJECT(page), kPageEndKey, end, [](gpointer p) { delete static_cast<PageEnd*>(p); });
    }
    return *end;
}

bool handleMessage(WebKitWebPage* page, const std::string& name, GVariant* params, wire::ReceivedFds& fds);
void sendToProgram(WebKitWebPage* page, const wire::PageMessage& message);

// The program admitted the document shown: its channel opens, announced with the token, and what
// the page sent meanwhile goes first.
void admitted(WebKitWebPage* page, const wire::Admit& admit) {
    PageEnd& end = pageEnd(page);
    end.channel.reset();
    if (!trusted(webkit_web_page_get_uri(page)) || !wire::isToken(admit.token)) return;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
    wire::OutgoingFds fds;
    wire::Encoded e = wire::encode(wire::ChannelOpen{admit.token, pair[1]}, fds);
    g_autoptr(GUnixFDList) list = g_unix_fd_list_new_from_array(fds.fds.data(), static_cast<gint>(fds.fds.size()));  // takes pair[1]
    webkit_web_page_send_message_to_view(page, webkit_user_message_new_with_fd_list(e.name, e.params, list), nullptr, nullptr,
                                         nullptr);
    end.channel = std::make_unique<wire::Channel>(
        pair[0], kChannelPriority,
        [page](const std::string& name, GVariant* params, wire::ReceivedFds& fds) { handleMessage(page, name, params, fds); },
        [page] { pageEnd(page).channel.reset(); });
    std::deque<wire::PageMessage> waiting;
    waiting.swap(end.waiting);
    end.waitingBytes = 0;
    for (const auto& m : waiting) sendToProgram(page, m);
}

// A refusal of a call the page made, with its callback (when short enough to repeat).
wire::Refusal refusalOf(const char* kind, const std::optional<std::string>& callbackId, const std::string& why) {
    return {kind, callbackId && callbackId->size() <= kMaxRefusedIdBytes ? callbackId : std::nullopt, why};
}

// On the page's channel, or waiting for it; a message the channel cannot carry goes as a refusal.
void sendToProgram(WebKitWebPage* page, const wire::PageMessage& message) {
    PageEnd& end = pageEnd(page);
    if (!end.channel || !end.channel->isOpen()) {
        const std::size_t bytes = wire::textBytes(message);
        if (end.waitingBytes + bytes <= PageEnd::kMaxWaitingBytes) {
            end.waitingBytes += bytes;
            end.waiting.push_back(message);
        } else if (const auto* call = std::get_if<wire::Call>(&message);
                   call && end.waitingBytes < PageEnd::kMaxWaitingBytes + PageEnd::kRefusalBytes) {
            // Answered, once the channel is there.
            wire::Refusal refusal = refusalOf("call", call->callbackId, "the page's channel to the program is not open");
            end.waitingBytes += wire::textBytes(refusal);
            end.waiting.push_back(std::move(refusal));
        } else if (!end.warned) {
            end.warned = true;
            std::fprintf(stderr, "Page bridge: messages beyond %zu bytes dropped before the page's channel opened\n",
                         PageEnd::kMaxWaitingBytes);
        }
        return;
    }
    wire::Encoded e = wire::encode(message);
    g_autoptr(GVariant) params = g_variant_ref_sink(e.params);
    if (wire::Channel::fits(params, 0)) {
        end.channel->send({e.name, params});
    } else {
        // Too long for the channel: a call is answered so, anything else is said here.
        const std::string why = "a message of " + std::to_string(wire::textBytes(message)) +
                                " bytes is larger than the limit of " + std::to_string(wire::Channel::kMaxMessageBytes);
        if (const auto* call = std::get_if<wire::Call>(&message)) {
            end.channel->send(wire::encode(refusalOf("call", call->callbackId, why)));
        } else {
            std::fprintf(stderr, "Page bridge: %s, not sent\n", why.c_str());
        }
    }
}

void send(Entry& e, const wire::PageMessage& message) {
    g_autoptr(WebKitWebPage) page = static_cast<WebKitWebPage*>(g_weak_ref_get(&e.page));
    if (!page) return;
    sendToProgram(page, message);
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
        send(e, refusalOf("call", callbackId, "the arguments cannot be written as JSON"));
        return undefined;
    }
    wire::Call call{callbackId, textOf(ctx, argAt(n, args, 1)), textOf(ctx, argAt(n, args, 2)), textOf(ctx, argAt(n, args, 3)),
                    std::nullopt};
    double heldIndex = numberAt(ctx, n, args, 4, -1), heldSize = numberAt(ctx, n, args, 5, 0);
    if (heldIndex >= 0 && heldIndex < 4294967296.0 && h.buffer && h.frame == e.frame && heldSize >= 0 &&
        heldSize <= static_cast<double>(h.buffer.capacity)) {
        std::string token = wire::newToken();
        if (token.empty()) {
            giveBack(h);
            send(e, refusalOf("call", callbackId, "no random token for the bytes"));
            return undefined;
        }
        call.held = wire::HeldBytes{static_cast<std::uint32_t>(heldIndex), token, static_cast<std::uint64_t>(heldSize)};
        h.size = static_cast<std::size_t>(heldSize);
        heldBytes += h.buffer.capacity;
        held()[token] = h;
    } else {
        giveBack(h);
    }
    send(e, call);
    return undefined;
}

// allocate(size, likely): an array buffer of at least `size` bytes for the call about to be made;
// null when the bytes held would grow beyond the limit.
JSValueRef nativeAllocate(Entry& e, JSContextRef ctx, std::size_t n, const JSValueRef args[]) {
    giveBack(pending);
    double size = numberAt(ctx, n, args, 0, -1), likely = numberAt(ctx, n, args, 1, 0);
    if (!frameTrusted(e) || size < static_cast<double>(wire::kBulkBytes) || size > static_cast<double>(wire::kMaxHeldBytes) ||
        heldBytes + static_cast<std::size_t>(size) > wire::kMaxHeldBytes) {
        return JSValueMakeNull(ctx);
    }
    JSGlobalContextRef global = JSContextGetGlobalContext(ctx);
    auto bytes = static_cast<std::size_t>(size);
    Buffer b = takeBuffer(global, bytes, likely > 0 && likely < size ? static_cast<std::size_t>(likely) : bytes);
    if (!b) return JSValueMakeNull(ctx);
    pending = Held{e.frame, JSGlobalContextRetain(global), b, 0};
    return b.object;
}

// release(buffer): the page world has made the message from the bytes it is being handed; their
// memory goes back before the page library makes its own copy.
JSValueRef nativeRelease(Entry&, JSContextRef ctx, std::size_t n, const JSValueRef args[]) {
    JSValueRef v = argAt(n, args, 0);
    if (delivering && v && JSValueIsObject(ctx, v) && JSValueToObject(ctx, v, nullptr) == delivering->object) {
        releaseMemory(*delivering);
    }
    return JSValueMakeUndefined(ctx);
}

// console(operation, text)
JSValueRef nativeConsole(Entry& e, JSContextRef ctx, std::size_t n, const JSValueRef args[]) {
    if (frameTrusted(e)) send(e, wire::Console{textOf(ctx, argAt(n, args, 0)), textOf(ctx, argAt(n, args, 1))});
    return JSValueMakeUndefined(ctx);
}

// error(sourceURL, line, message)
JSValueRef nativeError(Entry& e, JSContextRef ctx, std::size_t n, const JSValueRef args[]) {
    if (frameTrusted(e)) {
        send(e, wire::ScriptError{textOf(ctx, argAt(n, args, 0)), textOrNumberOf(ctx, argAt(n, args, 1)),
                                  textOf(ctx, argAt(n, args, 2))});
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
    if (webkit_frame_is_main_frame(frame)) {
        g_object_set_data_full(G_OBJECT(page), kMainFrameKey, g_object_ref(frame), g_object_unref);
        // The previous document's channel and what waited for it go; the program admits this one.
        pageEnd(page).documentChanged();
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
                              Function{"error", nativeError}, Function{"allocate", nativeAllocate},
                              Function{"release", nativeRelease}}) {
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
    setProperty(ctx, native, "bulkBytes", JSValueMakeNumber(ctx, static_cast<double>(wire::kBulkBytes)));
    JSStringRef results = JSStringCreateWithUTF8CString(wire::kResultsFunction);
    setProperty(ctx, native, "resultsFunction", JSValueMakeString(ctx, results));
    JSStringRelease(results);
    setProperty(ctx, native, "publishConsole", JSValueMakeBoolean(ctx, config().publishConsole));
    JSValueRef argument = native;
    JSObjectCallAsFunction(ctx, JSValueToObject(ctx, install, nullptr), nullptr, 1, &argument, &exception);
    reportException(ctx, exception, "the bridge script failed");
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

void acknowledge(int fd) {
    if (fd < 0) return;
    char one = 1;
    ssize_t ignored = ::write(fd, &one, 1);
    (void)ignored;
    ::close(fd);
}

using platform::closeQuietly;

// Reads the range, has the page world's results function make the message from it and hand it
// to the page; acknowledges once that is done.
void deliverBytes(JSGlobalContextRef ctx, wire::PageBytes& item) {
    Buffer buffer;
    std::size_t got = 0;
    const std::uint64_t length = item.length;
    bool read = item.fd >= 0 && length <= wire::kMaxHeldBytes;
    if (read) {
        buffer = takeBuffer(ctx, static_cast<std::size_t>(length), static_cast<std::size_t>(length));
        read = static_cast<bool>(buffer);
    }
    if (read) {
        read = platform::readFullyAt(item.fd, buffer.data, static_cast<std::size_t>(length), got, item.offset) &&
               got == length;
    }
    closeQuietly(item.fd);
    JSValueRef results = property(ctx, JSContextGetGlobalObject(ctx), wire::kResultsFunction);
    JSObjectRef resultsObject = results && JSValueIsObject(ctx, results) ? JSValueToObject(ctx, results, nullptr) : nullptr;
    JSValueRef bytes = resultsObject ? property(ctx, resultsObject, "bytes") : nullptr;
    JSObjectRef bytesFunction = bytes && JSValueIsObject(ctx, bytes) ? JSValueToObject(ctx, bytes, nullptr) : nullptr;
    if (bytesFunction && JSObjectIsFunction(ctx, bytesFunction)) {
        auto text = [&](const std::string& t) {
            JSStringRef s = JSStringCreateWithUTF8CString(t.c_str());
            JSValueRef v = JSValueMakeString(ctx, s);
            JSStringRelease(s);
            return v;
        };
        // A read that failed answers as bytes that are not of the form.
        JSValueRef args[] = {text(item.callbackId),
                             JSValueMakeNumber(ctx, read ? item.status : item.invalidStatus),
                             JSValueMakeNumber(ctx, item.keep ? 1 : 0),
                             text(read ? item.form : ""),
                             text(item.mimeType),
                             JSValueMakeNumber(ctx, item.invalidStatus),
                             JSValueMakeNumber(ctx, item.invalidMessage),
                             read ? static_cast<JSValueRef>(buffer.object) : JSValueMakeNull(ctx),
                             JSValueMakeNumber(ctx, static_cast<double>(got))};
        delivering = read ? &buffer : nullptr;
        JSObjectCallAsFunction(ctx, bytesFunction, resultsObject, 9, args, nullptr);
        delivering = nullptr;
    }
    dropBuffer(ctx, buffer);
    acknowledge(item.ackFd);
    item.ackFd = -1;
    collection().transferred(ctx, got, Collection::When::Idle);
}

// A script that came in a descriptor: its text, read whole, or nothing.
std::optional<std::string> scriptText(wire::ScriptInDescriptor& item) {
    std::string text;
    if (item.fd < 0 || item.length > wire::kMaxHeldBytes) return std::nullopt;
    text.resize(static_cast<std::size_t>(item.length));
    std::size_t got = 0;
    if (!platform::readFullyAt(item.fd, text.data(), text.size(), got, 0) || got < text.size()) return std::nullopt;
    closeQuietly(item.fd);
    return text;
}

void evaluate(JSGlobalContextRef ctx, const std::string& text) {
    JSStringRef script = JSStringCreateWithUTF8CString(text.c_str());
    JSEvaluateScript(ctx, script, nullptr, nullptr, 1, nullptr);
    JSStringRelease(script);
}

void deliverItems(WebKitWebPage* page, wire::Delivery& delivery) {
    auto* frame = static_cast<WebKitFrame*>(g_object_get_data(G_OBJECT(page), kMainFrameKey));
    if (!frame) return;
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    JSGlobalContextRef ctx = webkit_frame_get_javascript_global_context(frame);
    G_GNUC_END_IGNORE_DEPRECATIONS
    if (!ctx) return;
    // Each item is handed over on its own; one may change the document, so each is decided on the
    // document shown when it is about to run. What is not handed over is dropped (its descriptors
    // close with the message).
    for (auto& item : delivery.items) {
        if (!trusted(webkit_frame_get_uri(frame)) || !trusted(documentLocation(frame).c_str())) break;
        if (auto* s = std::get_if<wire::Script>(&item)) {
            evaluate(ctx, s->text);
        } else if (auto* d = std::get_if<wire::ScriptInDescriptor>(&item)) {
            if (auto text = scriptText(*d)) evaluate(ctx, *text);
        } else {
            deliverBytes(ctx, std::get<wire::PageBytes>(item));
        }
    }
}

// Writes the bytes held under the token into the program's descriptor; the count (or the
// negative error number) goes to the acknowledgement descriptor.
void writeHeld(const wire::WriteHeld& request) {
    std::int64_t answer = -ENOENT;
    JSGlobalContextRef ctx = nullptr;
    std::size_t written = 0;
    auto it = held().find(request.token);
    if (it != held().end()) {
        Held h = it->second;
        held().erase(it);  // used up, whatever happens now
        heldBytes -= h.buffer.capacity;
        std::size_t done = 0;
        if (request.fd < 0) {
            answer = -EBADF;
        } else if (writeAll(request.fd, static_cast<const char*>(h.buffer.data), h.size, done)) {
            answer = static_cast<std::int64_t>(done);
        } else {
            answer = errno ? -errno : -EIO;
        }
        written = done;
        if (h.ctx) ctx = JSGlobalContextRetain(h.ctx);
        giveBack(h);
    }
    if (request.ackFd >= 0) {
        std::size_t done = 0;
        writeAll(request.ackFd, reinterpret_cast<const char*>(&answer), sizeof answer, done);
    }
    if (ctx) {
        Collection::afterWrite(ctx, written);
        collection().transferred(ctx, written, Collection::When::Later);
        JSGlobalContextRelease(ctx);
    }
}

void releaseHeld(const wire::ReleaseHeld& request) {
    auto it = held().find(request.token);
    if (it == held().end()) return;
    heldBytes -= it->second.buffer.capacity;
    giveBack(it->second);
    held().erase(it);
}

// What the program sends on the page's channel.
bool handleMessage(WebKitWebPage* page, const std::string& name, GVariant* params, wire::ReceivedFds& fds) {
    auto message = wire::decodeProgramMessage(name, params, fds);
    if (!message) return false;
    if (auto* d = std::get_if<wire::Delivery>(&*message)) {
        deliverItems(page, *d);
    } else if (auto* w = std::get_if<wire::WriteHeld>(&*message)) {
        writeHeld(*w);
    } else {
        releaseHeld(std::get<wire::ReleaseHeld>(*message));
    }
    wire::closeDescriptors(*message);
    return true;
}

// The program's one message through the engine: the document shown is admitted.
gboolean pageMessage(WebKitWebPage* page, WebKitUserMessage* message, gpointer) {
    const char* name = webkit_user_message_get_name(message);
    auto admit = name ? wire::decodeAdmit(name, webkit_user_message_get_parameters(message)) : std::nullopt;
    if (!admit) return FALSE;
    admitted(page, *admit);
    return TRUE;
}

void pageCreated(WebKitWebExtension*, WebKitWebPage* page, gpointer) {
    g_signal_connect(page, "user-message-received", G_CALLBACK(pageMessage), nullptr);
}

}  // namespace

extern "C" G_MODULE_EXPORT void webkit_web_extension_initialize_with_user_data(WebKitWebExtension* extension,
                                                                               const GVariant* data) {
    config() = wire::decodeStartData(const_cast<GVariant*>(data));
    g_signal_connect(webkit_script_world_get_default(), "window-object-cleared", G_CALLBACK(windowObjectCleared), nullptr);
    g_signal_connect(extension, "page-created", G_CALLBACK(pageCreated), nullptr);
}
