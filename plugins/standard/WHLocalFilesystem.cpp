#include "plugins/standard/WHLocalFilesystem.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "platform/content_type.h"
#include "platform/fd_io.h"
#include "platform/file_folders.h"
#include "platform/file_info.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/url_escape.h"

using platform::FileOpen;
using platform::ItemBeneath;
using platform::ItemFacts;
using platform::logf;
using platform::OpenFolder;
using whfile::appendingPathComponent;
using whfile::lastPathComponent;

namespace {

WHPluginResult fileError(int status, int code) { return WHPluginResult::resultWithStatusMessageAsInt(status, code); }

struct PathState {
    bool exists = false;
    bool isDirectory = false;
    bool isRegular = false;
};

// The item itself (a link is not followed).
PathState stateOf(const std::optional<ItemBeneath>& item) {
    ItemFacts facts;
    if (!item || item->folder.statOf(item->name, facts) != 0) return {};
    return {true, facts.isDirectory, facts.isRegular};
}

bool directoryHasEntries(const ItemBeneath& item) {
    OpenFolder folder;
    std::vector<std::string> names;
    return item.folder.openFolder(item.name, folder) == 0 && folder.names(names) == 0 && !names.empty();
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

// Reads up to `length` bytes from `offset` on; fewer when the file ends first.
bool readRange(int fd, std::uint64_t offset, std::uint64_t length, Bytes& out) {
    out.clear();
    try {
        out.resize(static_cast<std::size_t>(length));
    } catch (const std::bad_alloc&) {
        return false;
    }
    std::size_t done = 0;
    bool ok = platform::readFullyAt(fd, out.data(), out.size(), done, offset);
    out.resize(done);
    return ok;
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

// Where a copy goes: the folder it is made in and its name there; `path` is where that is on
// the disk, against which the targets of copied links are checked.
struct CopyTarget {
    const OpenFolder& folder;
    std::string name;
    std::string path;
};

// Copies the item `name` of `from` (not followed) to `to`, which must not exist. Folders and
// regular files are copied with their modes; a link is copied as a link when its target, read
// from the link's new place, lies inside `root`; anything else is refused. Answers 0 or a
// FileError code; `made` tells whether anything was made at `to`.
int copyInto(const OpenFolder& from, const std::string& name, const CopyTarget& to, const std::string& root, bool& made) {
    made = false;
    ItemFacts facts;
    if (int err = from.statOf(name, facts)) return err == ENOENT ? NOT_FOUND_ERR : copyMoveErrorCode(err);
    if (facts.isLink) {
        std::string text;
        if (from.readLink(name, text) != 0 || text.empty()) return NOT_READABLE_ERR;
        std::string pointsTo = lexicallyNormal(text[0] == '/' ? text : parentOf(to.path) + "/" + text);
        if (!isInside(pointsTo, root)) return INVALID_MODIFICATION_ERR;
        if (int err = to.folder.makeLink(text, to.name)) return copyMoveErrorCode(err);
        made = true;
        return 0;
    }
    if (facts.isDirectory) {
        if (int err = to.folder.makeFolder(to.name, 0700)) return copyMoveErrorCode(err);
        made = true;
        OpenFolder source, copy;
        std::vector<std::string> names;
        if (from.openFolder(name, source) != 0 || source.names(names) != 0) return NOT_READABLE_ERR;
        if (int err = to.folder.openFolder(to.name, copy)) return copyMoveErrorCode(err);
        for (const auto& entry : names) {
            bool inner = false;
            if (int code = copyInto(source, entry, CopyTarget{copy, entry, joined(to.path, entry)}, root, inner)) return code;
        }
        copy.setMode(facts.permissions);
        return 0;
    }
    if (!facts.isRegular) return NOT_READABLE_ERR;
    int in = -1;
    if (from.openFile(name, FileOpen::Read, 0, in) != 0) return NOT_READABLE_ERR;
    auto source = platform::regularFileOf(in);
    if (!source) {
        platform::closeQuietly(in);
        return NOT_READABLE_ERR;
    }
    int out = -1;
    if (int err = to.folder.openFile(to.name, FileOpen::Write | FileOpen::New, source->mode & 0777, out)) {
        platform::closeQuietly(in);
        return copyMoveErrorCode(err);
    }
    made = true;
    platform::setBlocking(out);
    // Up to the size the source had when the copy began.
    std::uint64_t left = source->size;
    std::vector<std::uint8_t> buffer(256 * 1024);
    int code = 0;
    std::uint64_t offset = 0;
    while (left > 0 && !code) {
        std::size_t got = 0;
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
        if (!platform::readFullyAt(in, buffer.data(), want, got, offset)) {
            code = NOT_READABLE_ERR;
            break;
        }
        if (got == 0) break;
        if (!platform::writeFully(out, buffer.data(), got)) code = copyMoveErrorCode(errno);
        offset += got;
        left -= got;
    }
    platform::closeQuietly(in);
    if (!platform::closeReporting(out) && !code) code = copyMoveErrorCode(errno);
    return code;
}

// copyInto, leaving nothing of the copy behind when it fails (and what was there already).
int copyItem(const OpenFolder& from, const std::string& name, const CopyTarget& to, const std::string& root) {
    bool made = false;
    int code = copyInto(from, name, to, root, made);
    if (code && made) to.folder.removeAll(to.name);
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

std::optional<std::string> WHLocalFilesystem::realRoot() const { return platform::realPath(lexicalRoot()); }

std::optional<std::string> WHLocalFilesystem::diskPath(const std::string& root, const std::string& nativePath,
                                                       bool keepLastLink) const {
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
        std::optional<std::string> real = head == lexical ? std::optional(root) : platform::realPath(head);
        if (real) {
            resolved = *real == "/" && !tail.empty() ? tail : *real + tail;
            break;
        }
        // There but not resolvable: a dangling link, a loop, a file used as a folder.
        if (!platform::isAbsent(head)) return std::nullopt;
        tail = head.substr(head.rfind('/')) + tail;
        head = parentOf(head);
        if (!isInside(head, lexical)) return std::nullopt;
    }
    if (!isInside(*resolved, root)) return std::nullopt;
    return resolved;
}

WHLocalFilesystem::Located WHLocalFilesystem::locate(const std::optional<std::string>& nativePath, bool keepLastLink) const {
    Located found;
    auto root = nativePath ? realRoot() : std::nullopt;
    if (!root) return found;
    found.root = *root;
    found.path = diskPath(*root, *nativePath, keepLastLink);
    if (!found.path) return found;
    ItemBeneath item;
    found.error = platform::openItemBeneath(*root, *found.path, item);
    // A link put on the way since the path was resolved leads where no link may lead.
    if (found.error == ELOOP || found.error == EXDEV) found.error = ENOENT;
    if (!found.error) found.item = std::move(item);
    return found;
}

WHLocalFilesystem::Located WHLocalFilesystem::locateURL(const WHFilesystemURL& url, bool keepLastLink) {
    return locate(filesystemPathForURL(url), keepLastLink);
}

std::optional<Value> WHLocalFilesystem::makeEntryForLocalURL(const WHFilesystemURL& url) {
    auto st = stateOf(locateURL(url).item);
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
    auto found = url ? locateURL(*url) : Located();
    if (!found.path) return fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR);
    auto& item = found.item;
    int err = found.error;
    auto st = stateOf(item);
    if (!create && st.exists && st.isDirectory != getDir) return fileError(WHCommandStatus_IO_EXCEPTION, TYPE_MISMATCH_ERR);
    if (!create && !st.exists) return fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR);
    if (create && exclusive && st.exists) return fileError(WHCommandStatus_IO_EXCEPTION, PATH_EXISTS_ERR);
    if (create && !st.exists) {
        if (getDir) {
            if (item) err = item->folder.makeFolder(item->name, 0700);
            if (err) {
                logf(platform::LogLevel::Error, "error creating directory: %s", std::string(std::strerror(err)));
                return fileError(WHCommandStatus_IO_EXCEPTION, ABORT_ERR);
            }
        } else {
            int fd = -1;
            if (!item || item->folder.openFile(item->name, FileOpen::Write | FileOpen::New, 0600, fd) != 0) {
                return fileError(WHCommandStatus_IO_EXCEPTION, ABORT_ERR);
            }
            platform::closeQuietly(fd);
        }
    }
    return WHPluginResult::resultWithStatusMessageAsDictionary(WHCommandStatus_OK, makeEntryForPath(fullPath, getDir));
}

WHPluginResult WHLocalFilesystem::getParentForURL(const WHFilesystemURL& url) {
    if (!url.fullPath()) return fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR);
    std::string full = stripQueryParametersFromPath(*url.fullPath());
    std::string parent = full.empty() ? std::string() : whfile::deletingLastPathComponent(full);
    auto path = filesystemPathForFullPath(parent);
    auto st = stateOf(locate(path).item);
    if (!st.exists) return fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR);
    return WHPluginResult::resultWithStatusMessageAsDictionary(WHCommandStatus_OK, makeEntryForPath(parent, st.isDirectory));
}

