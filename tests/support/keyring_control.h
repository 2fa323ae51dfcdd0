// Test control of the harness's keyring: lock and unlock the default collection, count and
// plant items directly through the Secret Service.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/value.h"

namespace testutil {

bool lockDefaultKeyring();
// Unlocks with the harness's test password, without a prompt.
bool unlockDefaultKeyring();

struct KeyringItem {
    std::string label;
    std::map<std::string, std::string> attributes;  // "xdg:schema" included
    platform::Bytes secret;
};
// Every item whose attributes include the given ones, from every collection.
std::vector<KeyringItem> keyringItems(const std::map<std::string, std::string>& attributes);
// Stores an item of any schema in the default collection.
bool plantKeyringItem(const std::string& schema, const std::map<std::string, std::string>& attributes,
                      const platform::Bytes& secret);

}  // namespace testutil
