#include "platform/text_checks.h"

#include <glib.h>

#include <cstring>

namespace platform {

bool isUTF8(const void* data, std::size_t size) {
    // GLib's check refuses NUL bytes: check the runs between them.
    const char* p = static_cast<const char*>(data);
    const char* end = p + size;
    while (p < end) {
        const void* nul = std::memchr(p, '\0', static_cast<std::size_t>(end - p));
        const char* stop = nul ? static_cast<const char*>(nul) : end;
        if (stop > p && !g_utf8_validate_len(p, static_cast<gsize>(stop - p), nullptr)) return false;
        p = stop + (nul ? 1 : 0);
    }
    return true;
}

std::string validUTF8(const std::string& text) {
    // GLib's repair takes NUL bytes for invalid ones too: repair the runs between them.
    std::string out;
    out.reserve(text.size());
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t nul = text.find('\0', start);
        std::size_t stop = nul == std::string::npos ? text.size() : nul;
        if (stop > start) {
            g_autofree gchar* valid = g_utf8_make_valid(text.data() + start, static_cast<gssize>(stop - start));
            out += valid;
        }
        if (nul == std::string::npos) break;
        out += '\0';
        start = nul + 1;
    }
    return out;
}

bool isURLText(const std::string& text, URLForm form) {
    if (text.empty() || text.find('\0') != std::string::npos) return false;
    if (form == URLForm::Lenient) {
        for (unsigned char c : text) {
            if (c <= 0x20 || c == 0x7F) return false;
        }
        return g_uri_peek_scheme(text.c_str()) != nullptr;
    }
    static const char* const kAllowed = "-._~:/?#[]@!$&'()*+,;=";
    int fragments = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (g_ascii_isalnum(c)) continue;
        if (c == '%') {
            if (i + 2 >= text.size() || !g_ascii_isxdigit(text[i + 1]) || !g_ascii_isxdigit(text[i + 2])) return false;
            i += 2;
            continue;
        }
        if (!std::strchr(kAllowed, c)) return false;
        if (c == '#' && ++fragments > 1) return false;
    }
    // GLib splits more leniently than it reads characters; the structure is its part.
    g_autofree gchar* scheme = nullptr;
    if (!g_uri_split(text.c_str(), G_URI_FLAGS_ENCODED, &scheme, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr))
        return false;
    return form != URLForm::Absolute || scheme != nullptr;
}

}  // namespace platform
