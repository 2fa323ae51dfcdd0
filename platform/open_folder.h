// Folders held by a descriptor, and the items in them.
//
// A path is walked once, when its folder is opened. What is done to an item afterwards is done
// relative to the folder's descriptor, and a link as the item's own name is never followed: it
// is the item. A folder beneath a root is reached without following any link and never above the
// root, so a folder on the way that was swapped for a link after the path was checked makes the
// open fail (ELOOP) instead of leading somewhere else.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// What an item is (a link is the item itself, not what it leads to).
struct ItemFacts {
    bool isDirectory = false;
    bool isRegular = false;
    bool isLink = false;
    std::uint64_t size = 0;
    std::uint64_t inode = 0;
    unsigned permissions = 0;              // the mode's permission bits (07777)
    unsigned owner = 0;                    // user id
    std::int64_t changedSeconds = 0;       // the last change of the item or its facts, since 1970
    std::int64_t modifiedSeconds = 0;      // the last change of the content, since 1970 ...
    std::int64_t modifiedNanoseconds = 0;  // ... and the nanoseconds beyond
};

// How openFile opens a file: for reading, writing or both, and what else it asks.
enum class FileOpen : unsigned {
    Read = 1,
    Write = 2,
    Append = 4,  // every write goes to the end
    New = 8      // made here, with the mode given: fails (EEXIST) when the name is taken
};
constexpr FileOpen operator|(FileOpen a, FileOpen b) {
    return static_cast<FileOpen>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}
constexpr bool has(FileOpen set, FileOpen flag) {
    return (static_cast<unsigned>(set) & static_cast<unsigned>(flag)) != 0;
}

class OpenFolder {
public:
    OpenFolder() = default;
    ~OpenFolder();
    OpenFolder(OpenFolder&& other) noexcept;
    OpenFolder& operator=(OpenFolder&& other) noexcept;
    OpenFolder(const OpenFolder&) = delete;
    OpenFolder& operator=(const OpenFolder&) = delete;

    // Each call answers 0 or an errno value. A name is one component ("" where noted).

    // The folder at a path, links on the way followed.
    static int atPath(const std::string& path, OpenFolder& out);
    // The folder `relative` below the folder at `root` ("" for the root itself). `root` is an
    // absolute path; neither it nor `relative` may hold a link, an empty component, "." or "..".
    static int beneath(const std::string& root, const std::string& relative, OpenFolder& out);

    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // A second descriptor of the same folder.
    int duplicate(OpenFolder& out) const;

    // The item itself ("": the folder).
    int statOf(const std::string& name, ItemFacts& facts) const;
    // A file in the folder, opened as `how` asks and made with `mode` (for New), never
    // blocking (a FIFO, a device), never as the controlling terminal, closed on exec.
    int openFile(const std::string& name, FileOpen how, unsigned mode, int& fd) const;
    // A folder in the folder ("": the folder itself), open for listing.
    int openFolder(const std::string& name, OpenFolder& out) const;
    int makeFolder(const std::string& name, unsigned mode) const;
    int makeLink(const std::string& target, const std::string& name) const;
    int readLink(const std::string& name, std::string& target) const;
    // The mode of the folder itself (one opened by openFolder).
    int setMode(unsigned mode) const;
    // The names of the items in the folder, without "." and "..".
    int names(std::vector<std::string>& out) const;
    // A file, a link or an empty folder.
    int remove(const std::string& name) const;
    // The item and, for a folder, everything in it; a link is removed, never followed.
    int removeAll(const std::string& name) const;
    // The item to `newName` in `to` (this folder or another), replacing what rename(2) replaces.
    int rename(const std::string& name, const OpenFolder& to, const std::string& newName) const;

private:
    explicit OpenFolder(int fd) : fd_(fd) {}
    int fd_ = -1;
};

// An item beneath a root folder: the folder it is in, opened once beneath the root, and its name
// there. The root itself has the name "" in itself; it is never removed or renamed (EBUSY).
struct ItemBeneath {
    OpenFolder folder;
    std::string name;
    std::string path;  // as given
};

// The item at a path itself (a link at its end is not followed); 0 or an errno value.
int statOfPath(const std::string& path, ItemFacts& facts);

// `path` is an absolute path inside `root` (or the root itself). Neither may hold a link (the
// last component of `path` excepted: it is the item), an empty component, "." or "..". A path
// outside the root answers EXDEV.
int openItemBeneath(const std::string& root, const std::string& path, ItemBeneath& out);

}  // namespace platform
