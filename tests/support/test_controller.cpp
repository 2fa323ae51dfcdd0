#include "tests/support/test_controller.h"

#include <libsoup/soup.h>
#include <sys/socket.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "platform/value.h"

namespace testctl {

std::string hexOf(const std::string& text) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string hmacSha1Hex(const std::string& key, const std::string& message) {
    g_autoptr(GHmac) h = g_hmac_new(G_CHECKSUM_SHA1, reinterpret_cast<const guchar*>(key.data()), key.size());
    g_hmac_update(h, reinterpret_cast<const guchar*>(message.data()), static_cast<gssize>(message.size()));
    return g_hmac_get_string(h);
}

namespace {

void appendBigEndian(std::string& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xFF);
}

void appendChunk(std::string& png, const char* type, const std::string& data) {
    appendBigEndian(png, static_cast<std::uint32_t>(data.size()));
    std::string typed = std::string(type, 4) + data;
    png += typed;
    appendBigEndian(png, static_cast<std::uint32_t>(
                             crc32(0, reinterpret_cast<const Bytef*>(typed.data()), static_cast<uInt>(typed.size()))));
}

}  // namespace

std::string blackPNG(unsigned width, unsigned height) {
    std::string header;
    appendBigEndian(header, width);
    appendBigEndian(header, height);
    header += std::string("\x01\x00\x00\x00\x00", 5);  // bit depth 1, greyscale, deflate, no filter, no interlace
    // Rows of a filter byte and zero bits, deflated row by row: the raw picture is never held.
    std::string row(1 + (width + 7) / 8, '\0');
    std::string compressed;
    z_stream z{};
    deflateInit(&z, Z_BEST_COMPRESSION);
    char out[65536];
    for (unsigned y = 0; y <= height; ++y) {
        bool last = y == height;
        z.next_in = reinterpret_cast<Bytef*>(last ? nullptr : row.data());
        z.avail_in = last ? 0 : static_cast<uInt>(row.size());
        do {
            z.next_out = reinterpret_cast<Bytef*>(out);
            z.avail_out = sizeof out;
            deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
            compressed.append(out, sizeof out - z.avail_out);
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    std::string png("\x89PNG\r\n\x1a\n", 8);
    appendChunk(png, "IHDR", header);
    appendChunk(png, "IDAT", compressed);
    appendChunk(png, "IEND", "");
    return png;
}

static std::string unhex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return out;
}

struct Padding {
    std::size_t totalBytes = 0;
    bool declareLength = false;
};

struct TestController::State {
    // settings
    mutable std::mutex mutex;
    std::string serial = kSerial;
    std::string user = kUser;
    std::string password = kPassword;
    double keyDelay = 0;
    double commandDelay = 0;
    std::optional<std::string> keyValue;
    std::optional<std::string> keyText;
    std::optional<Answer> keyAnswer;
    std::optional<std::string> redirect;
    std::optional<Answer> commandAnswer;
    Padding keyPadding;
    Padding commandPadding;
    bool resetCommands = false;
    bool holdKeys = false;
    bool holdCommands = false;
    // observations
    std::atomic<std::size_t> bodyBytesWritten{0};
    int keyRequests = 0;
    int rejected = 0;
    std::vector<std::string> commands;
    std::set<GSocket*> openSockets;  // of connections that carried a request
    std::set<std::string> issuedKeys;  // raw key texts not used yet

    // server thread
    Family family = Family::IPv4;
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    SoupServer* server = nullptr;
    std::thread thread;
    int port = 0;
    bool running = false;
    std::set<GSource*> pending;  // delayed answers (server thread only)
    struct Held {
        SoupServerMessage* msg;  // paused, referenced
        Answer answer;
        Padding padding;
        bool key;
    };
    std::vector<Held> held;  // held answers (server thread only)

    void runOnServer(std::function<void()> fn) {
        std::promise<void> done;
        auto future = done.get_future();
        struct Job {
            std::function<void()> fn;
            std::promise<void>* done;
        };
        g_main_context_invoke(
            context,
            [](gpointer p) -> gboolean {
                auto* job = static_cast<Job*>(p);
                job->fn();
                job->done->set_value();
                delete job;
                return G_SOURCE_REMOVE;
            },
            new Job{std::move(fn), &done});
        future.wait();
    }

    static void countWritten(SoupServerMessage*, guint size, gpointer data) {
        static_cast<State*>(data)->bodyBytesWritten += size;
    }

    void respond(SoupServerMessage* msg, const Answer& a, Padding padding = {}) {
        soup_server_message_set_status(msg, static_cast<guint>(a.status), nullptr);
        SoupMessageHeaders* h = soup_server_message_get_response_headers(msg);
        if (a.contentType) soup_message_headers_replace(h, "Content-Type", a.contentType->c_str());
        g_signal_connect(msg, "wrote-body-data", G_CALLBACK(&State::countWritten), this);
        SoupMessageBody* body = soup_server_message_get_response_body(msg);
        soup_message_body_append(body, SOUP_MEMORY_COPY, a.body.data(), a.body.size());
        if (padding.totalBytes <= a.body.size()) return;
        if (padding.declareLength) {
            soup_message_headers_set_content_length(h, static_cast<goffset>(padding.totalBytes));
        } else {
            soup_message_headers_set_encoding(h, SOUP_ENCODING_CHUNKED);
        }
        // Written pieces are dropped, so the padding is never held whole.
        soup_message_body_set_accumulate(body, FALSE);
        static const std::string blanks(65536, ' ');
        for (std::size_t left = padding.totalBytes - a.body.size(); left > 0;) {
            std::size_t n = std::min(left, blanks.size());
            soup_message_body_append(body, SOUP_MEMORY_STATIC, blanks.data(), n);
            left -= n;
        }
        soup_message_body_complete(body);
    }

    static std::string envelope(const std::string& control, const std::string& value, const std::string& code) {
        platform::Value v = {{"LL", {{"control", control}, {"value", value}, {"Code", code}}}};
        return v.dump();
    }

    void answerLater(SoupServerMessage* msg, double seconds, Answer a, Padding padding) {
        soup_server_message_pause(msg);
        g_object_ref(msg);
        // The context holds it while it is pending.
        g_autoptr(GSource) src = g_timeout_source_new(static_cast<guint>(seconds * 1000));
        struct Later {
            State* state;
            SoupServerMessage* msg;
            Answer answer;
            GSource* source;
            Padding padding;
        };
        auto* later = new Later{this, msg, std::move(a), src, padding};
        g_source_set_callback(
            src,
            [](gpointer p) -> gboolean {
                auto* l = static_cast<Later*>(p);
                l->state->respond(l->msg, l->answer, l->padding);
                soup_server_message_unpause(l->msg);
                l->state->pending.erase(l->source);
                return G_SOURCE_REMOVE;
            },
            later,
            [](gpointer p) {
                auto* l = static_cast<Later*>(p);
                g_object_unref(l->msg);
                delete l;
            });
        pending.insert(src);
        g_source_attach(src, context);
    }

    static void socketGone(gpointer data, GObject* socket) {
        auto* st = static_cast<State*>(data);
        std::lock_guard lock(st->mutex);
        st->openSockets.erase(reinterpret_cast<GSocket*>(socket));
    }

    void noteConnection(SoupServerMessage* msg) {
        GSocket* socket = soup_server_message_get_socket(msg);
        if (!socket) return;
        std::lock_guard lock(mutex);
        if (openSockets.insert(socket).second) g_object_weak_ref(G_OBJECT(socket), &State::socketGone, this);
    }

    // Drops the connection with a reset: nothing of an answer is written.
    static void resetConnection(SoupServerMessage* msg) {
        if (GSocket* socket = soup_server_message_get_socket(msg)) {
            struct linger now = {1, 0};
            setsockopt(g_socket_get_fd(socket), SOL_SOCKET, SO_LINGER, &now, sizeof now);
        }
        if (g_autoptr(GIOStream) stream = soup_server_message_steal_connection(msg)) g_io_stream_close(stream, nullptr, nullptr);
    }

    void handle(SoupServerMessage* msg) {
        noteConnection(msg);
        GUri* uri = soup_server_message_get_uri(msg);
        std::string path = g_uri_get_path(uri);
        const char* q = g_uri_get_query(uri);
        std::string query = q ? q : "";

        Answer answer;
        double delay = 0;
        Padding padding;
        bool reset = false;
        bool hold = false;
        if (path == "/bare") {
            answer = {200, "text/plain", "ok"};
        } else if (path == "/jdev/cfg/apiKey") {
            std::lock_guard lock(mutex);
            ++keyRequests;
            delay = keyDelay;
            hold = holdKeys;
            padding = keyPadding;
            if (redirect) {
                soup_server_message_set_redirect(msg, 302, ("http://" + *redirect + "/jdev/cfg/apiKey").c_str());
                return;
            }
            if (keyAnswer) {
                answer = *keyAnswer;
            } else {
                std::string keyHex;
                if (keyText) {
                    keyHex = *keyText;
                    issuedKeys.insert(unhex(keyHex));
                } else {
                    char raw[17];
                    for (int i = 0; i < 16; ++i) raw[i] = "0123456789ABCDEF"[g_random_int_range(0, 16)];
                    raw[16] = 0;
                    issuedKeys.insert(raw);
                    keyHex = hexOf(raw);
                }
                std::string value =
                    keyValue ? *keyValue : "{'snr':'" + serial + "','version':'10.2.3.4','key':'" + keyHex + "'}";
                answer = {200, "application/json", envelope("dev/cfg/apiKey", value, "200")};
            }
        } else {
            std::string full = path + (q ? "?" + query : "");
            auto at = query.rfind("auth=");
            std::string auth = at == std::string::npos ? "" : query.substr(at + 5);
            std::lock_guard lock(mutex);
            delay = commandDelay;
            hold = holdCommands;
            padding = commandPadding;
            std::string used;
            for (const auto& key : issuedKeys) {
                if (hmacSha1Hex(key, user + ":" + password) == auth) {
                    used = key;
                    break;
                }
            }
            std::string control = path.size() > 1 ? path.substr(1) : path;
            reset = resetCommands;
            if (used.empty()) {
                ++rejected;
                answer = {401, "application/json", envelope(control, "0", "401")};
            } else {
                issuedKeys.erase(used);
                commands.push_back(full);
                answer = commandAnswer ? *commandAnswer
                                       : Answer{200, "application/json", envelope(control, "1", "200")};
            }
        }
        if (reset) {
            resetConnection(msg);  // msg is gone afterwards
            return;
        }
        if (hold) {
            soup_server_message_pause(msg);
            g_object_ref(msg);
            held.push_back({msg, std::move(answer), padding, path == "/jdev/cfg/apiKey"});
            return;
        }
        if (delay > 0) {
            answerLater(msg, delay, std::move(answer), padding);
        } else {
            respond(msg, answer, padding);
        }
    }

    static void onRequest(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer data) {
        static_cast<State*>(data)->handle(msg);
    }

    void release(bool key) {
        std::vector<Held> keep;
        for (auto& h : std::exchange(held, {})) {
            if (h.key != key) {
                keep.push_back(std::move(h));
                continue;
            }
            respond(h.msg, h.answer, h.padding);
            soup_server_message_unpause(h.msg);
            g_object_unref(h.msg);
        }
        held = std::move(keep);
    }

    void shutdown() {
        for (auto& h : std::exchange(held, {})) g_object_unref(h.msg);
        for (GSource* s : std::set<GSource*>(pending)) g_source_destroy(s);
        pending.clear();
        if (server) {
            soup_server_disconnect(server);
            g_clear_object(&server);
        }
    }
};

TestController::TestController(Family family) : state_(std::make_shared<State>()) {
    State* st = state_.get();
    st->family = family;
    st->context = g_main_context_new();
    st->loop = g_main_loop_new(st->context, FALSE);
    std::promise<void> ready;
    auto future = ready.get_future();
    st->thread = std::thread([st, &ready] {
        g_main_context_push_thread_default(st->context);
        st->server = soup_server_new("server-header", "KivanoTestController ", nullptr);
        soup_server_add_handler(st->server, nullptr, &State::onRequest, st, nullptr);
        auto options = st->family == Family::IPv4 ? SOUP_SERVER_LISTEN_IPV4_ONLY : SOUP_SERVER_LISTEN_IPV6_ONLY;
        if (soup_server_listen_local(st->server, 0, options, nullptr)) {
            g_autoslist(GUri) uris = soup_server_get_uris(st->server);
            if (uris) st->port = g_uri_get_port(static_cast<GUri*>(uris->data));
            st->running = st->port > 0;
        }
        ready.set_value();
        g_main_loop_run(st->loop);
        g_main_context_pop_thread_default(st->context);
    });
    future.wait();
}

TestController::~TestController() {
    State* st = state_.get();
    st->runOnServer([st] {
        st->shutdown();
        g_main_loop_quit(st->loop);
    });
    st->thread.join();
    // Let sources released by the shutdown run their destroy functions.
    while (g_main_context_iteration(st->context, FALSE)) {
    }
    for (GSocket* socket : st->openSockets) g_object_weak_unref(G_OBJECT(socket), &State::socketGone, st);
    g_main_loop_unref(st->loop);
    g_main_context_unref(st->context);
}

bool TestController::running() const { return state_->running; }
int TestController::port() const { return state_->port; }
std::string TestController::host() const { return state_->family == Family::IPv4 ? "127.0.0.1" : "::1"; }
std::string TestController::address() const {
    std::string h = state_->family == Family::IPv4 ? "127.0.0.1" : "[::1]";
    return h + ":" + std::to_string(state_->port);
}

void TestController::setSerial(const std::string& snr) {
    std::lock_guard lock(state_->mutex);
    state_->serial = snr;
}
void TestController::setCredentials(const std::string& username, const std::string& password) {
    std::lock_guard lock(state_->mutex);
    state_->user = username;
    state_->password = password;
}
void TestController::setKeyDelay(double seconds) {
    std::lock_guard lock(state_->mutex);
    state_->keyDelay = seconds;
}
void TestController::setCommandDelay(double seconds) {
    std::lock_guard lock(state_->mutex);
    state_->commandDelay = seconds;
}
void TestController::holdKeyAnswers(bool on) {
    State* st = state_.get();
    {
        std::lock_guard lock(st->mutex);
        st->holdKeys = on;
    }
    if (!on) st->runOnServer([st] { st->release(true); });
}
void TestController::holdCommandAnswers(bool on) {
    State* st = state_.get();
    {
        std::lock_guard lock(st->mutex);
        st->holdCommands = on;
    }
    if (!on) st->runOnServer([st] { st->release(false); });
}
void TestController::setKeyValue(std::optional<std::string> valueText) {
    std::lock_guard lock(state_->mutex);
    state_->keyValue = std::move(valueText);
}
void TestController::setKeyText(std::optional<std::string> keyHex) {
    std::lock_guard lock(state_->mutex);
    state_->keyText = std::move(keyHex);
}
void TestController::setKeyAnswer(std::optional<Answer> answer) {
    std::lock_guard lock(state_->mutex);
    state_->keyAnswer = std::move(answer);
}
void TestController::redirectKeyTo(std::optional<std::string> address) {
    std::lock_guard lock(state_->mutex);
    state_->redirect = std::move(address);
}
void TestController::setCommandAnswer(std::optional<Answer> answer) {
    std::lock_guard lock(state_->mutex);
    state_->commandAnswer = std::move(answer);
}
void TestController::resetCommands(bool on) {
    std::lock_guard lock(state_->mutex);
    state_->resetCommands = on;
}
void TestController::padKeyAnswers(std::size_t totalBytes, bool declareLength) {
    std::lock_guard lock(state_->mutex);
    state_->keyPadding = {totalBytes, declareLength};
}
void TestController::padCommandAnswers(std::size_t totalBytes, bool declareLength) {
    std::lock_guard lock(state_->mutex);
    state_->commandPadding = {totalBytes, declareLength};
}
std::size_t TestController::bodyBytesWritten() const { return state_->bodyBytesWritten.load(); }

std::string TestController::addAddress() {
    State* st = state_.get();
    int port = 0;
    st->runOnServer([st, &port] {
        auto options = st->family == Family::IPv4 ? SOUP_SERVER_LISTEN_IPV4_ONLY : SOUP_SERVER_LISTEN_IPV6_ONLY;
        g_autoptr(GSList) before = soup_server_get_listeners(st->server);
        if (soup_server_listen_local(st->server, 0, options, nullptr)) {
            // The new listener's port, from the socket it listens on.
            g_autoptr(GSList) listeners = soup_server_get_listeners(st->server);
            for (GSList* l = listeners; l; l = l->next) {
                if (g_slist_find(before, l->data)) continue;
                if (g_autoptr(GSocketAddress) a = g_socket_get_local_address(G_SOCKET(l->data), nullptr))
                    port = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(a));
            }
        }
    });
    std::string h = st->family == Family::IPv4 ? "127.0.0.1" : "[::1]";
    return h + ":" + std::to_string(port);
}

void TestController::refuse() {
    State* st = state_.get();
    st->runOnServer([st] { st->shutdown(); });
}

int TestController::keyRequests() const {
    std::lock_guard lock(state_->mutex);
    return state_->keyRequests;
}
std::vector<std::string> TestController::commands() const {
    std::lock_guard lock(state_->mutex);
    return state_->commands;
}
int TestController::rejectedCommands() const {
    std::lock_guard lock(state_->mutex);
    return state_->rejected;
}
int TestController::commandRequests() const {
    std::lock_guard lock(state_->mutex);
    return static_cast<int>(state_->commands.size()) + state_->rejected;
}
int TestController::openConnections() const {
    State* st = state_.get();
    int open = 0;
    st->runOnServer([st, &open] {
        std::lock_guard lock(st->mutex);
        for (GSocket* socket : st->openSockets) {
            if (g_socket_is_closed(socket)) continue;
            // The server does not read an idle connection: a peek tells whether the client closed it.
            char c;
            ssize_t n = recv(g_socket_get_fd(socket), &c, 1, MSG_PEEK | MSG_DONTWAIT);
            if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) ++open;
        }
    });
    return open;
}

}  // namespace testctl
