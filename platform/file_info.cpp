#include "platform/file_info.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

bool pathExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isRegularFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isAbsent(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) != 0 && errno == ENOENT;
}

bool removeFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

}  // namespace platform
