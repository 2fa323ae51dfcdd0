#include "platform/content_type.h"

#include <gio/gio.h>

namespace platform {

std::string pathExtension(const std::string& path) {
    auto slash = path.find_last_of('/');
    std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    auto dot = last.find_last_of('.');
    if (dot == std::string::npos || dot == 0) return {};
    return last.substr(dot + 1);
}

ContentTypeGuess contentTypeForPath(const std::string& path) {
    ContentTypeGuess out;
    std::string ext = pathExtension(path);
    if (ext.empty()) return out;
    // Guessing from a bare name with the extension keeps the answer independent of the disk.
    std::string probe = "file." + ext;
    gboolean uncertain = FALSE;
    g_autofree gchar* type = g_content_type_guess(probe.c_str(), nullptr, 0, &uncertain);
    if (!type) return out;
    out.typeIdentifier = type;
    if (!g_content_type_is_unknown(type)) {
        if (g_autofree gchar* mime = g_content_type_get_mime_type(type)) out.mimeType = mime;
    }
    return out;
}

}  // namespace platform
