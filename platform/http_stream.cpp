#include "platform/http_stream.h"

#include <gio/gio.h>
#include <libsoup/soup.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/http_gerror.h"

namespace platform {

// ---- multipart splitting ----

static std::string trimmed(const std::string& s) {
    auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    auto last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

static std::string lowered(std::string s) {
    for (char& c : s) c = static_cast<char>(g_ascii_tolower(c));
    return s;
}

MultipartSplitter::MultipartSplitter(std::string boundary) : declared_(std::move(boundary)) {
    if (!declared_.empty()) delimiter_ = "--" + declared_;
}

std::string MultipartSplitter::boundaryOf(const std::string& contentType) {
    std::size_t pos = contentType.find(';');
    while (pos != std::string::npos) {
        std::size_t next = contentType.find(';', pos + 1);
        std::string param = contentType.substr(pos + 1, next == std::string::npos ? std::string::npos : next - pos - 1);
        auto eq = param.find('=');
        if (eq != std::string::npos && lowered(trimmed(param.substr(0, eq))) == "boundary") {
            std::string value = trimmed(param.substr(eq + 1));
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
            return value;
        }
        pos = next;
    }
    return {};
}

bool MultipartSplitter::isDelimiterLine(const std::string& line, bool& closing) {
    auto matches = [&](const std::string& d) {
        if (d.empty()) return false;
        if (line == d) {
            closing = false;
            return true;
        }
        if (line == d + "--") {
            closing = true;
            return true;
        }
        return false;
    };
    if (matches(delimiter_)) return true;
    // A parameter that already carries the leading dashes.
    if (declared_.rfind("--", 0) == 0 && matches(declared_)) {
        delimiter_ = declared_;
        return true;
    }
    return false;
}

bool MultipartSplitter::feed(const std::uint8_t* bytes, std::size_t size, const Sink& sink) {
    if (state_ == State::Malformed) return false;
    pending_.append(reinterpret_cast<const char*>(bytes), size);
    while (step(sink)) {
    }
    return state_ != State::Malformed;
}

void MultipartSplitter::finish(const Sink& sink) {
    // A body that ends before its first delimiter is no multipart body.
    if (state_ == State::Preamble && preambleSeen_ + pending_.size() > 0) state_ = State::Malformed;
    if (state_ == State::Body && !pending_.empty() && sink.data)
        sink.data(reinterpret_cast<const std::uint8_t*>(pending_.data()), pending_.size());
    pending_.clear();
}

bool MultipartSplitter::step(const Sink& sink) {
    switch (state_) {
    case State::Preamble: {
        auto nl = pending_.find('\n');
        if (nl == std::string::npos) {
            if (preambleSeen_ + pending_.size() > kMaxPreamble) {
                state_ = State::Malformed;
                pending_.clear();
            }
            return false;
        }
        std::string line = trimmed(pending_.substr(0, nl));
        preambleSeen_ += nl + 1;
        pending_.erase(0, nl + 1);
        bool closing = false;
        if (isDelimiterLine(line, closing)) {
            state_ = closing ? State::Epilogue : State::Headers;
        } else if (line.size() > 2 && line.rfind("--", 0) == 0) {
            delimiter_ = line;  // the body's own delimiter differs from the declared one
            state_ = State::Headers;
        } else if (preambleSeen_ > kMaxPreamble) {
            state_ = State::Malformed;
            pending_.clear();
            return false;
        }
        headerBytes_ = 0;
        part_ = {};
        return true;
    }
    case State::Headers: {
        auto nl = pending_.find('\n');
        if (nl == std::string::npos) {
            if (headerBytes_ + pending_.size() > kMaxHeaderBlock) {
                state_ = State::Malformed;
                pending_.clear();
            }
            return false;
        }
        headerBytes_ += nl + 1;
        std::string line = pending_.substr(0, nl);
        pending_.erase(0, nl + 1);
        if (headerBytes_ > kMaxHeaderBlock) {
            state_ = State::Malformed;
            pending_.clear();
            return false;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) {
            state_ = State::Body;
            bodyStarted_ = false;
            if (sink.part) sink.part(part_);
            return true;
        }
        auto colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = lowered(trimmed(line.substr(0, colon)));
            std::string value = trimmed(line.substr(colon + 1));
            if (name == "content-type") {
                std::string type = trimmed(value.substr(0, value.find(';')));
                if (!type.empty()) part_.contentType = type;
            }
            part_.headers[name] = std::move(value);
        }
        return true;
    }
    case State::Body: {
        std::size_t at = std::string::npos;
        std::size_t end = 0;
        if (!bodyStarted_ && pending_.size() >= delimiter_.size() && pending_.compare(0, delimiter_.size(), delimiter_) == 0) {
            at = 0;  // an empty part
        } else {
            auto nl = pending_.find("\n" + delimiter_);
            if (nl != std::string::npos) {
                end = nl;
                if (end > 0 && pending_[end - 1] == '\r') --end;
                at = nl + 1;
            }
        }
        if (at == std::string::npos) {
            // Hold back only a tail that may begin the next delimiter, so a part's last bytes are
            // not kept waiting for the next part.
            std::size_t keep = 0;
            // (At the start of a part the delimiter itself may follow, for an empty part.)
            for (const std::string& lead :
                 {"\r\n" + delimiter_, "\n" + delimiter_, bodyStarted_ ? std::string() : delimiter_}) {
                for (std::size_t k = std::min(pending_.size(), lead.size()); k > keep; --k) {
                    if (pending_.compare(pending_.size() - k, k, lead, 0, k) == 0) {
                        keep = k;
                        break;
                    }
                }
            }
            if (pending_.size() > keep) {
                std::size_t n = pending_.size() - keep;
                bodyStarted_ = true;
                if (sink.data) sink.data(reinterpret_cast<const std::uint8_t*>(pending_.data()), n);
                pending_.erase(0, n);
            }
            return false;
        }
        if (end > 0) {
            bodyStarted_ = true;
            if (sink.data) sink.data(reinterpret_cast<const std::uint8_t*>(pending_.data()), end);
        }
        pending_.erase(0, at);
        state_ = State::AfterDelimiter;
        return true;
    }
    case State::AfterDelimiter: {
        // pending_ begins with the delimiter.
        std::size_t d = delimiter_.size();
        if (pending_.size() >= d + 2 && pending_.compare(d, 2, "--") == 0) {
            state_ = State::Epilogue;
            pending_.clear();
            return false;
        }
        auto nl = pending_.find('\n', d);
        if (nl == std::string::npos) {
            if (pending_.size() > d + 1024) {
                state_ = State::Malformed;
                pending_.clear();
            }
            return false;
        }
        pending_.erase(0, nl + 1);
        state_ = State::Headers;
        headerBytes_ = 0;
        part_ = {};
        return true;
    }
    case State::Epilogue:
        pending_.clear();
        return false;
    case State::Malformed:
        return false;
    }
    return false;
}

// ---- errors ----

static HttpErrorRef streamError(const GError* error, bool timedOut, const std::string& url) {
    HttpErrorRef base = urlErrorFromGError(error, timedOut, url);
    auto e = std::make_shared<HttpError>(*base);
    if (!timedOut && error && error->domain == SOUP_SESSION_ERROR &&
        (error->code == SOUP_SESSION_ERROR_PARSING || error->code == SOUP_SESSION_ERROR_ENCODING)) {
        e->code = kURLErrorCannotParseResponse;
        e->userInfo[kNSLocalizedDescriptionKey] = "cannot parse response";
    }
    if (!timedOut && error && error->domain == G_IO_ERROR) {
        int posix = 0;
        switch (error->code) {
        case G_IO_ERROR_CONNECTION_REFUSED: posix = 61; break;
        case G_IO_ERROR_HOST_UNREACHABLE: posix = 65; break;
        case G_IO_ERROR_NETWORK_UNREACHABLE: posix = 51; break;
        default: break;
        }
        if (posix != 0) {
            e->userInfo[kStreamErrorCodeKey] = posix;
            e->userInfo[kStreamErrorDomainKey] = 1;
        }
    }
    return e;
}

// ---- session ----

struct StreamSession::State {
    std::string label;
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    SoupSession* soup = nullptr;
    std::thread thread;
    std::thread::id threadId;

