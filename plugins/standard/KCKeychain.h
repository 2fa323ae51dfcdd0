// One archived value per string key in the user's keychain, as a generic-password item whose
// service and account are both the key.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "platform/keyed_archive.h"
#include "platform/value.h"

// What the last load on this thread found.
enum class KCKeychainLoadStatus {
    Found,
    NotFound,     // no item under the key
    Unreadable,   // an item, but its data is no archive
    Locked,       // the keyring is locked
    Unavailable,  // no Secret Service could be reached
};

class KCKeychain {
public:
    static bool saveValue(const platform::ArchiveObject& value, const std::string& key);
    static bool saveValue(const platform::ArchiveObject& value, const std::string& key,
                          const std::optional<std::string>& accessGroup);

    // The stored value, or nothing when there is no item or it cannot be read back.
    static std::optional<platform::ArchiveObject> loadValueForKey(const std::string& key);
    static std::optional<platform::ArchiveObject> loadValueForKey(const std::string& key,
                                                                  const std::optional<std::string>& accessGroup);
    // Why the last load on the calling thread gave what it gave; nothing found and a locked or
    // unreachable keyring both load as nothing.
    static KCKeychainLoadStatus lastLoadStatus();

    // YES when an item was deleted.
    static bool deleteValueForKey(const std::string& key);
    static bool deleteValueForKey(const std::string& key, const std::optional<std::string>& accessGroup);

    // The item's attributes: {"itemClass", "service", "account", "accessible"[, "accessGroup"]}.
    static platform::Value getKeychainQuery(const std::string& key, const std::optional<std::string>& accessGroup);
    static std::string getFullAppleIdentifier(const std::string& group);
    // Found once per process; empty when none is known.
    static std::string getBundleSeedIdentifier();

private:
    static std::mutex seedMutex_;
};
