#include "plugins/standard/WHLocalFilesystem.h"

#include <glib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <linux/openat2.h>
#include <new>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "platform/content_type.h"
#include "platform/file_folders.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/url_escape.h"

namespace fs = std::filesystem;
using platform::logf;
using whfile::appendingPathComponent;
using whfile::lastPathComponent;

namespace {

WHPluginResult fileError(int status, int code) { return WHPluginResult::resultWithStatusMessageAsInt(status, code); }

struct PathState {
    bool exists = false;
    bool isDirectory = false;
    bool isRegular = false;
};

// The item at a disk path itself (a link is not followed).
PathState stateOf(const std::optional<std::string>& path) {
    struct stat st;
    if (!path || ::lstat(path->c_str(), &st) != 0) return {};
    return {true, S_ISDIR(st.st_mode), S_ISREG(st.st_mode)};
}

bool directoryHasEntries(const std::string& path) {
    DIR* d = ::opendir(path.c_str());
    if (!d) return false;
    bool any = false;
    while (dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            any = true;
            break;
        }
    }
    ::closedir(d);
    return any;
}

// FileError code for a failed copy or move.
int copyMoveErrorCode(int err) {
    switch (err) {
        case EIO:
        case EFBIG: return NOT_READABLE_ERR;
        case ENOSPC:
        case EDQUOT: return QUOTA_EXCEEDED_ERR;
        case EACCES:
        case EPERM:
        case EROFS: return NO_MODIFICATION_ALLOWED_ERR;
        default: return INVALID_MODIFICATION_ERR;
    }
}

bool isUsableName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool isInside(const std::string& path, const std::string& root) {
    if (root == "/") return !path.empty() && path[0] == '/';
    return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/');
}

std::string parentOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string joined(const std::string& dir, const std::string& name) { return (dir == "/" ? "" : dir) + "/" + name; }

std::optional<std::string> realPathOf(const std::string& path) {
    char buf[PATH_MAX];
    if (!::realpath(path.c_str(), buf)) return std::nullopt;
    return std::string(buf);
}

// Opens a disk path that has no links in it, never blocking (a FIFO, a device) and never making a
// terminal the controlling one. A link anywhere on the path, also one put there after the path
// was resolved, makes it fail (ELOOP).
int openWithoutLinks(const std::string& path, int flags, mode_t mode = 0) {
    flags |= O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    static bool noOpenat2 = false;
    if (!__atomic_load_n(&noOpenat2, __ATOMIC_RELAXED)) {
        open_how how{};
        how.flags = static_cast<std::uint64_t>(flags);
        how.mode = (flags & O_CREAT) ? mode : 0;
        how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
        if (fd >= 0) return static_cast<int>(fd);
        if (errno != ENOSYS && errno != EPERM && errno != E2BIG && errno != EINVAL) return -1;
        // Kernels or sandboxes without openat2: the last component at least is not followed.
        if (errno == ENOSYS) __atomic_store_n(&noOpenat2, true, __ATOMIC_RELAXED);
    }
    return ::open(path.c_str(), flags | O_NOFOLLOW, mode);
}

