#include "platform/bundle.h"

#include <cstdlib>
#include <sys/stat.h>

#include "platform/log.h"
#include "platform/paths.h"
#include "platform/value.h"

namespace platform {

Bundle& Bundle::main() {
    static Bundle* b = new Bundle;
    return *b;
}

static bool isDir(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
static bool isFile(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

const std::string& Bundle::resourcePath() {
    std::lock_guard lock(mutex_);
    if (!resourcePath_.empty()) return resourcePath_;
    if (const char* env = std::getenv("KIVANO_BUNDLE_DIR"); env && *env) {
        resourcePath_ = env;
    } else {
        std::string exe = executablePath();
        std::string dir = exe.substr(0, exe.find_last_of('/'));
        std::string besides = dir + "/Resources";
        std::string installed = dir + "/../share/kivano";
        if (isDir(besides)) {
            resourcePath_ = besides;
        } else if (isDir(installed)) {
            resourcePath_ = installed;
        } else if (isDir(KIVANO_BINARY_DIR "/Resources")) {
            resourcePath_ = KIVANO_BINARY_DIR "/Resources";  // tests and benchmarks in sub-folders
        } else {
            resourcePath_ = besides;
        }
    }
    while (resourcePath_.size() > 1 && resourcePath_.back() == '/') resourcePath_.pop_back();
    return resourcePath_;
}

void Bundle::setResourcePathForTesting(const std::string& path) {
    std::lock_guard lock(mutex_);
    resourcePath_ = path;
    stringsLoaded_ = false;
    strings_.clear();
}

std::optional<std::string> Bundle::pathForResource(const std::string& name, const std::string& type,
                                                   const std::string& subdir) {
    if (name.empty()) return std::nullopt;
    std::string file = type.empty() ? name : name + "." + type;
    std::string path = resourcePath();
    if (!subdir.empty()) path += "/" + subdir;
    path += "/" + file;
    if (!isFile(path)) return std::nullopt;
    return path;
}

std::vector<std::string> Bundle::preferredLanguages() {
    std::vector<std::string> out;
    auto addTag = [&](std::string loc) {
        // "de_AT.UTF-8@euro" -> "de-AT"
        auto cut = loc.find_first_of(".@");
        if (cut != std::string::npos) loc = loc.substr(0, cut);
        if (loc.empty() || loc == "C" || loc == "POSIX") return;
        for (auto& c : loc) {
            if (c == '_') c = '-';
        }
        for (const auto& e : out) {
            if (e == loc) return;
        }
        out.push_back(loc);
    };
    // As the C library orders them: LC_ALL, then LC_MESSAGES, then LANG give the locale;
    // LANGUAGE lists languages ahead of it unless the locale is C.
    std::string locale;
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(var);
        if (v && *v) {
            locale = v;
            break;
        }
    }
    std::string base = locale.substr(0, locale.find_first_of(".@"));
    if (const char* lang = std::getenv("LANGUAGE"); lang && *lang && base != "C" && base != "POSIX") {
        std::string list = lang;
        std::size_t start = 0;
        while (start <= list.size()) {
            auto end = list.find(':', start);
            if (end == std::string::npos) end = list.size();
            addTag(list.substr(start, end - start));
            start = end + 1;
        }
    }
    addTag(locale);
    if (out.empty()) out.push_back("en");
    return out;
}

void Bundle::loadStringsLocked() {
    if (stringsLoaded_) return;
    stringsLoaded_ = true;
    std::string base = resourcePath_.empty() ? std::string() : resourcePath_;
    auto langs = preferredLanguages();
    langs.push_back("en");
    // Least preferred first, so more preferred tables overwrite.
    for (auto it = langs.rbegin(); it != langs.rend(); ++it) {
        std::vector<std::string> names{*it};
        auto dash = it->find('-');
        if (dash != std::string::npos) names.insert(names.begin(), it->substr(0, dash));
        for (const auto& n : names) {
            std::string text;
            if (!readFile(base + "/strings/" + n + ".json", text)) continue;
            auto v = parseJson(text);
            if (!v || !v->is_object()) {
                logf("String table %s is not readable", n + ".json");
                continue;
            }
            for (auto e = v->begin(); e != v->end(); ++e) {
                if (e.value().is_string()) strings_[e.key()] = e.value().get<std::string>();
            }
        }
    }
}

std::string Bundle::localizedString(const std::string& key) {
    resourcePath();
    std::lock_guard lock(mutex_);
    loadStringsLocked();
    auto it = strings_.find(key);
    return it == strings_.end() ? key : it->second;
}

}  // namespace platform
