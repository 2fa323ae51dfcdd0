// The user's defaults: a typed key-value store kept as a JSON file under
// $XDG_CONFIG_HOME/<bundle identifier>/, written atomically on every change. Values that could not
// be written (a full disk) stay in memory and are written with the next change, the next
// synchronize() and when the application terminates; the failure is logged once until a write
// succeeds again.
// Values keep their kinds: text, number, Boolean, data (bytes), arrays, dictionaries.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "platform/value.h"

namespace platform {

class UserDefaults {
public:
    static UserDefaults& standard();

    std::optional<Value> object(const std::string& key);
    void set(const std::string& key, const Value& value);  // a null value removes the key
    void remove(const std::string& key);

    // Platform Boolean reading: Booleans, numbers other than 0, texts read as in boolFromText.
    bool boolForKey(const std::string& key);
    std::optional<std::string> stringForKey(const std::string& key);
    std::optional<Bytes> dataForKey(const std::string& key);

    // Writes pending changes; answers whether the file holds them.
    bool synchronize();
    std::string filePath();

    // Drops the cached state so the file is read again (tests use it after changing HOME).
    void reset();

private:
    void loadLocked();
    bool writeLocked();
    UserDefaults();
    std::mutex mutex_;
    bool loaded_ = false;
    bool dirty_ = false;
    bool failureLogged_ = false;
    std::string path_;
    Value values_ = Value::object();
};

// After leading blanks, a sign and zeros, the text begins with Y, y, T, t or a digit 1 to 9.
bool boolFromText(const std::string& text);

// Typed encoding of values in stored JSON (bytes as {"$data": base64}).
Value encodeStoredValue(const Value& v);
Value decodeStoredValue(const Value& v);

}  // namespace platform
