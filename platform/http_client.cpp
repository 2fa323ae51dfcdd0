#include "platform/http_client.h"

#include <gio/gio.h>
#include <libsoup/soup.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>

#include "platform/http_gerror.h"
#include "platform/text_checks.h"

namespace platform {

std::string HttpError::localizedDescription() const {
    if (userInfo.is_object()) {
        auto it = userInfo.find(kNSLocalizedDescriptionKey);
        if (it != userInfo.end() && it->is_string()) return it->get<std::string>();
    }
    return {};
}

HttpErrorRef makeHttpError(const std::string& domain, long code, const std::string& description) {
    auto e = std::make_shared<HttpError>();
    e->domain = domain;
    e->code = code;
    e->userInfo = Value::object();
    e->userInfo[kNSLocalizedDescriptionKey] = description;
    return e;
}

static std::shared_ptr<HttpError> urlError(long code, const std::string& url, const char* underlying) {
    const char* text = "The network connection was lost.";
    switch (code) {
    case kURLErrorCancelled: text = "cancelled"; break;
    case kURLErrorBadURL: text = "unsupported URL"; break;
    case kURLErrorTimedOut: text = "The request timed out."; break;
    case kURLErrorCannotFindHost: text = "A server with the specified hostname could not be found."; break;
    case kURLErrorCannotConnectToHost: text = "Could not connect to the server."; break;
    case kURLErrorDataLengthExceedsMaximum: text = "resource exceeds maximum size"; break;
    default: break;
    }
    auto e = std::make_shared<HttpError>();
    e->domain = kNSURLErrorDomain;
    e->code = code;
    e->userInfo = Value::object();
    e->userInfo[kNSLocalizedDescriptionKey] = text;
    if (!url.empty()) e->userInfo[kNSErrorFailingURLStringKey] = url;
    if (underlying && *underlying) e->userInfo["underlyingError"] = underlying;
    return e;
}

static std::shared_ptr<HttpError> urlErrorOf(const GError* error, bool timedOut, const std::string& url) {
    long code = kURLErrorNetworkConnectionLost;
    if (timedOut) {
        code = kURLErrorTimedOut;
    } else if (!error) {
        code = kURLErrorNetworkConnectionLost;
    } else if (error->domain == G_IO_ERROR) {
        switch (error->code) {
        case G_IO_ERROR_CANCELLED: code = kURLErrorCancelled; break;
        case G_IO_ERROR_TIMED_OUT: code = kURLErrorTimedOut; break;
        case G_IO_ERROR_CONNECTION_REFUSED:
        case G_IO_ERROR_HOST_UNREACHABLE:
        case G_IO_ERROR_NETWORK_UNREACHABLE: code = kURLErrorCannotConnectToHost; break;
        default: code = kURLErrorNetworkConnectionLost; break;
        }
    } else if (error->domain == G_RESOLVER_ERROR) {
        code = kURLErrorCannotFindHost;
    }
    return urlError(code, url, error ? error->message : nullptr);
}

HttpErrorRef urlErrorFromGError(const GError* error, bool timedOut, const std::string& url) {
    return urlErrorOf(error, timedOut, url);
}

std::string httpStatusText(int statusCode) {
    const char* phrase = soup_status_get_phrase(static_cast<guint>(statusCode));
    if (phrase && std::strcmp(phrase, "Unknown Error") != 0) return phrase;
    if (statusCode >= 100 && statusCode < 200) return "Informational";
    if (statusCode >= 200 && statusCode < 300) return "Success";
    if (statusCode >= 300 && statusCode < 400) return "Redirection";
    if (statusCode >= 400 && statusCode < 500) return "Client Error";
    if (statusCode >= 500 && statusCode < 600) return "Server Error";
    return "Unknown Error";
}

bool httpURLParses(const std::string& text) {
    if (!isURLText(text)) return false;
    g_autoptr(GUri) uri = g_uri_parse(text.c_str(), static_cast<GUriFlags>(SOUP_HTTP_URI_FLAGS), nullptr);
    if (!uri) return false;
    const char* scheme = g_uri_get_scheme(uri);
    const char* host = g_uri_get_host(uri);
    return scheme && (g_ascii_strcasecmp(scheme, "http") == 0 || g_ascii_strcasecmp(scheme, "https") == 0) && host &&
           *host;
}

std::string hostForURL(const std::string& host) {
    if (host.find(':') == std::string::npos) return host;
    // "//[fe80::1%25en0]": the authority of a URL with only this host.
    g_autofree char* joined = g_uri_join(G_URI_FLAGS_NONE, nullptr, nullptr, host.c_str(), -1, "", nullptr, nullptr);
    return joined ? joined + 2 : host;
}

// ---- session ----

struct HttpSession::Task {
    std::shared_ptr<HttpSession> session;  // keeps the session alive while the request runs
    SoupMessage* message = nullptr;
    GCancellable* cancellable = nullptr;
    GSource* timeout = nullptr;
    GInputStream* body = nullptr;  // the answer's body while it is read
    GSource* wait = nullptr;       // waits for more of the body
    Bytes received;
    bool timedOut = false;
    bool requestWritten = false;
    std::string url;
    Completion completion;
};

struct HttpSession::Tasks {
    std::set<Task*> running;
};

std::shared_ptr<HttpSession> HttpSession::create(HttpSessionConfiguration configuration) {
    std::shared_ptr<HttpSession> s(new HttpSession);
    s->configuration_ = configuration;
    s->tasks_ = std::make_unique<Tasks>();
    // libsoup's own time-outs count whole seconds; the resource time-out is a timer per request.
    s->session_ = soup_session_new_with_options("timeout", 0u, "idle-timeout", 0u, nullptr);
    s->context_ = g_main_context_ref_thread_default();
    return s;
}

HttpSession::~HttpSession() {
    if (session_) {
        soup_session_abort(static_cast<SoupSession*>(session_));
        g_object_unref(session_);
    }
    if (context_) g_main_context_unref(static_cast<GMainContext*>(context_));
}

std::size_t HttpSession::tasksInFlight() const { return tasks_->running.size(); }

void HttpSession::get(const std::string& url, Completion completion) {
    auto* task = new Task;
    task->session = shared_from_this();
    task->url = url;
    task->completion = std::move(completion);
    tasks_->running.insert(task);

    long refusal = 0;
    if (invalidated_) {
        refusal = kURLErrorCancelled;
    } else if (!httpURLParses(url)) {
        refusal = kURLErrorBadURL;
    }
    if (refusal != 0) {
        // Completes on a later turn of the session's context, like any other request.
        g_autoptr(GSource) idle = g_idle_source_new();
        struct Refusal {
            Task* task;
            long code;
        };
        g_source_set_callback(
            idle,
            [](gpointer p) -> gboolean {
                auto* r = static_cast<Refusal*>(p);
                r->task->session->finish(r->task, std::nullopt, std::nullopt, urlError(r->code, r->task->url, nullptr));
                return G_SOURCE_REMOVE;
            },
            new Refusal{task, refusal}, [](gpointer p) { delete static_cast<Refusal*>(p); });
        g_source_attach(idle, static_cast<GMainContext*>(context_));
        return;
    }

    task->message = soup_message_new(SOUP_METHOD_GET, url.c_str());
    if (!task->message) {  // httpURLParses accepted it; libsoup should too
        task->session->finish(task, std::nullopt, std::nullopt, urlError(kURLErrorBadURL, url, nullptr));
        return;
    }
    soup_message_headers_replace(soup_message_get_request_headers(task->message), "Accept", "*/*");
    // libsoup sends a GET again by itself when a kept-alive connection drops before the answer;
    // on a connection of its own, a request goes out at most once.
    soup_message_add_flags(task->message, SOUP_MESSAGE_NEW_CONNECTION);
    g_signal_connect(task->message, "wrote-headers", G_CALLBACK(&HttpSession::onWroteHeaders), task);
    task->cancellable = g_cancellable_new();
    double seconds = configuration_.resourceTimeout;
    if (seconds > 0 && std::isfinite(seconds)) {
        task->timeout = g_timeout_source_new(static_cast<guint>(std::ceil(seconds * 1000.0)));
        g_source_set_callback(task->timeout, reinterpret_cast<GSourceFunc>(&HttpSession::onTimeout), task, nullptr);
        g_source_attach(task->timeout, static_cast<GMainContext*>(context_));
    }
    soup_session_send_async(static_cast<SoupSession*>(session_), task->message, G_PRIORITY_DEFAULT, task->cancellable,
                            reinterpret_cast<GAsyncReadyCallback>(&HttpSession::onSent), task);
}

void HttpSession::onWroteHeaders(void*, void* data) { static_cast<Task*>(data)->requestWritten = true; }

int HttpSession::onTimeout(void* data) {
    auto* task = static_cast<Task*>(data);
    task->timedOut = true;
    g_clear_pointer(&task->timeout, g_source_unref);
    g_cancellable_cancel(task->cancellable);
    return G_SOURCE_REMOVE;
}

// The HTTP part of the message as far as it has been answered; absent before a status arrived.
static std::optional<HttpResponse> responseOf(SoupMessage* message) {
    guint status = soup_message_get_status(message);
    if (status < 100) return std::nullopt;
    HttpResponse r;
    if (GUri* uri = soup_message_get_uri(message)) {
        g_autofree char* text = g_uri_to_string(uri);
        r.url = text ? text : "";
        if (const char* host = g_uri_get_host(uri)) r.host = host;
        r.port = g_uri_get_port(uri);
    }
    r.statusCode = static_cast<int>(status);
    // The header as sent, without parameters: libsoup's own parser drops types it finds invalid.
    if (const char* header =
            soup_message_headers_get_one(soup_message_get_response_headers(message), "Content-Type")) {
        std::string type(header, std::strcspn(header, ";"));
        auto first = type.find_first_not_of(" \t");
        auto last = type.find_last_not_of(" \t");
        type = first == std::string::npos ? std::string() : type.substr(first, last - first + 1);
        if (!type.empty()) r.mimeType = std::move(type);
    }
    return r;
}

// Cancelled first, so that closing the body stream drops the connection instead of reading the
// rest of the body.
static void abandonBody(GInputStream* body, GCancellable* cancellable) {
    g_cancellable_cancel(cancellable);
    if (body) g_input_stream_close(body, cancellable, nullptr);
}

void HttpSession::fail(Task* task, long code) {
    abandonBody(task->body, task->cancellable);
    auto error = urlError(code, task->url, nullptr);
    error->requestWritten = task->requestWritten;
    finish(task, std::nullopt, responseOf(task->message), std::move(error));
}

void HttpSession::failTransport(Task* task, GError* taken) {
    g_autoptr(GError) gerror = taken;
    auto error = urlErrorOf(gerror, task->timedOut, task->url);
    error->requestWritten = task->requestWritten;
    // What was answered before a time-out or a cancellation is not handed on.
    std::optional<HttpResponse> response;
    if (error->code != kURLErrorTimedOut && error->code != kURLErrorCancelled) response = responseOf(task->message);
    abandonBody(task->body, task->cancellable);
    finish(task, std::nullopt, std::move(response), std::move(error));
}

void HttpSession::onSent(void* source, void* result, void* data) {
    auto* task = static_cast<Task*>(data);
    GError* error = nullptr;
    GInputStream* in =
        soup_session_send_finish(static_cast<SoupSession*>(source), static_cast<GAsyncResult*>(result), &error);
    if (!in) {
        task->session->failTransport(task, error);
        return;
    }
    task->body = in;
    // A declared length beyond the limit is refused before any of it is read.
    SoupMessageHeaders* headers = soup_message_get_response_headers(task->message);
    std::size_t limit = task->session->configuration_.maximumBodyBytes;
    if (soup_message_headers_get_encoding(headers) == SOUP_ENCODING_CONTENT_LENGTH &&
        static_cast<std::uint64_t>(soup_message_headers_get_content_length(headers)) > limit) {
        task->session->fail(task, kURLErrorDataLengthExceedsMaximum);
        return;
    }
    task->session->readNext(task);
}

// Reads what the body has ready without waiting, and waits for more on the session's context.
void HttpSession::readNext(Task* task) {
    auto* pollable = G_POLLABLE_INPUT_STREAM(task->body);
    const std::size_t limit = configuration_.maximumBodyBytes;
    std::uint8_t chunk[16384];
    for (;;) {
        // Whole pieces (libsoup's chunked decoding needs room for its line ends), so at most one
        // piece past the limit is read.
        g_autoptr(GError) error = nullptr;
        gssize n = g_pollable_input_stream_read_nonblocking(pollable, chunk, sizeof chunk, task->cancellable, &error);
        if (n < 0 && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK)) {
            task->wait = g_pollable_input_stream_create_source(pollable, task->cancellable);
            GPollableSourceFunc ready = [](GObject*, gpointer data) -> gboolean {
                auto* t = static_cast<Task*>(data);
                g_clear_pointer(&t->wait, g_source_unref);
                t->session->readNext(t);
                return G_SOURCE_REMOVE;
            };
            g_source_set_callback(task->wait, G_SOURCE_FUNC(ready), task, nullptr);
            g_source_attach(task->wait, static_cast<GMainContext*>(context_));
            return;
        }
        if (n < 0) {
            failTransport(task, g_steal_pointer(&error));
            return;
        }
        if (n == 0) {
            // At the end of the body: closing hands the connection back for the next request.
            g_input_stream_close(task->body, nullptr, nullptr);
            Bytes body = std::move(task->received);
            finish(task, std::move(body), responseOf(task->message), nullptr);
            return;
        }
        task->received.insert(task->received.end(), chunk, chunk + n);
        if (task->received.size() > limit) {
            fail(task, kURLErrorDataLengthExceedsMaximum);
            return;
        }
    }
}

void HttpSession::finish(Task* task, std::optional<Bytes> body, std::optional<HttpResponse> response,
                         HttpErrorRef error) {
    if (task->timeout) {
        g_source_destroy(task->timeout);
        g_source_unref(task->timeout);
        task->timeout = nullptr;
    }
    if (task->wait) {
        g_source_destroy(task->wait);
        g_source_unref(task->wait);
        task->wait = nullptr;
    }
    tasks_->running.erase(task);
    Completion completion = std::move(task->completion);
    auto keep = std::move(task->session);
    if (task->body) g_object_unref(task->body);
    if (task->message) {
        g_signal_handlers_disconnect_by_data(task->message, task);
        g_object_unref(task->message);
    }
    if (task->cancellable) g_object_unref(task->cancellable);
    delete task;
    if (completion) completion(std::move(body), std::move(response), std::move(error));
}

void HttpSession::invalidateAndCancel() {
    invalidated_ = true;
    for (Task* t : std::set<Task*>(tasks_->running)) {
        if (t->cancellable) g_cancellable_cancel(t->cancellable);
    }
}

}  // namespace platform