// Reads up to `length` bytes from `offset` on; fewer when the file ends first.
bool readRange(int fd, std::uint64_t offset, std::uint64_t length, Bytes& out) {
    out.clear();
    try {
        out.resize(static_cast<std::size_t>(length));
    } catch (const std::bad_alloc&) {
        return false;
    }
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t r = ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (r == 0) break;
        done += static_cast<std::size_t>(r);
    }
    out.resize(done);
    return true;
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size, std::size_t& done) {
    done = 0;
    while (done < size) {
        ssize_t w = ::write(fd, data + done, size - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(w);
    }
    return true;
}

// "/a/b/../c/./d" -> "/a/c/d"; never above "/".
std::string lexicallyNormal(const std::string& absolute) {
    std::vector<std::string> out;
    for (auto& c : whfile::splitPath(absolute)) {
        if (c == ".") continue;
        if (c == "..") {
            if (!out.empty()) out.pop_back();
            continue;
        }
        out.push_back(std::move(c));
    }
    std::string path;
    for (const auto& c : out) path += "/" + c;
    return path.empty() ? "/" : path;
}

// Copies the item at the disk path `src` (not followed) to `dst`, which must not exist. Folders
// and regular files are copied with their modes; a link is copied as a link when its target,
// read from the link's new place, lies inside `root`; anything else is refused. Answers 0 or a
// FileError code.
int copyInto(const std::string& src, const std::string& dst, const std::string& root) {
    struct stat st;
    if (::lstat(src.c_str(), &st) != 0) return errno == ENOENT ? NOT_FOUND_ERR : copyMoveErrorCode(errno);
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
        ssize_t n = ::readlink(src.c_str(), target.data(), target.size());
        if (n < 0 || static_cast<std::size_t>(n) >= target.size()) return NOT_READABLE_ERR;
        std::string text(target.data(), static_cast<std::size_t>(n));
        std::string pointsTo = lexicallyNormal(text[0] == '/' ? text : parentOf(dst) + "/" + text);
        if (!isInside(pointsTo, root)) return INVALID_MODIFICATION_ERR;
        return ::symlink(text.c_str(), dst.c_str()) == 0 ? 0 : copyMoveErrorCode(errno);
    }
    if (S_ISDIR(st.st_mode)) {
        if (::mkdir(dst.c_str(), 0700) != 0) return copyMoveErrorCode(errno);
        int fd = openWithoutLinks(src, O_RDONLY | O_DIRECTORY);
        DIR* d = fd >= 0 ? ::fdopendir(fd) : nullptr;
        if (!d) {
            if (fd >= 0) ::close(fd);
            return NOT_READABLE_ERR;
        }
        int code = 0;
        while (dirent* e = ::readdir(d)) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
            code = copyInto(joined(src, e->d_name), joined(dst, e->d_name), root);
            if (code) break;
        }
        ::closedir(d);
        if (!code) ::chmod(dst.c_str(), st.st_mode & 07777);
        return code;
    }
    if (!S_ISREG(st.st_mode)) return NOT_READABLE_ERR;
    int in = openWithoutLinks(src, O_RDONLY);
    if (in < 0) return NOT_READABLE_ERR;
    struct stat ist;
    if (::fstat(in, &ist) != 0 || !S_ISREG(ist.st_mode)) {
        ::close(in);
        return NOT_READABLE_ERR;
    }
    int out = ::open(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, ist.st_mode & 0777);
    if (out < 0) {
        int err = errno;
        ::close(in);
        return copyMoveErrorCode(err);
    }
    // Up to the size the source had when the copy began.
    std::uint64_t left = static_cast<std::uint64_t>(ist.st_size);
    std::vector<std::uint8_t> buffer(256 * 1024);
    int code = 0;
    off_t offset = 0;
    while (left > 0 && !code) {
        ssize_t r = ::pread(in, buffer.data(), std::min<std::uint64_t>(left, buffer.size()), offset);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) code = NOT_READABLE_ERR;
        if (r <= 0) break;
        std::size_t written = 0;
        if (!writeAll(out, buffer.data(), static_cast<std::size_t>(r), written)) code = copyMoveErrorCode(errno);
        offset += r;
        left -= static_cast<std::uint64_t>(r);
    }
    ::close(in);
    if (::close(out) != 0 && !code) code = copyMoveErrorCode(errno);
    return code;
}

// copyInto, leaving nothing at `dst` when it fails.
int copyItem(const std::string& src, const std::string& dst, const std::string& root) {
    int code = copyInto(src, dst, root);
    if (code) {
        std::error_code ec;
        fs::remove_all(dst, ec);
    }
    return code;
}

}  // namespace

WHLocalFilesystem::WHLocalFilesystem(std::string name, std::string root) : name_(std::move(name)), fsRoot_(std::move(root)) {}

std::string WHLocalFilesystem::stripQueryParametersFromPath(const std::string& path) { return path.substr(0, path.find('?')); }

std::optional<std::string> WHLocalFilesystem::filesystemPathForFullPath(const std::string& fullPath) const {
    auto components = whfile::componentsInsideRoot(fullPath);
    if (!components) return std::nullopt;
    std::string root = lexicalRoot();
    if (components->empty()) return root;
    std::string out = root == "/" ? std::string() : root;
    for (const auto& c : *components) out += "/" + c;
    return out;
}

std::optional<std::string> WHLocalFilesystem::filesystemPathForURL(const WHFilesystemURL& url) {
    if (!url.fullPath()) return std::nullopt;
    return filesystemPathForFullPath(*url.fullPath());
}

std::optional<WHFilesystemURL> WHLocalFilesystem::URLforFullPath(const std::optional<std::string>& fullPath) const {
    if (!fullPath) return std::nullopt;
    // Escaped so that the parse gives the same full path back (a "?" stays part of the path).
    std::string escaped = platform::percentEscape(*fullPath, "!$&'()*+,;=:@");
    std::string text = std::string(kWHFilesystemURLPrefix) + "://localhost/" + name_ +
                       (!fullPath->empty() && (*fullPath)[0] == '/' ? "" : "/") + escaped;
    return WHFilesystemURL::fileSystemURLWithString(text);
}

std::optional<std::string> WHLocalFilesystem::fullPathForFileSystemPath(const std::string& path) const {
    std::string root = lexicalRoot();
    // "/data/files2" is not inside "/data/files".
    if (!isInside(path, root)) return std::nullopt;
    std::string rest = path.substr(root.size());
    if (root == "/") return rest.empty() ? std::string() : "/" + rest;
    if (rest == "/") return std::string();
    return rest;
}

std::optional<WHFilesystemURL> WHLocalFilesystem::URLforFilesystemPath(const std::string& path) {
    return URLforFullPath(fullPathForFileSystemPath(path));
}

