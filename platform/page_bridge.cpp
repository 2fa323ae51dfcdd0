#include "platform/page_bridge.h"

#include <glib.h>

namespace platform {

bool pageURLHasPrefix(const std::string& url, const std::string& prefix) {
    if (prefix.empty()) return false;
    std::string bare = url.substr(0, url.find_first_of("?#"));
    char* unescaped = g_uri_unescape_string(bare.c_str(), nullptr);
    if (!unescaped) return false;
    std::string plain = unescaped;
    g_free(unescaped);
    if (plain.rfind(prefix, 0) != 0) return false;
    if (plain.find("/../") != std::string::npos) return false;
    return !(plain.size() >= 3 && plain.compare(plain.size() - 3, 3, "/..") == 0);
}

}  // namespace platform
