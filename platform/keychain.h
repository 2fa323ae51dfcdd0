// Generic-password items in the user's keyring (Secret Service through libsecret).
// Items belong to the schema named after the bundle identifier, with the attributes
// "service", "account" and, when given, "accessGroup". Secrets go to the default collection
// and nowhere else; when no Secret Service answers, the calls fail with Unavailable.
// Nothing here prompts: a locked keyring answers Locked.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "platform/value.h"

namespace platform::keychain {

enum class Status {
    Success,
    NotFound,     // no item matches
    Locked,       // the item or the keyring is locked
    Unavailable,  // no Secret Service could be reached, or it failed the request
};

const char* statusName(Status status);

struct ItemQuery {
    std::string service;
    std::string account;
    std::optional<std::string> accessGroup;
};

// Stores the secret; an item with the same attributes is replaced in the same call.
Status storeItem(const ItemQuery& query, const std::string& label, const Bytes& secret);

// The secret of one matching item.
Status findItem(const ItemQuery& query, Bytes& secret);

// The attributes of one matching item, without reading its secret.
Status findItemAttributes(const ItemQuery& query, std::map<std::string, std::string>& attributes);

// Deletes every matching item; Success when at least one went.
Status deleteItems(const ItemQuery& query);

}  // namespace platform::keychain