std::string WHLocalFilesystem::normalizePath(const std::string& path) {
    bool absolute = !path.empty() && path[0] == '/';
    auto components = whfile::splitPath(absolute ? path.substr(1) : path);
    std::vector<std::string> out;
    for (auto& c : components) {
        if (c == "..") {
            if (!out.empty()) out.pop_back();
        } else {
            out.push_back(std::move(c));
        }
    }
    std::string joined;
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (i) joined += "/";
        joined += out[i];
    }
    return absolute ? "/" + joined : joined;
}

bool WHLocalFilesystem::fullPathIsRoot(const std::string& fullPath) {
    auto components = whfile::componentsInsideRoot(fullPath);
    return components && components->empty();
}

bool WHLocalFilesystem::valueForKeyIsNumber(const Value& dict, const std::string& key) {
    if (!dict.is_object()) return false;
    auto it = dict.find(key);
    return it != dict.end() && (it->is_number() || it->is_boolean());
}

static bool truthOf(const Value& dict, const std::string& key) {
    if (!WHLocalFilesystem::valueForKeyIsNumber(dict, key)) return false;
    const Value& v = dict.at(key);
    if (v.is_boolean()) return v.get<bool>();
    return v.get<double>() != 0.0;
}

std::string WHLocalFilesystem::nativeURLFor(const std::string& path) const {
    std::string u = platform::fileURLForPath(path);
    return urlTransformer_ ? urlTransformer_(u) : u;
}

Value WHLocalFilesystem::makeEntryForPath(const std::string& fullPath, bool isDirectory) {
    std::string name = stripQueryParametersFromPath(lastPathComponent(fullPath));
    std::string path = fullPath;
    if (isDirectory && (path.empty() || path.back() != '/')) path += "/";
    Value entry{{"isFile", !isDirectory}, {"isDirectory", isDirectory}, {"fullPath", path},
                {"name", name},           {"filesystemName", name_}};
    auto native = filesystemPathForFullPath(fullPath);
    entry["nativeURL"] = native ? Value(nativeURLFor(*native)) : Value(nullptr);
    return entry;
}

std::string WHLocalFilesystem::lexicalRoot() const {
    std::string root = fsRoot_;
    while (root.size() >= 2 && root.back() == '/') root.pop_back();
    return root;
}

std::optional<std::string> WHLocalFilesystem::realRoot() const { return realPathOf(lexicalRoot()); }

std::optional<std::string> WHLocalFilesystem::diskPath(const std::string& nativePath, bool keepLastLink) const {
    auto root = realRoot();
    if (!root) return std::nullopt;  // no root folder: nothing is in it
    std::string lexical = lexicalRoot();
    if (nativePath == lexical) return root;
    if (!isInside(nativePath, lexical)) return std::nullopt;
    // The deepest part of the path that is there is resolved; what is missing below it (or the
    // last component, when it is kept) is appended as it stands.
    std::string head = nativePath;
    std::string tail;
    if (keepLastLink) {
        tail = nativePath.substr(nativePath.rfind('/'));
        head = parentOf(nativePath);
    }
    std::optional<std::string> resolved;
    while (!resolved) {
        std::optional<std::string> real = head == lexical ? root : realPathOf(head);
        if (real) {
            resolved = *real == "/" && !tail.empty() ? tail : *real + tail;
            break;
        }
        // There but not resolvable: a dangling link, a loop, a file used as a folder.
        struct stat st;
        if (::lstat(head.c_str(), &st) == 0 || errno != ENOENT) return std::nullopt;
        tail = head.substr(head.rfind('/')) + tail;
        head = parentOf(head);
        if (!isInside(head, lexical)) return std::nullopt;
    }
    if (!isInside(*resolved, *root)) return std::nullopt;
    return resolved;
}

std::optional<std::string> WHLocalFilesystem::diskPathForURL(const WHFilesystemURL& url, bool keepLastLink) {
    auto native = filesystemPathForURL(url);
    if (!native) return std::nullopt;
    return diskPath(*native, keepLastLink);
}

std::optional<Value> WHLocalFilesystem::makeEntryForLocalURL(const WHFilesystemURL& url) {
    auto st = stateOf(diskPathForURL(url));
    if (!st.exists) return std::nullopt;
    return makeEntryForPath(*url.fullPath(), st.isDirectory);
}

WHPluginResult WHLocalFilesystem::entryForLocalURI(const WHFilesystemURL& url) {
    auto entry = makeEntryForLocalURL(url);
    if (!entry) return fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR);
    return WHPluginResult::resultWithStatusMessageAsDictionary(WHCommandStatus_OK, *entry);
}

