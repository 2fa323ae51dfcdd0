#include "platform/paths.h"

#include <glib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fd_io.h"

namespace platform {

static std::string envOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    if (v && *v == '/') return v;
    return fallback;
}

std::string homeDir() {
    // A relative HOME would put the user's folders below the working folder; the account's
    // home folder stands in for it then.
    const char* h = std::getenv("HOME");
    if (h && *h == '/') return h;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && *pw->pw_dir == '/') return pw->pw_dir;
    return g_get_home_dir();
}

std::string configHome() { return envOr("XDG_CONFIG_HOME", homeDir() + "/.config"); }
std::string dataHome() { return envOr("XDG_DATA_HOME", homeDir() + "/.local/share"); }
std::string cacheHome() { return envOr("XDG_CACHE_HOME", homeDir() + "/.cache"); }

std::string documentsDir() {
    // XDG_DOCUMENTS_DIR of user-dirs.dirs; GLib reads that file once per process.
    if (const char* dir = g_get_user_special_dir(G_USER_DIRECTORY_DOCUMENTS); dir && *dir == '/') return dir;
    return homeDir() + "/Documents";
}

std::string expandHomePath(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    if (path == "~") return homeDir();
    if (path.rfind("~/", 0) == 0) return homeDir() + path.substr(1);
    return homeDir() + "/" + path;
}

std::string executablePath() {
    g_autofree char* path = g_file_read_link("/proc/self/exe", nullptr);
    return path ? path : "";
}

bool makeDirs(const std::string& path) {
    if (path.empty()) return false;
    return g_mkdir_with_parents(path.c_str(), 0700) == 0;
}

bool readFile(const std::string& path, std::string& content) {
    // Never blocks on a FIFO or device: only regular files are read (kernel files whose size
    // reads as 0 included, hence to the end rather than to the size).
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    std::string out;
    char buf[65536];
    for (;;) {
        std::size_t got = 0;
        if (!readFully(fd, buf, sizeof buf, got)) {
            ::close(fd);
            return false;
        }
        out.append(buf, got);
        if (got < sizeof buf) break;
    }
    ::close(fd);
    content = std::move(out);
    return true;
}

}  // namespace platform
