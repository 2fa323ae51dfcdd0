#include "platform/atomic_file.h"

#include <gio/gunixoutputstream.h>
#include <glib.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/bundle.h"
#include "platform/file_folders.h"
#include "platform/paths.h"

namespace platform {

namespace {

constexpr const char* kRecordPrefix = "pending-writes.";

// This process's writes in flight, each as "<seconds> <path>" ended by a NUL byte, the seconds
// (since 1970) noted just before the write began. Emptied whenever no write is in flight, so it
// stays small.
struct PendingWrites {
    std::mutex mutex;
    int fd = -1;
    pid_t owner = 0;
    pid_t swept = 0;  // the process that last removed the leftovers
    int inFlight = 0;
};

PendingWrites& pending() {
    static PendingWrites* p = new PendingWrites;
    return *p;
}

std::string recordFolder() { return dataHome() + "/" + Bundle::main().identifier(); }

// GLib names the temporary file of "name" as "name.XXXXXX" with six ASCII letters or digits.
bool isTemporaryNameOf(const std::string& name, const std::string& base) {
    if (name.size() != base.size() + 7 || name.compare(0, base.size(), base) != 0 || name[base.size()] != '.') return false;
    for (std::size_t i = base.size() + 1; i < name.size(); ++i) {
        if (!g_ascii_isalnum(name[i])) return false;
    }
    return true;
}

// Only files made since the write began are its temporary file: an older "name.backup" of the
// user stays.
void removeTemporariesOf(const std::string& target, std::time_t since) {
    auto slash = target.rfind('/');
    if (slash == std::string::npos || slash + 1 >= target.size()) return;
    std::string base = target.substr(slash + 1);
    OpenFolder folder;
    std::vector<std::string> names;
    if (OpenFolder::atPath(slash == 0 ? "/" : target.substr(0, slash), folder) != 0 || folder.names(names) != 0) return;
    for (const auto& name : names) {
        if (!isTemporaryNameOf(name, base)) continue;
        ItemFacts facts;
        if (folder.statOf(name, facts) == 0 && facts.isRegular && facts.owner == ::getuid() &&
            facts.changedSeconds >= since) {
            folder.remove(name);
        }
    }
}

void removeLeftoversLocked(PendingWrites& p) {
    p.swept = ::getpid();
    std::string folder = recordFolder();
    DIR* d = ::opendir(folder.c_str());
    if (!d) return;
    std::vector<std::string> records;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name.rfind(kRecordPrefix, 0) != 0) continue;
        char* end = nullptr;
        long pid = std::strtol(name.c_str() + std::strlen(kRecordPrefix), &end, 10);
        if (!end || *end != '\0' || pid <= 0) continue;
        if (pid == ::getpid() && p.owner == ::getpid()) continue;
        // A run that is still alive may be writing right now.
        if (pid != ::getpid() && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)) continue;
        records.push_back(folder + "/" + name);
    }
    ::closedir(d);
    for (const auto& record : records) {
        std::string content;
        if (readFile(record, content)) {
            std::size_t start = 0;
            while (start < content.size()) {
                std::size_t nul = content.find('\0', start);
                if (nul == std::string::npos) break;  // a record cut short names no whole path
                std::string entry = content.substr(start, nul - start);
                start = nul + 1;
                auto space = entry.find(' ');
                if (space == std::string::npos || space == 0) continue;
                char* end = nullptr;
                long long since = std::strtoll(entry.c_str(), &end, 10);
                if (end != entry.c_str() + space) continue;
                removeTemporariesOf(entry.substr(space + 1), static_cast<std::time_t>(since));
            }
        }
        ::unlink(record.c_str());
    }
}

