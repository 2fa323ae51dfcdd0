// Percent-escaping, -decoding and splitting of URL texts (GLib's URI functions, independent of
// the locale).
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

// A URI reference split as RFC 3986 does, escapes kept. The scheme is lowered; the host of an
// IPv6 literal comes without its brackets; absent parts are absent, empty ones empty.
struct URIParts {
    std::optional<std::string> scheme;
    std::optional<std::string> host;
    std::string path;
    std::optional<std::string> query;
};
// Absent when the text does not split.
std::optional<URIParts> splitURI(const std::string& text);

}  // namespace platform