WHPluginResult WHLocalFilesystem::setMetadataForURL(const WHFilesystemURL&, const Value&) {
    return WHPluginResult::resultWithStatus(WHCommandStatus_ERROR);
}

namespace {

WHPluginResult removalError(const std::string& path, int err) {
    logf(platform::LogLevel::Error, "error removing filesystem entry at %s: %s", path, std::string(std::strerror(err)));
    int code = ABORT_ERR;
    if (err == ENOENT || err == ENOTDIR) code = NOT_FOUND_ERR;
    if (err == EACCES || err == EPERM || err == EROFS) code = NO_MODIFICATION_ALLOWED_ERR;
    return fileError(WHCommandStatus_IO_EXCEPTION, code);
}

}  // namespace

WHPluginResult WHLocalFilesystem::doRemove(const ItemBeneath& item) {
    // The root is the filesystem itself.
    if (item.name.empty()) return fileError(WHCommandStatus_IO_EXCEPTION, NO_MODIFICATION_ALLOWED_ERR);
    try {
        ItemFacts facts;
        int err = item.folder.statOf(item.name, facts);
        if (!err) err = item.folder.removeAll(item.name);
        if (!err) return WHPluginResult::resultWithStatus(WHCommandStatus_OK);
        return removalError(item.path, err);
    } catch (const std::exception&) {
        return fileError(WHCommandStatus_ERROR, SYNTAX_ERR);
    }
}

