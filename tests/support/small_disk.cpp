#include "tests/support/small_disk.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <glib.h>

namespace testutil {

namespace {

bool writeText(const std::string& path, const std::string& text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

void writeAllTo(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

// In the child: a mount namespace of its own with the tmpfs at `folder`; empty, or the reason.
std::string enterSmallDisk(const std::string& folder, std::size_t bytes) {
    uid_t uid = ::geteuid();
    gid_t gid = ::getegid();
    if (uid == 0) {
        if (::unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + std::strerror(errno);
    } else {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return std::string("unshare (user namespace): ") + std::strerror(errno);
        if (!writeText("/proc/self/setgroups", "deny") ||
            !writeText("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
            !writeText("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1")) {
            return std::string("user namespace map: ") + std::strerror(errno);
        }
    }
    // Nothing mounted here reaches the rest of the system.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return std::string("private mounts: ") + std::strerror(errno);
    std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
    if (::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        return std::string("mount tmpfs: ") + std::strerror(errno);
    }
    return "";
}

}  // namespace

std::optional<std::string> onSmallDisk(std::size_t bytes, const std::function<std::string(const std::string& folder)>& work,
                                       std::string* why) {
    std::string tmpl = std::string(g_get_tmp_dir()) + "/kivano-disk.XXXXXX";
    if (!g_mkdtemp(tmpl.data())) {
        if (why) *why = std::string("mkdtemp: ") + std::strerror(errno);
        return std::nullopt;
    }
    const std::string folder = tmpl;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::rmdir(folder.c_str());
        if (why) *why = std::string("pipe: ") + std::strerror(errno);
        return std::nullopt;
    }
    pid_t child = ::fork();
    if (child == 0) {
        ::close(out[0]);
        std::string failed = enterSmallDisk(folder, bytes);
        if (!failed.empty()) {
            writeAllTo(out[1], failed);
            ::_exit(2);
        }
        writeAllTo(out[1], work(folder));
        ::_exit(0);
    }
    ::close(out[1]);
    std::string answer;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    if (child > 0) {
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
    // The tmpfs went with the child's namespace; the folder is empty again.
    ::rmdir(folder.c_str());
    if (child < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        if (why) {
            *why = child < 0 ? std::string("fork: ") + std::strerror(errno)
                   : WIFEXITED(status) && WEXITSTATUS(status) == 2 ? answer
                                                                    : "the child ended abnormally: " + answer;
        }
        return std::nullopt;
    }
    return answer;
}

bool fillDisk(const std::string& filler, std::size_t room) {
    int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    std::vector<char> block(64 * 1024, 'f');
    off_t length = 0;
    for (;;) {
        ssize_t n = ::write(fd, block.data(), block.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        length += n;
    }
    // Full now; give back the room asked for.
    bool ok = static_cast<off_t>(room) <= length && ::ftruncate(fd, length - static_cast<off_t>(room)) == 0 && ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

}  // namespace testutil
