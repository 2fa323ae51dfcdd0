// Locale-independent text helpers (GLib's ASCII case mapping, markup escaping, UTF-16).
#pragma once

#include <optional>
#include <string>

namespace platform {

// ASCII letters mapped; every other byte as it is.
std::string asciiLower(const std::string& text);
std::string asciiUpper(const std::string& text);
// The text with "<", ">", "&", "'" and '"' as entities, for HTML or markup.
std::string escapeMarkup(const std::string& text);
// The UTF-16 units of UTF-8 text; absent when it is not valid UTF-8.
std::optional<std::u16string> utf16Units(const std::string& text);

}  // namespace platform
