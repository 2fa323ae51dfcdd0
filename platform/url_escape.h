// Percent-escaping of URL texts.
#pragma once

#include <string>

namespace platform {

// Escapes every byte outside the unreserved set (letters, digits, "-._~"), "/" and the ASCII
// characters in `keep` as %XX with upper-case hex digits.
std::string percentEscape(const std::string& text, const std::string& keep = "");

// A file URL for an absolute path: "file://" and the path with everything but the unreserved
// set and "/" escaped.
inline std::string escapedFileURL(const std::string& path) { return "file://" + percentEscape(path); }

}  // namespace platform
