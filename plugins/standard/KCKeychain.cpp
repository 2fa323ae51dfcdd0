#include "plugins/standard/KCKeychain.h"

#include "platform/bundle.h"
#include "platform/keychain.h"
#include "platform/log.h"

namespace kc = platform::keychain;
using platform::Value;

std::mutex KCKeychain::seedMutex_;

namespace {

thread_local KCKeychainLoadStatus lastLoad = KCKeychainLoadStatus::NotFound;

kc::ItemQuery itemQuery(const Value& query) {
    kc::ItemQuery q{query["service"].get<std::string>(), query["account"].get<std::string>(), std::nullopt};
    if (query.contains("accessGroup")) q.accessGroup = query["accessGroup"].get<std::string>();
    return q;
}

std::string itemLabel(const std::string& key) { return platform::Bundle::main().name() + " – " + key; }

}  // namespace

Value KCKeychain::getKeychainQuery(const std::string& key, const std::optional<std::string>& accessGroup) {
    Value q{{"itemClass", "genericPassword"},
            {"service", key},
            {"account", key},
            {"accessible", "afterFirstUnlock"}};
    if (accessGroup) q["accessGroup"] = getFullAppleIdentifier(*accessGroup);
    return q;
}

std::string KCKeychain::getFullAppleIdentifier(const std::string& group) {
    std::string seed = getBundleSeedIdentifier();
    if (seed.empty() || group.find(seed) != std::string::npos) return group;
    return seed + "." + group;
}

std::string KCKeychain::getBundleSeedIdentifier() {
    static std::optional<std::string> cached;
    std::lock_guard lock(seedMutex_);
    if (cached) return *cached;
    kc::ItemQuery q{"", "bundleSeedID", std::nullopt};
    std::map<std::string, std::string> attributes;
    kc::Status s = kc::findItemAttributes(q, attributes);
    if (s == kc::Status::NotFound) {
        s = kc::storeItem(q, itemLabel("bundleSeedID"), {});
        if (s == kc::Status::Success) s = kc::findItemAttributes(q, attributes);
    }
    if (s != kc::Status::Success) return "";  // asked again next time
    auto group = attributes.find("accessGroup");
    cached = group == attributes.end() ? "" : group->second.substr(0, group->second.find('.'));
    return *cached;
}

bool KCKeychain::saveValue(const platform::ArchiveObject& value, const std::string& key) {
    return saveValue(value, key, std::nullopt);
}

bool KCKeychain::saveValue(const platform::ArchiveObject& value, const std::string& key,
                           const std::optional<std::string>& accessGroup) {
    // One store call: the keyring replaces an item with the same attributes, so a failed save
    // leaves the previous value in place.
    auto data = platform::KeyedArchiver::archivedDataWithRootObject(value);
    return kc::storeItem(itemQuery(getKeychainQuery(key, accessGroup)), itemLabel(key), data) == kc::Status::Success;
}

std::optional<platform::ArchiveObject> KCKeychain::loadValueForKey(const std::string& key) {
    return loadValueForKey(key, std::nullopt);
}

std::optional<platform::ArchiveObject> KCKeychain::loadValueForKey(const std::string& key,
                                                                   const std::optional<std::string>& accessGroup) {
    platform::Bytes data;
    switch (kc::findItem(itemQuery(getKeychainQuery(key, accessGroup)), data)) {
        case kc::Status::Success: break;
        case kc::Status::NotFound: lastLoad = KCKeychainLoadStatus::NotFound; return std::nullopt;
        case kc::Status::Locked: lastLoad = KCKeychainLoadStatus::Locked; return std::nullopt;
        case kc::Status::Unavailable: lastLoad = KCKeychainLoadStatus::Unavailable; return std::nullopt;
    }
    std::string reason;
    auto value = platform::KeyedArchiver::unarchiveObjectWithData(data, &reason);
    if (!value) {
        platform::logf(platform::LogLevel::Warning, "Unarchive of %s failed: %s", key, reason);
        lastLoad = KCKeychainLoadStatus::Unreadable;
        return std::nullopt;
    }
    lastLoad = KCKeychainLoadStatus::Found;
    return value;
}

KCKeychainLoadStatus KCKeychain::lastLoadStatus() { return lastLoad; }

bool KCKeychain::deleteValueForKey(const std::string& key) { return deleteValueForKey(key, std::nullopt); }

bool KCKeychain::deleteValueForKey(const std::string& key, const std::optional<std::string>& accessGroup) {
    return kc::deleteItems(itemQuery(getKeychainQuery(key, accessGroup))) == kc::Status::Success;
}
