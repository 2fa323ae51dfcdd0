#include "plugins/standard/WHFile.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>

#include "bridge/WHCommandDelegate.h"
#include "bridge/WHOutOfBandBytes.h"
#include "bridge/WHViewController.h"
#include "platform/atomic_file.h"
#include "platform/bundle.h"
#include "platform/file_folders.h"
#include "platform/file_info.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "platform/text_checks.h"

using platform::logf;

WH_REGISTER_PLUGIN(WHFile);

namespace {

std::mutex& filePluginMutex() {
    static std::mutex m;
    return m;
}
WHFile*& filePluginSlot() {
    static WHFile* p = nullptr;
    return p;
}

thread_local bool onFileQueue = false;

WHPluginResult fileError(int status, int code) { return WHPluginResult::resultWithStatusMessageAsInt(status, code); }

std::string lowered(const std::string& s) {
    return platform::asciiLower(s);
}

std::string argText(const WHInvokedUrlCommand& c, std::size_t i) {
    Value v = c.argumentAtIndex(i, nullptr, ArgKind::String);
    return v.is_string() ? v.get<std::string>() : std::string();
}

// The integer reading of argument i: `fallback` when it is absent or no number; absent for a
// number outside the signed 64-bit range.
std::optional<std::int64_t> argInt(const WHInvokedUrlCommand& c, std::size_t i, std::int64_t fallback) {
    Value v = c.argumentAtIndex(i, nullptr, ArgKind::Number);
    if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
    if (v.is_number_unsigned()) {
        auto u = v.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
        return static_cast<std::int64_t>(u);
    }
    if (v.is_number_integer()) return v.get<std::int64_t>();
    if (v.is_number()) {
        double d = v.get<double>();
        // -2^63 <= d < 2^63; NaN fails both.
        if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) return std::nullopt;
        return static_cast<std::int64_t>(d);
    }
    return fallback;
}

}  // namespace

WHFile* filePlugin() {
    std::lock_guard lock(filePluginMutex());
    return filePluginSlot();
}

WHFile::~WHFile() {
    {
        std::lock_guard lock(filePluginMutex());
        if (filePluginSlot() == this) filePluginSlot() = nullptr;
    }
    // Queued work finishes while the filesystems still stand; on the main thread the wait lets
    // the main-thread steps of transfers to and from the page through.
    if (queue_ && platform::isMainThread()) performFileWork([] {});
    queue_.reset();
}

const WHPlugin::ActionTable& WHFile::actions() const {
    static const ActionTable table{
        WH_ACTION(WHFile, requestFileSystem),  WH_ACTION(WHFile, requestAllFileSystems),
        WH_ACTION(WHFile, requestAllPaths),    WH_ACTION(WHFile, resolveLocalFileSystemURI),
        WH_ACTION(WHFile, getFile),            WH_ACTION(WHFile, getDirectory),
        WH_ACTION(WHFile, getParent),          WH_ACTION(WHFile, setMetadata),
        WH_ACTION(WHFile, remove),             WH_ACTION(WHFile, removeRecursively),
        WH_ACTION(WHFile, copyTo),             WH_ACTION(WHFile, moveTo),
        WH_ACTION(WHFile, getFileMetadata),    WH_ACTION(WHFile, readEntries),
        WH_ACTION(WHFile, readAsText),         WH_ACTION(WHFile, readAsDataURL),
        WH_ACTION(WHFile, readAsArrayBuffer),  WH_ACTION(WHFile, readAsBinaryString),
        WH_ACTION(WHFile, truncate),           WH_ACTION(WHFile, write),
        WH_ACTION(WHFile, testFileExists),     WH_ACTION(WHFile, testDirectoryExists),
        WH_ACTION(WHFile, getFreeDiskSpace),   WH_ACTION(WHFile, _getLocalFilesystemPath),
    };
    return table;
}

