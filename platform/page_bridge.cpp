#include "platform/page_bridge.h"

#include <glib.h>

namespace platform {

static bool decide(const std::string& url, const std::string& prefix) {
    std::string bare = url.substr(0, url.find_first_of("?#"));
    char* unescaped = g_uri_unescape_string(bare.c_str(), nullptr);
    if (!unescaped) return false;
    std::string plain = unescaped;
    g_free(unescaped);
    if (plain.rfind(prefix, 0) != 0) return false;
    if (plain.find("/../") != std::string::npos) return false;
    return !(plain.size() >= 3 && plain.compare(plain.size() - 3, 3, "/..") == 0);
}

bool pageURLHasPrefix(const std::string& url, const std::string& prefix) {
    if (prefix.empty()) return false;
    // Asked for the same document again and again (every call, every delivery): the last answer
    // of this thread is kept.
    thread_local std::string lastURL, lastPrefix;
    thread_local bool lastAnswer = false;
    if (url == lastURL && prefix == lastPrefix && !url.empty()) return lastAnswer;
    lastAnswer = decide(url, prefix);
    lastURL = url;
    lastPrefix = prefix;
    return lastAnswer;
}

}  // namespace platform
