#include "platform/bundle.h"

#include <glib.h>

#include <algorithm>
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

static std::string programFolder() {
    std::string exe = executablePath();
    auto slash = exe.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : exe.substr(0, slash);
}

const std::string& Bundle::resourcePath() {
    std::lock_guard lock(mutex_);
    if (!resourcePath_.empty()) return resourcePath_;
    if (const char* env = std::getenv("KIVANO_BUNDLE_DIR"); env && *env) {
        resourcePath_ = env;
    } else {
        const std::string dir = programFolder();
        const std::string candidates[] = {
            dir + "/Resources",                    // the program in its build tree
            dir + "/" KIVANO_INSTALLED_BUNDLE_DIR,  // installed: <prefix>/share/kivano
            dir + "/../Resources",                 // tests and benchmarks in sub-folders of the build tree
        };
        resourcePath_ = candidates[0];
        for (const auto& c : candidates) {
            if (isDir(c)) {
                resourcePath_ = c;
                break;
            }
        }
    }
    // One spelling of the folder ("bin/../share" read as "share"): page URLs are compared with it.
    g_autofree gchar* canonical = g_canonicalize_filename(resourcePath_.c_str(), nullptr);
    resourcePath_ = canonical;
    return resourcePath_;
}

bool Bundle::runsFromBuildTree() { return isDir(programFolder() + "/Resources"); }

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
    // GLib reads LANGUAGE, LC_ALL, LC_MESSAGES and LANG as gettext does, except that gettext
    // ignores LANGUAGE under the C locale: so do we.
    std::string locale;
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(var);
        if (v && *v) {
            locale = v;
            break;
        }
    }
    std::string base = locale.substr(0, locale.find_first_of(".@"));
    std::vector<std::string> out;
    if (base != "C" && base != "POSIX") {
        for (const gchar* const* name = g_get_language_names(); *name; ++name) {
            // "de_AT.UTF-8@euro" -> "de-AT"
            std::string tag(*name);
            tag = tag.substr(0, tag.find_first_of(".@"));
            if (tag.empty() || tag == "C" || tag == "POSIX") continue;
            for (auto& c : tag) {
                if (c == '_') c = '-';
            }
            if (std::find(out.begin(), out.end(), tag) == out.end()) out.push_back(std::move(tag));
        }
    }
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
                logf(LogLevel::Warning, "String table %s is not readable", n + ".json");
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
