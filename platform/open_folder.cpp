#include "platform/open_folder.h"

#include <cerrno>
#include <cstdint>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

namespace platform {

namespace {

bool isName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// Every component of a relative path is a name ("" has none).
bool isRelativePath(const std::string& path) {
    if (path.empty()) return true;
    std::size_t start = 0;
    for (;;) {
        std::size_t slash = path.find('/', start);
        if (!isName(path.substr(start, slash == std::string::npos ? std::string::npos : slash - start))) return false;
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

// Kernels or sandboxes without openat2 walk the path a component at a time instead.
bool noOpenat2 = false;

// The folder `relative` below `dirfd` (AT_FDCWD: below "/"), no link followed on the way and
// never above `dirfd`; -1 with errno set.
int openFolderBelow(int dirfd, const std::string& relative) {
    const int flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    if (!__atomic_load_n(&noOpenat2, __ATOMIC_RELAXED)) {
        open_how how{};
        how.flags = static_cast<std::uint64_t>(flags);
        how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        std::string path = relative.empty() ? "." : relative;
        if (dirfd == AT_FDCWD) {
            path = "/" + relative;
        } else {
            how.resolve |= RESOLVE_BENEATH;
        }
        long fd = ::syscall(SYS_openat2, dirfd, path.c_str(), &how, sizeof how);
        if (fd >= 0) return static_cast<int>(fd);
        if (errno != ENOSYS && errno != EPERM && errno != E2BIG) return -1;
        __atomic_store_n(&noOpenat2, true, __ATOMIC_RELAXED);
    }
    int fd = dirfd == AT_FDCWD ? ::open("/", flags) : ::fcntl(dirfd, F_DUPFD_CLOEXEC, 0);
    std::size_t start = 0;
    while (fd >= 0 && start < relative.size()) {
        std::size_t slash = relative.find('/', start);
        std::string name = relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        start = slash == std::string::npos ? relative.size() : slash + 1;
        int next = ::openat(fd, name.c_str(), flags | O_NOFOLLOW);
        int err = errno;
        struct stat st;
        // A link opened with O_PATH | O_NOFOLLOW | O_DIRECTORY is "not a folder": it is a link.
        if (next < 0 && err == ENOTDIR && ::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
            err = ELOOP;
        }
        ::close(fd);
        fd = next;
        errno = err;
    }
    return fd;
}

int errorOf(int result) { return result == 0 ? 0 : errno; }

int factsOf(int result, const struct stat& st, ItemFacts& facts) {
    if (result != 0) return errno;
    facts.isDirectory = S_ISDIR(st.st_mode);
    facts.isRegular = S_ISREG(st.st_mode);
    facts.isLink = S_ISLNK(st.st_mode);
    facts.size = static_cast<std::uint64_t>(st.st_size);
    facts.inode = static_cast<std::uint64_t>(st.st_ino);
    facts.permissions = st.st_mode & 07777;
    facts.owner = st.st_uid;
    facts.changedSeconds = st.st_ctim.tv_sec;
    facts.modifiedSeconds = st.st_mtim.tv_sec;
    facts.modifiedNanoseconds = st.st_mtim.tv_nsec;
    return 0;
}

int openFlagsOf(FileOpen how) {
    int flags = has(how, FileOpen::Write) ? (has(how, FileOpen::Read) ? O_RDWR : O_WRONLY) : O_RDONLY;
    if (has(how, FileOpen::Append)) flags |= O_APPEND;
    if (has(how, FileOpen::New)) flags |= O_CREAT | O_EXCL;
    return flags;
}

}  // namespace

OpenFolder::~OpenFolder() {
    if (fd_ >= 0) ::close(fd_);
}

OpenFolder::OpenFolder(OpenFolder&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

OpenFolder& OpenFolder::operator=(OpenFolder&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

int OpenFolder::atPath(const std::string& path, OpenFolder& out) {
    int fd = ::open(path.empty() ? "." : path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    out = OpenFolder(fd);
    return 0;
}

int OpenFolder::beneath(const std::string& root, const std::string& relative, OpenFolder& out) {
    std::string top = root;
    while (top.size() > 1 && top.back() == '/') top.pop_back();
    if (top.empty() || top[0] != '/' || !isRelativePath(top.substr(1)) || !isRelativePath(relative)) return EINVAL;
    int rootFd = openFolderBelow(AT_FDCWD, top.substr(1));
    if (rootFd < 0) return errno;
    int fd = relative.empty() ? rootFd : openFolderBelow(rootFd, relative);
    int err = errno;
    if (fd != rootFd) ::close(rootFd);
    if (fd < 0) return err;
    out = OpenFolder(fd);
    return 0;
}

int OpenFolder::duplicate(OpenFolder& out) const {
    int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return errno;
    out = OpenFolder(fd);
    return 0;
}

int OpenFolder::statOf(const std::string& name, ItemFacts& facts) const {
    struct stat st;
    if (name.empty()) return factsOf(::fstatat(fd_, "", &st, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW), st, facts);
    if (!isName(name)) return EINVAL;
    return factsOf(::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW), st, facts);
}

int OpenFolder::openFile(const std::string& name, FileOpen how, unsigned mode, int& fd) const {
    if (!isName(name)) return name.empty() ? EISDIR : EINVAL;
    fd = ::openat(fd_, name.c_str(), openFlagsOf(how) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                  static_cast<mode_t>(mode));
    return fd < 0 ? errno : 0;
}

int OpenFolder::openFolder(const std::string& name, OpenFolder& out) const {
    if (!name.empty() && !isName(name)) return EINVAL;
    int fd = ::openat(fd_, name.empty() ? "." : name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno;
    out = OpenFolder(fd);
    return 0;
}

int OpenFolder::makeFolder(const std::string& name, unsigned mode) const {
    if (!isName(name)) return name.empty() ? EEXIST : EINVAL;
    return errorOf(::mkdirat(fd_, name.c_str(), static_cast<mode_t>(mode)));
}

int OpenFolder::makeLink(const std::string& target, const std::string& name) const {
    if (!isName(name)) return name.empty() ? EEXIST : EINVAL;
    return errorOf(::symlinkat(target.c_str(), fd_, name.c_str()));
}

int OpenFolder::readLink(const std::string& name, std::string& target) const {
    if (!isName(name)) return EINVAL;
    std::string buffer(256, '\0');
    for (;;) {
        ssize_t n = ::readlinkat(fd_, name.c_str(), buffer.data(), buffer.size());
        if (n < 0) return errno;
        if (static_cast<std::size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(n));
            target = std::move(buffer);
            return 0;
        }
        if (buffer.size() >= (1u << 20)) return ENAMETOOLONG;
        buffer.resize(buffer.size() * 4);
    }
}

int OpenFolder::setMode(unsigned mode) const { return errorOf(::fchmod(fd_, static_cast<mode_t>(mode))); }

int OpenFolder::names(std::vector<std::string>& out) const {
    int fd = ::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    DIR* d = ::fdopendir(fd);
    if (!d) {
        int err = errno;
        ::close(fd);
        return err;
    }
    std::vector<std::string> found;
    errno = 0;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") found.push_back(std::move(name));
        errno = 0;
    }
    int err = errno;
    ::closedir(d);
    if (err) return err;
    out = std::move(found);
    return 0;
}

int OpenFolder::remove(const std::string& name) const {
    if (!isName(name)) return name.empty() ? EBUSY : EINVAL;
    if (::unlinkat(fd_, name.c_str(), 0) == 0) return 0;
    if (errno != EISDIR) return errno;
    return errorOf(::unlinkat(fd_, name.c_str(), AT_REMOVEDIR));
}

int OpenFolder::removeAll(const std::string& name) const {
    if (!isName(name)) return name.empty() ? EBUSY : EINVAL;
    if (::unlinkat(fd_, name.c_str(), 0) == 0) return 0;
    if (errno != EISDIR) return errno;
    // A folder is emptied through its own descriptor, opened without following a link: one put
    // in its place meanwhile is not entered.
    OpenFolder inside;
    if (int err = openFolder(name, inside)) return err;
    std::vector<std::string> entries;
    if (int err = inside.names(entries)) return err;
    for (const auto& entry : entries) {
        int err = inside.removeAll(entry);
        if (err && err != ENOENT) return err;
    }
    return errorOf(::unlinkat(fd_, name.c_str(), AT_REMOVEDIR));
}

int OpenFolder::rename(const std::string& name, const OpenFolder& to, const std::string& newName) const {
    if (!isName(name) || !isName(newName)) return name.empty() || newName.empty() ? EBUSY : EINVAL;
    return errorOf(::renameat(fd_, name.c_str(), to.fd_, newName.c_str()));
}

int statOfPath(const std::string& path, ItemFacts& facts) {
    struct stat st;
    return factsOf(::lstat(path.c_str(), &st), st, facts);
}

int openItemBeneath(const std::string& root, const std::string& path, ItemBeneath& out) {
    std::string top = root;
    while (top.size() > 1 && top.back() == '/') top.pop_back();
    std::string relative;
    if (path != top) {
        if (top == "/") {
            if (path.size() < 2 || path[0] != '/') return EXDEV;
            relative = path.substr(1);
        } else {
            if (path.size() <= top.size() + 1 || path.compare(0, top.size(), top) != 0 || path[top.size()] != '/') return EXDEV;
            relative = path.substr(top.size() + 1);
        }
    }
    std::size_t slash = relative.rfind('/');
    std::string name = slash == std::string::npos ? relative : relative.substr(slash + 1);
    std::string parent = slash == std::string::npos ? std::string() : relative.substr(0, slash);
    if (!relative.empty() && !isName(name)) return EINVAL;
    OpenFolder folder;
    if (int err = OpenFolder::beneath(top, parent, folder)) return err;
    out.folder = std::move(folder);
    out.name = std::move(name);
    out.path = path;
    return 0;
}

}  // namespace platform
