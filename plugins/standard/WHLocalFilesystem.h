// A filesystem over a root folder of the local disk. Operations run on the caller's thread and
// finish before they return; callbacks are called once, before the call returns.
//
// Every native path derived from a URL or a requested path stays inside the root: dot segments
// are resolved and a path that would climb above the root has no native path (not found). On the
// disk, symbolic links are followed only as far as they stay inside the real root; a path that a
// link leads out of the root is treated like one that has no native path. Once a path is resolved
// so, its item is reached through its folder, opened beneath the real root with no link on the
// way, and everything done to it goes through that folder's descriptor: a link put into the path
// after the check leads nowhere. Only regular files are read or written, without blocking, and a
// read never goes past the size the file had when it began.
#pragma once

#include <cerrno>

#include "platform/open_folder.h"
#include "plugins/standard/WHFileSystem.h"

class WHLocalFilesystem : public WHFileSystem {
public:
    WHLocalFilesystem(std::string name, std::string root);
    static std::unique_ptr<WHLocalFilesystem> initWithName(const std::string& name, const std::string& root) {
        return std::make_unique<WHLocalFilesystem>(name, root);
    }

    WHPluginResult entryForLocalURI(const WHFilesystemURL& url) override;
    WHPluginResult getFileForURL(const WHFilesystemURL& baseURL, const std::string& requestedPath,
                                 const Value& options) override;
    WHPluginResult getParentForURL(const WHFilesystemURL& url) override;
    WHPluginResult setMetadataForURL(const WHFilesystemURL& url, const Value& metadata) override;
    WHPluginResult removeFileAtURL(const WHFilesystemURL& url) override;
    WHPluginResult recursiveRemoveFileAtURL(const WHFilesystemURL& url) override;
    WHPluginResult readEntriesAtURL(const WHFilesystemURL& url) override;
    WHPluginResult truncateFileAtURL(const WHFilesystemURL& url, std::uint64_t offset) override;
    WHPluginResult writeToFileAtURL(const WHFilesystemURL& url, const Bytes& data, bool append) override;
    void copyFileToURL(const WHFilesystemURL& destURL, const std::string& newName, WHFileSystem* srcFs,
                       const WHFilesystemURL& srcURL, bool copy, const ResultCallback& callback) override;
    void readFileAtURL(const WHFilesystemURL& url, std::int64_t start, std::int64_t end,
                       const ReadCallback& callback) override;
    void getFileMetadataForURL(const WHFilesystemURL& url, const ResultCallback& callback) override;
    std::optional<Value> makeEntryForLocalURL(const WHFilesystemURL& url) override;
    Value makeEntryForPath(const std::string& fullPath, bool isDirectory) override;

    WHPluginResult replaceFileAtURL(const WHFilesystemURL& url, const Bytes& data) override;
    WHPluginResult writeAtPosition(const WHFilesystemURL& url, const Bytes& data, std::uint64_t position) override;
    std::unique_ptr<WriteTarget> openForWriteAtPosition(const WHFilesystemURL& url, std::uint64_t position,
                                                        WHPluginResult& error) override;
    std::optional<OpenedRange> openRangeAtURL(const WHFilesystemURL& url, std::int64_t start, std::int64_t end,
                                              int& errorCode, std::string& mimeType) override;

    const std::string& name() const override { return name_; }
    const std::string& fsRoot() const { return fsRoot_; }
    const URLTransformer& urlTransformer() const override { return urlTransformer_; }
    void setUrlTransformer(URLTransformer transformer) override { urlTransformer_ = std::move(transformer); }

    bool offersFilesystemPaths() const override { return true; }
    std::optional<std::string> filesystemPathForURL(const WHFilesystemURL& url) override;
    std::optional<WHFilesystemURL> URLforFilesystemPath(const std::string& path) override;

    static std::string stripQueryParametersFromPath(const std::string& path);
    // Absent for a full path that would leave the root.
    std::optional<std::string> filesystemPathForFullPath(const std::string& fullPath) const;
    std::optional<WHFilesystemURL> URLforFullPath(const std::optional<std::string>& fullPath) const;
    // Absent when the native path is not inside the root. Always begins with "/" ("" for the root).
    std::optional<std::string> fullPathForFileSystemPath(const std::string& path) const;
    // Resolves "..": a ".." goes with the component before it; one at the start is dropped.
    static std::string normalizePath(const std::string& path);
    static bool valueForKeyIsNumber(const Value& dict, const std::string& key);
    // Whether the full path names the filesystem's root ("", "/", "/.", "/x/.." ...).
    static bool fullPathIsRoot(const std::string& fullPath);
    // Removes the item and everything below it; a link is removed, not followed.
    WHPluginResult doRemove(const platform::ItemBeneath& item);
    // Truncates the regular file; the resulting length, 0 when it cannot be opened.
    static std::uint64_t truncateFile(const platform::ItemBeneath& item, std::uint64_t offset);
    // Whether an item at `src` may be copied or moved to `dest` (never into itself).
    static bool canCopyMoveSrc(const std::string& src, const std::string& dest);
    static std::optional<std::string> getMimeTypeFromPath(const std::optional<std::string>& path);

    // Where a native path of this filesystem lies on the disk, and its item there. The path has
    // every link resolved (the last component kept as it stands when `keepLastLink`), what does
    // not exist yet appended as it stands; it is absent when a link leads out of the real root or
    // dangles, or a file stands where a folder would be. The item's folder is then opened once
    // beneath the real root the path was resolved in, and every operation on the item is done
    // through that folder's descriptor, so a link put on the way since leads nowhere.
    struct Located {
        std::string root;                           // the real root
        std::optional<std::string> path;
        std::optional<platform::ItemBeneath> item;  // absent when it cannot be reached there
        int error = ENOENT;                         // why not (ENOENT also for a link on the way)
    };
    Located locate(const std::optional<std::string>& nativePath, bool keepLastLink = false) const;
    Located locateURL(const WHFilesystemURL& url, bool keepLastLink = false);

private:
    std::optional<std::string> diskPath(const std::string& realRoot, const std::string& nativePath,
                                        bool keepLastLink) const;
    std::string nativeURLFor(const std::string& path) const;
    std::optional<std::string> realRoot() const;
    std::string lexicalRoot() const;

    std::string name_;
    std::string fsRoot_;
    URLTransformer urlTransformer_;
};
