// Storage notices for the companion (archive, structure and settings files rewritten by the
// page) and the save dialog for files the page produces.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "bridge/WHPlugin.h"

inline constexpr const char* kStorageManagerArchiveChangedNotification = "kStorageManagerArchiveChangedNotification";
inline constexpr const char* kStorageManagerStructureChangedNotification = "kStorageManagerStructureChangedNotification";
inline constexpr const char* kStorageManagerSettingsChangedNotification = "kStorageManagerSettingsChangedNotification";

// The outcome of a save dialog: saved with the file's path; or not saved, with `writeError` set
// when the user chose a place but the file could not be written there (absent on cancel).
using SaveDialogCompletion =
    std::function<void(bool saved, const std::optional<std::string>& path, const std::optional<std::string>& writeError)>;

class StorageManager : public WHPlugin {
public:
    using WHPlugin::WHPlugin;
    const ActionTable& actions() const override;

    void archiveDidChange(const WHInvokedUrlCommand& command);
    void structureDidChange(const WHInvokedUrlCommand& command);
    void settingsDidChange(const WHInvokedUrlCommand& command);
    void saveFile(const WHInvokedUrlCommand& command);

    // Asks where to save `file`, proposing `fileName` split at its dots: the first piece as the name,
    // the second as the only allowed type. Returns at once; the completion runs exactly once, later,
    // on the main thread, after the bytes were written (replacing a file at that path).
    static void showSaveDialog(Bytes file, const std::string& fileName, SaveDialogCompletion completion);
    static void showSaveDialogWithFile(Bytes file, const std::string& fileName, SaveDialogCompletion completion) {
        showSaveDialog(std::move(file), fileName, std::move(completion));
    }
    // The same for the content of the file at `source`, which is removed once the dialog is done.
    static void showSaveDialogForFile(const std::string& source, const std::string& fileName,
                                      SaveDialogCompletion completion);

    // The bytes saveFile writes for a name and a content: Base64-decoded (characters outside the
    // alphabet skipped) when the name contains ".png", else the content's UTF-8. Absent when a
    // ".png" content does not decode.
    static std::optional<Bytes> bytesToSave(const std::string& fileName, const std::string& content);
    // Writes the bytes to the path by atomic replace (the file holds either what it held or all the
    // bytes); answers whether every byte reached the file.
    static bool writeFile(const std::string& path, const Bytes& bytes, std::string* error);
    static bool writeFile(const std::string& path, const void* data, std::size_t size, std::string* error);

private:
    void postWithSerialNumber(const WHInvokedUrlCommand& command, const char* name);
};