WHPluginResult WHLocalFilesystem::removeFileAtURL(const WHFilesystemURL& url) {
    // A link is removed itself, whatever it points at.
    auto item = locateURL(url, true).item;
    auto st = stateOf(item);
    if (!st.exists) return fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR);
    if (st.isDirectory && directoryHasEntries(*item)) return fileError(WHCommandStatus_IO_EXCEPTION, INVALID_MODIFICATION_ERR);
    return doRemove(*item);
}

WHPluginResult WHLocalFilesystem::recursiveRemoveFileAtURL(const WHFilesystemURL& url) {
    auto found = locateURL(url, true);
    if (!found.path) return fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR);
    if (!found.item) return removalError(*found.path, found.error);
    return doRemove(*found.item);
}

WHPluginResult WHLocalFilesystem::readEntriesAtURL(const WHFilesystemURL& url) {
    auto dirNative = filesystemPathForURL(url);
    auto item = locate(dirNative).item;
    OpenFolder folder;
    std::vector<std::string> names;
    if (!item || item->folder.openFolder(item->name, folder) != 0 || folder.names(names) != 0) {
        return fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR);
    }
    Value entries = Value::array();
    for (const auto& name : names) {
        std::string native = joined(*dirNative, name);
        auto full = fullPathForFileSystemPath(native);
        if (!full) continue;
        // A link counts as what it leads to inside the root; one leading out is listed as a file.
        ItemFacts facts;
        bool isDirectory = false;
        if (folder.statOf(name, facts) == 0) {
            isDirectory = facts.isLink ? stateOf(locate(native).item).isDirectory : facts.isDirectory;
        }
        entries.push_back(makeEntryForPath(*full, isDirectory));
    }
    return WHPluginResult::resultWithStatusMessageAsArray(WHCommandStatus_OK, entries);
}

