// Whole-file writes that leave either the old or the whole new content, also when the program is
// killed mid-way: the bytes go to a temporary file beside the target, are synced and renamed into
// place. Each write in flight is noted in a small per-process record in the application's data
// folder, so that a later run can remove the temporary file a killed run left behind.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/open_folder.h"

namespace platform {

struct AtomicWriteOptions {
    unsigned newFileMode = 0600;  // a replaced regular file keeps its own mode
    bool createFolders = true;    // missing folders above the file are made (0700); never beneath a root
};

// A link at `path` is replaced by the file, not followed; anything else than a regular file there
// (a folder, a device, a FIFO, a socket) is left alone and the write fails.
bool writeFileAtomically(const std::string& path, const void* data, std::size_t size, const AtomicWriteOptions& options,
                         std::string* error = nullptr);
inline bool writeFileAtomically(const std::string& path, const std::string& content, std::string* error = nullptr) {
    return writeFileAtomically(path, content.data(), content.size(), AtomicWriteOptions(), error);
}
// The same replacement of an item beneath a root: the temporary file is made, checked and renamed
// through the descriptor of the item's folder, which no path walk reaches again.
bool writeFileAtomically(const ItemBeneath& item, const void* data, std::size_t size, const AtomicWriteOptions& options,
                         std::string* error = nullptr);

// The same replacement with the content written through a descriptor: begin() makes the
// temporary file beside the target (after the same checks as writeFileAtomically), commit() syncs
// it and renames it into place; a writer dropped without commit() removes its temporary file.
// The target's folder is opened once, when the writer begins; everything after is done through
// its descriptor.
class AtomicFileWriter {
public:
    static std::unique_ptr<AtomicFileWriter> begin(const std::string& path, const AtomicWriteOptions& options,
                                                   std::string* error = nullptr);
    static std::unique_ptr<AtomicFileWriter> begin(const ItemBeneath& item, const AtomicWriteOptions& options,
                                                   std::string* error = nullptr);
    ~AtomicFileWriter();
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

    // The temporary file, open for writing, empty at first.
    int fd() const { return fd_; }
    bool commit(std::string* error = nullptr);

private:
    AtomicFileWriter() = default;
    static std::unique_ptr<AtomicFileWriter> beginIn(OpenFolder folder, const std::string& name, const std::string& path,
                                                     const AtomicWriteOptions& options, std::string* error);
    void abort();

    OpenFolder folder_;
    std::string name_, temporary_;  // in the folder
    std::string path_;
    int fd_ = -1;
    unsigned mode_ = 0600;
    bool keepMode_ = false;
    bool ended_ = false;
};

// Removes the temporary files of writes that earlier runs of the program did not finish. Runs of
// the program that are still alive keep theirs.
void removeLeftoverTemporaryFiles();

}  // namespace platform
