// The interface of a named filesystem of the file plug-in. Every operation answers with a
// plug-in result ready for the page; errors carry a FileError code as an integer message.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "bridge/WHPluginResult.h"
#include "plugins/standard/WHFilesystemURL.h"

enum WHFileError : int {
    NOT_FOUND_ERR = 1,
    SECURITY_ERR = 2,
    ABORT_ERR = 3,
    NOT_READABLE_ERR = 4,
    ENCODING_ERR = 5,
    NO_MODIFICATION_ALLOWED_ERR = 6,
    INVALID_STATE_ERR = 7,
    SYNTAX_ERR = 8,
    INVALID_MODIFICATION_ERR = 9,
    QUOTA_EXCEEDED_ERR = 10,
    TYPE_MISMATCH_ERR = 11,
    PATH_EXISTS_ERR = 12,
};

class WHFileSystem {
public:
    using ResultCallback = std::function<void(const WHPluginResult&)>;
    // Bytes (absent when nothing could be read), MIME type, FileError code or 0.
    using ReadCallback = std::function<void(std::optional<Bytes> data, const std::string& mimeType, int errorCode)>;
    using URLTransformer = std::function<std::string(const std::string&)>;

    virtual ~WHFileSystem() = default;

    virtual WHPluginResult entryForLocalURI(const WHFilesystemURL& url) = 0;
    virtual WHPluginResult getFileForURL(const WHFilesystemURL& baseURL, const std::string& requestedPath,
                                         const Value& options) = 0;
    virtual WHPluginResult getParentForURL(const WHFilesystemURL& url) = 0;
    virtual WHPluginResult setMetadataForURL(const WHFilesystemURL& url, const Value& metadata) = 0;
    virtual WHPluginResult removeFileAtURL(const WHFilesystemURL& url) = 0;
    virtual WHPluginResult recursiveRemoveFileAtURL(const WHFilesystemURL& url) = 0;
    virtual WHPluginResult readEntriesAtURL(const WHFilesystemURL& url) = 0;
    virtual WHPluginResult truncateFileAtURL(const WHFilesystemURL& url, std::uint64_t offset) = 0;
    virtual WHPluginResult writeToFileAtURL(const WHFilesystemURL& url, const Bytes& data, bool append) = 0;
    // Replaces the file's whole content; answers as writeToFileAtURL. Filesystems that can do it
    // atomically (the file then holds either the old or the whole new content) override it.
    virtual WHPluginResult replaceFileAtURL(const WHFilesystemURL& url, const Bytes& data) {
        truncateFileAtURL(url, 0);
        return writeToFileAtURL(url, data, true);
    }
    // The page's write: at position 0 the whole content is replaced; at another position the
    // first `position` bytes stay, the rest is cut and the data appended. Filesystems of the local
    // disk leave the file as it was when the write fails.
    virtual WHPluginResult writeAtPosition(const WHFilesystemURL& url, const Bytes& data, std::uint64_t position) {
        if (position == 0) return replaceFileAtURL(url, data);
        truncateFileAtURL(url, position);
        return writeToFileAtURL(url, data, true);
    }
    // A file opened for the page's write at a position, for bytes that arrive through a
    // descriptor: they are written into fd() from where it stands, then finish() with their count
    // answers as writeAtPosition() would have. Dropped without finish(), the file is left as it
    // was (on the local disk; in memory, nothing was written).
    class WriteTarget {
    public:
        virtual ~WriteTarget() = default;
        virtual int fd() const = 0;
        virtual WHPluginResult finish(std::uint64_t written) = 0;
    };
    // Null with `error` set where the write would fail. This one collects the bytes in memory and
    // hands them to writeAtPosition(); filesystems of the local disk open the file itself.
    virtual std::unique_ptr<WriteTarget> openForWriteAtPosition(const WHFilesystemURL& url, std::uint64_t position,
                                                                WHPluginResult& error);
    // What readFileAtURL() would read, opened and not read: the descriptor (the caller's to close),
    // where the range begins and its length. Absent with the FileError code where the read would
    // fail, or with code 0 where this filesystem does not open ranges (readFileAtURL() then).
    struct OpenedRange {
        int fd = -1;
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
        std::string mimeType;
    };
    virtual std::optional<OpenedRange> openRangeAtURL(const WHFilesystemURL& url, std::int64_t start, std::int64_t end,
                                                      int& errorCode, std::string& mimeType) {
        errorCode = 0;
        return std::nullopt;
    }
    // This filesystem is the destination.
    virtual void copyFileToURL(const WHFilesystemURL& destURL, const std::string& newName, WHFileSystem* srcFs,
                               const WHFilesystemURL& srcURL, bool copy, const ResultCallback& callback) = 0;
    // end < 0 reads to the end of the file.
    virtual void readFileAtURL(const WHFilesystemURL& url, std::int64_t start, std::int64_t end,
                               const ReadCallback& callback) = 0;
    virtual void getFileMetadataForURL(const WHFilesystemURL& url, const ResultCallback& callback) = 0;
    virtual std::optional<Value> makeEntryForLocalURL(const WHFilesystemURL& url) = 0;
    virtual Value makeEntryForPath(const std::string& fullPath, bool isDirectory) = 0;

    virtual const std::string& name() const = 0;
    virtual const URLTransformer& urlTransformer() const = 0;
    virtual void setUrlTransformer(URLTransformer transformer) = 0;

    // Optional: filesystems on the local disk offer native paths.
    virtual bool offersFilesystemPaths() const { return false; }
    virtual std::optional<std::string> filesystemPathForURL(const WHFilesystemURL&) { return std::nullopt; }
    virtual std::optional<WHFilesystemURL> URLforFilesystemPath(const std::string&) { return std::nullopt; }
};
