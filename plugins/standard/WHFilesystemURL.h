// A "whfile" URL parsed into the filesystem it names and the entry's path inside it:
//   whfile://localhost/<filesystem name><full path>
#pragma once

#include <optional>
#include <string>
#include <vector>

inline constexpr const char* kWHFilesystemURLPrefix = "whfile";

class WHFilesystemURL {
public:
    WHFilesystemURL() = default;
    // Parses the text as a URL; one that does not parse leaves every field absent.
    static WHFilesystemURL fileSystemURLWithString(const std::string& text);
    static WHFilesystemURL fileSystemURLWithURL(const std::string& url) { return fileSystemURLWithString(url); }
    void initWithString(const std::string& text);

    // The URL as passed in; absent when the text is not a URL.
    const std::optional<std::string>& url() const { return url_; }
    // Absent unless the URL is "whfile" with host "localhost" and a second path component.
    const std::optional<std::string>& fileSystemName() const { return fileSystemName_; }
    // Begins with "/" or is "" for the root; keeps any query. Absent unless "whfile"/"localhost".
    const std::optional<std::string>& fullPath() const { return fullPath_; }

    // "whfile://localhost/" + name + full path, unescaped.
    std::string absoluteURL() const;

private:
    std::optional<std::string> url_;
    std::optional<std::string> fileSystemName_;
    std::optional<std::string> fullPath_;
};

// URL text pieces.
namespace whfile {

struct URLParts {
    std::string scheme;  // "" for a relative reference
    bool hasAuthority = false;
    std::string host;
    std::string path;  // still escaped
    std::optional<std::string> query;
};
// Absent for a text that is not a URL (blanks, control or non-ASCII characters, bad escapes).
std::optional<URLParts> splitURL(const std::string& text);

// Decodes %XX escapes; absent for a bad escape or an escaped NUL.
std::optional<std::string> percentDecode(const std::string& text);
// The escape set for whole URL texts: blanks, "%", "#", "?", non-ASCII and "\"<>\\^`{|}" are escaped.
std::string percentEscapeURLText(const std::string& text);

// Path components without empty ones: "/a//b/" -> {"a", "b"}.
std::vector<std::string> splitPath(const std::string& path);
// Last path component ("/" for "/", "" for ""), trailing slashes ignored.
std::string lastPathComponent(const std::string& path);
// The path without its last component ("/a/b" -> "/a", "/a" -> "/", "a" -> "").
std::string deletingLastPathComponent(const std::string& path);
// Joins with one "/" between.
std::string appendingPathComponent(const std::string& path, const std::string& component);

// The full path (query removed) resolved inside its root: "." and empty components dropped,
// ".." removing the component before it. Absent when a ".." would climb above the root.
std::optional<std::vector<std::string>> componentsInsideRoot(const std::string& fullPath);

}  // namespace whfile