void WHFile::pluginInitialize() {
    {
        std::lock_guard lock(filePluginMutex());
        filePluginSlot() = this;
    }
    queue_ = std::make_unique<platform::SerialQueue>(platform::Bundle::main().identifier() + ".files");
    // Whole-file writes of an earlier run that was killed mid-way leave temporary files behind.
    platform::removeLeftoverTemporaryFiles();
    if (webView()) WHFilesystemURLProtocol::registerWithWebView(*webView());
    fileSystems_.clear();
    fileSystems_.reserve(3);

    if (auto tmp = platform::userTemporaryFolder()) {
        appTempPath = *tmp;
    } else {
        std::string error;
        auto fallback = platform::supportFolder(platform::SupportFolderKind::Caches, "tmp", &error);
        if (!fallback) logf(platform::LogLevel::Error, "unable to create support directory: %s", error);
        appTempPath = fallback.value_or(platform::cacheHome());
    }
    registerFilesystem(WHLocalFilesystem::initWithName("temporary", appTempPath));

    std::string error;
    auto support = platform::supportFolder(platform::SupportFolderKind::ApplicationSupport, "", &error);
    if (!support) logf(platform::LogLevel::Error, "unable to create support directory: %s", error);
    appSupportPath = platform::resolveSymlinks(support.value_or(""));
    auto data = platform::supportFolder(platform::SupportFolderKind::ApplicationSupport, "files", &error);
    if (!data) logf(platform::LogLevel::Error, "unable to create support directory: %s", error);
    appDataPath = platform::resolveSymlinks(data.value_or(""));
    registerFilesystem(WHLocalFilesystem::initWithName("persistent", appDataPath));

    appDocsPath = platform::resolveSymlinks(platform::documentsDir());
    auto cache = platform::supportFolder(platform::SupportFolderKind::Caches, "", &error);
    if (!cache) logf(platform::LogLevel::Error, "unable to create support directory: %s", error);
    appCachePath = platform::resolveSymlinks(cache.value_or(""));

    registerExtraFileSystems(getExtraFileSystemsPreference());
}

