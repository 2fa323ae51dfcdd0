#include "platform/pagebridge/wire.h"

#include <glib.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

namespace platform::pagebridge {

namespace {

// Message names and parameter types. Engine messages carry the "bridge." prefix: the engine's
// channel is shared with nothing else, but a name says whose message it is.
constexpr const char* kCallName = "call";
constexpr const char* kCallType = "(msmsmsmsm(ust))";
constexpr const char* kConsoleName = "console";
constexpr const char* kConsoleType = "(msms)";
constexpr const char* kErrorName = "error";
constexpr const char* kErrorType = "(msmsms)";
constexpr const char* kRefusalName = "refused";
constexpr const char* kRefusalType = "(smss)";
constexpr const char* kDeliveryName = "deliver";
constexpr const char* kDeliveryType = "(av)";
constexpr const char* kScriptType = "s";
constexpr const char* kScriptInDescriptorType = "(ht)";
constexpr const char* kBytesType = "(sibssiihtth)";
constexpr const char* kWriteHeldName = "held.write";
constexpr const char* kWriteHeldType = "(shh)";
constexpr const char* kReleaseHeldName = "held.release";
constexpr const char* kReleaseHeldType = "(s)";
constexpr const char* kAdmitName = "bridge.admit";
constexpr const char* kAdmitType = "(s)";
constexpr const char* kChannelOpenName = "bridge.channel";
constexpr const char* kChannelOpenType = "(sh)";

constexpr const char* kPrefixKey = "trusted-prefix";  // "ay", NUL-terminated
constexpr const char* kScriptKey = "script";          // "s"
constexpr const char* kConsoleKey = "console";        // "b"
constexpr const char* kBulkKey = "bulk-arguments";    // "a(ssu)"

bool is(GVariant* v, const char* type) { return v && g_variant_is_of_type(v, G_VARIANT_TYPE(type)); }

// A text as a GVariant string; text that is not UTF-8 (or holds a NUL) is made valid.
GVariant* text(const std::string& s) {
    if (g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr)) {
        return g_variant_new_take_string(g_strndup(s.data(), s.size()));
    }
    return g_variant_new_take_string(g_utf8_make_valid(s.data(), static_cast<gssize>(s.size())));
}

GVariant* maybeText(const std::optional<std::string>& s) {
    return g_variant_new_maybe(G_VARIANT_TYPE_STRING, s ? text(*s) : nullptr);
}

std::string textOf(GVariant* v) {
    gsize length = 0;
    const char* chars = g_variant_get_string(v, &length);
    return std::string(chars, length);
}

std::string childText(GVariant* tuple, gsize i) {
    g_autoptr(GVariant) c = g_variant_get_child_value(tuple, i);
    return textOf(c);
}

std::optional<std::string> childMaybeText(GVariant* tuple, gsize i) {
    g_autoptr(GVariant) c = g_variant_get_child_value(tuple, i);
    g_autoptr(GVariant) inner = g_variant_get_maybe(c);
    if (!inner) return std::nullopt;
    return textOf(inner);
}

}  // namespace

// ---- descriptors ----

std::int32_t OutgoingFds::add(int fd) {
    if (fd < 0) return -1;
    fds.push_back(fd);
    return static_cast<std::int32_t>(fds.size() - 1);
}

ReceivedFds::~ReceivedFds() {
    for (int fd : fds_) {
        if (fd >= 0) ::close(fd);
    }
}

int ReceivedFds::take(std::int32_t position) {
    if (position < 0 || static_cast<std::size_t>(position) >= fds_.size()) return -1;
    int fd = fds_[static_cast<std::size_t>(position)];
    fds_[static_cast<std::size_t>(position)] = -1;
    return fd;
}

// ---- web process to program ----