    std::mutex mutex;
    std::deque<Job> jobs;
    bool scheduled = false;
    std::vector<std::weak_ptr<HttpStream>> streams;

    static gboolean drain(gpointer data) {
        auto* st = static_cast<State*>(data);
        std::deque<Job> batch;
        {
            std::lock_guard lock(st->mutex);
            batch.swap(st->jobs);
            st->scheduled = false;
        }
        for (auto& job : batch) job();
        return G_SOURCE_REMOVE;
    }

    void post(Job job) {
        bool schedule = false;
        {
            std::lock_guard lock(mutex);
            jobs.push_back(std::move(job));
            if (!scheduled) scheduled = schedule = true;
        }
        if (schedule) {
            g_autoptr(GSource) src = g_idle_source_new();
            g_source_set_priority(src, G_PRIORITY_DEFAULT);
            g_source_set_callback(src, &State::drain, this, nullptr);
            g_source_attach(src, context);
        }
    }
};

std::shared_ptr<StreamSession> StreamSession::create(std::string label) {
    std::shared_ptr<StreamSession> s(new StreamSession);
    s->label_ = label;
    auto st = std::make_shared<State>();
    st->label = std::move(label);
    st->context = g_main_context_new();
    st->loop = g_main_loop_new(st->context, FALSE);
    std::promise<void> ready;
    auto started = ready.get_future();
    State* raw = st.get();
    st->thread = std::thread([raw, &ready] {
        g_main_context_push_thread_default(raw->context);
        raw->threadId = std::this_thread::get_id();
        raw->soup = soup_session_new_with_options("timeout", 0u, nullptr);
        ready.set_value();
        g_main_loop_run(raw->loop);
        // Let cancelled requests complete so that they release what they hold.
        soup_session_abort(raw->soup);
        for (int i = 0; i < 1000 && g_main_context_pending(raw->context); ++i) g_main_context_iteration(raw->context, FALSE);
        g_clear_object(&raw->soup);
        g_main_context_pop_thread_default(raw->context);
    });
    started.wait();
    s->state_ = std::move(st);
    return s;
}

StreamSession::~StreamSession() {
    cancelAllStreams();
    g_main_context_invoke(
        state_->context,
        [](gpointer loop) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        },
        state_->loop);
    if (state_->thread.joinable()) state_->thread.join();
    {
        std::lock_guard lock(state_->mutex);
        state_->jobs.clear();
    }
    g_main_loop_unref(state_->loop);
    g_main_context_unref(state_->context);
}