std::vector<std::string> WHFile::getExtraFileSystemsPreference() const {
    std::string value = "documents,cache,bundle,root";
    if (viewController()) {
        auto it = viewController()->settings.find("osxextrafilesystems");
        if (it != viewController()->settings.end()) value = lowered(it->second);
    }
    std::vector<std::string> names;
    std::size_t start = 0;
    for (;;) {
        auto comma = value.find(',', start);
        names.push_back(value.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return names;
}

void WHFile::registerExtraFileSystems(const std::vector<std::string>& names) {
    const std::vector<std::pair<std::string, std::string>> available{
        {"documents", appDocsPath},
        {"cache", appCachePath},
        {"bundle", platform::resolveSymlinks(platform::Bundle::main().resourcePath())},
        {"root", "/"},
    };
    std::vector<std::string> done;
    for (const auto& name : names) {
        if (std::find(done.begin(), done.end(), name) != done.end()) continue;
        auto it = std::find_if(available.begin(), available.end(), [&](const auto& a) { return a.first == name; });
        if (it == available.end()) {
            logf(platform::LogLevel::Warning, "Unrecognized extra filesystem identifier: %s", name);
            continue;
        }
        registerFilesystem(WHLocalFilesystem::initWithName(it->first, it->second));
        done.push_back(name);
    }
}

void WHFile::registerFilesystem(std::unique_ptr<WHFileSystem> fs) { fileSystems_.push_back(std::move(fs)); }

bool WHFile::performFileWork(const std::function<void()>& job, std::optional<double> waitLimitSeconds) {
    if (onFileQueue || !queue_) {
        job();
        return true;
    }
    const bool onMain = platform::isMainThread();
    if (!waitLimitSeconds && !onMain) {
        queue_->sync([&job] {
            onFileQueue = true;
            job();
            onFileQueue = false;
        });
        return true;
    }
    struct Wait {
        std::mutex mutex;
        std::condition_variable changed;
        bool started = false, finished = false, dropped = false;
    };
    auto wait = std::make_shared<Wait>();
    // The job's references stay valid: it either never starts or is waited for to the end.
    queue_->async([wait, &job] {
        {
            std::lock_guard lock(wait->mutex);
            if (wait->dropped) return;
            wait->started = true;
        }
        onFileQueue = true;
        job();
        onFileQueue = false;
        std::lock_guard lock(wait->mutex);
        wait->finished = true;
        wait->changed.notify_all();
    });
    std::unique_lock lock(wait->mutex);
    // On the main thread the wait lets the main-thread steps of the queued work through (the
    // bytes of a transfer to the page, handed over from there), so that work can end.
    auto waitUntil = [&](const std::function<bool()>& done, std::optional<std::chrono::steady_clock::time_point> deadline) {
        if (onMain) return platform::waitOnMainThread(lock, wait->changed, done, deadline);
        if (!deadline) {
            wait->changed.wait(lock, done);
            return true;
        }
        return wait->changed.wait_until(lock, *deadline, done);
    };
    std::optional<std::chrono::steady_clock::time_point> deadline;
    if (waitLimitSeconds) {
        deadline = std::chrono::steady_clock::now() +
                   std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(*waitLimitSeconds));
    }
    if (waitUntil([&] { return wait->started; }, deadline)) {
        waitUntil([&] { return wait->finished; }, std::nullopt);
        return true;
    }
    wait->dropped = true;
    return false;
}

void WHFile::enqueueFileWork(std::function<void()> job) {
    if (!queue_) {
        job();
        return;
    }
    queue_->async([job = std::move(job)] {
        onFileQueue = true;
        job();
        onFileQueue = false;
    });
}

WHFileSystem* WHFile::fileSystemByName(const std::string& name) const {
    for (const auto& fs : fileSystems_) {
        if (fs->name() == name) return fs.get();
    }
    return nullptr;
}

WHFileSystem* WHFile::filesystemForURL(const WHFilesystemURL& url) const {
    if (!url.fileSystemName()) return nullptr;
    return fileSystemByName(*url.fileSystemName());
}

WHFilesystemURL WHFile::fileSystemURLforArg(const std::string& arg) const {
    if (arg.rfind("file://", 0) == 0) {
        auto parts = whfile::splitURL(arg);
        auto path = parts ? whfile::percentDecode(parts->path) : std::nullopt;
        if (!path || path->empty()) return {};
        auto url = fileSystemURLforLocalPath(platform::resolveSymlinks(*path));
        return url ? *url : WHFilesystemURL();
    }
    return WHFilesystemURL::fileSystemURLWithString(arg);
}

std::optional<WHFilesystemURL> WHFile::fileSystemURLforLocalPath(const std::string& path) const {
    std::optional<WHFilesystemURL> best;
    for (const auto& fs : fileSystems_) {
        if (!fs->offersFilesystemPaths()) continue;
        auto url = fs->URLforFilesystemPath(path);
        if (!url || !url->fullPath()) continue;
        if (!best || url->fullPath()->size() < best->fullPath()->size()) best = url;
    }
    return best;
}

std::optional<std::string> WHFile::filesystemPathForURL(const WHFilesystemURL& url) const {
    for (const auto& fs : fileSystems_) {
        if (url.fileSystemName() && fs->name() == *url.fileSystemName() && fs->offersFilesystemPaths()) {
            return fs->filesystemPathForURL(url);
        }
    }
    return std::nullopt;
}

std::optional<Value> WHFile::makeEntryForPath(const std::string& fullPath, const std::string& fileSystemName,
                                              bool isDirectory) const {
    WHFileSystem* fs = fileSystemByName(fileSystemName);
    if (!fs) return std::nullopt;
    return fs->makeEntryForPath(fullPath, isDirectory);
}

std::optional<Value> WHFile::makeEntryForLocalURL(const WHFilesystemURL& url) const {
    WHFileSystem* fs = filesystemForURL(url);
    if (!fs) return std::nullopt;
    return fs->makeEntryForLocalURL(url);
}

Value WHFile::rootEntry(WHFileSystem& fs) const { return fs.makeEntryForPath("/", true); }

void WHFile::send(const WHPluginResult& result, const WHInvokedUrlCommand& command) {
    if (commandDelegate()) commandDelegate()->sendPluginResult(result, command.callbackId());
}

// ---- actions: each queues its file work and answers from the file queue ----

void WHFile::requestFileSystem(const WHInvokedUrlCommand& command) {
    enqueueFileWork([this, command] {
        std::int64_t type = argInt(command, 0, -1).value_or(-1);
        std::int64_t size = argInt(command, 1, 0).value_or(INT64_MAX);
        if (type < 0 || type >= static_cast<std::int64_t>(fileSystems_.size())) {
            logf(platform::LogLevel::Warning, "No filesystem of type requested");
            return send(fileError(WHCommandStatus_ERROR, NOT_FOUND_ERR), command);
        }
        auto free = platform::freeDiskSpace(appSupportPath);
        if (free && size > 0 && *free < static_cast<std::uint64_t>(size)) {
            return send(fileError(WHCommandStatus_IO_EXCEPTION, QUOTA_EXCEEDED_ERR), command);
        }
        WHFileSystem& fs = *fileSystems_[static_cast<std::size_t>(type)];
        Value answer{{"name", fs.name()}, {"root", rootEntry(fs)}};
        send(WHPluginResult::resultWithStatusMessageAsDictionary(WHCommandStatus_OK, answer), command);
    });
}

void WHFile::requestAllFileSystems(const WHInvokedUrlCommand& command) {
    enqueueFileWork([this, command] {
        Value roots = Value::array();
        for (const auto& fs : fileSystems_) roots.push_back(rootEntry(*fs));
        send(WHPluginResult::resultWithStatusMessageAsArray(WHCommandStatus_OK, roots), command);
    });
}

void WHFile::requestAllPaths(const WHInvokedUrlCommand& command) {
    enqueueFileWork([this, command] {
        using platform::fileURLForPath;
        Value paths{{"applicationDirectory", fileURLForPath(platform::Bundle::main().resourcePath())},
                    {"applicationStorageDirectory", fileURLForPath(appSupportPath)},
                    {"dataDirectory", fileURLForPath(appDataPath)},
                    {"documentsDirectory", fileURLForPath(appDocsPath)},
                    {"cacheDirectory", fileURLForPath(appCachePath)},
                    {"tempDirectory", fileURLForPath(appTempPath)},
                    {"rootDirectory", "file:///"}};
        send(WHPluginResult::resultWithStatusMessageAsDictionary(WHCommandStatus_OK, paths), command);
    });
}

void WHFile::resolveLocalFileSystemURI(const WHInvokedUrlCommand& command) {
    enqueueFileWork([this, command] {
        std::string arg = argText(command, 0);
        auto decoded = whfile::percentDecode(arg);
        WHFilesystemURL url = fileSystemURLforArg(whfile::percentEscapeURLText(decoded.value_or(arg)));
        WHFileSystem* fs = url.url() ? filesystemForURL(url) : nullptr;
        if (!fs) return send(fileError(WHCommandStatus_ERROR, ENCODING_ERR), command);
        send(fs->entryForLocalURI(url), command);
    });
}

void WHFile::doGetFile(const WHInvokedUrlCommand& command, const Value& options) {
    WHFilesystemURL base = fileSystemURLforArg(argText(command, 0));
    WHFileSystem* fs = filesystemForURL(base);
    if (!fs) return send(fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR), command);
    send(fs->getFileForURL(base, argText(command, 1), options), command);
}