std::size_t textBytes(const PageMessage& message) {
    auto size = [](const std::optional<std::string>& s) { return s ? s->size() : 0; };
    return std::visit(
        [&](const auto& m) -> std::size_t {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, Call>) {
                return size(m.callbackId) + size(m.service) + size(m.action) + size(m.arguments);
            } else if constexpr (std::is_same_v<T, Console>) {
                return size(m.operation) + size(m.text);
            } else if constexpr (std::is_same_v<T, ScriptError>) {
                return size(m.sourceURL) + size(m.line) + size(m.message);
            } else {
                return m.kind.size() + size(m.callbackId) + m.why.size();
            }
        },
        message);
}

Encoded encode(const PageMessage& message) {
    return std::visit(
        [](const auto& m) -> Encoded {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, Call>) {
                GVariant* held = m.held ? g_variant_new("(ust)", static_cast<guint32>(m.held->index), m.held->token.c_str(),
                                                        static_cast<guint64>(m.held->size))
                                        : nullptr;
                GVariant* fields[] = {maybeText(m.callbackId), maybeText(m.service), maybeText(m.action),
                                      maybeText(m.arguments), g_variant_new_maybe(G_VARIANT_TYPE("(ust)"), held)};
                return {kCallName, g_variant_new_tuple(fields, 5)};
            } else if constexpr (std::is_same_v<T, Console>) {
                GVariant* fields[] = {maybeText(m.operation), maybeText(m.text)};
                return {kConsoleName, g_variant_new_tuple(fields, 2)};
            } else if constexpr (std::is_same_v<T, ScriptError>) {
                GVariant* fields[] = {maybeText(m.sourceURL), maybeText(m.line), maybeText(m.message)};
                return {kErrorName, g_variant_new_tuple(fields, 3)};
            } else {
                GVariant* fields[] = {text(m.kind), maybeText(m.callbackId), text(m.why)};
                return {kRefusalName, g_variant_new_tuple(fields, 3)};
            }
        },
        message);
}

std::optional<PageMessage> decodePageMessage(const std::string& name, GVariant* p) {
    if (name == kCallName && is(p, kCallType)) {
        Call c{childMaybeText(p, 0), childMaybeText(p, 1), childMaybeText(p, 2), childMaybeText(p, 3), std::nullopt};
        g_autoptr(GVariant) held = g_variant_get_child_value(p, 4);
        if (g_autoptr(GVariant) h = g_variant_get_maybe(held)) {
            const char* token = nullptr;
            guint32 index = 0;
            guint64 size = 0;
            g_variant_get(h, "(u&st)", &index, &token, &size);
            c.held = HeldBytes{index, token, size};
        }
        return c;
    }
    if (name == kConsoleName && is(p, kConsoleType)) return Console{childMaybeText(p, 0), childMaybeText(p, 1)};
    if (name == kErrorName && is(p, kErrorType)) return ScriptError{childMaybeText(p, 0), childMaybeText(p, 1), childMaybeText(p, 2)};
    if (name == kRefusalName && is(p, kRefusalType)) return Refusal{childText(p, 0), childMaybeText(p, 1), childText(p, 2)};
    return std::nullopt;
}

// ---- program to web process ----

Encoded encode(const ProgramMessage& message, OutgoingFds& fds) {
    return std::visit(
        [&](const auto& m) -> Encoded {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, Delivery>) {
                GVariantBuilder b;
                g_variant_builder_init(&b, G_VARIANT_TYPE("av"));
                for (const DeliveryItem& item : m.items) {
                    if (const auto* s = std::get_if<Script>(&item)) {
                        g_variant_builder_add(&b, "v", text(s->text));
                    } else if (const auto* d = std::get_if<ScriptInDescriptor>(&item)) {
                        g_variant_builder_add(&b, "v", g_variant_new(kScriptInDescriptorType, fds.add(d->fd),
                                                                     static_cast<guint64>(d->length)));
                    } else {
                        const PageBytes& p = std::get<PageBytes>(item);
                        const std::int32_t data = fds.add(p.fd);
                        const std::int32_t ack = fds.add(p.ackFd);
                        GVariant* fields[] = {text(p.callbackId),
                                              g_variant_new_int32(p.status),
                                              g_variant_new_boolean(p.keep),
                                              text(p.form),
                                              text(p.mimeType),
                                              g_variant_new_int32(p.invalidStatus),
                                              g_variant_new_int32(p.invalidMessage),
                                              g_variant_new_handle(data),
                                              g_variant_new_uint64(p.offset),
                                              g_variant_new_uint64(p.length),
                                              g_variant_new_handle(ack)};
                        g_variant_builder_add(&b, "v", g_variant_new_tuple(fields, 11));
                    }
                }
                return {kDeliveryName, g_variant_new("(av)", &b)};
            } else if constexpr (std::is_same_v<T, WriteHeld>) {
                const std::int32_t data = fds.add(m.fd);
                const std::int32_t ack = fds.add(m.ackFd);
                return {kWriteHeldName, g_variant_new(kWriteHeldType, m.token.c_str(), data, ack)};
            } else {
                return {kReleaseHeldName, g_variant_new(kReleaseHeldType, m.token.c_str())};
            }
        },
        message);
}