void StreamSession::async(Job job) { state_->post(std::move(job)); }

bool StreamSession::isSessionThread() const { return std::this_thread::get_id() == state_->threadId; }

void StreamSession::cancelAllStreams() {
    std::vector<std::shared_ptr<HttpStream>> live;
    {
        std::lock_guard lock(state_->mutex);
        for (auto& w : state_->streams)
            if (auto s = w.lock()) live.push_back(std::move(s));
        state_->streams.clear();
    }
    for (auto& s : live) s->cancel();
}

// ---- stream ----

struct HttpStream::Impl {
    GCancellable* cancellable = nullptr;
    SoupMessage* message = nullptr;
    GInputStream* body = nullptr;
    GSource* timer = nullptr;
    bool timedOut = false;
    HttpResponse response;
    std::unique_ptr<MultipartSplitter> splitter;

    using Ref = std::shared_ptr<HttpStream>;

    static SoupSession* soupOf(HttpStream& s) {
        auto st = s.session_.lock();
        return st ? st->soup : nullptr;
    }
    static GMainContext* contextOf(HttpStream& s) {
        auto st = s.session_.lock();
        return st ? st->context : nullptr;
    }

    static void disarm(HttpStream& s) {
        Impl& m = *s.impl_;
        if (m.timer) {
            g_source_destroy(m.timer);
            g_clear_pointer(&m.timer, g_source_unref);
        }
    }
    static gboolean onTimer(gpointer data) {
        auto& s = *static_cast<HttpStream*>(data);
        Impl& m = *s.impl_;
        m.timedOut = true;
        g_clear_pointer(&m.timer, g_source_unref);
        g_cancellable_cancel(m.cancellable);
        return G_SOURCE_REMOVE;
    }
    static void arm(HttpStream& s) {
        disarm(s);
        double seconds = s.idleTimeout_;
        GMainContext* ctx = contextOf(s);
        if (!(seconds > 0) || !std::isfinite(seconds) || !ctx) return;
        Impl& m = *s.impl_;
        m.timer = g_timeout_source_new(static_cast<guint>(std::ceil(seconds * 1000.0)));
        g_source_set_callback(m.timer, &Impl::onTimer, &s, nullptr);
        g_source_attach(m.timer, ctx);
    }

    static void cleanup(HttpStream& s) {
        Impl& m = *s.impl_;
        disarm(s);
        g_clear_object(&m.body);
        if (m.message) g_signal_handlers_disconnect_by_data(m.message, &s);
        g_clear_object(&m.message);
        m.splitter.reset();
    }

    static void fail(HttpStream& s, const HttpErrorRef& error) {
        if (!s.cancelled_) s.delegate_->didFailWithError(s, error);
        cleanup(s);
    }