void WHFile::getFile(const WHInvokedUrlCommand& command) {
    enqueueFileWork([this, command] { doGetFile(command, command.argumentAtIndex(2, nullptr, ArgKind::Dictionary)); });
}

void WHFile::getDirectory(const WHInvokedUrlCommand& command) {
    Value options = command.argumentAtIndex(2, nullptr, ArgKind::Dictionary);
    if (!options.is_object()) options = Value::object();
    options["getDir"] = 1;
    Value args = command.arguments().is_array() ? command.arguments() : Value::array();
    while (args.size() < 2) args.push_back(nullptr);
    if (args.size() == 2) {
        args.push_back(options);
    } else {
        args[2] = options;
    }
    WHInvokedUrlCommand changed(args, command.callbackId(), command.cmdClassName(), command.methodName());
    getFile(changed);
}

void WHFile::getParent(const WHInvokedUrlCommand& command) {
    enqueueFileWork([this, command] {
        WHFilesystemURL url = fileSystemURLforArg(argText(command, 0));
        WHFileSystem* fs = filesystemForURL(url);
        if (!fs) return send(fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR), command);
        send(fs->getParentForURL(url), command);
    });
}

void WHFile::setMetadata(const WHInvokedUrlCommand& command) {
    enqueueFileWork([this, command] {
        WHFilesystemURL url = fileSystemURLforArg(argText(command, 0));
        WHFileSystem* fs = filesystemForURL(url);
        if (!fs) return send(fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR), command);
        send(fs->setMetadataForURL(url, command.argumentAtIndex(1, nullptr, ArgKind::Dictionary)), command);
    });
}

void WHFile::remove(const WHInvokedUrlCommand& command) { doRemove(command, false); }

