#include "platform/url_escape.h"

#include <cctype>

namespace platform {

std::string percentEscape(const std::string& text, const std::string& keep) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/' ||
            (c < 0x80 && c != 0 && keep.find(static_cast<char>(c)) != std::string::npos)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

}  // namespace platform
