#include "platform/download.h"

#include <libsoup/soup.h>

#include "platform/dispatch.h"

namespace platform {

DownloadResult downloadURLNow(const std::string& url) {
    DownloadResult out;
    GUri* uri = g_uri_parse(url.c_str(), static_cast<GUriFlags>(SOUP_HTTP_URI_FLAGS), nullptr);
    if (!uri) {
        out.error = "The URL " + url + " is not valid.";
        return out;
    }
    const char* scheme = g_uri_get_scheme(uri);
    if (!scheme || (g_ascii_strcasecmp(scheme, "http") != 0 && g_ascii_strcasecmp(scheme, "https") != 0) ||
        !g_uri_get_host(uri) || !*g_uri_get_host(uri)) {
        g_uri_unref(uri);
        out.error = "The URL " + url + " is not an HTTP URL.";
        return out;
    }
    // A session of its own on this thread's context: its sync calls run here.
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    SoupSession* session = soup_session_new();
    SoupMessage* message = soup_message_new_from_uri(SOUP_METHOD_GET, uri);
    g_uri_unref(uri);
    GError* error = nullptr;
    GBytes* body = soup_session_send_and_read(session, message, nullptr, &error);
    if (error) {
        out.error = error->message;
        g_error_free(error);
    } else {
        out.ok = true;
        out.status = static_cast<int>(soup_message_get_status(message));
        gsize size = 0;
        const auto* data = static_cast<const std::uint8_t*>(body ? g_bytes_get_data(body, &size) : nullptr);
        if (data) out.body.assign(data, data + size);
    }
    if (body) g_bytes_unref(body);
    g_object_unref(message);
    g_object_unref(session);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    return out;
}

void downloadURL(const std::string& url, std::function<void(DownloadResult)> completion) {
    dispatchBackground([url, completion = std::move(completion)] { completion(downloadURLNow(url)); });
}

}  // namespace platform