void WHFile::removeRecursively(const WHInvokedUrlCommand& command) { doRemove(command, true); }

void WHFile::doRemove(const WHInvokedUrlCommand& command, bool recursively) {
    enqueueFileWork([this, command, recursively] {
        WHFilesystemURL url = fileSystemURLforArg(argText(command, 0));
        WHFileSystem* fs = filesystemForURL(url);
        if (!fs || !url.fullPath()) return send(fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR), command);
        // "", "/", "/." and "/x/.." all name the root, which is never removed.
        if (WHLocalFilesystem::fullPathIsRoot(*url.fullPath())) {
            return send(fileError(WHCommandStatus_IO_EXCEPTION, NO_MODIFICATION_ALLOWED_ERR), command);
        }
        send(recursively ? fs->recursiveRemoveFileAtURL(url) : fs->removeFileAtURL(url), command);
    });
}

void WHFile::doCopyMove(const WHInvokedUrlCommand& command, bool isCopy) {
    const Value& args = command.arguments();
    std::size_t count = args.is_array() ? args.size() : 0;
    Value src = command.argumentAtIndex(0, nullptr, ArgKind::String);
    Value dest = command.argumentAtIndex(1, nullptr, ArgKind::String);
    if (!src.is_string() || !dest.is_string()) return send(fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR), command);
    WHFilesystemURL srcURL = fileSystemURLforArg(src.get<std::string>());
    WHFilesystemURL destURL = fileSystemURLforArg(dest.get<std::string>());
    WHFileSystem* srcFs = filesystemForURL(srcURL);
    WHFileSystem* destFs = filesystemForURL(destURL);
    std::string newName;
    if (count >= 3) {
        Value n = command.argumentAtIndex(2, nullptr, ArgKind::String);
        if (!n.is_string()) return send(fileError(WHCommandStatus_IO_EXCEPTION, ENCODING_ERR), command);
        newName = n.get<std::string>();
    } else {
        newName = WHLocalFilesystem::stripQueryParametersFromPath(whfile::lastPathComponent(srcURL.fullPath().value_or("")));
    }
    if (newName.find(':') != std::string::npos) return send(fileError(WHCommandStatus_IO_EXCEPTION, ENCODING_ERR), command);
    if (!srcFs || !destFs || !srcURL.fullPath()) return send(fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR), command);
    // Moving a filesystem's root would take the whole filesystem away.
    if (!isCopy && WHLocalFilesystem::fullPathIsRoot(*srcURL.fullPath())) {
        return send(fileError(WHCommandStatus_IO_EXCEPTION, NO_MODIFICATION_ALLOWED_ERR), command);
    }
    destFs->copyFileToURL(destURL, newName, srcFs, srcURL, isCopy, [&](const WHPluginResult& r) { send(r, command); });
}

void WHFile::copyTo(const WHInvokedUrlCommand& command) {
    enqueueFileWork([this, command] { doCopyMove(command, true); });
}

void WHFile::moveTo(const WHInvokedUrlCommand& command) {
    enqueueFileWork([this, command] { doCopyMove(command, false); });
}

void WHFile::getFileMetadata(const WHInvokedUrlCommand& command) {
    enqueueFileWork([this, command] {
        WHFilesystemURL url = fileSystemURLforArg(argText(command, 0));
        WHFileSystem* fs = filesystemForURL(url);
        if (!fs) return send(fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR), command);
        fs->getFileMetadataForURL(url, [&](const WHPluginResult& r) { send(r, command); });
    });
}

void WHFile::readEntries(const WHInvokedUrlCommand& command) {
    enqueueFileWork([this, command] {
        WHFilesystemURL url = fileSystemURLforArg(argText(command, 0));
        WHFileSystem* fs = filesystemForURL(url);
        if (!fs) return send(fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR), command);
        send(fs->readEntriesAtURL(url), command);
    });
}