WHPluginResult WHLocalFilesystem::getFileForURL(const WHFilesystemURL& baseURL, const std::string& requestedPath,
                                                const Value& options) {
    bool create = truthOf(options, "create");
    bool exclusive = truthOf(options, "exclusive");
    bool getDir = truthOf(options, "getDir");
    if (requestedPath.find(':') != std::string::npos) return fileError(WHCommandStatus_IO_EXCEPTION, ENCODING_ERR);
    if (!baseURL.fullPath()) return fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR);
    std::string fullPath = normalizePath(appendingPathComponent(*baseURL.fullPath(), requestedPath));
    if (fullPath.empty() || fullPath[0] != '/') fullPath = "/" + fullPath;
    auto url = URLforFullPath(fullPath);
    auto path = url ? diskPathForURL(*url) : std::nullopt;
    if (!path) return fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR);
    auto st = stateOf(path);
    if (!create && st.exists && st.isDirectory != getDir) return fileError(WHCommandStatus_IO_EXCEPTION, TYPE_MISMATCH_ERR);
    if (!create && !st.exists) return fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR);
    if (create && exclusive && st.exists) return fileError(WHCommandStatus_IO_EXCEPTION, PATH_EXISTS_ERR);
    if (create && !st.exists) {
        if (getDir) {
            if (::mkdir(path->c_str(), 0700) != 0) {
                logf(platform::LogLevel::Error, "error creating directory: %s", std::string(std::strerror(errno)));
                return fileError(WHCommandStatus_IO_EXCEPTION, ABORT_ERR);
            }
        } else {
            int fd = openWithoutLinks(*path, O_WRONLY | O_CREAT | O_EXCL, 0600);
            if (fd < 0) return fileError(WHCommandStatus_IO_EXCEPTION, ABORT_ERR);
            ::close(fd);
        }
    }
    return WHPluginResult::resultWithStatusMessageAsDictionary(WHCommandStatus_OK, makeEntryForPath(fullPath, getDir));
}

WHPluginResult WHLocalFilesystem::getParentForURL(const WHFilesystemURL& url) {
    if (!url.fullPath()) return fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR);
    std::string full = stripQueryParametersFromPath(*url.fullPath());
    std::string parent = full.empty() ? std::string() : whfile::deletingLastPathComponent(full);
    auto path = filesystemPathForFullPath(parent);
    auto st = stateOf(path ? diskPath(*path) : std::nullopt);
    if (!st.exists) return fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR);
    return WHPluginResult::resultWithStatusMessageAsDictionary(WHCommandStatus_OK, makeEntryForPath(parent, st.isDirectory));
}

WHPluginResult WHLocalFilesystem::setMetadataForURL(const WHFilesystemURL&, const Value&) {
    return WHPluginResult::resultWithStatus(WHCommandStatus_ERROR);
}

WHPluginResult WHLocalFilesystem::doRemove(const std::string& path) {
    try {
        struct stat st;
        std::error_code ec;
        if (::lstat(path.c_str(), &st) != 0) {
            ec = std::error_code(errno, std::generic_category());
        } else {
            fs::remove_all(path, ec);
        }
        if (!ec) return WHPluginResult::resultWithStatus(WHCommandStatus_OK);
        logf(platform::LogLevel::Error, "error removing filesystem entry at %s: %s", path, ec.message());
        int code = ABORT_ERR;
        if (ec.value() == ENOENT || ec.value() == ENOTDIR) code = NOT_FOUND_ERR;
        if (ec.value() == EACCES || ec.value() == EPERM || ec.value() == EROFS) code = NO_MODIFICATION_ALLOWED_ERR;
        return fileError(WHCommandStatus_IO_EXCEPTION, code);
    } catch (const std::exception&) {
        return fileError(WHCommandStatus_ERROR, SYNTAX_ERR);
    }
}

WHPluginResult WHLocalFilesystem::removeFileAtURL(const WHFilesystemURL& url) {
    // A link is removed itself, whatever it points at.
    auto path = diskPathForURL(url, true);
    auto st = stateOf(path);
    if (!st.exists) return fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR);
    if (st.isDirectory && directoryHasEntries(*path)) return fileError(WHCommandStatus_IO_EXCEPTION, INVALID_MODIFICATION_ERR);
    return doRemove(*path);
}

WHPluginResult WHLocalFilesystem::recursiveRemoveFileAtURL(const WHFilesystemURL& url) {
    auto path = diskPathForURL(url, true);
    if (!path) return fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR);
    return doRemove(*path);
}

WHPluginResult WHLocalFilesystem::readEntriesAtURL(const WHFilesystemURL& url) {
    auto dirNative = filesystemPathForURL(url);
    auto dirPath = dirNative ? diskPath(*dirNative) : std::nullopt;
    int fd = dirPath ? openWithoutLinks(*dirPath, O_RDONLY | O_DIRECTORY) : -1;
    DIR* d = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!d) {
        if (fd >= 0) ::close(fd);
        return fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR);
    }
    Value entries = Value::array();
    while (dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        std::string native = joined(*dirNative, e->d_name);
        auto full = fullPathForFileSystemPath(native);
        if (!full) continue;
        // A link counts as what it leads to inside the root; one leading out is listed as a file.
        std::string onDisk = joined(*dirPath, e->d_name);
        struct stat st;
        bool isDirectory = false;
        if (::lstat(onDisk.c_str(), &st) == 0) {
            isDirectory = S_ISLNK(st.st_mode) ? stateOf(diskPath(native)).isDirectory : S_ISDIR(st.st_mode);
        }
        entries.push_back(makeEntryForPath(*full, isDirectory));
    }
    ::closedir(d);
    return WHPluginResult::resultWithStatusMessageAsArray(WHCommandStatus_OK, entries);
}

