// Percent-escaping and -decoding of URL texts (GLib's URI escaping, independent of the locale).
#pragma once

#include <optional>
#include <string>

namespace platform {

// Escapes every byte outside the unreserved set (ASCII letters, digits, "-._~"), "/" and the
// ASCII characters in `keep` as %XX with upper-case hex digits. Non-ASCII bytes are always escaped.
std::string percentEscape(const std::string& text, const std::string& keep = "");

// Decodes %XX escapes; absent for a malformed escape or an escaped NUL.
std::optional<std::string> percentDecode(const std::string& text);

// A file URL for an absolute path: "file://" and the path with everything but the unreserved
// set and "/" escaped.
inline std::string escapedFileURL(const std::string& path) { return "file://" + percentEscape(path); }

}  // namespace platform