void WHFile::doRead(const WHInvokedUrlCommand& command, std::size_t startIndex, WHPageBytesForm form,
                    const std::function<WHPluginResult(Bytes, const std::string&)>& onBytes) {
    WHFilesystemURL url = fileSystemURLforArg(argText(command, 0));
    WHFileSystem* fs = filesystemForURL(url);
    if (!fs) return send(fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR), command);
    std::int64_t start = argInt(command, startIndex, 0).value_or(INT64_MAX);
    std::int64_t end = argInt(command, startIndex + 1, -1).value_or(-1);
    int code = 0;
    std::string mime;
    auto range = fs->openRangeAtURL(url, start, end, code, mime);
    if (!range) {
        if (code != 0) return send(fileError(WHCommandStatus_IO_EXCEPTION, code), command);
        fs->readFileAtURL(url, start, end, [&](std::optional<Bytes> data, const std::string& type, int error) {
            if (!data) return send(fileError(WHCommandStatus_IO_EXCEPTION, error), command);
            send(onBytes(std::move(*data), type), command);
        });
        return;
    }
    auto bytes = WHPageBytes::forRange(range->fd, range->offset, range->length);
    if (commandDelegate() && commandDelegate()->carriesPageBytes(range->length)) {
        // Many bytes go from the file to the page outside the messages. The next file operation
        // waits until the page has had them, so it cannot change what they are.
        bool text = form == WHPageBytesForm::UTF8Text;
        send(WHPluginResult::resultWithStatusMessageAsPageBytes(WHCommandStatus_OK, bytes, form, range->mimeType,
                                                                WHCommandStatus_IO_EXCEPTION,
                                                                text ? ENCODING_ERR : NOT_READABLE_ERR),
             command);
        bool answered = command.callbackId() && *command.callbackId() != "INVALID";
        if (!bytes->waitUntilDelivered() && answered) {
            logf(platform::LogLevel::Warning, "%s of %s did not reach the page", command.methodName(), argText(command, 0));
        }
        return;
    }
    auto data = bytes->read();
    if (!data) return send(fileError(WHCommandStatus_IO_EXCEPTION, NOT_READABLE_ERR), command);
    send(onBytes(std::move(*data), range->mimeType), command);
}

void WHFile::readAsText(const WHInvokedUrlCommand& command) {
    WHFilesystemURL url = fileSystemURLforArg(argText(command, 0));
    if (!filesystemForURL(url)) return send(fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR), command);
    if (lowered(argText(command, 1)) != "utf-8") {
        logf(platform::LogLevel::Warning, "Only UTF-8 encodings are currently supported by readAsText");
        return send(fileError(WHCommandStatus_IO_EXCEPTION, ENCODING_ERR), command);
    }
    enqueueFileWork([this, command] {
        doRead(command, 2, WHPageBytesForm::UTF8Text, [](Bytes data, const std::string&) {
            const char* p = reinterpret_cast<const char*>(data.data());
            if (!platform::isUTF8(p, data.size())) return fileError(WHCommandStatus_IO_EXCEPTION, ENCODING_ERR);
            WHPluginResult r = WHPluginResult::resultWithStatus(WHCommandStatus_OK, std::string(p, data.size()));
            r.setAssociatedObject(std::move(data));
            return r;
        });
    });
}

void WHFile::readAsDataURL(const WHInvokedUrlCommand& command) {
    enqueueFileWork([this, command] {
        doRead(command, 1, WHPageBytesForm::DataURL, [](Bytes data, const std::string& mime) {
            return WHPluginResult::resultWithStatus(WHCommandStatus_OK,
                                                    "data:" + mime + ";base64," + platform::base64Encode(data));
        });
    });
}

void WHFile::readAsArrayBuffer(const WHInvokedUrlCommand& command) {
    enqueueFileWork([this, command] {
        doRead(command, 1, WHPageBytesForm::ArrayBuffer, [](Bytes data, const std::string&) {
            return WHPluginResult::resultWithStatusMessageAsArrayBuffer(WHCommandStatus_OK, std::move(data));
        });
    });
}

void WHFile::readAsBinaryString(const WHInvokedUrlCommand& command) {
    enqueueFileWork([this, command] {
        doRead(command, 1, WHPageBytesForm::BinaryString, [](Bytes data, const std::string&) {
            // One character per byte (U+0000 to U+00FF), as script binary strings are.
            std::string text;
            text.reserve(data.size());
            for (std::uint8_t b : data) {
                if (b < 0x80) {
                    text += static_cast<char>(b);
                } else {
                    text += static_cast<char>(0xC0 | (b >> 6));
                    text += static_cast<char>(0x80 | (b & 0x3F));
                }
            }
            WHPluginResult r = WHPluginResult::resultWithStatus(WHCommandStatus_OK, text);
            r.setAssociatedObject(std::move(data));
            return r;
        });
    });
}