namespace {

// A regular file opened to append at a position, put back as it was unless keep() is called: a
// write that fails (a full disk) leaves the length the file had, and a file made for the write
// is removed again.
class PositionedFile {
public:
    // Opens (or makes) the regular file at the disk path; with a position, cut or extended there
    // first.
    static std::optional<PositionedFile> open(const std::string& path, std::optional<std::uint64_t> position) {
        bool created = false;
        int fd = openWithoutLinks(path, O_WRONLY | O_APPEND);
        if (fd < 0 && errno == ENOENT) {
            fd = openWithoutLinks(path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL, 0600);
            created = fd >= 0;
        }
        if (fd < 0) return std::nullopt;
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            return std::nullopt;
        }
        PositionedFile file(fd, path, created, static_cast<std::uint64_t>(st.st_size), st.st_ino);
        if (position && *position != file.length_ && !created &&
            (*position > static_cast<std::uint64_t>(INT64_MAX) || ::ftruncate(fd, static_cast<off_t>(*position)) != 0)) {
            return std::nullopt;
        }
        // Blocking writes from here on: a regular file.
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return file;
    }
    PositionedFile(PositionedFile&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)), created_(other.created_),
          kept_(other.kept_), length_(other.length_), inode_(other.inode_) {}
    PositionedFile& operator=(PositionedFile&&) = delete;
    ~PositionedFile() {
        if (fd_ < 0) return;
        if (!kept_) restore();
        ::close(fd_);
    }
    int fd() const { return fd_; }
    void keep() { kept_ = true; }

private:
    PositionedFile(int fd, std::string path, bool created, std::uint64_t length, ino_t inode)
        : fd_(fd), path_(std::move(path)), created_(created), length_(length), inode_(inode) {}
    void restore() {
        if (created_) {
            // Only the file made here, not one that took its place since.
            struct stat st;
            if (::lstat(path_.c_str(), &st) == 0 && st.st_ino == inode_) ::unlink(path_.c_str());
            return;
        }
        if (::ftruncate(fd_, static_cast<off_t>(length_)) == 0) ::fsync(fd_);
    }
    int fd_;
    std::string path_;
    bool created_;
    bool kept_ = false;
    std::uint64_t length_;
    ino_t inode_;
};

// Copies the first `length` bytes of `in` to `out` from where `out` stands.
bool copyPrefix(int in, int out, std::uint64_t length) {
    std::uint64_t done = 0;
    bool inKernel = true;
    std::vector<std::uint8_t> buffer;
    while (done < length) {
        std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, 1 << 30));
        loff_t from = static_cast<loff_t>(done);
        ssize_t n = -1;
        if (inKernel) {
            n = ::copy_file_range(in, &from, out, nullptr, step, 0);
            if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL)) {
                inKernel = false;
                continue;
            }
        } else {
            buffer.resize(std::min<std::size_t>(step, 256 * 1024));
            n = ::pread(in, buffer.data(), buffer.size(), static_cast<off_t>(done));
            std::size_t written = 0;
            if (n > 0 && !writeAll(out, buffer.data(), static_cast<std::size_t>(n), written)) return false;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;  // an error, or the file is shorter than it was
        done += static_cast<std::uint64_t>(n);
    }
    return true;
}

}  // namespace

std::uint64_t WHLocalFilesystem::truncateFile(const std::string& path, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) return 0;
    int fd = openWithoutLinks(path, O_WRONLY);
    if (fd < 0) return 0;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return 0;
    }
    if (::ftruncate(fd, static_cast<off_t>(offset)) != 0) {
        // Left as it was; the answer is the length it has.
    }
    std::uint64_t result = ::fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    ::fsync(fd);
    ::close(fd);
    return result;
}

WHPluginResult WHLocalFilesystem::truncateFileAtURL(const WHFilesystemURL& url, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) return fileError(WHCommandStatus_IO_EXCEPTION, INVALID_MODIFICATION_ERR);
    auto path = diskPathForURL(url);
    auto st = stateOf(path);
    // Only a regular file has a length to cut; a missing one answers 0.
    if (st.exists && !st.isRegular) return fileError(WHCommandStatus_IO_EXCEPTION, INVALID_MODIFICATION_ERR);
    std::uint64_t result = st.exists ? truncateFile(*path, offset) : 0;
    return WHPluginResult::resultWithStatusMessageAsInt(WHCommandStatus_OK, static_cast<std::int32_t>(result));
}