namespace {

// A regular file opened to append at a position, put back as it was unless keep() is called: a
// write that fails (a full disk) leaves the length the file had, and a file made for the write
// is removed again.
class PositionedFile {
public:
    // Opens (or makes) the regular file; with a position, cut or extended there first.
    static std::optional<PositionedFile> open(ItemBeneath item, std::optional<std::uint64_t> position) {
        bool created = false;
        int fd = -1;
        int err = item.folder.openFile(item.name, FileOpen::Write | FileOpen::Append, 0, fd);
        if (err == ENOENT) {
            err = item.folder.openFile(item.name, FileOpen::Write | FileOpen::Append | FileOpen::New, 0600, fd);
            created = !err;
        }
        if (err) return std::nullopt;
        auto facts = platform::regularFileOf(fd);
        if (!facts) {
            platform::closeQuietly(fd);
            return std::nullopt;
        }
        PositionedFile file(fd, std::move(item), created, facts->size, facts->inode);
        if (position && *position != file.length_ && !created && !platform::truncateTo(fd, *position)) {
            return std::nullopt;
        }
        // Blocking writes from here on: a regular file.
        platform::setBlocking(fd);
        return file;
    }
    PositionedFile(PositionedFile&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)), item_(std::move(other.item_)), created_(other.created_),
          kept_(other.kept_), length_(other.length_), inode_(other.inode_) {}
    PositionedFile& operator=(PositionedFile&&) = delete;
    ~PositionedFile() {
        if (fd_ < 0) return;
        if (!kept_) restore();
        platform::closeQuietly(fd_);
    }
    int fd() const { return fd_; }
    void keep() { kept_ = true; }

private:
    PositionedFile(int fd, ItemBeneath item, bool created, std::uint64_t length, std::uint64_t inode)
        : fd_(fd), item_(std::move(item)), created_(created), length_(length), inode_(inode) {}
    void restore() {
        if (created_) {
            // Only the file made here, not one that took its place since.
            ItemFacts facts;
            if (item_.folder.statOf(item_.name, facts) == 0 && facts.inode == inode_) item_.folder.remove(item_.name);
            return;
        }
        if (platform::truncateTo(fd_, length_)) platform::syncToDisk(fd_);
    }
    int fd_;
    ItemBeneath item_;
    bool created_;
    bool kept_ = false;
    std::uint64_t length_;
    std::uint64_t inode_;
};

}  // namespace

std::uint64_t WHLocalFilesystem::truncateFile(const ItemBeneath& item, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) return 0;
    int fd = -1;
    if (item.folder.openFile(item.name, FileOpen::Write, 0, fd) != 0) return 0;
    if (!platform::regularFileOf(fd)) {
        platform::closeQuietly(fd);
        return 0;
    }
    // A failed cut leaves the file as it was; the answer is the length it has.
    platform::truncateTo(fd, offset);
    auto after = platform::regularFileOf(fd);
    std::uint64_t result = after ? after->size : 0;
    platform::syncToDisk(fd);
    platform::closeQuietly(fd);
    return result;
}

WHPluginResult WHLocalFilesystem::truncateFileAtURL(const WHFilesystemURL& url, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) return fileError(WHCommandStatus_IO_EXCEPTION, INVALID_MODIFICATION_ERR);
    auto item = locateURL(url).item;
    auto st = stateOf(item);
    // Only a regular file has a length to cut; a missing one answers 0.
    if (st.exists && !st.isRegular) return fileError(WHCommandStatus_IO_EXCEPTION, INVALID_MODIFICATION_ERR);
    std::uint64_t result = st.exists ? truncateFile(*item, offset) : 0;
    return WHPluginResult::resultWithStatusMessageAsInt(WHCommandStatus_OK, static_cast<std::int32_t>(result));
}

WHPluginResult WHLocalFilesystem::writeToFileAtURL(const WHFilesystemURL& url, const Bytes& data, bool append) {
    // Writing from the start replaces the whole content (with the same checks of the path).
    if (!append && !data.empty()) return replaceFileAtURL(url, data);
    auto found = locateURL(url);
    if (!found.path) return fileError(WHCommandStatus_ERROR, NOT_FOUND_ERR);
    auto& item = found.item;
    auto st = stateOf(item);
    if (st.exists && !st.isRegular) return fileError(WHCommandStatus_ERROR, INVALID_MODIFICATION_ERR);
    // Empty data leaves the file as it is.
    if (data.empty()) return WHPluginResult::resultWithStatusMessageAsDouble(WHCommandStatus_OK, 0.0);
    std::optional<PositionedFile> file = item ? PositionedFile::open(std::move(*item), std::nullopt) : std::nullopt;
    if (!file) return fileError(WHCommandStatus_ERROR, INVALID_MODIFICATION_ERR);
    std::size_t done = 0;
    platform::writeFully(file->fd(), data.data(), data.size(), done);
    // Nothing written: a file made for the write goes again.
    if (done < 1) return fileError(WHCommandStatus_ERROR, INVALID_MODIFICATION_ERR);
    file->keep();
    return WHPluginResult::resultWithStatusMessageAsInt(WHCommandStatus_OK, static_cast<std::int32_t>(done));
}