    struct Origin {
        std::string host;
        int port;
    };
    static std::optional<Origin> originOf(GUri* uri) {
        if (!uri || !g_uri_get_host(uri)) return std::nullopt;
        int port = g_uri_get_port(uri);
        if (port <= 0) {
            const char* scheme = g_uri_get_scheme(uri);
            port = scheme && g_ascii_strcasecmp(scheme, "https") == 0 ? 443 : 80;
        }
        return Origin{g_uri_get_host(uri), port};
    }

    static gboolean onAuthenticate(SoupMessage* msg, SoupAuth* auth, gboolean retrying, gpointer data) {
        auto& s = *static_cast<HttpStream*>(data);
        if (s.cancelled_) return FALSE;
        HttpAuthChallenge challenge;
        if (const char* v = soup_auth_get_scheme_name(auth)) challenge.scheme = v;
        if (const char* v = soup_auth_get_realm(auth)) challenge.realm = v;
        challenge.forProxy = soup_auth_is_for_proxy(auth);
        challenge.previousFailureCount = retrying ? 1 : 0;
        // The server asking is the one the message goes to now, after redirects.
        auto asking = originOf(soup_message_get_uri(msg));
        if (asking) {
            challenge.host = asking->host;
            challenge.port = asking->port;
        }
        g_autoptr(GUri) requested = g_uri_parse(s.url_.c_str(), static_cast<GUriFlags>(SOUP_HTTP_URI_FLAGS), nullptr);
        auto wanted = originOf(requested);
        challenge.forRequestedHost = !challenge.forProxy && asking && wanted && asking->port == wanted->port &&
                                     g_ascii_strcasecmp(asking->host.c_str(), wanted->host.c_str()) == 0;
        if (!s.delegate_->canAuthenticateAgainstProtectionSpace(s, challenge)) return FALSE;
        auto credential = s.delegate_->didReceiveAuthenticationChallenge(s, challenge);
        if (!credential || s.cancelled_) return FALSE;
        soup_auth_authenticate(auth, credential->user.c_str(), credential->password.c_str());
        return TRUE;
    }

    static void begin(const Ref& self) {
        HttpStream& s = *self;
        Impl& m = *s.impl_;
        SoupSession* soup = soupOf(s);
        if (s.cancelled_ || !soup) return cleanup(s);
        m.message = httpURLParses(s.url_) ? soup_message_new(SOUP_METHOD_GET, s.url_.c_str()) : nullptr;
        if (!m.message) {
            return fail(s, makeHttpError(kNSURLErrorDomain, kURLErrorBadURL, "unsupported URL"));
        }
        SoupMessageHeaders* headers = soup_message_get_request_headers(m.message);
        soup_message_headers_replace(headers, "Accept", "*/*");
        soup_message_headers_replace(headers, "Cache-Control", "no-cache");
        soup_message_headers_replace(headers, "Pragma", "no-cache");
        if (!s.delegate_->connectionShouldUseCredentialStorage(s))
            soup_message_add_flags(m.message, SOUP_MESSAGE_DO_NOT_USE_AUTH_CACHE);
        g_signal_connect(m.message, "authenticate", G_CALLBACK(&Impl::onAuthenticate), &s);
        arm(s);
        soup_session_send_async(soup, m.message, G_PRIORITY_DEFAULT, m.cancellable,
                                reinterpret_cast<GAsyncReadyCallback>(&Impl::onSent), new Ref(self));
    }

    static void onSent(GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<Ref> ref(static_cast<Ref*>(data));
        HttpStream& s = **ref;
        Impl& m = *s.impl_;
        g_autoptr(GError) error = nullptr;
        g_autoptr(GInputStream) in = soup_session_send_finish(SOUP_SESSION(source), result, &error);
        disarm(s);
        if (s.cancelled_) return cleanup(s);
        if (!in) return fail(s, streamError(error, m.timedOut, s.url_));
        m.body = g_steal_pointer(&in);

        HttpResponse& r = m.response;
        if (GUri* uri = soup_message_get_uri(m.message)) {
            g_autofree char* text = g_uri_to_string(uri);
            r.url = text ? text : "";
            if (const char* host = g_uri_get_host(uri)) r.host = host;
            r.port = g_uri_get_port(uri);
        }
        r.statusCode = static_cast<int>(soup_message_get_status(m.message));
        std::string contentType;
        if (const char* header =
                soup_message_headers_get_one(soup_message_get_response_headers(m.message), "Content-Type")) {
            contentType = header;
            std::string type = trimmed(contentType.substr(0, contentType.find(';')));
            if (!type.empty()) r.mimeType = type;
        }
        s.delegate_->didReceiveResponse(s, r);
        if (s.cancelled_) return cleanup(s);
        if (r.mimeType && lowered(*r.mimeType) == "multipart/x-mixed-replace")
            m.splitter = std::make_unique<MultipartSplitter>(MultipartSplitter::boundaryOf(contentType));
        readNext(*ref);
    }

