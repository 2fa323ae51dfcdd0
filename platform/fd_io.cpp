#include "platform/fd_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <limits>
#include <vector>

namespace platform {

namespace {

// From `offset` on when it is set, else from the current position.
bool readLoop(int fd, char* out, std::size_t size, std::size_t& done, const std::uint64_t* offset) {
    done = 0;
    while (done < size) {
        ssize_t n = offset ? ::pread(fd, out + done, size - done, static_cast<off_t>(*offset + done))
                           : ::read(fd, out + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool readFully(int fd, void* buffer, std::size_t size, std::size_t& done) {
    return readLoop(fd, static_cast<char*>(buffer), size, done, nullptr);
}

bool readFullyAt(int fd, void* buffer, std::size_t size, std::size_t& done, std::uint64_t offset) {
    done = 0;
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) ||
        size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) - offset) {
        errno = EINVAL;
        return false;
    }
    return readLoop(fd, static_cast<char*>(buffer), size, done, &offset);
}

bool writeFully(int fd, const void* data, std::size_t size, std::size_t& done) {
    done = 0;
    const auto* in = static_cast<const char*>(data);
    while (done < size) {
        ssize_t n = ::write(fd, in + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void closeQuietly(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool makePipe(int fds[2]) { return ::pipe2(fds, O_CLOEXEC) == 0; }

int duplicateDescriptor(int fd) { return ::fcntl(fd, F_DUPFD_CLOEXEC, 0); }

bool waitReadable(int fd, double timeoutSeconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                      std::chrono::duration<double>(timeoutSeconds));
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        if (left < 0) return false;
        pollfd p{fd, POLLIN, 0};
        int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000000)));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n > 0) return true;
    }
}

std::optional<RegularFile> regularFileOf(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return RegularFile{static_cast<std::uint64_t>(st.st_size), static_cast<std::uint64_t>(st.st_ino),
                       static_cast<unsigned>(st.st_mode)};
}

void setBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK); }

bool truncateTo(int fd, std::uint64_t length) {
    if (length > static_cast<std::uint64_t>(INT64_MAX)) {
        errno = EFBIG;
        return false;
    }
    return ::ftruncate(fd, static_cast<off_t>(length)) == 0;
}

void syncToDisk(int fd) { ::fsync(fd); }

bool closeReporting(int fd) { return ::close(fd) == 0; }

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
            if (n > 0 && !writeFully(out, buffer.data(), static_cast<std::size_t>(n))) return false;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;  // an error, or the file is shorter than it was
        done += static_cast<std::uint64_t>(n);
    }
    return true;
}

int sealedMemoryFile(const char* name, const void* data, std::size_t size) {
    int fd = ::memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return -1;
    if (!writeFully(fd, data, size)) {
        ::close(fd);
        return -1;
    }
    // What a reader sees is what was written here.
    ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
    return fd;
}

int memoryFile(const char* name) { return ::memfd_create(name, MFD_CLOEXEC); }

}  // namespace platform