void WHFile::truncate(const WHInvokedUrlCommand& command) {
    enqueueFileWork([this, command] {
        WHFilesystemURL url = fileSystemURLforArg(argText(command, 0));
        WHFileSystem* fs = filesystemForURL(url);
        if (!fs) return send(fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR), command);
        // A negative length would cut the whole file: refused, the file left as it is.
        auto size = argInt(command, 1, 0);
        if (!size || *size < 0) return send(fileError(WHCommandStatus_IO_EXCEPTION, INVALID_MODIFICATION_ERR), command);
        send(fs->truncateFileAtURL(url, static_cast<std::uint64_t>(*size)), command);
    });
}

void WHFile::write(const WHInvokedUrlCommand& command) {
    enqueueFileWork([this, command] {
        WHFilesystemURL url = fileSystemURLforArg(argText(command, 0));
        WHFileSystem* fs = filesystemForURL(url);
        if (!fs) return send(fileError(WHCommandStatus_IO_EXCEPTION, NOT_FOUND_ERR), command);
        auto held = command.heldBytes(1);
        Value data = command.argumentAtIndex(1);
        Bytes bytes;
        if (held) {
            // The bytes are still in the page's web process.
        } else if (data.is_string()) {
            // Invalid UTF-8 is replaced.
            std::string valid = platform::validUTF8(data.get_ref<const std::string&>());
            bytes.assign(valid.begin(), valid.end());
        } else if (platform::isBytes(data)) {
            bytes = platform::bytesOf(data);
        } else {
            return send(WHPluginResult::resultWithStatus(WHCommandStatus_ERROR, "Invalid parameter type"), command);
        }
        // A negative position would cut the whole file: refused, the file left as it is.
        auto position = argInt(command, 2, 0);
        if (!position || *position < 0) return send(fileError(WHCommandStatus_ERROR, INVALID_MODIFICATION_ERR), command);
        if (held) return writeHeld(command, *fs, url, *held, static_cast<std::uint64_t>(*position));
        writeBytes(command, *fs, url, bytes, static_cast<std::uint64_t>(*position));
    });
}

void WHFile::writeBytes(const WHInvokedUrlCommand& command, WHFileSystem& fs, const WHFilesystemURL& url, const Bytes& bytes,
                        std::uint64_t position) {
    send(fs.writeAtPosition(url, bytes, position), command);
}

// The page's bytes go from its web process into the file, opened here after the path checks;
// the next file operation waits until they are all there.
void WHFile::writeHeld(const WHInvokedUrlCommand& command, WHFileSystem& fs, const WHFilesystemURL& url, WHHeldBytes& held,
                       std::uint64_t position) {
    WHPluginResult error = fileError(WHCommandStatus_ERROR, INVALID_MODIFICATION_ERR);
    auto target = fs.openForWriteAtPosition(url, position, error);
    if (!target) return send(error, command);
    auto written = held.writeTo(target->fd());
    if (!written || *written != held.size()) {
        logf(platform::LogLevel::Error, "write of %s: the page's bytes did not arrive", argText(command, 0));
        return send(fileError(WHCommandStatus_ERROR, INVALID_MODIFICATION_ERR), command);
    }
    send(target->finish(*written), command);
}

// The write's bytes may stay in the page's web process until the file is open for them.
static const bool kWHFileWriteBytesHeld [[maybe_unused]] = PluginRegistry::registerBulkArgument("WHFile", "write", 1);

void WHFile::testFileExists(const WHInvokedUrlCommand& command) {
    enqueueFileWork([this, command] {
        std::string path = argText(command, 0);
        bool exists = !path.empty() && platform::pathExists(path);
        send(WHPluginResult::resultWithStatusMessageAsInt(WHCommandStatus_OK, exists ? 1 : 0), command);
    });
}

void WHFile::testDirectoryExists(const WHInvokedUrlCommand& command) {
    enqueueFileWork([this, command] {
        std::string path = argText(command, 0);
        bool exists = !path.empty() && platform::isDirectory(path);
        send(WHPluginResult::resultWithStatusMessageAsInt(WHCommandStatus_OK, exists ? 1 : 0), command);
    });
}

