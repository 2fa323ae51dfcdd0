#include "platform/user_defaults.h"

#include <sys/stat.h>

#include "platform/application.h"
#include "platform/bundle.h"
#include "platform/file_folders.h"
#include "platform/log.h"
#include "platform/notification_center.h"
#include "platform/paths.h"

namespace platform {

UserDefaults& UserDefaults::standard() {
    static UserDefaults* d = new UserDefaults;
    return *d;
}

UserDefaults::UserDefaults() {
    // What a full disk kept from the file gets its last chance at the end.
    NotificationCenter::defaultCenter().addObserver(this, kApplicationWillTerminateNotification, nullptr,
                                                    [this](const Notification&) { synchronize(); });
}

bool boolFromText(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    while (i < text.size() && text[i] == '0') ++i;
    if (i >= text.size()) return false;
    char c = text[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

Value encodeStoredValue(const Value& v) {
    if (v.is_binary()) return Value{{"$data", base64Encode(v.get_binary())}};
    if (v.is_array()) {
        Value out = Value::array();
        for (const auto& e : v) out.push_back(encodeStoredValue(e));
        return out;
    }
    if (v.is_object()) {
        Value out = Value::object();
        for (auto it = v.begin(); it != v.end(); ++it) out[it.key()] = encodeStoredValue(it.value());
        // A dictionary that would read back as a marker is wrapped.
        if (out.size() == 1 && (out.contains("$data") || out.contains("$dict"))) return Value{{"$dict", out}};
        return out;
    }
    return v;
}

Value decodeStoredValue(const Value& v) {
    if (v.is_array()) {
        Value out = Value::array();
        for (const auto& e : v) out.push_back(decodeStoredValue(e));
        return out;
    }
    if (v.is_object()) {
        if (v.size() == 1 && v.contains("$data") && v["$data"].is_string()) {
            auto bytes = base64DecodeStrict(v["$data"].get<std::string>());
            return makeBytes(bytes ? *bytes : Bytes{});
        }
        const Value* src = &v;
        if (v.size() == 1 && v.contains("$dict") && v["$dict"].is_object()) src = &v["$dict"];
        Value out = Value::object();
        for (auto it = src->begin(); it != src->end(); ++it) out[it.key()] = decodeStoredValue(it.value());
        return out;
    }
    return v;
}

std::string UserDefaults::filePath() {
    std::lock_guard lock(mutex_);
    if (path_.empty()) path_ = configHome() + "/" + Bundle::main().identifier() + "/defaults.json";
    return path_;
}

void UserDefaults::loadLocked() {
    if (loaded_) return;
    loaded_ = true;
    if (path_.empty()) path_ = configHome() + "/" + Bundle::main().identifier() + "/defaults.json";
    std::string text;
    values_ = Value::object();
    // Only a regular file is read: a FIFO would wait for a writer, a device might never end.
    struct stat st;
    if (::stat(path_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        logf(LogLevel::Warning, "User defaults at %s are not a regular file; starting empty", path_);
        return;
    }
    if (!readFile(path_, text)) return;
    auto parsed = parseJson(text);
    if (!parsed || !parsed->is_object()) {
        logf(LogLevel::Warning, "User defaults at %s are not readable; starting empty", path_);
        return;
    }
    values_ = decodeStoredValue(*parsed);
}

bool UserDefaults::writeLocked() {
    std::string error;
    // The settings folder is the application's own: private to the user, like the file (0600).
    std::string folder = path_.substr(0, path_.rfind('/'));
    if (!makeApplicationFolder(folder, &error) ||
        !writeFileAtomically(path_, toJson(encodeStoredValue(values_), 2) + "\n", &error)) {
        // The values stay pending (dirty) for the next write; one line until a write succeeds.
        if (!failureLogged_) {
            logf(LogLevel::Error, "User defaults could not be written to %s: %s", path_, error);
            failureLogged_ = true;
        }
        return false;
    }
    dirty_ = false;
    failureLogged_ = false;
    return true;
}

std::optional<Value> UserDefaults::object(const std::string& key) {
    std::lock_guard lock(mutex_);
    loadLocked();
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return *it;
}

void UserDefaults::set(const std::string& key, const Value& value) {
    std::lock_guard lock(mutex_);
    loadLocked();
    if (value.is_null()) {
        values_.erase(key);
    } else {
        values_[key] = value;
    }
    dirty_ = true;
    writeLocked();
}

void UserDefaults::remove(const std::string& key) { set(key, nullptr); }

bool UserDefaults::boolForKey(const std::string& key) {
    auto v = object(key);
    if (!v) return false;
    if (v->is_boolean()) return v->get<bool>();
    if (v->is_number()) return v->get<double>() != 0;
    if (v->is_string()) return boolFromText(v->get<std::string>());
    return false;
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) {
    auto v = object(key);
    if (!v || !v->is_string()) return std::nullopt;
    return v->get<std::string>();
}

std::optional<Bytes> UserDefaults::dataForKey(const std::string& key) {
    auto v = object(key);
    if (!v || !v->is_binary()) return std::nullopt;
    return v->get_binary();
}

bool UserDefaults::synchronize() {
    std::lock_guard lock(mutex_);
    loadLocked();
    if (!dirty_) return true;
    return writeLocked();
}

void UserDefaults::reset() {
    std::lock_guard lock(mutex_);
    loaded_ = false;
    dirty_ = false;
    failureLogged_ = false;
    path_.clear();
    values_ = Value::object();
}

}  // namespace platform