WHPluginResult WHLocalFilesystem::writeToFileAtURL(const WHFilesystemURL& url, const Bytes& data, bool append) {
    // Writing from the start replaces the whole content (with the same checks of the path).
    if (!append && !data.empty()) return replaceFileAtURL(url, data);
    auto path = diskPathForURL(url);
    if (!path) return fileError(WHCommandStatus_ERROR, NOT_FOUND_ERR);
    auto st = stateOf(path);
    if (st.exists && !st.isRegular) return fileError(WHCommandStatus_ERROR, INVALID_MODIFICATION_ERR);
    // Empty data leaves the file as it is.
    if (data.empty()) return WHPluginResult::resultWithStatusMessageAsDouble(WHCommandStatus_OK, 0.0);
    std::optional<PositionedFile> file = PositionedFile::open(*path, std::nullopt);
    if (!file) return fileError(WHCommandStatus_ERROR, INVALID_MODIFICATION_ERR);
    std::size_t done = 0;
    writeAll(file->fd(), data.data(), data.size(), done);
    // Nothing written: a file made for the write goes again.
    if (done < 1) return fileError(WHCommandStatus_ERROR, INVALID_MODIFICATION_ERR);
    file->keep();
    return WHPluginResult::resultWithStatusMessageAsInt(WHCommandStatus_OK, static_cast<std::int32_t>(done));
}

WHPluginResult WHLocalFilesystem::replaceFileAtURL(const WHFilesystemURL& url, const Bytes& data) {
    auto path = diskPathForURL(url);
    if (!path) return fileError(WHCommandStatus_ERROR, NOT_FOUND_ERR);
    auto st = stateOf(path);
    if (st.exists && !st.isRegular) return fileError(WHCommandStatus_ERROR, INVALID_MODIFICATION_ERR);
    // Nothing to write to a missing file: it is not made.
    if (data.empty() && !st.exists) return WHPluginResult::resultWithStatusMessageAsDouble(WHCommandStatus_OK, 0.0);
    platform::AtomicWriteOptions options;
    options.createFolders = false;
    std::string error;
    if (!platform::writeFileAtomically(*path, data.data(), data.size(), options, &error)) {
        logf(platform::LogLevel::Error, "error writing %s: %s", *path, error);
        return fileError(WHCommandStatus_ERROR, INVALID_MODIFICATION_ERR);
    }
    if (data.empty()) return WHPluginResult::resultWithStatusMessageAsDouble(WHCommandStatus_OK, 0.0);
    return WHPluginResult::resultWithStatusMessageAsInt(WHCommandStatus_OK, static_cast<std::int32_t>(data.size()));
}

std::optional<WHFileSystem::OpenedRange> WHLocalFilesystem::openRangeAtURL(const WHFilesystemURL& url, std::int64_t start,
                                                                          std::int64_t end, int& errorCode,
                                                                          std::string& mimeType) {
    auto native = filesystemPathForURL(url);
    mimeType = getMimeTypeFromPath(native ? *native : url.fullPath().value_or("")).value_or("*/*");
    auto path = native ? diskPath(*native) : std::nullopt;
    auto st = stateOf(path);
    errorCode = NOT_FOUND_ERR;
    if (!st.exists) return std::nullopt;
    // A folder, a FIFO, a device or a socket is nothing to read (and may never end).
    errorCode = NOT_READABLE_ERR;
    if (!st.isRegular) return std::nullopt;
    int fd = openWithoutLinks(*path, O_RDONLY);
    errorCode = NOT_FOUND_ERR;
    if (fd < 0) return std::nullopt;
    struct stat fst;
    if (::fstat(fd, &fst) != 0 || !S_ISREG(fst.st_mode)) {
        ::close(fd);
        errorCode = NOT_READABLE_ERR;
        return std::nullopt;
    }
    // Bytes appended while reading are not read: the size now is the end.
    std::uint64_t size = static_cast<std::uint64_t>(fst.st_size);
    std::uint64_t from = start > 0 ? static_cast<std::uint64_t>(start) : 0;
    std::uint64_t available = from < size ? size - from : 0;
    // end < start (end not negative) asks for nothing.
    std::uint64_t length = available;
    if (end >= 0) length = std::min<std::uint64_t>(available, end > static_cast<std::int64_t>(from) ? static_cast<std::uint64_t>(end) - from : 0);
    errorCode = 0;
    return OpenedRange{fd, from, length, mimeType};
}

void WHLocalFilesystem::readFileAtURL(const WHFilesystemURL& url, std::int64_t start, std::int64_t end,
                                      const ReadCallback& callback) {
    int code = 0;
    std::string mime;
    auto range = openRangeAtURL(url, start, end, code, mime);
    if (!range) return callback(std::nullopt, mime, code);
    Bytes data;
    bool ok = readRange(range->fd, range->offset, range->length, data);
    ::close(range->fd);
    if (!ok) return callback(std::nullopt, mime, NOT_READABLE_ERR);
    callback(std::move(data), mime, 0);
}

