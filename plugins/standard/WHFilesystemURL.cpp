#include "plugins/standard/WHFilesystemURL.h"

#include "platform/text_checks.h"
#include "platform/url_escape.h"

namespace whfile {

std::optional<std::string> percentDecode(const std::string& text) { return platform::percentDecode(text); }

// "#" and "?" are escaped too: decoded text holds them only as parts of names.
std::string percentEscapeURLText(const std::string& text) { return platform::percentEscape(text, "!$&'()*+,:;=@[]"); }

std::optional<URLParts> splitURL(const std::string& text) {
    if (!platform::isURLText(text)) return std::nullopt;
    auto parts = platform::splitURI(text);
    if (!parts) return std::nullopt;
    URLParts p;
    // The split lowers the scheme; the text keeps its own letters.
    if (parts->scheme) p.scheme = text.substr(0, parts->scheme->size());
    p.hasAuthority = parts->host.has_value();
    if (parts->host) p.host = parts->host->find(':') != std::string::npos ? "[" + *parts->host + "]" : *parts->host;
    p.path = parts->path;
    if (parts->query) p.query = *parts->query;
    if (!percentDecode(p.path)) return std::nullopt;
    return p;
}

std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i <= path.size()) {
        auto j = path.find('/', i);
        if (j == std::string::npos) j = path.size();
        if (j > i) out.push_back(path.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

std::string lastPathComponent(const std::string& path) {
    if (path.empty()) return {};
    auto parts = splitPath(path);
    if (parts.empty()) return "/";
    return parts.back();
}

std::string deletingLastPathComponent(const std::string& path) {
    auto parts = splitPath(path);
    bool absolute = !path.empty() && path[0] == '/';
    if (parts.empty()) return absolute ? "/" : "";
    parts.pop_back();
    std::string out = absolute ? "/" : "";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i) out += "/";
        out += parts[i];
    }
    return out;
}

std::string appendingPathComponent(const std::string& path, const std::string& component) {
    std::string out = path;
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    std::string c = component;
    while (!c.empty() && c.front() == '/') c.erase(c.begin());
    if (c.empty()) return out;
    if (out.empty()) return c;
    if (out.back() != '/') out += '/';
    return out + c;
}

std::optional<std::vector<std::string>> componentsInsideRoot(const std::string& fullPath) {
    std::string path = fullPath.substr(0, fullPath.find('?'));
    std::vector<std::string> out;
    for (auto& c : splitPath(path)) {
        if (c == ".") continue;
        if (c == "..") {
            if (out.empty()) return std::nullopt;
            out.pop_back();
            continue;
        }
        out.push_back(std::move(c));
    }
    return out;
}

}  // namespace whfile

WHFilesystemURL WHFilesystemURL::fileSystemURLWithString(const std::string& text) {
    WHFilesystemURL u;
    u.initWithString(text);
    return u;
}

void WHFilesystemURL::initWithString(const std::string& text) {
    url_.reset();
    fileSystemName_.reset();
    fullPath_.reset();
    auto parts = whfile::splitURL(text);
    if (!parts) return;
    url_ = text;
    if (parts->scheme != kWHFilesystemURLPrefix || !parts->hasAuthority || parts->host != "localhost") return;
    std::string path = *whfile::percentDecode(parts->path);
    // The path as a URL path accessor gives it: no trailing "/" (except for "/" itself).
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    auto components = whfile::splitPath(path);
    if (!components.empty()) fileSystemName_ = components[0];
    std::string withQuery = path;
    if (parts->query) withQuery += "?" + *parts->query;
    auto slash = withQuery.size() > 1 ? withQuery.find('/', 1) : std::string::npos;
    fullPath_ = slash == std::string::npos ? std::string() : withQuery.substr(slash);
}

std::string WHFilesystemURL::absoluteURL() const {
    return std::string(kWHFilesystemURLPrefix) + "://localhost/" + fileSystemName_.value_or("") + fullPath_.value_or("");
}
