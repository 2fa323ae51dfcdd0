#include "plugins/standard/WHLocalFilesystem.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

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
};

PathState stateOf(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return {};
    return {true, S_ISDIR(st.st_mode)};
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

bool readAll(int fd, std::int64_t length, Bytes& out) {
    // length < 0: to the end of the file.
    struct stat st;
    std::size_t hint = 0;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        off_t pos = ::lseek(fd, 0, SEEK_CUR);
        if (pos >= 0 && pos < st.st_size) hint = static_cast<std::size_t>(st.st_size - pos);
    }
    if (length >= 0 && static_cast<std::uint64_t>(length) < hint) hint = static_cast<std::size_t>(length);
    out.clear();
    out.reserve(hint);
    std::size_t want = length < 0 ? SIZE_MAX : static_cast<std::size_t>(length);
    std::size_t chunk = hint > 0 ? hint : 65536;
    while (out.size() < want) {
        std::size_t n = std::min(chunk, want - out.size());
        std::size_t old = out.size();
        out.resize(old + n);
        ssize_t r = ::read(fd, out.data() + old, n);
        if (r < 0) {
            out.resize(old);
            if (errno == EINTR) continue;
            return false;
        }
        out.resize(old + static_cast<std::size_t>(r));
        if (r == 0) break;
        chunk = 65536 * 4;
    }
    return true;
}

bool isUsableName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

WHLocalFilesystem::WHLocalFilesystem(std::string name, std::string root) : name_(std::move(name)), fsRoot_(std::move(root)) {}

std::string WHLocalFilesystem::stripQueryParametersFromPath(const std::string& path) { return path.substr(0, path.find('?')); }

std::optional<std::string> WHLocalFilesystem::filesystemPathForFullPath(const std::string& fullPath) const {
    auto components = whfile::componentsInsideRoot(fullPath);
    if (!components) return std::nullopt;
    std::string root = fsRoot_;
    while (root.size() >= 2 && root.back() == '/') root.pop_back();
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
    std::string root = fsRoot_;
    while (root.size() >= 2 && root.back() == '/') root.pop_back();
    if (path.rfind(root, 0) != 0) return std::nullopt;
    std::string rest = path.substr(root.size());
    if (root == "/") return rest.empty() ? std::string() : "/" + rest;
    // "/data/files2" is not inside "/data/files".
    if (!rest.empty() && rest[0] != '/') return std::nullopt;
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

std::optional<Value> WHLocalFilesystem::makeEntryForLocalURL(const WHFilesystemURL& url) {
    auto path = filesystemPathForURL(url);
    if (!path) return std::nullopt;
    auto st = stateOf(*path);
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
    auto path = url ? filesystemPathForURL(*url) : std::nullopt;
    if (!path) return fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR);
    auto st = stateOf(*path);
    if (!create && st.exists && st.isDirectory != getDir) return fileError(WHCommandStatus_IO_EXCEPTION, TYPE_MISMATCH_ERR);
    if (!create && !st.exists) return fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR);
    if (create && exclusive && st.exists) return fileError(WHCommandStatus_IO_EXCEPTION, PATH_EXISTS_ERR);
    if (create && !st.exists) {
        if (getDir) {
            if (::mkdir(path->c_str(), 0777) != 0) {
                logf("error creating directory: %s", std::string(std::strerror(errno)));
                return fileError(WHCommandStatus_IO_EXCEPTION, ABORT_ERR);
            }
        } else {
            int fd = ::open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
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
    if (!path) return fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR);
    auto st = stateOf(*path);
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
        logf("error removing filesystem entry at %s: %s", path, ec.message());
        int code = ABORT_ERR;
        if (ec.value() == ENOENT || ec.value() == ENOTDIR) code = NOT_FOUND_ERR;
        if (ec.value() == EACCES || ec.value() == EPERM || ec.value() == EROFS) code = NO_MODIFICATION_ALLOWED_ERR;
        return fileError(WHCommandStatus_IO_EXCEPTION, code);
    } catch (const std::exception&) {
        return fileError(WHCommandStatus_ERROR, SYNTAX_ERR);
    }
}