namespace {

// The whole content replaced: the bytes go to a temporary file beside the target, moved into
// place when they are all there.
class ReplacementTarget : public WHFileSystem::WriteTarget {
public:
    ReplacementTarget(std::unique_ptr<platform::AtomicFileWriter> writer, std::string path)
        : writer_(std::move(writer)), path_(std::move(path)) {}
    int fd() const override { return writer_->fd(); }
    WHPluginResult finish(std::uint64_t written) override {
        std::string error;
        if (!writer_->commit(&error)) {
            logf(platform::LogLevel::Error, "error writing %s: %s", path_, error);
            return fileError(WHCommandStatus_ERROR, INVALID_MODIFICATION_ERR);
        }
        if (written == 0) return WHPluginResult::resultWithStatusMessageAsDouble(WHCommandStatus_OK, 0.0);
        return WHPluginResult::resultWithStatusMessageAsInt(WHCommandStatus_OK, static_cast<std::int32_t>(written));
    }

private:
    std::unique_ptr<platform::AtomicFileWriter> writer_;
    std::string path_;
};

// Bytes appended to the file as it stands after the cut at the position; a write that fails
// leaves the file as it was.
class AppendTarget : public WHFileSystem::WriteTarget {
public:
    explicit AppendTarget(PositionedFile file) : file_(std::move(file)) {}
    int fd() const override { return file_.fd(); }
    WHPluginResult finish(std::uint64_t written) override {
        if (written < 1) return fileError(WHCommandStatus_ERROR, INVALID_MODIFICATION_ERR);
        file_.keep();
        return WHPluginResult::resultWithStatusMessageAsInt(WHCommandStatus_OK, static_cast<std::int32_t>(written));
    }

private:
    PositionedFile file_;
};

}  // namespace

std::unique_ptr<WHFileSystem::WriteTarget> WHLocalFilesystem::openForWriteAtPosition(const WHFilesystemURL& url,
                                                                                      std::uint64_t position,
                                                                                      WHPluginResult& error) {
    // The same checks and effects as the cut at the position and the append, on one resolution of
    // the path. A write that fails leaves the file as it was: from the start, and inside the
    // file (the bytes past the position are kept until the new ones are all there), the file is
    // replaced; at or past its end, it is extended and cut back to its length on failure.
    auto path = diskPathForURL(url);
    if (!path) {
        error = fileError(WHCommandStatus_ERROR, NOT_FOUND_ERR);
        return nullptr;
    }
    auto st = stateOf(path);
    if (st.exists && !st.isRegular) {
        error = fileError(WHCommandStatus_ERROR, INVALID_MODIFICATION_ERR);
        return nullptr;
    }
    error = fileError(WHCommandStatus_ERROR, INVALID_MODIFICATION_ERR);
    int original = -1;
    struct stat ost{};
    if (position > 0 && st.exists) {
        original = openWithoutLinks(*path, O_RDONLY);
        if (original < 0 || ::fstat(original, &ost) != 0 || !S_ISREG(ost.st_mode)) {
            if (original >= 0) ::close(original);
            return nullptr;
        }
        if (position >= static_cast<std::uint64_t>(ost.st_size)) {
            ::close(original);
            original = -1;
        }
    }
    if (position == 0 || original >= 0) {
        platform::AtomicWriteOptions options;
        options.createFolders = false;
        std::string why;
        auto writer = platform::AtomicFileWriter::begin(*path, options, &why);
        bool ready = writer != nullptr;
        if (ready && original >= 0) {
            ready = copyPrefix(original, writer->fd(), position);
            if (!ready) why = std::strerror(errno);
        }
        if (original >= 0) ::close(original);
        if (!ready) {
            logf(platform::LogLevel::Error, "error writing %s: %s", *path, why);
            return nullptr;
        }
        return std::make_unique<ReplacementTarget>(std::move(writer), *path);
    }
    auto file = PositionedFile::open(*path, st.exists ? std::optional<std::uint64_t>(position) : std::nullopt);
    if (!file) return nullptr;
    return std::make_unique<AppendTarget>(std::move(*file));
}

WHPluginResult WHLocalFilesystem::writeAtPosition(const WHFilesystemURL& url, const Bytes& data, std::uint64_t position) {
    // Empty data only cuts the file at the position.
    if (position == 0 || data.empty()) return WHFileSystem::writeAtPosition(url, data, position);
    WHPluginResult error;
    auto target = openForWriteAtPosition(url, position, error);
    if (!target) return error;
    std::size_t done = 0;
    writeAll(target->fd(), data.data(), data.size(), done);
    return target->finish(done);
}

void WHLocalFilesystem::getFileMetadataForURL(const WHFilesystemURL& url, const ResultCallback& callback) {
    auto native = filesystemPathForURL(url);
    auto path = native ? diskPath(*native) : std::nullopt;
    struct stat st;
    if (!path || ::lstat(path->c_str(), &st) != 0) {
        int err = path ? errno : ENOENT;
        logf("error getting metadata: %s", std::string(std::strerror(err)));
        int code = err == ENOENT || err == ENOTDIR ? NOT_FOUND_ERR : ABORT_ERR;
        callback(fileError(WHCommandStatus_ERROR, code));
        return;
    }
    Value meta{{"fullPath", *url.fullPath()},
               {"type", ""},
               {"name", lastPathComponent(*native)},
               {"size", S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : std::uint64_t{0}}};
    meta["lastModifiedDate"] =
        static_cast<double>(st.st_mtim.tv_sec) * 1000.0 + static_cast<double>(st.st_mtim.tv_nsec) / 1e6;
    callback(WHPluginResult::resultWithStatusMessageAsDictionary(WHCommandStatus_OK, meta));
}

