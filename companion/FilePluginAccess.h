// The companion's access to the page's JSON files in the "persistent" filesystem of the file
// plug-in. Both operations finish, callback included, before they return; they take part in
// the plug-in's file queue, so they see the page's earlier writes and its later ones see them.
// The wait for the page's work queued before them is bounded (generously: slow work is waited
// for): past it a load reads the file as it stands on the disk, which always holds one whole
// content, and a save writes nothing.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/value.h"

class FilePluginAccess {
public:
    FilePluginAccess() = default;

    // The file's top-level JSON object, or absent on any failure (missing, empty, not an object).
    static void loadFile(const std::string& filename, const std::function<void(std::optional<platform::Value>)>& callback);
    // Replaces the file's content with compact JSON of `data`; true when all of it was written.
    // The file holds either its old content or the whole new text, never a part.
    static void saveFile(const std::string& filename, const platform::Value& data,
                         const std::function<void(bool)>& callback = nullptr);

    // The file URL text for an entry's full path ("#", "%" and blanks escaped, "//" made "/").
    static std::string fileURLTextForFullPath(const std::string& fullPath);
};