    static void readNext(const Ref& self) {
        HttpStream& s = *self;
        arm(s);
        g_input_stream_read_bytes_async(s.impl_->body, 65536, G_PRIORITY_DEFAULT, s.impl_->cancellable,
                                        reinterpret_cast<GAsyncReadyCallback>(&Impl::onRead), new Ref(self));
    }

    static void onRead(GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<Ref> ref(static_cast<Ref*>(data));
        HttpStream& s = **ref;
        Impl& m = *s.impl_;
        g_autoptr(GError) error = nullptr;
        g_autoptr(GBytes) bytes = g_input_stream_read_bytes_finish(G_INPUT_STREAM(source), result, &error);
        disarm(s);
        if (s.cancelled_) return cleanup(s);
        if (!bytes) return fail(s, streamError(error, m.timedOut, s.url_));
        gsize size = 0;
        const auto* p = static_cast<const std::uint8_t*>(g_bytes_get_data(bytes, &size));
        MultipartSplitter::Sink sink{
            [&s](const MultipartSplitter::Part& part) {
                if (s.cancelled_) return;
                HttpResponse r = s.impl_->response;
                r.mimeType = part.contentType;
                s.delegate_->didReceiveResponse(s, r);
            },
            [&s](const std::uint8_t* d, std::size_t n) {
                if (!s.cancelled_) s.delegate_->didReceiveData(s, Bytes(d, d + n));
            }};
        if (size == 0) {
            if (m.splitter) {
                m.splitter->finish(sink);
                if (m.splitter->malformed())
                    return fail(s, makeHttpError(kNSURLErrorDomain, kURLErrorCannotParseResponse, "cannot parse response"));
                // Without its closing delimiter the stream was cut off, not finished.
                if (!m.splitter->complete())
                    return fail(s, makeHttpError(kNSURLErrorDomain, kURLErrorNetworkConnectionLost,
                                                 "The network connection was lost."));
            }
            if (!s.cancelled_) s.delegate_->connectionDidFinishLoading(s);
            return cleanup(s);
        }
        if (m.splitter) {
            bool ok = m.splitter->feed(p, size, sink);
            if (!ok) return fail(s, makeHttpError(kNSURLErrorDomain, kURLErrorCannotParseResponse, "cannot parse response"));
        } else {
            s.delegate_->didReceiveData(s, Bytes(p, p + size));
        }
        if (s.cancelled_) return cleanup(s);
        readNext(*ref);
    }
};

std::shared_ptr<HttpStream> StreamSession::streamWithURL(const std::string& url, double idleTimeout,
                                                         HttpStreamDelegate* delegate) {
    std::shared_ptr<HttpStream> s(new HttpStream);
    s->url_ = url;
    s->idleTimeout_ = idleTimeout;
    s->delegate_ = delegate;
    s->session_ = state_;
    s->impl_ = std::make_unique<HttpStream::Impl>();
    s->impl_->cancellable = g_cancellable_new();
    std::lock_guard lock(state_->mutex);
    auto& list = state_->streams;
    list.erase(std::remove_if(list.begin(), list.end(), [](const std::weak_ptr<HttpStream>& w) { return w.expired(); }),
               list.end());
    list.push_back(s);
    return s;
}

HttpStream::~HttpStream() {
    if (!impl_ || !impl_->cancellable) return;
    // libsoup has used the cancellable on the session's thread; it is released there too.
    GCancellable* cancellable = impl_->cancellable;
    auto st = session_.lock();
    if (st && std::this_thread::get_id() != st->threadId) {
        st->post([cancellable] { g_object_unref(cancellable); });
    } else {
        g_object_unref(cancellable);
    }
}

void HttpStream::start() {
    if (started_.exchange(true)) return;
    auto st = session_.lock();
    if (!st) return;
    auto self = shared_from_this();
    st->post([self] { Impl::begin(self); });
}

void HttpStream::cancel() {
    if (cancelled_.exchange(true)) return;
    // libsoup's cancellation handlers run in the cancelling thread: cancel on the session's own.
    auto st = session_.lock();
    if (!st) return;
    if (std::this_thread::get_id() == st->threadId) {
        g_cancellable_cancel(impl_->cancellable);
        return;
    }
    auto self = shared_from_this();
    st->post([self] { g_cancellable_cancel(self->impl_->cancellable); });
}

}  // namespace platform