void beginWrite(const std::string& path) {
    PendingWrites& p = pending();
    std::lock_guard lock(p.mutex);
    if (p.owner != ::getpid()) {
        // First write of this process (or of a child forked from it, whose record is its own).
        if (p.fd >= 0) ::close(p.fd);
        p.fd = -1;
        p.inFlight = 0;
        if (p.swept != ::getpid()) removeLeftoversLocked(p);
        p.owner = ::getpid();
        if (auto folder = supportFolder(SupportFolderKind::ApplicationSupport, "")) {
            std::string record = *folder + "/" + kRecordPrefix + std::to_string(::getpid());
            p.fd = ::open(record.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
        }
    }
    ++p.inFlight;
    if (p.fd >= 0) {
        std::string absolute = path;
        if (absolute[0] != '/') {
            g_autofree gchar* cwd = g_get_current_dir();
            absolute = std::string(cwd) + "/" + path;
        }
        // The time a second early, for file systems with coarse times. One write call per
        // entry, so entries of other threads never interleave with it.
        std::string line = std::to_string(static_cast<long long>(std::time(nullptr)) - 1) + " " + absolute + '\0';
        ssize_t ignored = ::write(p.fd, line.data(), line.size());
        (void)ignored;
    }
}

void endWrite() {
    PendingWrites& p = pending();
    std::lock_guard lock(p.mutex);
    if (p.inFlight > 0 && --p.inFlight == 0 && p.fd >= 0) {
        int ignored = ::ftruncate(p.fd, 0);
        (void)ignored;
    }
}

}  // namespace

namespace {

// Whether an item (absent: none) may be replaced by a file, and the mode the new file gets. A
// regular file that is replaced keeps its mode. A device, a FIFO, a socket or a folder is never
// replaced by a file.
bool modeForReplacement(const ItemFacts* item, const AtomicWriteOptions& options, unsigned& mode, bool& keepMode,
                        std::string* error) {
    if (item && !item->isRegular && !item->isLink) {
        if (error) *error = item->isDirectory ? "a folder is in the way" : "not a regular file";
        return false;
    }
    keepMode = item && item->isRegular;
    mode = keepMode ? item->permissions : options.newFileMode;
    return true;
}

// What a replacement by path checks first; answers whether the write may go ahead, and the mode
// the new file gets.
bool prepareReplacement(const std::string& path, const AtomicWriteOptions& options, unsigned& mode, bool& keepMode,
                        std::string* error) {
    if (path.empty() || path.back() == '/') {
        if (error) *error = "no file name";
        return false;
    }
    if (options.createFolders) {
        auto slash = path.rfind('/');
        if (slash != std::string::npos && slash > 0) makeDirs(path.substr(0, slash));
    }
    ItemFacts facts;
    bool exists = statOfPath(path, facts) == 0;
    return modeForReplacement(exists ? &facts : nullptr, options, mode, keepMode, error);
}

// A new empty file beside `name` in the folder, named as GLib names its temporary files
// ("name.XXXXXX", six ASCII letters or digits), which removeLeftoverTemporaryFiles() knows.
int makeTemporaryFile(const OpenFolder& folder, const std::string& name, unsigned mode, int& fd, std::string& temporary) {
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    int err = EEXIST;
    for (int attempt = 0; attempt < 100 && err == EEXIST; ++attempt) {
        std::string candidate = name + ".";
        for (int i = 0; i < 6; ++i) candidate += kLetters[g_random_int_range(0, sizeof kLetters - 1)];
        err = folder.openFile(candidate, FileOpen::Read | FileOpen::Write | FileOpen::New, mode, fd);
        if (!err) temporary = std::move(candidate);
    }
    if (err) return err;
    // Blocking writes from here on: a regular file.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return 0;
}

}  // namespace

std::unique_ptr<AtomicFileWriter> AtomicFileWriter::begin(const std::string& path, const AtomicWriteOptions& options,
                                                          std::string* error) {
    if (path.empty() || path.back() == '/') {
        if (error) *error = "no file name";
        return nullptr;
    }
    auto slash = path.rfind('/');
    if (options.createFolders && slash != std::string::npos && slash > 0) makeDirs(path.substr(0, slash));
    OpenFolder folder;
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (int err = OpenFolder::atPath(dir, folder)) {
        if (error) *error = std::strerror(err);
        return nullptr;
    }
    return beginIn(std::move(folder), slash == std::string::npos ? path : path.substr(slash + 1), path, options, error);
}

std::unique_ptr<AtomicFileWriter> AtomicFileWriter::begin(const ItemBeneath& item, const AtomicWriteOptions& options,
                                                          std::string* error) {
    OpenFolder folder;
    if (int err = item.folder.duplicate(folder)) {
        if (error) *error = std::strerror(err);
        return nullptr;
    }
    return beginIn(std::move(folder), item.name, item.path, options, error);
}

