// The checks that decide whether bytes are text and whether a text is a URL.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// Whether the bytes are UTF-8 (GLib's strict reading: no overlong forms, no surrogates, nothing
// above U+10FFFF). NUL is a character like any other.
bool isUTF8(const void* data, std::size_t size);
inline bool isUTF8(const std::string& text) { return isUTF8(text.data(), text.size()); }
// The text with every invalid sequence replaced by U+FFFD; NUL characters stay.
std::string validUTF8(const std::string& text);

enum class URLForm {
    // As the platform's URL parser reads a URL reference: only the characters a URL may hold (ASCII
    // letters and digits, "-._~:/?#[]@!$&'()*+,;=", "%" with two hexadecimal digits), at most one
    // fragment, and parts in order as RFC 3986 splits them (a valid port, brackets around an IPv6 host).
    Reference,
    // The same, led by a scheme.
    Absolute,
    // A URL handed in from outside: a scheme, then no blank or control character.
    Lenient,
};
bool isURLText(const std::string& text, URLForm form = URLForm::Reference);

}  // namespace platform