WHPluginResult WHLocalFilesystem::replaceFileAtURL(const WHFilesystemURL& url, const Bytes& data) {
    auto found = locateURL(url);
    if (!found.path) return fileError(WHCommandStatus_ERROR, NOT_FOUND_ERR);
    const auto& path = found.path;
    auto& item = found.item;
    auto st = stateOf(item);
    if (st.exists && !st.isRegular) return fileError(WHCommandStatus_ERROR, INVALID_MODIFICATION_ERR);
    // Nothing to write to a missing file: it is not made.
    if (data.empty() && !st.exists) return WHPluginResult::resultWithStatusMessageAsDouble(WHCommandStatus_OK, 0.0);
    platform::AtomicWriteOptions options;
    options.createFolders = false;
    std::string error = "the folder cannot be reached";
    if (!item || !platform::writeFileAtomically(*item, data.data(), data.size(), options, &error)) {
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
    auto item = locate(native).item;
    auto st = stateOf(item);
    errorCode = NOT_FOUND_ERR;
    if (!st.exists) return std::nullopt;
    // A folder, a FIFO, a device or a socket is nothing to read (and may never end).
    errorCode = NOT_READABLE_ERR;
    if (!st.isRegular) return std::nullopt;
    int fd = -1;
    errorCode = NOT_FOUND_ERR;
    if (item->folder.openFile(item->name, FileOpen::Read, 0, fd) != 0) return std::nullopt;
    auto facts = platform::regularFileOf(fd);
    if (!facts) {
        platform::closeQuietly(fd);
        errorCode = NOT_READABLE_ERR;
        return std::nullopt;
    }
    // Bytes appended while reading are not read: the size now is the end.
    std::uint64_t size = facts->size;
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
    platform::closeQuietly(range->fd);
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
    auto found = locateURL(url);
    if (!found.path) {
        error = fileError(WHCommandStatus_ERROR, NOT_FOUND_ERR);
        return nullptr;
    }
    const auto& path = found.path;
    auto& item = found.item;
    auto st = stateOf(item);
    if (st.exists && !st.isRegular) {
        error = fileError(WHCommandStatus_ERROR, INVALID_MODIFICATION_ERR);
        return nullptr;
    }
    error = fileError(WHCommandStatus_ERROR, INVALID_MODIFICATION_ERR);
    if (!item) return nullptr;
    int original = -1;
    if (position > 0 && st.exists) {
        item->folder.openFile(item->name, FileOpen::Read, 0, original);
        auto facts = original >= 0 ? platform::regularFileOf(original) : std::nullopt;
        if (!facts) {
            platform::closeQuietly(original);
            return nullptr;
        }
        if (position >= facts->size) platform::closeQuietly(original);
    }
    if (position == 0 || original >= 0) {
        platform::AtomicWriteOptions options;
        options.createFolders = false;
        std::string why;
        auto writer = platform::AtomicFileWriter::begin(*item, options, &why);
        bool ready = writer != nullptr;
        if (ready && original >= 0) {
            ready = platform::copyPrefix(original, writer->fd(), position);
            if (!ready) why = std::strerror(errno);
        }
        platform::closeQuietly(original);
        if (!ready) {
            logf(platform::LogLevel::Error, "error writing %s: %s", *path, why);
            return nullptr;
        }
        return std::make_unique<ReplacementTarget>(std::move(writer), *path);
    }
    auto file = PositionedFile::open(std::move(*item), st.exists ? std::optional<std::uint64_t>(position) : std::nullopt);
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
    platform::writeFully(target->fd(), data.data(), data.size(), done);
    return target->finish(done);
}

void WHLocalFilesystem::getFileMetadataForURL(const WHFilesystemURL& url, const ResultCallback& callback) {
    auto native = filesystemPathForURL(url);
    auto found = locate(native);
    int err = found.error;
    ItemFacts facts;
    if (found.item) err = found.item->folder.statOf(found.item->name, facts);
    if (err) {
        logf("error getting metadata: %s", std::string(std::strerror(err)));
        int code = err == ENOENT || err == ENOTDIR ? NOT_FOUND_ERR : ABORT_ERR;
        callback(fileError(WHCommandStatus_ERROR, code));
        return;
    }
    Value meta{{"fullPath", *url.fullPath()},
               {"type", ""},
               {"name", lastPathComponent(*native)},
               {"size", facts.isRegular ? facts.size : std::uint64_t{0}}};
    meta["lastModifiedDate"] =
        static_cast<double>(facts.modifiedSeconds) * 1000.0 + static_cast<double>(facts.modifiedNanoseconds) / 1e6;
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
    if (!destNative || !stateOf(locate(destNative).item).isDirectory) return fail(NOT_FOUND_ERR);
    // The new name is one component: no separators, no dot segments.
    if (!isUsableName(newName)) return fail(ENCODING_ERR);
    auto newFullPath = fullPathForFileSystemPath(joined(*destNative, newName));
    if (!newFullPath) return fail(NOT_FOUND_ERR);
    // The destination folder is opened here, once: everything below is made through it.
    auto found = locate(joined(*destNative, newName), true);
    if (!found.item) return fail(NOT_FOUND_ERR);
    const std::string& newPath = *found.path;
    const std::string& root = found.root;
    auto& target = found.item;
    auto dest = stateOf(target);

    auto* local = dynamic_cast<WHLocalFilesystem*>(srcFs);
    if (!local) {
        if (!srcFs) return fail(NOT_FOUND_ERR);
        srcFs->readFileAtURL(srcURL, 0, -1, [&](std::optional<Bytes> data, const std::string&, int code) {
            if (!data) return fail(code);
            platform::AtomicWriteOptions options;
            options.createFolders = false;
            if (!platform::writeFileAtomically(*target, data->data(), data->size(), options)) return fail(ABORT_ERR);
            callback(WHPluginResult::resultWithStatusMessageAsDictionary(WHCommandStatus_OK,
                                                                         makeEntryForPath(*newFullPath, false)));
        });
        return;
    }
    // The item itself: a link is copied or moved as a link.
    auto source = local->locateURL(srcURL, true);
    const auto& srcPath = source.path;
    auto& src = source.item;
    ItemFacts srcFacts;
    if (!src || src->folder.statOf(src->name, srcFacts) != 0) return fail(NOT_FOUND_ERR);
    bool srcIsDir = srcFacts.isDirectory;
    if (newPath == *srcPath) return fail(INVALID_MODIFICATION_ERR);
    if (srcIsDir && dest.exists && !dest.isDirectory) return fail(INVALID_MODIFICATION_ERR);

    const CopyTarget to{target->folder, target->name, newPath};
    int code = 0;
    if (copy) {
        if (srcIsDir && !canCopyMoveSrc(*srcPath, newPath)) return fail(INVALID_MODIFICATION_ERR);
        if (dest.exists) return fail(PATH_EXISTS_ERR);
        code = copyItem(src->folder, src->name, to, root);
    } else {
        if (!srcIsDir && dest.exists && dest.isDirectory) return fail(INVALID_MODIFICATION_ERR);
        if (srcIsDir && !canCopyMoveSrc(*srcPath, newPath)) return fail(INVALID_MODIFICATION_ERR);
        if (dest.exists) {
            if (dest.isDirectory && directoryHasEntries(*target)) return fail(INVALID_MODIFICATION_ERR);
            if (target->folder.removeAll(target->name) != 0) return fail(INVALID_MODIFICATION_ERR);
        }
        if (int err = src->folder.rename(src->name, target->folder, target->name)) {
            if (err != EXDEV) {
                code = copyMoveErrorCode(err);
            } else {
                code = copyItem(src->folder, src->name, to, root);
                if (!code) src->folder.removeAll(src->name);
            }
        }
    }
    if (code) return fail(code);
    callback(WHPluginResult::resultWithStatusMessageAsDictionary(WHCommandStatus_OK, makeEntryForPath(*newFullPath, srcIsDir)));
}
