#include "platform/file_folders.h"

#include <glib.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "platform/bundle.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace platform {

std::optional<std::string> userTemporaryFolder() {
    std::string base = resolveSymlinks(g_get_tmp_dir());
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    std::string path = base + "/" + Bundle::main().identifier() + "-" + std::to_string(::getuid());
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        logf(LogLevel::Error, "unable to create temporary folder %s: %s", path, std::string(std::strerror(errno)));
        return std::nullopt;
    }
    // Someone else may have made the name first: it must be ours, private and a real folder.
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
        logf(LogLevel::Error, "temporary folder %s is not a private folder of this user", path);
        return std::nullopt;
    }
    if ((st.st_mode & 0077) != 0 && ::chmod(path.c_str(), 0700) != 0) return std::nullopt;
    return path;
}

bool makeApplicationFolder(const std::string& path, std::string* error) {
    auto fail = [&](int code) {
        if (error) *error = std::strerror(code);
        return false;
    };
    if (path.empty()) return fail(ENOENT);
    if (g_mkdir_with_parents(path.c_str(), 0700) != 0) return fail(errno);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return fail(errno);
    if (!S_ISDIR(st.st_mode)) return fail(ENOTDIR);
    if (st.st_uid == ::getuid() && (st.st_mode & 0777) != 0700 && ::chmod(path.c_str(), 0700) != 0) {
        logf(LogLevel::Error, "unable to make folder %s private: %s", path, std::string(std::strerror(errno)));
    }
    return true;
}

std::optional<std::string> supportFolder(SupportFolderKind kind, const std::string& components, std::string* error) {
    std::string base = kind == SupportFolderKind::ApplicationSupport ? dataHome() : cacheHome();
    std::string path = base + "/" + Bundle::main().identifier();
    if (!makeApplicationFolder(path, error)) return std::nullopt;
    if (!components.empty()) {
        path += "/" + components;
        if (!makeApplicationFolder(path, error)) return std::nullopt;
    }
    return path;
}

std::optional<std::uint64_t> freeDiskSpace(const std::string& path) {
    struct statvfs s;
    if (::statvfs(path.c_str(), &s) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(s.f_bavail) * static_cast<std::uint64_t>(s.f_frsize);
}

std::optional<std::string> realPath(const std::string& path) {
    char buf[PATH_MAX];
    if (!::realpath(path.c_str(), buf)) return std::nullopt;
    return std::string(buf);
}

std::string resolveSymlinks(const std::string& path) {
    if (path.empty()) return path;
    if (auto real = realPath(path)) return *real;
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return path;
    std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    if (parent == path) return path;
    std::string resolved = resolveSymlinks(parent);
    std::string name = path.substr(slash + 1);
    if (name.empty()) return resolved;
    return resolved == "/" ? "/" + name : resolved + "/" + name;
}

std::string fileURLForPath(const std::string& path) {
    g_autofree gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    std::string out = uri ? uri : "file://" + path;
    if (out.back() != '/' && g_file_test(path.c_str(), G_FILE_TEST_IS_DIR)) out += '/';
    return out;
}

}  // namespace platform
