#include "platform/value.h"

#include <glib.h>

#include <cmath>
#include <utility>
#include <vector>

namespace platform {

Value makeBytes(Bytes bytes) { return Value::binary(std::move(bytes)); }

const Bytes& bytesOf(const Value& v) {
    static const Bytes empty;
    if (!v.is_binary()) return empty;
    return v.get_binary();
}

std::string base64Encode(const std::uint8_t* data, std::size_t size) {
    // GLib's encoder, straight into the text: room for its step and its close, then cut to size.
    std::string out((size / 3 + 1) * 4 + 4, '\0');
    gint state = 0, save = 0;
    gsize n = g_base64_encode_step(data, size, FALSE, out.data(), &state, &save);
    n += g_base64_encode_close(FALSE, out.data() + n, &state, &save);
    out.resize(n);
    return out;
}

static int b64Index(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

std::optional<Bytes> base64DecodeStrict(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        bool last = i + 4 == text.size();
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            char c = text[i + k];
            if (c == '=') {
                if (!last || k < 2) return std::nullopt;
                v[k] = 0;
                ++pad;
            } else {
                if (pad) return std::nullopt;  // data after padding
                v[k] = b64Index(c);
                if (v[k] < 0) return std::nullopt;
            }
        }
        std::uint32_t n = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
        out.push_back((n >> 16) & 0xFF);
        if (pad < 2) out.push_back((n >> 8) & 0xFF);
        if (pad < 1) out.push_back(n & 0xFF);
        // Non-canonical trailing bits are refused.
        if (pad == 1 && (v[2] & 0x3)) return std::nullopt;
        if (pad == 2 && (v[1] & 0xF)) return std::nullopt;
    }
    return out;
}

bool jsonNestsDeeperThan(std::string_view text, std::size_t maxDepth) {
    std::size_t depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maxDepth) return true;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

bool valueNestsDeeperThan(const Value& v, std::size_t maxDepth) {
    if (!v.is_structured()) return false;
    // Containers still to look into, with their level.
    std::vector<std::pair<const Value*, std::size_t>> todo{{&v, 1}};
    while (!todo.empty()) {
        auto [node, level] = todo.back();
        todo.pop_back();
        if (level > maxDepth) return true;
        for (const auto& e : *node) {
            if (e.is_structured()) todo.emplace_back(&e, level + 1);
        }
    }
    return false;
}

std::string toJson(const Value& v, int indent) {
    if (valueNestsDeeperThan(v, kMaxValueDepth)) return "null";
    try {
        return v.dump(indent, ' ', false, Value::error_handler_t::replace);
    } catch (const std::exception&) {
        return "null";
    }
}

std::string scriptSafeJson(std::string json) {
    // Both characters only occur inside strings (JSON allows them there unescaped).
    std::size_t at = json.find("\xE2\x80");
    if (at == std::string::npos) return json;
    std::string out;
    out.reserve(json.size() + 16);
    std::size_t from = 0;
    for (; at != std::string::npos; at = json.find("\xE2\x80", at + 1)) {
        if (at + 2 >= json.size()) break;
        unsigned char third = static_cast<unsigned char>(json[at + 2]);
        if (third != 0xA8 && third != 0xA9) continue;
        out.append(json, from, at - from);
        out += third == 0xA8 ? "\\u2028" : "\\u2029";
        from = at + 3;
        at += 2;
    }
    out.append(json, from, std::string::npos);
    return out;
}

// Replaces "\uD8xx" escapes not forming a pair with "\uFFFD".
static std::string fixLoneSurrogates(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    auto hexAt = [&](std::size_t pos, unsigned& value) {
        if (pos + 6 > text.size() || text[pos] != '\\' || text[pos + 1] != 'u') return false;
        value = 0;
        for (std::size_t k = pos + 2; k < pos + 6; ++k) {
            char c = text[k];
            value <<= 4;
            if (c >= '0' && c <= '9') value |= c - '0';
            else if (c >= 'a' && c <= 'f') value |= c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') value |= c - 'A' + 10;
            else return false;
        }
        return true;
    };
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            unsigned u = 0;
            if (text[i + 1] == 'u' && hexAt(i, u)) {
                if (u >= 0xD800 && u <= 0xDBFF) {
                    unsigned lo = 0;
                    if (hexAt(i + 6, lo) && lo >= 0xDC00 && lo <= 0xDFFF) {
                        out.append(text.substr(i, 12));
                        i += 12;
                        continue;
                    }
                    out += "\\uFFFD";
                    i += 6;
                    continue;
                }
                if (u >= 0xDC00 && u <= 0xDFFF) {
                    out += "\\uFFFD";
                    i += 6;
                    continue;
                }
            }
            out.append(text.substr(i, 2));
            i += 2;
            continue;
        }
        out += text[i++];
    }
    return out;
}

std::optional<Value> parseJson(std::string_view text, std::size_t maxDepth) {
    if (jsonNestsDeeperThan(text, maxDepth)) return std::nullopt;
    try {
        return Value::parse(text.begin(), text.end());
    } catch (const std::exception&) {
    }
    try {
        std::string fixed = fixLoneSurrogates(text);
        return Value::parse(fixed);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string jsStringLiteral(std::string_view text, char quote) {
    std::string out;
    out.reserve(text.size() + 2);
    out += quote;
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\'':
            case '"':
                if (static_cast<char>(c) == quote) out += '\\';
                out += static_cast<char>(c);
                break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '<': out += "\\x3C"; break;  // keeps "</script>" harmless when inlined
            default:
                if (c < 0x20 || c == 0x7F) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\x%02X", c);
                    out += buf;
                } else if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                           (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
                            static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
                    out += static_cast<unsigned char>(text[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
                    i += 2;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += quote;
    return out;
}

std::string describe(const Value& v) {
    if (v.is_string()) return v.get<std::string>();
    if (v.is_null()) return "(null)";
    return toJson(v);
}

bool containsBytes(const Value& v) {
    std::vector<const Value*> todo{&v};
    while (!todo.empty()) {
        const Value* node = todo.back();
        todo.pop_back();
        if (node->is_binary()) return true;
        if (node->is_structured()) {
            for (const auto& e : *node) todo.push_back(&e);
        }
    }
    return false;
}

}  // namespace platform
