#include "bridge/WHOutOfBandBytes.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/dispatch.h"
#include "platform/log.h"

namespace {

bool makePipe(int fds[2]) { return ::pipe2(fds, O_CLOEXEC) == 0; }

void closeQuietly(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Waits until `fd` is readable or its writers are gone; false on time-out.
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

// Runs `job` on the main thread: there and then when already on it, else as soon as the main
// thread gets to it (also while it waits for the file queue).
void onMain(std::function<void()> job) {
    if (platform::isMainThread()) {
        job();
    } else {
        platform::dispatchMainPromptly(std::move(job));
    }
}

}  // namespace

// ---- held bytes ----

WHHeldBytes::WHHeldBytes(std::string token, std::uint64_t size, Writer writer, Releaser releaser)
    : token_(std::move(token)), size_(size), writer_(std::move(writer)), releaser_(std::move(releaser)) {}

WHHeldBytes::~WHHeldBytes() {
    if (used_ || !releaser_) return;
    onMain([releaser = std::move(releaser_), token = token_] { releaser(token); });
}

std::optional<std::uint64_t> WHHeldBytes::writeTo(int fd, double timeoutSeconds) {
    if (used_ || !writer_) return std::nullopt;
    used_ = true;
    int ack[2];
    if (!makePipe(ack)) return std::nullopt;
    int target = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (target < 0) {
        ::close(ack[0]);
        ::close(ack[1]);
        return std::nullopt;
    }
    // The copies given away close once the request is on its way (or cannot be made); the
    // answer then comes from the web process, or the pipe ends without one.
    onMain([writer = writer_, token = token_, target, ackWrite = ack[1]]() mutable {
        writer(token, target, ackWrite);
        closeQuietly(target);
        closeQuietly(ackWrite);
    });
    std::optional<std::uint64_t> written;
    if (waitReadable(ack[0], timeoutSeconds)) {
        std::int64_t answer = 0;
        std::size_t got = 0;
        while (got < sizeof answer) {
            ssize_t n = ::read(ack[0], reinterpret_cast<char*>(&answer) + got, sizeof answer - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        if (got == sizeof answer && answer >= 0) {
            written = static_cast<std::uint64_t>(answer);
        } else if (got == sizeof answer) {
            platform::logf(platform::LogLevel::Error, "Page bytes could not be written: %s", std::string(std::strerror(static_cast<int>(-answer))));
        }
    } else {
        platform::logLine(platform::LogLevel::Warning, "Page bytes did not arrive in time");
    }
    ::close(ack[0]);
    return written;
}

// ---- bytes for the page ----

WHPageBytes::WHPageBytes(int fd, std::uint64_t offset, std::uint64_t length) : fd_(fd), offset_(offset), length_(length) {
    int ack[2];
    if (makePipe(ack)) {
        ackRead_ = ack[0];
        ackWrite_ = ack[1];
    }
}

WHPageBytes::~WHPageBytes() {
    closeQuietly(fd_);
    closeQuietly(ackRead_);
    closeQuietly(ackWrite_);
}

std::shared_ptr<WHPageBytes> WHPageBytes::forRange(int fd, std::uint64_t offset, std::uint64_t length) {
    return std::shared_ptr<WHPageBytes>(new WHPageBytes(fd, offset, length));
}

std::shared_ptr<WHPageBytes> WHPageBytes::forMemory(const platform::Bytes& bytes) {
    int fd = ::memfd_create("kivano-page-bytes", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return nullptr;
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ::close(fd);
            return nullptr;
        }
        done += static_cast<std::size_t>(n);
    }
    // What the web process reads is what was written here.
    ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
    return forRange(fd, 0, bytes.size());
}

std::optional<platform::Bytes> WHPageBytes::read() const {
    platform::Bytes out;
    try {
        out.resize(static_cast<std::size_t>(length_));
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset_ + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        done += static_cast<std::size_t>(n);
    }
    return out;
}

void WHPageBytes::handedOver() { closeQuietly(ackWrite_); }

void WHPageBytes::delivered() {
    if (ackWrite_ >= 0) {
        char one = 1;
        ssize_t ignored = ::write(ackWrite_, &one, 1);
        (void)ignored;
    }
    closeQuietly(ackWrite_);
}

bool WHPageBytes::waitUntilDelivered(double timeoutSeconds) {
    if (ackRead_ < 0 || !waitReadable(ackRead_, timeoutSeconds)) return false;
    char one = 0;
    ssize_t n;
    do {
        n = ::read(ackRead_, &one, 1);
    } while (n < 0 && errno == EINTR);
    return n == 1;
}
