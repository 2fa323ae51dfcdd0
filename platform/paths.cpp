#include "platform/paths.h"

#include <glib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

static std::string envOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    if (v && *v == '/') return v;
    return fallback;
}

std::string homeDir() {
    const char* h = std::getenv("HOME");
    if (h && *h) return h;
    return g_get_home_dir();
}

std::string configHome() { return envOr("XDG_CONFIG_HOME", homeDir() + "/.config"); }
std::string dataHome() { return envOr("XDG_DATA_HOME", homeDir() + "/.local/share"); }
std::string cacheHome() { return envOr("XDG_CACHE_HOME", homeDir() + "/.cache"); }

std::string documentsDir() {
    // user-dirs.dirs names XDG_DOCUMENTS_DIR="$HOME/Documents"; GLib caches it per process,
    // so it is read here to follow HOME changes in tests.
    std::string content;
    if (readFile(configHome() + "/user-dirs.dirs", content)) {
        std::istringstream in(content);
        std::string line;
        while (std::getline(in, line)) {
            const std::string key = "XDG_DOCUMENTS_DIR=";
            if (line.rfind(key, 0) != 0) continue;
            std::string v = line.substr(key.size());
            if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
            if (v.rfind("$HOME", 0) == 0) v = homeDir() + v.substr(5);
            if (!v.empty() && v[0] == '/') return v;
        }
    }
    return homeDir() + "/Documents";
}

std::string executablePath() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    buf[n] = '\0';
    return buf;
}

bool makeDirs(const std::string& path) {
    if (path.empty()) return false;
    return g_mkdir_with_parents(path.c_str(), 0700) == 0;
}

bool readFile(const std::string& path, std::string& content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    content = ss.str();
    return true;
}

}  // namespace platform
