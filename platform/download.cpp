#include "platform/download.h"

#include <fcntl.h>
#include <gio/gunixoutputstream.h>
#include <glib/gstdio.h>
#include <libsoup/soup.h>
#include <unistd.h>

#include <cerrno>

#include "platform/dispatch.h"
#include "platform/file_folders.h"

namespace platform {

DownloadResult downloadURLNow(const std::string& url) {
    DownloadResult out;
    g_autoptr(GUri) uri = g_uri_parse(url.c_str(), static_cast<GUriFlags>(SOUP_HTTP_URI_FLAGS), nullptr);
    if (!uri) {
        out.error = "The URL " + url + " is not valid.";
        return out;
    }
    const char* scheme = g_uri_get_scheme(uri);
    if (!scheme || (g_ascii_strcasecmp(scheme, "http") != 0 && g_ascii_strcasecmp(scheme, "https") != 0) ||
        !g_uri_get_host(uri) || !*g_uri_get_host(uri)) {
        out.error = "The URL " + url + " is not an HTTP URL.";
        return out;
    }
    // A session of its own on this thread's context: its sync calls run here.
    g_autoptr(GMainContext) context = g_main_context_new();
    g_autoptr(GMainContextPusher) pushed = g_main_context_pusher_new(context);
    g_autoptr(SoupSession) session = soup_session_new();
    g_autoptr(SoupMessage) message = soup_message_new_from_uri(SOUP_METHOD_GET, uri);
    g_autoptr(GError) error = nullptr;
    // The body goes straight to a private file in the application's cache folder: an update may be
    // larger than what should sit in memory.
    std::string folder = supportFolder(SupportFolderKind::Caches, "downloads", &out.error).value_or("");
    std::string path = folder.empty() ? std::string() : folder + "/download-XXXXXX";
    int fd = path.empty() ? -1 : g_mkstemp_full(path.data(), O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (!folder.empty()) out.error = std::string("unable to create a temporary file: ") + g_strerror(errno);
    } else {
        g_autoptr(GOutputStream) file = g_unix_output_stream_new(fd, TRUE);
        g_autoptr(GInputStream) body = soup_session_send(session, message, nullptr, &error);
        if (body) {
            g_output_stream_splice(file, body,
                                   static_cast<GOutputStreamSpliceFlags>(G_OUTPUT_STREAM_SPLICE_CLOSE_SOURCE |
                                                                         G_OUTPUT_STREAM_SPLICE_CLOSE_TARGET),
                                   nullptr, &error);
        }
        g_output_stream_close(file, nullptr, nullptr);
        if (error) {
            out.error = error->message;
            ::unlink(path.c_str());
        } else {
            out.ok = true;
            out.status = static_cast<int>(soup_message_get_status(message));
            out.bodyFile = path;
        }
    }
    return out;
}

void downloadURL(const std::string& url, std::function<void(DownloadResult)> completion) {
    dispatchBackground([url, completion = std::move(completion)] { completion(downloadURLNow(url)); });
}

}  // namespace platform