void WHFile::getFreeDiskSpace(const WHInvokedUrlCommand& command) {
    enqueueFileWork([this, command] {
        // The documents folder may not exist yet: its nearest existing parent is on the same volume.
        std::string path = appDocsPath;
        std::optional<std::uint64_t> free;
        while (!(free = platform::freeDiskSpace(path)) && path.size() > 1) path = whfile::deletingLastPathComponent(path);
        send(WHPluginResult::resultWithStatus(WHCommandStatus_OK, std::to_string(free.value_or(0))), command);
    });
}

void WHFile::_getLocalFilesystemPath(const WHInvokedUrlCommand& command) {
    enqueueFileWork([this, command] {
        auto path = filesystemPathForURL(fileSystemURLforArg(argText(command, 0)));
        if (!path) return send(WHPluginResult::resultWithStatus(WHCommandStatus_ERROR, "Cannot resolve URL to a file"), command);
        send(WHPluginResult::resultWithStatus(WHCommandStatus_OK, *path), command);
    });
}

// ---- the "whfile" scheme ----

bool WHFilesystemURLProtocol::canInitWithRequest(const std::string& url) {
    return url.rfind(std::string(kWHFilesystemURLPrefix) + ":", 0) == 0;
}

bool WHFilesystemURLProtocol::requestIsCacheEquivalent(const std::string& a, const std::string& b) {
    auto specifier = [](const std::string& u) {
        auto colon = u.find(':');
        return colon == std::string::npos ? u : u.substr(colon + 1);
    };
    return specifier(a) == specifier(b);
}

platform::URISchemeResponse WHFilesystemURLProtocol::responseFor(std::optional<Bytes> data, const std::string& mimeType,
                                                                 int errorCode) {
    platform::URISchemeResponse r;
    r.headers["Cache-Control"] = "no-cache";
    if (errorCode != 0 || !data) {
        r.status = 404;
        r.statusText = "Not Found";
        return r;
    }
    r.status = 200;
    r.statusText = "OK";
    r.contentType = mimeType.empty() ? "*/*" : mimeType;
    r.headers["Content-Type"] = r.contentType;
    r.body = std::move(*data);
    return r;
}

void WHFilesystemURLProtocol::startLoading(const platform::URISchemeRequest& request,
                                           std::function<void(platform::URISchemeResponse)> respond) {
    WHFile* plugin = filePlugin();
    if (!canInitWithRequest(request.url) || !plugin) return respond(responseFor(std::nullopt, "", NOT_FOUND_ERR));
    // Only the application's own page may read the files.
    WHViewController* host = plugin->viewController();
    if (!host || !host->isTrustedPageURL(request.pageURL)) {
        platform::URISchemeResponse denied;
        denied.status = 403;
        denied.statusText = "Forbidden";
        denied.headers["Cache-Control"] = "no-cache";
        return respond(std::move(denied));
    }
    // Script of the application's page may read the answer; a frame of another origin inside
    // it may not (no CORS permission for its origin).
    std::string origin;
    if (auto it = request.headers.find("Origin"); it != request.headers.end()) {
        std::string prefix = host->trustedPagePrefix();
        bool filePage = prefix.rfind("file://", 0) == 0;
        std::string own = filePage ? "file://" : prefix.substr(0, prefix.size() - 1);
        if (it->second == own || (filePage && it->second == "null")) origin = it->second;
    }
    plugin->enqueueFileWork([plugin, url = request.url, origin, respond = std::move(respond)] {
        WHFilesystemURL fsURL = WHFilesystemURL::fileSystemURLWithString(url);
        WHFileSystem* fs = plugin->filesystemForURL(fsURL);
        platform::URISchemeResponse response;
        if (!fs) {
            response = responseFor(std::nullopt, "", NOT_FOUND_ERR);
        } else {
            fs->readFileAtURL(fsURL, 0, -1, [&](std::optional<Bytes> data, const std::string& mime, int code) {
                response = responseFor(std::move(data), mime, code);
            });
        }
        if (!origin.empty()) response.headers["Access-Control-Allow-Origin"] = origin;
        respond(std::move(response));
    });
}

void WHFilesystemURLProtocol::registerWithWebView(platform::WebView& webView) {
    platform::URISchemeOptions options;
    options.local = true;
    options.secure = true;
    options.corsEnabled = true;
    webView.registerURIScheme(kWHFilesystemURLPrefix, &WHFilesystemURLProtocol::startLoading, options);
}