WHPluginResult WHLocalFilesystem::removeFileAtURL(const WHFilesystemURL& url) {
    auto path = filesystemPathForURL(url);
    if (!path) return fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR);
    struct stat st;
    if (::lstat(path->c_str(), &st) != 0) return fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR);
    if (S_ISDIR(st.st_mode) && directoryHasEntries(*path)) {
        return fileError(WHCommandStatus_IO_EXCEPTION, INVALID_MODIFICATION_ERR);
    }
    return doRemove(*path);
}

WHPluginResult WHLocalFilesystem::recursiveRemoveFileAtURL(const WHFilesystemURL& url) {
    auto path = filesystemPathForURL(url);
    if (!path) return fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR);
    return doRemove(*path);
}

WHPluginResult WHLocalFilesystem::readEntriesAtURL(const WHFilesystemURL& url) {
    auto dirPath = filesystemPathForURL(url);
    DIR* d = dirPath ? ::opendir(dirPath->c_str()) : nullptr;
    if (!d) return fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR);
    Value entries = Value::array();
    std::string base = *dirPath == "/" ? std::string() : *dirPath;
    while (dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        std::string native = base + "/" + e->d_name;
        auto full = fullPathForFileSystemPath(native);
        if (!full) continue;
        entries.push_back(makeEntryForPath(*full, stateOf(native).isDirectory));
    }
    ::closedir(d);
    return WHPluginResult::resultWithStatusMessageAsArray(WHCommandStatus_OK, entries);
}

std::uint64_t WHLocalFilesystem::truncateFile(const std::string& path, std::uint64_t offset) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    if (::ftruncate(fd, static_cast<off_t>(offset)) != 0) {
        // Left as it was; the answer is the length it has.
    }
    struct stat st;
    std::uint64_t result = ::fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    ::fsync(fd);
    ::close(fd);
    return result;
}

WHPluginResult WHLocalFilesystem::truncateFileAtURL(const WHFilesystemURL& url, std::uint64_t offset) {
    auto path = filesystemPathForURL(url);
    std::uint64_t result = path ? truncateFile(*path, offset) : 0;
    return WHPluginResult::resultWithStatusMessageAsInt(WHCommandStatus_OK, static_cast<std::int32_t>(result));
}

WHPluginResult WHLocalFilesystem::writeToFileAtURL(const WHFilesystemURL& url, const Bytes& data, bool append) {
    auto path = filesystemPathForURL(url);
    if (!path) return fileError(WHCommandStatus_ERROR, NOT_FOUND_ERR);
    if (stateOf(*path).isDirectory) return fileError(WHCommandStatus_ERROR, INVALID_MODIFICATION_ERR);
    if (data.empty()) return WHPluginResult::resultWithStatusMessageAsDouble(WHCommandStatus_OK, 0.0);
    int fd = ::open(path->c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0666);
    if (fd < 0) return fileError(WHCommandStatus_ERROR, INVALID_MODIFICATION_ERR);
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t w = ::write(fd, data.data() + done, data.size() - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            break;
        }
        done += static_cast<std::size_t>(w);
    }
    ::close(fd);
    if (done < 1) return fileError(WHCommandStatus_ERROR, INVALID_MODIFICATION_ERR);
    return WHPluginResult::resultWithStatusMessageAsInt(WHCommandStatus_OK, static_cast<std::int32_t>(done));
}

WHPluginResult WHLocalFilesystem::replaceFileAtURL(const WHFilesystemURL& url, const Bytes& data) {
    auto path = filesystemPathForURL(url);
    if (!path) return fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR);
    std::string error;
    std::string content(data.begin(), data.end());
    if (!platform::writeFileAtomically(*path, content, &error)) {
        logf("error writing %s: %s", *path, error);
        return fileError(WHCommandStatus_IO_EXCEPTION, ABORT_ERR);
    }
    return WHPluginResult::resultWithStatusMessageAsInt(WHCommandStatus_OK, static_cast<std::int32_t>(data.size()));
}

void WHLocalFilesystem::readFileAtURL(const WHFilesystemURL& url, std::int64_t start, std::int64_t end,
                                      const ReadCallback& callback) {
    auto path = filesystemPathForURL(url);
    std::string mime = getMimeTypeFromPath(path ? *path : url.fullPath().value_or("")).value_or("*/*");
    int fd = path ? ::open(path->c_str(), O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) {
        callback(std::nullopt, mime, NOT_FOUND_ERR);
        return;
    }
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        callback(std::nullopt, mime, NOT_READABLE_ERR);
        return;
    }
    if (start < 0) start = 0;
    if (start > 0) ::lseek(fd, static_cast<off_t>(start), SEEK_SET);
    // end < start (end not negative) asks for nothing.
    std::int64_t length = end < 0 ? -1 : std::max<std::int64_t>(0, end - start);
    Bytes data;
    bool ok = readAll(fd, length, data);
    ::close(fd);
    if (!ok) {
        callback(std::nullopt, mime, NOT_READABLE_ERR);
        return;
    }
    callback(std::move(data), mime, 0);
}

