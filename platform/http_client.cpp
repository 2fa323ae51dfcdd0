#include "platform/http_client.h"

#include <gio/gio.h>
#include <libsoup/soup.h>

#include <cmath>
#include <cstring>
#include <set>

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

static HttpErrorRef urlError(long code, const std::string& url, const char* underlying) {
    const char* text = "The network connection was lost.";
    switch (code) {
    case kURLErrorCancelled: text = "cancelled"; break;
    case kURLErrorBadURL: text = "unsupported URL"; break;
    case kURLErrorTimedOut: text = "The request timed out."; break;
    case kURLErrorCannotFindHost: text = "A server with the specified hostname could not be found."; break;
    case kURLErrorCannotConnectToHost: text = "Could not connect to the server."; break;
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

HttpErrorRef urlErrorFromGError(const GError* error, bool timedOut, const std::string& url) {
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
    GUri* uri = g_uri_parse(text.c_str(), static_cast<GUriFlags>(SOUP_HTTP_URI_FLAGS), nullptr);
    if (!uri) return false;
    const char* scheme = g_uri_get_scheme(uri);
    const char* host = g_uri_get_host(uri);
    bool ok = scheme && (g_ascii_strcasecmp(scheme, "http") == 0 || g_ascii_strcasecmp(scheme, "https") == 0) && host &&
              *host;
    g_uri_unref(uri);
    return ok;
}

std::string hostForURL(const std::string& host) {
    if (host.find(':') == std::string::npos) return host;
    // "//[fe80::1%25en0]": the authority of a URL with only this host.
    char* joined = g_uri_join(G_URI_FLAGS_NONE, nullptr, nullptr, host.c_str(), -1, "", nullptr, nullptr);
    std::string out = joined ? joined + 2 : host;
    g_free(joined);
    return out;
}

// ---- session ----

struct HttpSession::Task {
    std::shared_ptr<HttpSession> session;  // keeps the session alive while the request runs
    SoupMessage* message = nullptr;
    GCancellable* cancellable = nullptr;
    GSource* timeout = nullptr;
    bool timedOut = false;
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
        GSource* idle = g_idle_source_new();
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
        g_source_unref(idle);
        return;
    }

    task->message = soup_message_new(SOUP_METHOD_GET, url.c_str());
    if (!task->message) {  // httpURLParses accepted it; libsoup should too
        task->session->finish(task, std::nullopt, std::nullopt, urlError(kURLErrorBadURL, url, nullptr));
        return;
    }
    soup_message_headers_replace(soup_message_get_request_headers(task->message), "Accept", "*/*");
    task->cancellable = g_cancellable_new();
    double seconds = configuration_.resourceTimeout;
    if (seconds > 0 && std::isfinite(seconds)) {
        task->timeout = g_timeout_source_new(static_cast<guint>(std::ceil(seconds * 1000.0)));
        g_source_set_callback(task->timeout, reinterpret_cast<GSourceFunc>(&HttpSession::onTimeout), task, nullptr);
        g_source_attach(task->timeout, static_cast<GMainContext*>(context_));
    }
    soup_session_send_and_read_async(static_cast<SoupSession*>(session_), task->message, G_PRIORITY_DEFAULT,
                                     task->cancellable, reinterpret_cast<GAsyncReadyCallback>(&HttpSession::onFinished),
                                     task);
}

int HttpSession::onTimeout(void* data) {
    auto* task = static_cast<Task*>(data);
    task->timedOut = true;
    if (task->timeout) {
        g_source_unref(task->timeout);
        task->timeout = nullptr;
    }
    g_cancellable_cancel(task->cancellable);
    return G_SOURCE_REMOVE;
}

void HttpSession::onFinished(void* source, void* result, void* data) {
    auto* task = static_cast<Task*>(data);
    GError* error = nullptr;
    GBytes* bytes =
        soup_session_send_and_read_finish(static_cast<SoupSession*>(source), static_cast<GAsyncResult*>(result), &error);

    std::optional<HttpResponse> response;
    guint status = soup_message_get_status(task->message);
    if (status >= 100) {
        HttpResponse r;
        GUri* uri = soup_message_get_uri(task->message);
        if (uri) {
            char* text = g_uri_to_string(uri);
            r.url = text ? text : "";
            g_free(text);
            if (const char* host = g_uri_get_host(uri)) r.host = host;
            r.port = g_uri_get_port(uri);
        }
        r.statusCode = static_cast<int>(status);
        // The header as sent, without parameters: libsoup's own parser drops types it finds invalid.
        if (const char* header = soup_message_headers_get_one(soup_message_get_response_headers(task->message),
                                                              "Content-Type")) {
            std::string type(header, std::strcspn(header, ";"));
            auto first = type.find_first_not_of(" \t");
            auto last = type.find_last_not_of(" \t");
            type = first == std::string::npos ? std::string() : type.substr(first, last - first + 1);
            if (!type.empty()) r.mimeType = std::move(type);
        }
        response = std::move(r);
    }

    std::optional<Bytes> body;
    HttpErrorRef err;
    if (error) {
        err = urlErrorFromGError(error, task->timedOut, task->url);
        if (err->code == kURLErrorTimedOut || err->code == kURLErrorCancelled) response.reset();
        g_error_free(error);
    } else {
        gsize size = 0;
        const auto* p = bytes ? static_cast<const std::uint8_t*>(g_bytes_get_data(bytes, &size)) : nullptr;
        body = Bytes(p, p + size);
    }
    if (bytes) g_bytes_unref(bytes);
    task->session->finish(task, std::move(body), std::move(response), std::move(err));
}

void HttpSession::finish(Task* task, std::optional<Bytes> body, std::optional<HttpResponse> response,
                         HttpErrorRef error) {
    if (task->timeout) {
        g_source_destroy(task->timeout);
        g_source_unref(task->timeout);
        task->timeout = nullptr;
    }
    tasks_->running.erase(task);
    Completion completion = std::move(task->completion);
    auto keep = std::move(task->session);
    if (task->message) g_object_unref(task->message);
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
