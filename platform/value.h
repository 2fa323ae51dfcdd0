// Values crossing between the page, plug-ins and stored settings: JSON with a byte type.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace platform {

using Value = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

Value makeBytes(Bytes bytes);
inline bool isBytes(const Value& v) { return v.is_binary(); }
// The bytes of a byte value; an empty vector for any other value.
const Bytes& bytesOf(const Value& v);

std::string base64Encode(const std::uint8_t* data, std::size_t size);
inline std::string base64Encode(const Bytes& b) { return base64Encode(b.data(), b.size()); }
inline std::string base64Encode(std::string_view s) {
    return base64Encode(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}
// Standard alphabet, "=" padding required where due; anything else (blanks, line breaks,
// characters outside the alphabet, bad padding) is refused.
std::optional<Bytes> base64DecodeStrict(std::string_view text);

// The deepest nesting of arrays and objects a value may have. Copying and writing a value
// recurse once per level, so deeper texts are refused when parsed and deeper values are not
// written.
inline constexpr std::size_t kMaxValueDepth = 512;

// JSON text; never throws. Invalid UTF-8 in texts is replaced by U+FFFD.
// Byte values are written as arrays of numbers (callers convert them first where that matters).
// A value nested deeper than kMaxValueDepth is written as "null".
std::string toJson(const Value& v, int indent = -1);
// The JSON text with U+2028 and U+2029 written as escapes, so that it stands in a script as a
// literal of the same value.
std::string scriptSafeJson(std::string json);
// Parses JSON; a lone UTF-16 surrogate escape ("\ud800") becomes U+FFFD instead of failing.
// A text that nests arrays and objects deeper than `maxDepth` is refused before parsing.
std::optional<Value> parseJson(std::string_view text, std::size_t maxDepth = kMaxValueDepth);

// Whether a JSON text nests arrays and objects deeper than `maxDepth` (brackets inside strings do
// not count). One pass over the text, no recursion.
bool jsonNestsDeeperThan(std::string_view text, std::size_t maxDepth);
// Whether a value nests arrays and objects deeper than `maxDepth` ([] is one level). No recursion.
bool valueNestsDeeperThan(const Value& v, std::size_t maxDepth);

// A script string literal in the given quote, with backslash, that quote, control
// characters, U+2028 and U+2029 escaped, so any text can be placed into a script.
std::string jsStringLiteral(std::string_view text, char quote = '\'');

// The text form of a value for log lines: texts as they are, others as compact JSON.
std::string describe(const Value& v);

bool containsBytes(const Value& v);

}  // namespace platform