void WHLocalFilesystem::getFileMetadataForURL(const WHFilesystemURL& url, const ResultCallback& callback) {
    auto path = filesystemPathForURL(url);
    struct stat st;
    if (!path || ::stat(path->c_str(), &st) != 0) {
        int err = path ? errno : ENOENT;
        logf("error getting metadata: %s", std::string(std::strerror(err)));
        int code = err == ENOENT || err == ENOTDIR ? NOT_FOUND_ERR : ABORT_ERR;
        callback(fileError(WHCommandStatus_ERROR, code));
        return;
    }
    Value meta{{"fullPath", *url.fullPath()},
               {"type", ""},
               {"name", lastPathComponent(*path)},
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
    auto destDir = filesystemPathForURL(destURL);
    if (!destDir || !stateOf(*destDir).isDirectory) return fail(NOT_FOUND_ERR);
    // The new name is one component: no separators, no dot segments.
    if (!isUsableName(newName)) return fail(ENCODING_ERR);
    std::string newPath = (*destDir == "/" ? std::string() : *destDir) + "/" + newName;
    auto newFullPath = fullPathForFileSystemPath(newPath);
    if (!newFullPath) return fail(NOT_FOUND_ERR);
    auto dest = stateOf(newPath);

    auto* local = dynamic_cast<WHLocalFilesystem*>(srcFs);
    if (!local) {
        if (!srcFs) return fail(NOT_FOUND_ERR);
        srcFs->readFileAtURL(srcURL, 0, -1, [&](std::optional<Bytes> data, const std::string&, int code) {
            if (!data) return fail(code);
            std::string content(data->begin(), data->end());
            if (!platform::writeFileAtomically(newPath, content)) return fail(ABORT_ERR);
            callback(WHPluginResult::resultWithStatusMessageAsDictionary(WHCommandStatus_OK,
                                                                         makeEntryForPath(*newFullPath, false)));
        });
        return;
    }
    auto srcPath = local->filesystemPathForURL(srcURL);
    if (!srcPath) return fail(NOT_FOUND_ERR);
    struct stat sst;
    if (::lstat(srcPath->c_str(), &sst) != 0) return fail(NOT_FOUND_ERR);
    bool srcIsDir = S_ISDIR(sst.st_mode);
    if (newPath == *srcPath) return fail(INVALID_MODIFICATION_ERR);
    if (srcIsDir && dest.exists && !dest.isDirectory) return fail(INVALID_MODIFICATION_ERR);

    std::error_code ec;
    if (copy) {
        if (srcIsDir && !canCopyMoveSrc(*srcPath, newPath)) return fail(INVALID_MODIFICATION_ERR);
        if (dest.exists) return fail(PATH_EXISTS_ERR);
        fs::copy(*srcPath, newPath, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
    } else {
        if (!srcIsDir && dest.exists && dest.isDirectory) return fail(INVALID_MODIFICATION_ERR);
        if (srcIsDir && !canCopyMoveSrc(*srcPath, newPath)) return fail(INVALID_MODIFICATION_ERR);
        if (dest.exists) {
            if (dest.isDirectory && directoryHasEntries(newPath)) return fail(INVALID_MODIFICATION_ERR);
            fs::remove_all(newPath, ec);
            if (ec) return fail(INVALID_MODIFICATION_ERR);
        }
        fs::rename(*srcPath, newPath, ec);
        if (ec && ec.value() == EXDEV) {
            ec.clear();
            fs::copy(*srcPath, newPath, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
            if (!ec) fs::remove_all(*srcPath, ec);
        }
    }
    if (ec) return fail(copyMoveErrorCode(ec.value()));
    callback(WHPluginResult::resultWithStatusMessageAsDictionary(WHCommandStatus_OK, makeEntryForPath(*newFullPath, srcIsDir)));
}
