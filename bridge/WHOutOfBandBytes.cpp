#include "bridge/WHOutOfBandBytes.h"

#include <cstring>

#include "platform/dispatch.h"
#include "platform/fd_io.h"
#include "platform/log.h"

namespace {

using platform::closeQuietly;
using platform::makePipe;
using platform::waitReadable;

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
    int target = platform::duplicateDescriptor(fd);
    if (target < 0) {
        closeQuietly(ack[0]);
        closeQuietly(ack[1]);
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
        platform::readFully(ack[0], &answer, sizeof answer, got);
        if (got == sizeof answer && answer >= 0) {
            written = static_cast<std::uint64_t>(answer);
        } else if (got == sizeof answer) {
            platform::logf(platform::LogLevel::Error, "Page bytes could not be written: %s", std::string(std::strerror(static_cast<int>(-answer))));
        }
    } else {
        platform::logLine(platform::LogLevel::Warning, "Page bytes did not arrive in time");
    }
    closeQuietly(ack[0]);
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
    // What the web process reads is what was written here.
    int fd = platform::sealedMemoryFile("kivano-page-bytes", bytes.data(), bytes.size());
    if (fd < 0) return nullptr;
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
    if (!platform::readFullyAt(fd_, out.data(), out.size(), done, offset_) || done < out.size())
        return std::nullopt;
    return out;
}

void WHPageBytes::handedOver() { closeQuietly(ackWrite_); }

void WHPageBytes::delivered() {
    if (ackWrite_ >= 0) {
        char one = 1;
        platform::writeFully(ackWrite_, &one, 1);
    }
    closeQuietly(ackWrite_);
}

bool WHPageBytes::waitUntilDelivered(double timeoutSeconds) {
    if (ackRead_ < 0 || !waitReadable(ackRead_, timeoutSeconds)) return false;
    char one = 0;
    std::size_t got = 0;
    return platform::readFully(ackRead_, &one, 1, got) && got == 1;
}
