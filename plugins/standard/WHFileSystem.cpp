#include "plugins/standard/WHFileSystem.h"

#include "platform/fd_io.h"

namespace {

// Bytes gathered in memory, written to the file by the filesystem's own operations.
class MemoryTarget : public WHFileSystem::WriteTarget {
public:
    MemoryTarget(WHFileSystem& fs, WHFilesystemURL url, std::uint64_t position, int fd)
        : fs_(fs), url_(std::move(url)), position_(position), fd_(fd) {}
    ~MemoryTarget() override { platform::closeQuietly(fd_); }
    int fd() const override { return fd_; }
    WHPluginResult finish(std::uint64_t written) override {
        Bytes data(static_cast<std::size_t>(written));
        std::size_t done = 0;
        platform::readFullyAt(fd_, data.data(), data.size(), done, 0);
        data.resize(done);
        return fs_.writeAtPosition(url_, data, position_);
    }

private:
    WHFileSystem& fs_;
    WHFilesystemURL url_;
    std::uint64_t position_;
    int fd_;
};

}  // namespace

std::unique_ptr<WHFileSystem::WriteTarget> WHFileSystem::openForWriteAtPosition(const WHFilesystemURL& url,
                                                                                 std::uint64_t position,
                                                                                 WHPluginResult& error) {
    int fd = platform::memoryFile("kivano-write");
    if (fd < 0) {
        error = WHPluginResult::resultWithStatusMessageAsInt(WHCommandStatus_ERROR, INVALID_MODIFICATION_ERR);
        return nullptr;
    }
    return std::make_unique<MemoryTarget>(*this, url, position, fd);
}
