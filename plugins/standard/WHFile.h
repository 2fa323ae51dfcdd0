// The page's file plug-in: an ordered list of named filesystems over local folders, the
// actions that reach them, and the "whfile" scheme of the web view.
//
// All file work of the plug-in runs in order on one serial queue: the actions answer from
// there, the scheme reads there, and the companion's JSON access joins it (performFileWork).
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bridge/WHPlugin.h"
#include "platform/dispatch.h"
#include "platform/webview.h"
#include "plugins/standard/WHLocalFilesystem.h"

class WHFile : public WHPlugin {
public:
    using WHPlugin::WHPlugin;
    ~WHFile() override;

    void pluginInitialize() override;
    const ActionTable& actions() const override;

    // Native operations.
    WHFileSystem* fileSystemByName(const std::string& name) const;
    WHFileSystem* filesystemForURL(const WHFilesystemURL& url) const;
    WHFilesystemURL fileSystemURLforArg(const std::string& arg) const;
    std::optional<WHFilesystemURL> fileSystemURLforLocalPath(const std::string& path) const;
    std::optional<std::string> filesystemPathForURL(const WHFilesystemURL& url) const;
    std::optional<Value> makeEntryForPath(const std::string& fullPath, const std::string& fileSystemName, bool isDirectory) const;
    std::optional<Value> makeEntryForLocalURL(const WHFilesystemURL& url) const;
    static std::optional<std::string> getMimeTypeFromPath(const std::optional<std::string>& path) {
        return WHLocalFilesystem::getMimeTypeFromPath(path);
    }
    void registerFilesystem(std::unique_ptr<WHFileSystem> fs);

    // Runs `job` on the plug-in's file queue, after the work queued before it, and waits for it
    // (runs it directly when already there). With a wait limit, a job that has not begun when the
    // limit is reached is dropped and never runs: the answer is then false.
    bool performFileWork(const std::function<void()>& job, std::optional<double> waitLimitSeconds = std::nullopt);
    // Queues `job` on the file queue.
    void enqueueFileWork(std::function<void()> job);

    // Actions.
    void requestFileSystem(const WHInvokedUrlCommand& command);
    void requestAllFileSystems(const WHInvokedUrlCommand& command);
    void requestAllPaths(const WHInvokedUrlCommand& command);
    void resolveLocalFileSystemURI(const WHInvokedUrlCommand& command);
    void getFile(const WHInvokedUrlCommand& command);
    void getDirectory(const WHInvokedUrlCommand& command);
    void getParent(const WHInvokedUrlCommand& command);
    void setMetadata(const WHInvokedUrlCommand& command);
    void remove(const WHInvokedUrlCommand& command);
    void removeRecursively(const WHInvokedUrlCommand& command);
    void copyTo(const WHInvokedUrlCommand& command);
    void moveTo(const WHInvokedUrlCommand& command);
    void getFileMetadata(const WHInvokedUrlCommand& command);
    void readEntries(const WHInvokedUrlCommand& command);
    void readAsText(const WHInvokedUrlCommand& command);
    void readAsDataURL(const WHInvokedUrlCommand& command);
    void readAsArrayBuffer(const WHInvokedUrlCommand& command);
    void readAsBinaryString(const WHInvokedUrlCommand& command);
    void truncate(const WHInvokedUrlCommand& command);
    void write(const WHInvokedUrlCommand& command);
    void testFileExists(const WHInvokedUrlCommand& command);
    void testDirectoryExists(const WHInvokedUrlCommand& command);
    void getFreeDiskSpace(const WHInvokedUrlCommand& command);
    void _getLocalFilesystemPath(const WHInvokedUrlCommand& command);

    const std::vector<std::unique_ptr<WHFileSystem>>& fileSystems() const { return fileSystems_; }
    std::string appTempPath, appSupportPath, appDataPath, appDocsPath, appCachePath;

private:
    void send(const WHPluginResult& result, const WHInvokedUrlCommand& command);
    void doGetFile(const WHInvokedUrlCommand& command, const Value& options);
    void doCopyMove(const WHInvokedUrlCommand& command, bool isCopy);
    void doRemove(const WHInvokedUrlCommand& command, bool recursively);
    // The write action's file work once its arguments are read.
    void writeBytes(const WHInvokedUrlCommand& command, WHFileSystem& fs, const WHFilesystemURL& url, const Bytes& bytes,
                    std::uint64_t position);
    // Reads the range the arguments from `startIndex` on give; many bytes go to the page outside the
    // messages in the form given, fewer (or all where that cannot be) as onBytes makes them.
    void doRead(const WHInvokedUrlCommand& command, std::size_t startIndex, WHPageBytesForm form,
                const std::function<WHPluginResult(Bytes, const std::string&)>& onBytes);
    void writeHeld(const WHInvokedUrlCommand& command, WHFileSystem& fs, const WHFilesystemURL& url, WHHeldBytes& held,
                   std::uint64_t position);
    std::vector<std::string> getExtraFileSystemsPreference() const;
    void registerExtraFileSystems(const std::vector<std::string>& names);
    Value rootEntry(WHFileSystem& fs) const;

    std::vector<std::unique_ptr<WHFileSystem>> fileSystems_;
    // Last, so that it is gone (its jobs finished) before anything the jobs use.
    std::unique_ptr<platform::SerialQueue> queue_;
};

// The one live file plug-in (set at initialisation), or null.
WHFile* filePlugin();

// Serves "whfile" URLs to the web view: the whole file as an HTTP/1.1 response.
class WHFilesystemURLProtocol {
public:
    static bool canInitWithRequest(const std::string& url);
    static bool requestIsCacheEquivalent(const std::string& a, const std::string& b);
    // Answers through `respond`, once. Pages that are not the application's own get 403.
    static void startLoading(const platform::URISchemeRequest& request,
                             std::function<void(platform::URISchemeResponse)> respond);
    // The response for a finished read (no queue, no page check).
    static platform::URISchemeResponse responseFor(std::optional<Bytes> data, const std::string& mimeType, int errorCode);
    static void registerWithWebView(platform::WebView& webView);
};
