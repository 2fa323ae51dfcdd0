#include "companion/FilePluginAccess.h"

#include "companion/CompanionHost.h"
#include "platform/url_escape.h"
#include "plugins/standard/WHFile.h"

namespace {

constexpr const char* kFileSystemName = "persistent";
constexpr const char* kBaseURL = "whfile://localhost/persistent/";
constexpr const char* kFileURLPrefix = "whfile://localhost/persistent";
// How long the main thread waits for the page's file work queued before a load or save; past it
// the queued access is dropped: a load then reads the file as it stands on the disk (whole-file
// writes replace it, so it holds one whole content at any moment), a save writes nothing. Slow
// work ahead (a large durable write on a busy machine) is waited for.
constexpr double kFileQueueWaitSeconds = 10.0;

WHFile* findPlugin() {
    CompanionHost* host = CompanionHost::current();
    return host ? host->filePlugin() : nullptr;
}

// The file URL from getFile's answer, or absent.
std::optional<WHFilesystemURL> fileURLFrom(const WHPluginResult& answer) {
    if (answer.status() != WHCommandStatus_OK || !answer.message() || !answer.message()->is_object()) return std::nullopt;
    auto it = answer.message()->find("fullPath");
    if (it == answer.message()->end() || !it->is_string()) return std::nullopt;
    return WHFilesystemURL::fileSystemURLWithString(FilePluginAccess::fileURLTextForFullPath(it->get<std::string>()));
}

}  // namespace

std::string FilePluginAccess::fileURLTextForFullPath(const std::string& fullPath) {
    // Characters allowed in a URL query stay; everything else is escaped.
    std::string encoded = platform::percentEscape(fullPath, "@!$&'()*+,:;=?");
    std::string collapsed;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == '/' && i + 1 < encoded.size() && encoded[i + 1] == '/') {
            collapsed += '/';
            ++i;
        } else {
            collapsed += encoded[i];
        }
    }
    std::string text = kFileURLPrefix;
    if (collapsed.empty() || collapsed[0] != '/') text += "/";
    return text + collapsed;
}

void FilePluginAccess::loadFile(const std::string& filename, const std::function<void(std::optional<platform::Value>)>& callback) {
    std::optional<platform::Value> result;
    if (WHFile* plugin = findPlugin()) {
        // Outside the queue, beside the page's work, the read goes to the end of the file it
        // opens: a replacement between the size and the read changes nothing.
        auto load = [&](bool inQueue) {
            WHFileSystem* fs = plugin->fileSystemByName(kFileSystemName);
            if (!fs) return;
            WHFilesystemURL base = WHFilesystemURL::fileSystemURLWithString(kBaseURL);
            auto url = fileURLFrom(fs->getFileForURL(base, filename, nullptr));
            if (!url) return;
            fs->getFileMetadataForURL(*url, [&](const WHPluginResult& meta) {
                if (!meta.message() || !meta.message()->is_object()) return;
                auto size = meta.message()->find("size");
                if (size == meta.message()->end() || !size->is_number_integer()) return;
                fs->readFileAtURL(*url, 0, inQueue ? size->get<std::int64_t>() : -1,
                                  [&](std::optional<Bytes> data, const std::string&, int) {
                                      if (!data) return;
                                      std::string text(data->begin(), data->end());
                                      auto parsed = platform::parseJson(text);
                                      if (parsed && parsed->is_object()) result = std::move(*parsed);
                                  });
            });
        };
        if (!plugin->performFileWork([&] { load(true); }, kFileQueueWaitSeconds)) load(false);
    }
    if (callback) callback(std::move(result));
}

void FilePluginAccess::saveFile(const std::string& filename, const platform::Value& data,
                                const std::function<void(bool)>& callback) {
    bool success = false;
    WHFile* plugin = findPlugin();
    if (plugin && data.is_object() && !platform::containsBytes(data)) {
        plugin->performFileWork([&] {
            WHFileSystem* fs = plugin->fileSystemByName(kFileSystemName);
            if (!fs) return;
            WHFilesystemURL base = WHFilesystemURL::fileSystemURLWithString(kBaseURL);
            Value options{{"create", true}, {"exclusive", false}};
            auto url = fileURLFrom(fs->getFileForURL(base, filename, options));
            if (!url) return;
            std::string text = platform::toJson(data);
            Bytes bytes(text.begin(), text.end());
            // Written beside the file and moved into place, never truncated first.
            WHPluginResult written = fs->replaceFileAtURL(*url, bytes);
            success = written.status() == WHCommandStatus_OK;
        }, kFileQueueWaitSeconds);
    }
    if (callback) callback(success);
}
