// Bytes that cross the bridge outside the messages, through descriptors of this process.
//
// WHHeldBytes: the bytes of a call's argument that the page's web process keeps (the argument is
// null in the call's arguments); writeTo() has them written into a descriptor this process
// opened, without them passing through here.
//
// WHPageBytes: bytes for the page, a range of a descriptor this process opened (a file after its
// path checks, or memory made for it); the web process reads them and makes the result's message
// there. Its sender can wait until the page has had them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/value.h"

class WHHeldBytes {
public:
    // Main thread: ask the web process to write the bytes into `fd` and the count into `ackFd`
    // (both borrowed), or let them go.
    using Writer = std::function<void(const std::string& token, int fd, int ackFd)>;
    using Releaser = std::function<void(const std::string& token)>;

    WHHeldBytes(std::string token, std::uint64_t size, Writer writer, Releaser releaser);
    // Bytes never written are let go.
    ~WHHeldBytes();
    WHHeldBytes(const WHHeldBytes&) = delete;
    WHHeldBytes& operator=(const WHHeldBytes&) = delete;

    std::uint64_t size() const { return size_; }
    // Writes the bytes into `fd` (borrowed) from its current position; the count written, or
    // absent when they could not be written (gone, an error, no answer within the time). Once only.
    std::optional<std::uint64_t> writeTo(int fd, double timeoutSeconds = 60.0);

private:
    std::string token_;
    std::uint64_t size_;
    Writer writer_;
    Releaser releaser_;
    bool used_ = false;
};

class WHPageBytes {
public:
    // A range of a descriptor, which it takes over.
    static std::shared_ptr<WHPageBytes> forRange(int fd, std::uint64_t offset, std::uint64_t length);
    // A copy of the bytes in a descriptor of their own; null when none can be made.
    static std::shared_ptr<WHPageBytes> forMemory(const platform::Bytes& bytes);
    ~WHPageBytes();
    WHPageBytes(const WHPageBytes&) = delete;
    WHPageBytes& operator=(const WHPageBytes&) = delete;

    int fd() const { return fd_; }
    std::uint64_t offset() const { return offset_; }
    std::uint64_t length() const { return length_; }
    // The descriptor that tells the sender the page has had the bytes (one byte written).
    int acknowledgement() const { return ackWrite_; }

    // The bytes themselves, for a message; absent when they cannot be read.
    std::optional<platform::Bytes> read() const;
    // The delivery is on its way with copies of the descriptors, or dropped: this object no longer
    // keeps the acknowledgement open.
    void handedOver();
    // The page has had the bytes by other means (a message made from read()).
    void delivered();
    // Waits until the page has had the bytes; false when they never reach it or time runs out.
    bool waitUntilDelivered(double timeoutSeconds = 60.0);

private:
    WHPageBytes(int fd, std::uint64_t offset, std::uint64_t length);
    int fd_;
    std::uint64_t offset_;
    std::uint64_t length_;
    int ackRead_ = -1;
    int ackWrite_ = -1;
};