std::optional<ProgramMessage> decodeProgramMessage(const std::string& name, GVariant* p, ReceivedFds& fds) {
    if (name == kDeliveryName && is(p, kDeliveryType)) {
        Delivery d;
        g_autoptr(GVariant) items = g_variant_get_child_value(p, 0);
        const gsize count = g_variant_n_children(items);
        d.items.reserve(count);
        for (gsize i = 0; i < count; ++i) {
            g_autoptr(GVariant) boxed = g_variant_get_child_value(items, i);
            g_autoptr(GVariant) item = g_variant_get_variant(boxed);
            if (is(item, kScriptType)) {
                d.items.push_back(Script{textOf(item)});
            } else if (is(item, kScriptInDescriptorType)) {
                gint32 handle = -1;
                guint64 length = 0;
                g_variant_get(item, kScriptInDescriptorType, &handle, &length);
                d.items.push_back(ScriptInDescriptor{fds.take(handle), length});
            } else if (is(item, kBytesType)) {
                const char *callbackId = nullptr, *form = nullptr, *mime = nullptr;
                gint32 status = 0, badStatus = 0, badMessage = 0, data = -1, ack = -1;
                gboolean keep = FALSE;
                guint64 offset = 0, length = 0;
                g_variant_get(item, "(&sib&s&siihtth)", &callbackId, &status, &keep, &form, &mime, &badStatus, &badMessage,
                              &data, &offset, &length, &ack);
                PageBytes b;
                b.callbackId = callbackId;
                b.status = status;
                b.keep = keep;
                b.form = form;
                b.mimeType = mime;
                b.invalidStatus = badStatus;
                b.invalidMessage = badMessage;
                b.fd = fds.take(data);
                b.offset = offset;
                b.length = length;
                b.ackFd = fds.take(ack);
                d.items.push_back(std::move(b));
            }
        }
        return d;
    }
    if (name == kWriteHeldName && is(p, kWriteHeldType)) {
        const char* token = nullptr;
        gint32 data = -1, ack = -1;
        g_variant_get(p, "(&shh)", &token, &data, &ack);
        return WriteHeld{token, fds.take(data), fds.take(ack)};
    }
    if (name == kReleaseHeldName && is(p, kReleaseHeldType)) {
        const char* token = nullptr;
        g_variant_get(p, "(&s)", &token);
        return ReleaseHeld{token};
    }
    return std::nullopt;
}

void closeDescriptors(ProgramMessage& message) {
    auto close = [](int& fd) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    };
    if (auto* d = std::get_if<Delivery>(&message)) {
        for (auto& item : d->items) {
            if (auto* s = std::get_if<ScriptInDescriptor>(&item)) close(s->fd);
            if (auto* b = std::get_if<PageBytes>(&item)) {
                close(b->fd);
                close(b->ackFd);
            }
        }
    } else if (auto* w = std::get_if<WriteHeld>(&message)) {
        close(w->fd);
        close(w->ackFd);
    }
}

// ---- engine messages ----

Encoded encode(const Admit& message) { return {kAdmitName, g_variant_new(kAdmitType, message.token.c_str())}; }