bool WHLocalFilesystem::canCopyMoveSrc(const std::string& src, const std::string& dest) {
    std::string s = src;
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    std::string d = dest;
    while (d.size() > 1 && d.back() == '/') d.pop_back();
    if (d == s) return false;
    if (s == "/") return false;
    return d.rfind(s + "/", 0) != 0;
}

std::optional<std::string> WHLocalFilesystem::getMimeTypeFromPath(const std::optional<std::string>& path) {
    if (!path) return std::nullopt;
    auto guess = platform::contentTypeForPath(*path);
    if (guess.mimeType) return guess.mimeType;
    std::string ext = platform::pathExtension(*path);
    if (guess.typeIdentifier.find("m4a-audio") != std::string::npos) return "audio/mp4";
    if (ext.find("wav") != std::string::npos) return "audio/wav";
    if (ext.find("css") != std::string::npos) return "text/css";
    return std::nullopt;
}

void WHLocalFilesystem::copyFileToURL(const WHFilesystemURL& destURL, const std::string& newName, WHFileSystem* srcFs,
                                      const WHFilesystemURL& srcURL, bool copy, const ResultCallback& callback) {
    auto fail = [&](int code) { callback(fileError(WHCommandStatus_IO_EXCEPTION, code)); };
    auto destNative = filesystemPathForURL(destURL);
    auto destDir = destNative ? diskPath(*destNative) : std::nullopt;
    auto root = realRoot();
    if (!destDir || !root || !stateOf(destDir).isDirectory) return fail(NOT_FOUND_ERR);
    // The new name is one component: no separators, no dot segments.
    if (!isUsableName(newName)) return fail(ENCODING_ERR);
    std::string newPath = joined(*destDir, newName);
    auto newFullPath = fullPathForFileSystemPath(joined(*destNative, newName));
    if (!newFullPath) return fail(NOT_FOUND_ERR);
    auto dest = stateOf(newPath);

    auto* local = dynamic_cast<WHLocalFilesystem*>(srcFs);
    if (!local) {
        if (!srcFs) return fail(NOT_FOUND_ERR);
        srcFs->readFileAtURL(srcURL, 0, -1, [&](std::optional<Bytes> data, const std::string&, int code) {
            if (!data) return fail(code);
            platform::AtomicWriteOptions options;
            options.createFolders = false;
            if (!platform::writeFileAtomically(newPath, data->data(), data->size(), options)) return fail(ABORT_ERR);
            callback(WHPluginResult::resultWithStatusMessageAsDictionary(WHCommandStatus_OK,
                                                                         makeEntryForPath(*newFullPath, false)));
        });
        return;
    }
    // The item itself: a link is copied or moved as a link.
    auto srcPath = local->diskPathForURL(srcURL, true);
    struct stat sst;
    if (!srcPath || ::lstat(srcPath->c_str(), &sst) != 0) return fail(NOT_FOUND_ERR);
    bool srcIsDir = S_ISDIR(sst.st_mode);
    if (newPath == *srcPath) return fail(INVALID_MODIFICATION_ERR);
    if (srcIsDir && dest.exists && !dest.isDirectory) return fail(INVALID_MODIFICATION_ERR);

    int code = 0;
    if (copy) {
        if (srcIsDir && !canCopyMoveSrc(*srcPath, newPath)) return fail(INVALID_MODIFICATION_ERR);
        if (dest.exists) return fail(PATH_EXISTS_ERR);
        code = copyItem(*srcPath, newPath, *root);
    } else {
        if (!srcIsDir && dest.exists && dest.isDirectory) return fail(INVALID_MODIFICATION_ERR);
        if (srcIsDir && !canCopyMoveSrc(*srcPath, newPath)) return fail(INVALID_MODIFICATION_ERR);
        std::error_code ec;
        if (dest.exists) {
            if (dest.isDirectory && directoryHasEntries(newPath)) return fail(INVALID_MODIFICATION_ERR);
            fs::remove_all(newPath, ec);
            if (ec) return fail(INVALID_MODIFICATION_ERR);
        }
        if (::rename(srcPath->c_str(), newPath.c_str()) != 0) {
            if (errno != EXDEV) {
                code = copyMoveErrorCode(errno);
            } else {
                code = copyItem(*srcPath, newPath, *root);
                if (!code) fs::remove_all(*srcPath, ec);
            }
        }
    }
    if (code) return fail(code);
    callback(WHPluginResult::resultWithStatusMessageAsDictionary(WHCommandStatus_OK, makeEntryForPath(*newFullPath, srcIsDir)));
}
