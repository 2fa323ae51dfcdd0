// MIME types from file names through the system's content-type database.
#pragma once

#include <optional>
#include <string>

namespace platform {

struct ContentTypeGuess {
    std::string typeIdentifier;  // the database's type for the extension ("" when unknown)
    std::optional<std::string> mimeType;  // absent when the database names none for it
};

// Looks only at the extension of `path` (the file itself is not read).
ContentTypeGuess contentTypeForPath(const std::string& path);

// The extension of the last path component without the dot; "" when it has none.
std::string pathExtension(const std::string& path);

}  // namespace platform
