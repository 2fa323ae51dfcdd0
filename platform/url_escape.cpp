#include "platform/url_escape.h"

#include <glib.h>

namespace platform {

std::string percentEscape(const std::string& text, const std::string& keep) {
    std::string allowed = "/";
    for (char c : keep) {
        if (c != '\0' && static_cast<unsigned char>(c) < 0x80) allowed += c;
    }
    // GLib stops at a NUL byte: each NUL is escaped here and the pieces between go to GLib.
    std::string out;
    out.reserve(text.size());
    std::size_t start = 0;
    for (;;) {
        std::size_t nul = text.find('\0', start);
        std::string piece = text.substr(start, nul == std::string::npos ? std::string::npos : nul - start);
        g_autofree gchar* escaped = g_uri_escape_string(piece.c_str(), allowed.c_str(), FALSE);
        out += escaped;
        if (nul == std::string::npos) break;
        out += "%00";
        start = nul + 1;
    }
    return out;
}

std::optional<std::string> percentDecode(const std::string& text) {
    // Text with a NUL byte cannot reach GLib whole; it is no URL text either.
    if (text.find('\0') != std::string::npos) return std::nullopt;
    g_autofree gchar* decoded = g_uri_unescape_string(text.c_str(), nullptr);
    if (!decoded) return std::nullopt;
    return std::string(decoded);
}

std::optional<URIParts> splitURI(const std::string& text) {
    gchar *scheme = nullptr, *host = nullptr, *path = nullptr, *query = nullptr;
    if (!g_uri_split(text.c_str(), G_URI_FLAGS_ENCODED, &scheme, nullptr, &host, nullptr, &path, &query, nullptr,
                     nullptr))
        return std::nullopt;
    URIParts parts;
    if (scheme) parts.scheme = scheme;
    if (host) parts.host = host;
    if (path) parts.path = path;
    if (query) parts.query = query;
    g_free(scheme);
    g_free(host);
    g_free(path);
    g_free(query);
    return parts;
}

}  // namespace platform