std::unique_ptr<AtomicFileWriter> AtomicFileWriter::beginIn(OpenFolder folder, const std::string& name,
                                                            const std::string& path, const AtomicWriteOptions& options,
                                                            std::string* error) {
    if (name.empty()) {
        if (error) *error = "no file name";
        return nullptr;
    }
    ItemFacts facts;
    bool exists = folder.statOf(name, facts) == 0;
    unsigned mode = 0;
    bool keepMode = false;
    if (!modeForReplacement(exists ? &facts : nullptr, options, mode, keepMode, error)) return nullptr;
    std::unique_ptr<AtomicFileWriter> w(new AtomicFileWriter);
    w->folder_ = std::move(folder);
    w->name_ = name;
    w->path_ = path;
    w->mode_ = mode;
    w->keepMode_ = keepMode;
    beginWrite(path);
    if (int err = makeTemporaryFile(w->folder_, name, mode, w->fd_, w->temporary_)) {
        if (error) *error = std::strerror(err);
        w->fd_ = -1;
        endWrite();
        w->ended_ = true;
        return nullptr;
    }
    return w;
}

AtomicFileWriter::~AtomicFileWriter() { abort(); }

void AtomicFileWriter::abort() {
    if (ended_) return;
    ended_ = true;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temporary_.empty()) folder_.remove(temporary_);
    endWrite();
}

bool AtomicFileWriter::commit(std::string* error) {
    if (ended_ || fd_ < 0) {
        if (error) *error = "no write in progress";
        return false;
    }
    // The temporary file was made under the umask; the replaced file's mode is restored.
    if (keepMode_) ::fchmod(fd_, mode_);
    // Durable before it becomes visible, as writeFileAtomically's replacement is.
    if (::fsync(fd_) != 0 || ::close(fd_) != 0) {
        if (error) *error = std::strerror(errno);
        fd_ = -1;
        abort();
        return false;
    }
    fd_ = -1;
    if (int err = folder_.rename(temporary_, folder_, name_)) {
        if (error) *error = std::strerror(err);
        abort();
        return false;
    }
    temporary_.clear();
    ended_ = true;
    endWrite();
    return true;
}

bool writeFileAtomically(const std::string& path, const void* data, std::size_t size, const AtomicWriteOptions& options,
                         std::string* error) {
    unsigned mode = 0;
    bool keepMode = false;
    if (!prepareReplacement(path, options, mode, keepMode, error)) return false;

    beginWrite(path);
    GError* gerror = nullptr;
    gboolean ok = g_file_set_contents_full(path.c_str(), size ? static_cast<const gchar*>(data) : "",
                                           static_cast<gssize>(size),
                                           static_cast<GFileSetContentsFlags>(G_FILE_SET_CONTENTS_CONSISTENT |
                                                                              G_FILE_SET_CONTENTS_DURABLE),
                                           static_cast<int>(mode), &gerror);
    endWrite();
    if (!ok) {
        if (error) *error = gerror ? gerror->message : "write failed";
        g_clear_error(&gerror);
        return false;
    }
    // The temporary file was made under the umask; the replaced file's mode is restored.
    if (keepMode) ::chmod(path.c_str(), mode);
    return true;
}

bool writeFileAtomically(const ItemBeneath& item, const void* data, std::size_t size, const AtomicWriteOptions& options,
                         std::string* error) {
    auto writer = AtomicFileWriter::begin(item, options, error);
    if (!writer) return false;
    g_autoptr(GOutputStream) out = g_unix_output_stream_new(writer->fd(), FALSE);
    g_autoptr(GError) gerror = nullptr;
    if (!g_output_stream_write_all(out, size ? data : "", size, nullptr, nullptr, &gerror)) {
        if (error) *error = gerror->message;
        return false;  // the writer removes its temporary file
    }
    return writer->commit(error);
}

void removeLeftoverTemporaryFiles() {
    PendingWrites& p = pending();
    std::lock_guard lock(p.mutex);
    removeLeftoversLocked(p);
}

}  // namespace platform
