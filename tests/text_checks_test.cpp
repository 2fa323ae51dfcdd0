// The text and URL checks every reader of outside text shares, and the host part of URLs.
#include <gtest/gtest.h>

#include "platform/http_client.h"
#include "platform/text_checks.h"

namespace {

TEST(TextChecks, UTF8AcceptsEveryCharacterAndNothingElse) {
    const std::pair<std::string, bool> cases[] = {
        {"", true},
        {"plain ASCII", true},
        {std::string("nul\0inside\0", 11), true},
        {"\xC3\xA4\xE2\x82\xAC\xF0\x9F\x8F\xA0", true},  // ä € 🏠
        {"\xEF\xBF\xBE", true},                          // U+FFFE is a character
        {"\xC3", false},                                 // cut sequence
        {std::string("\xC3\0\xA4", 3), false},           // NUL inside a sequence
        {"\xC0\xAF", false},                             // overlong "/"
        {"\xE0\x80\xAF", false},
        {"\xED\xA0\x80", false},  // a surrogate
        {"\xF4\x90\x80\x80", false},  // above U+10FFFF
        {"\xFF", false},
        {"\x80", false},
    };
    for (const auto& [text, valid] : cases) {
        SCOPED_TRACE(testing::PrintToString(text));
        EXPECT_EQ(platform::isUTF8(text), valid);
        std::string repaired = platform::validUTF8(text);
        EXPECT_TRUE(platform::isUTF8(repaired));
        if (valid) {
            EXPECT_EQ(repaired, text) << "valid text stays as it is";
        }
    }
    EXPECT_EQ(platform::validUTF8(std::string("a\0\xFF" "b", 4)), std::string("a\0\xEF\xBF\xBD" "b", 6));
}

TEST(TextChecks, URLTextInItsThreeForms) {
    struct Case {
        std::string text;
        bool reference;  // strict characters, any URL reference
        bool absolute;   // strict characters, led by a scheme
        bool lenient;    // a scheme, no blank or control character
    };
    const Case cases[] = {
        {"https://example.org/path?q=1#top", true, true, true},
        {"kivano://hs?mac=504F94A0&loc=wallmount/a%20b", true, true, true},
        {"mailto:someone@example.org", true, true, true},
        {"http://[fe80::1%25en0]:8080/", true, true, true},
        {"whfile://localhost/persistent/x", true, true, true},
        {"192.168.1.5:8080", true, false, false},  // no scheme: a path
        {"[fe80::1]:80", true, false, false},
        {"dns.example.com/x", true, false, false},
        {"hs.local:80", true, true, true},  // "hs.local" reads as a scheme
        {"/relative?q#f", true, false, false},
        {"a%20b", true, false, false},
        {"", false, false, false},
        {"https://example.org/a b", false, false, false},
        {" https://example.org/", false, false, false},
        {"https://example.org/\tx", false, false, false},
        {"https://example.org/\x7f", false, false, false},
        {"https://example.org/\xC3\xA4", false, false, true},
        {"https://example.org/<x>", false, false, true},
        {"https://example.org/{x}|^`\\", false, false, true},
        {"kivano://hs?mac=12\"3');x('\xE2\x80\xA8", false, false, true},
        {"https://example.org/%zz", false, false, true},
        {"50%", false, false, false},
        {"https://example.org/#a#b", false, false, true},
        {"http://host:port/", false, false, true},  // the port is no number
        {"http://[::1/", false, false, true},        // unclosed IPv6 brackets
        {"1http://x", true, false, false},           // a scheme begins with a letter
        {std::string("http://a/\0b", 11), false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        EXPECT_EQ(platform::isURLText(c.text), c.reference);
        EXPECT_EQ(platform::isURLText(c.text, platform::URLForm::Absolute), c.absolute);
        EXPECT_EQ(platform::isURLText(c.text, platform::URLForm::Lenient), c.lenient);
    }
}

TEST(TextChecks, HostsAsURLsWriteThem) {
    const std::pair<const char*, const char*> cases[] = {
        {"192.168.1.5", "192.168.1.5"},
        {"hub.example.com", "hub.example.com"},
        {"::1", "[::1]"},
        {"fe80::1", "[fe80::1]"},
        {"fe80::1%en0", "[fe80::1%25en0]"},
        {"", ""},
    };
    for (const auto& [host, written] : cases) EXPECT_EQ(platform::hostForURL(host), written) << host;
}

}  // namespace
