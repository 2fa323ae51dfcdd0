#include "platform/strings.h"

#include <glib.h>

namespace platform {

std::string asciiLower(const std::string& text) {
    std::string out = text;
    for (char& c : out) c = g_ascii_tolower(c);
    return out;
}

std::string asciiUpper(const std::string& text) {
    std::string out = text;
    for (char& c : out) c = g_ascii_toupper(c);
    return out;
}

std::string escapeMarkup(const std::string& text) {
    g_autofree char* escaped = g_markup_escape_text(text.c_str(), static_cast<gssize>(text.size()));
    return escaped;
}

std::optional<std::u16string> utf16Units(const std::string& text) {
    glong units = 0;
    gunichar2* converted = g_utf8_to_utf16(text.data(), static_cast<glong>(text.size()), nullptr, &units, nullptr);
    if (!converted) return std::nullopt;
    std::u16string out(reinterpret_cast<const char16_t*>(converted), static_cast<std::size_t>(units));
    g_free(converted);
    return out;
}

}  // namespace platform
