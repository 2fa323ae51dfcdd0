// A file mapped read-only into memory: its pages come from the file as they are read.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace platform {

class MappedFile {
public:
    // Absent when the file cannot be mapped; `error` then says why, where the system told.
    static std::unique_ptr<MappedFile> open(const std::string& path, std::string* error = nullptr);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    const char* data() const;
    std::size_t size() const;

private:
    explicit MappedFile(void* mapped) : mapped_(mapped) {}
    void* mapped_;  // GMappedFile
};

}  // namespace platform
