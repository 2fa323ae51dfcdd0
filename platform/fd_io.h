// Reads and writes on descriptors that go on after interrupted calls, and the small descriptor
// chores around them: pipes, waiting, sealed memory files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace platform {

// Reads until `size` bytes are in, the end of the file, or an error, from the current position.
// `done` counts what was read. False on an error (errno tells), true otherwise: `done < size` then
// means the file ended first.
bool readFully(int fd, void* buffer, std::size_t size, std::size_t& done);
// The same from `offset` on (pread), leaving the descriptor's position alone; an offset past what
// the file system can address is an error (EINVAL).
bool readFullyAt(int fd, void* buffer, std::size_t size, std::size_t& done, std::uint64_t offset);
// Writes all `size` bytes; `done` counts what was written. False on an error (errno tells).
bool writeFully(int fd, const void* data, std::size_t size, std::size_t& done);
inline bool writeFully(int fd, const void* data, std::size_t size) {
    std::size_t done = 0;
    return writeFully(fd, data, size, done);
}

// Closes a descriptor that may be -1, and marks it closed.
void closeQuietly(int& fd);
// A pipe whose ends close on exec.
bool makePipe(int fds[2]);
// A copy of the descriptor that closes on exec; -1 on failure.
int duplicateDescriptor(int fd);
// Waits until `fd` is readable or its writers are gone; false on time-out or error.
bool waitReadable(int fd, double timeoutSeconds);
// A descriptor's file when it is a regular file (fstat); absent for anything else or an error.
struct RegularFile {
    std::uint64_t size = 0;
    std::uint64_t inode = 0;
    unsigned mode = 0;  // permission bits included
};
std::optional<RegularFile> regularFileOf(int fd);
// Blocking reads and writes from now on (a regular file opened without blocking).
void setBlocking(int fd);
// ftruncate(2): false on an error (errno tells).
bool truncateTo(int fd, std::uint64_t length);
// fsync(2), whose failure leaves nothing to do.
void syncToDisk(int fd);
// close(2) that tells its error (errno): a late write error shows here. The descriptor is gone
// either way.
bool closeReporting(int fd);
// Copies the first `length` bytes of `in` to `out` from where `out` stands, in the kernel where
// the file systems allow it. False on an error (errno tells) or when `in` is shorter.
bool copyPrefix(int in, int out, std::uint64_t length);

// An anonymous memory file holding the bytes, sealed against any change; -1 on failure.
int sealedMemoryFile(const char* name, const void* data, std::size_t size);
// An anonymous memory file, empty and writable; -1 on failure.
int memoryFile(const char* name);

}  // namespace platform