std::optional<Admit> decodeAdmit(const std::string& name, GVariant* p) {
    if (name != kAdmitName || !is(p, kAdmitType)) return std::nullopt;
    return Admit{childText(p, 0)};
}

Encoded encode(const ChannelOpen& message, OutgoingFds& fds) {
    return {kChannelOpenName, g_variant_new(kChannelOpenType, message.token.c_str(), fds.add(message.fd))};
}

std::optional<ChannelOpen> decodeChannelOpen(const std::string& name, GVariant* p, ReceivedFds& fds) {
    if (name != kChannelOpenName || !is(p, kChannelOpenType)) return std::nullopt;
    const char* token = nullptr;
    gint32 handle = -1;
    g_variant_get(p, "(&sh)", &token, &handle);
    return ChannelOpen{token, fds.take(handle)};
}

// ---- start data ----

GVariant* encode(const StartData& data) {
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&b, "{sv}", kPrefixKey, g_variant_new_bytestring(data.trustedPrefix.c_str()));
    g_variant_builder_add(&b, "{sv}", kScriptKey, text(data.script));
    g_variant_builder_add(&b, "{sv}", kConsoleKey, g_variant_new_boolean(data.publishConsole));
    GVariantBuilder bulk;
    g_variant_builder_init(&bulk, G_VARIANT_TYPE("a(ssu)"));
    for (const auto& a : data.bulkArguments) {
        g_variant_builder_add(&bulk, "(ssu)", a.service.c_str(), a.action.c_str(), static_cast<guint32>(a.index));
    }
    g_variant_builder_add(&b, "{sv}", kBulkKey, g_variant_builder_end(&bulk));
    return g_variant_builder_end(&b);
}

StartData decodeStartData(GVariant* dict) {
    StartData d;
    if (!is(dict, "a{sv}")) return d;
    const char* s = nullptr;
    if (g_variant_lookup(dict, kPrefixKey, "^&ay", &s)) d.trustedPrefix = s;
    if (g_variant_lookup(dict, kScriptKey, "&s", &s)) d.script = s;
    gboolean console = TRUE;
    if (g_variant_lookup(dict, kConsoleKey, "b", &console)) d.publishConsole = console;
    g_autoptr(GVariantIter) slots = nullptr;
    if (g_variant_lookup(dict, kBulkKey, "a(ssu)", &slots)) {
        const char *service = nullptr, *action = nullptr;
        guint32 index = 0;
        while (g_variant_iter_next(slots, "(&s&su)", &service, &action, &index)) d.bulkArguments.push_back({service, action, index});
    }
    return d;
}

// ---- shared decisions ----

std::string newToken() {
    unsigned char bits[16];
    std::size_t got = 0;
    while (got < sizeof bits) {
        ssize_t n = ::getrandom(bits + got, sizeof bits - got, 0);
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

bool isToken(const std::string& text) {
    return text.size() == 32 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

static bool decide(const std::string& url, const std::string& prefix) {
    std::string bare = url.substr(0, url.find_first_of("?#"));
    g_autofree char* unescaped = g_uri_unescape_string(bare.c_str(), nullptr);
    if (!unescaped) return false;
    std::string plain = unescaped;
    if (plain.rfind(prefix, 0) != 0) return false;
    if (plain.find("/../") != std::string::npos) return false;
    return !(plain.size() >= 3 && plain.compare(plain.size() - 3, 3, "/..") == 0);
}

bool pageURLHasPrefix(const std::string& url, const std::string& prefix) {
    if (prefix.empty()) return false;
    // Asked for the same document again and again (every call, every delivery): the last answer
    // of this thread is kept.
    thread_local std::string lastURL, lastPrefix;
    thread_local bool lastAnswer = false;
    if (url == lastURL && prefix == lastPrefix && !url.empty()) return lastAnswer;
    lastAnswer = decide(url, prefix);
    lastURL = url;
    lastPrefix = prefix;
    return lastAnswer;
}

}  // namespace platform::pagebridge
