#include "plugins/services/StorageManager.h"

#include "bridge/WHCommandDelegate.h"
#include "platform/atomic_file.h"
#include "platform/file_folders.h"
#include "platform/file_info.h"
#include "platform/log.h"
#include "platform/mapped_file.h"
#include "platform/save_panel.h"

WH_REGISTER_PLUGIN(StorageManager);

using platform::NotificationCenter;

const WHPlugin::ActionTable& StorageManager::actions() const {
    static const ActionTable table{
        WH_ACTION(StorageManager, archiveDidChange),
        WH_ACTION(StorageManager, structureDidChange),
        WH_ACTION(StorageManager, settingsDidChange),
        WH_ACTION(StorageManager, saveFile),
    };
    return table;
}

void StorageManager::archiveDidChange(const WHInvokedUrlCommand& command) {
    if (commandDelegate()) commandDelegate()->sendPluginResult(WHPluginResult::resultWithStatus(WHCommandStatus_OK), command.callbackId());
    NotificationCenter::defaultCenter().post(kStorageManagerArchiveChangedNotification, this);
}

void StorageManager::structureDidChange(const WHInvokedUrlCommand& command) {
    postWithSerialNumber(command, kStorageManagerStructureChangedNotification);
}

void StorageManager::settingsDidChange(const WHInvokedUrlCommand& command) {
    postWithSerialNumber(command, kStorageManagerSettingsChangedNotification);
}

void StorageManager::postWithSerialNumber(const WHInvokedUrlCommand& command, const char* name) {
    if (commandDelegate()) commandDelegate()->sendPluginResult(WHPluginResult::resultWithStatus(WHCommandStatus_OK), command.callbackId());
    Value serial = command.argumentAtIndex(0, nullptr, ArgKind::String);
    if (!serial.is_string()) return;
    NotificationCenter::defaultCenter().post(name, this, Value{{"serialNo", serial}});
}

std::optional<Bytes> StorageManager::bytesToSave(const std::string& fileName, const std::string& content) {
    if (fileName.find(".png") == std::string::npos) return Bytes(content.begin(), content.end());
    std::string alphabet;
    alphabet.reserve(content.size());
    for (char c : content) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' || c == '=') {
            alphabet += c;
        }
    }
    return platform::base64DecodeStrict(alphabet);
}

void StorageManager::saveFile(const WHInvokedUrlCommand& command) {
    WHCommandDelegate* delegate = commandDelegate();
    auto callbackId = command.callbackId();
    auto fail = [&](const std::string& message) {
        if (delegate) delegate->sendPluginResult(WHPluginResult::resultWithStatus(WHCommandStatus_ERROR, message), callbackId);
    };
    const Value& args = command.arguments();
    if (!args.is_array() || args.empty() || !args.front().is_string()) return fail("the file name is missing or not text");
    if (!args.back().is_string()) return fail("the file content is missing or not text");
    const std::string fileName = args.front().get<std::string>();
    auto bytes = bytesToSave(fileName, args.back().get<std::string>());
    if (!bytes) return fail("the file content is not Base64");
    showSaveDialog(std::move(*bytes), fileName,
                   [delegate, callbackId](bool saved, const std::optional<std::string>&, const std::optional<std::string>& writeError) {
                       if (!delegate) return;
                       if (saved) {
                           delegate->sendPluginResult(WHPluginResult::resultWithStatusMessageAsBool(WHCommandStatus_OK, true), callbackId);
                       } else if (writeError) {
                           delegate->sendPluginResult(WHPluginResult::resultWithStatus(WHCommandStatus_ERROR, *writeError), callbackId);
                       } else {
                           delegate->sendPluginResult(WHPluginResult::resultWithStatus(WHCommandStatus_ERROR, "user canceled"), callbackId);
                       }
                   });
}

bool StorageManager::writeFile(const std::string& path, const Bytes& bytes, std::string* error) {
    return writeFile(path, bytes.data(), bytes.size(), error);
}

bool StorageManager::writeFile(const std::string& path, const void* data, std::size_t size, std::string* error) {
    // Through a link the user chose, the file it points at is replaced and the link stays.
    std::string target = platform::resolveSymlinks(path);
    platform::AtomicWriteOptions options;
    options.createFolders = false;
    // A new document gets the usual mode (0666 less the umask), as any saved file.
    options.newFileMode = 0666;
    std::string why;
    if (platform::writeFileAtomically(target, data, size, options, &why)) return true;
    if (error) *error = "the file could not be written: " + path + ": " + why;
    return false;
}

static platform::SavePanelOptions saveOptionsFor(const std::string& fileName) {
    platform::SavePanelOptions options;
    options.canCreateDirectories = true;
    options.allowsOtherFileTypes = false;
    options.canSelectHiddenExtension = false;
    options.extensionHidden = false;
    // "a.b.c": name a, only type b. A name without a dot proposes itself with any type.
    std::size_t dot = fileName.find('.');
    options.nameFieldValue = fileName.substr(0, dot);
    if (dot != std::string::npos) {
        std::size_t next = fileName.find('.', dot + 1);
        std::string type = fileName.substr(dot + 1, next == std::string::npos ? std::string::npos : next - dot - 1);
        if (!type.empty()) options.allowedFileTypes.push_back(type);
    }
    return options;
}

// Asks for a place, then writes through `write`; the completion as showSaveDialog gives it.
static void saveThroughPanel(const std::string& fileName,
                             std::function<bool(const std::string& path, std::string* error)> write,
                             SaveDialogCompletion completion) {
    platform::beginSavePanel(saveOptionsFor(fileName), [write = std::move(write), completion = std::move(completion)](
                                                            std::optional<std::string> path) {
        if (!path) {
            if (completion) completion(false, std::nullopt, std::nullopt);
            return;
        }
        std::string error;
        if (!write(*path, &error)) {
            platform::logf(platform::LogLevel::Warning, "Save dialog: %s", error);
            if (completion) completion(false, std::nullopt, error);
            return;
        }
        if (completion) completion(true, path, std::nullopt);
    });
}

void StorageManager::showSaveDialog(Bytes file, const std::string& fileName, SaveDialogCompletion completion) {
    saveThroughPanel(
        fileName, [file = std::move(file)](const std::string& path, std::string* error) { return writeFile(path, file, error); },
        std::move(completion));
}

void StorageManager::showSaveDialogForFile(const std::string& source, const std::string& fileName,
                                           SaveDialogCompletion completion) {
    // The source is mapped, not read: its pages come from the file as they are written out.
    auto write = [source](const std::string& path, std::string* error) {
        std::string why = "no source";
        auto mapped = platform::MappedFile::open(source, &why);
        if (!mapped) {
            if (error) *error = "the file could not be written: " + path + ": " + why;
            return false;
        }
        return writeFile(path, mapped->data(), mapped->size(), error);
    };
    auto done = [source, completion = std::move(completion)](bool saved, const std::optional<std::string>& path,
                                                            const std::optional<std::string>& writeError) {
        platform::removeFile(source);
        if (completion) completion(saved, path, writeError);
    };
    saveThroughPanel(fileName, std::move(write), std::move(done));
}
