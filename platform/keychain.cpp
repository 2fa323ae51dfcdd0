#include "platform/keychain.h"

#include <libsecret/secret.h>

#include <vector>

#include "platform/bundle.h"
#include "platform/log.h"

namespace platform::keychain {

namespace {

const SecretSchema* itemSchema() {
    static const std::string name = Bundle::main().identifier();
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = name.c_str();
        s.flags = SECRET_SCHEMA_NONE;
        s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[2] = {"accessGroup", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[3] = {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &schema;
}

// The attribute table borrows the query's texts; keep the query alive while it is used.
GHashTable* attributesOf(const ItemQuery& q) {
    GHashTable* t = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(t, const_cast<char*>("service"), const_cast<char*>(q.service.c_str()));
    g_hash_table_insert(t, const_cast<char*>("account"), const_cast<char*>(q.account.c_str()));
    if (q.accessGroup) g_hash_table_insert(t, const_cast<char*>("accessGroup"), const_cast<char*>(q.accessGroup->c_str()));
    return t;
}

Status unavailable(const char* what, const ItemQuery& q, GError* error) {
    logf(LogLevel::Warning, "Keychain: %s of item \"%s\" failed, no Secret Service: %s", what, q.service,
         std::string(error && error->message ? error->message : "no answer"));
    return Status::Unavailable;
}

Status locked(const char* what, const ItemQuery& q) {
    logf(LogLevel::Warning, "Keychain: %s of item \"%s\" failed: the keyring is locked", what, q.service);
    return Status::Locked;
}

SecretService* connect(GError** error) { return secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, error); }

// Every matching item, locked ones included; the secrets of unlocked ones loaded when asked. The
// items are the caller's (a list of references).
Status search(const char* what, const ItemQuery& q, bool loadSecrets, GList*& items) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(SecretService) service = connect(&error);
    if (!service) return unavailable(what, q, error);
    g_autoptr(GHashTable) attrs = attributesOf(q);
    int flags = SECRET_SEARCH_ALL | (loadSecrets ? SECRET_SEARCH_LOAD_SECRETS : 0);
    items = secret_service_search_sync(service, itemSchema(), attrs, static_cast<SecretSearchFlags>(flags), nullptr, &error);
    if (error) return unavailable(what, q, error);
    return items ? Status::Success : Status::NotFound;
}

// The unlocked items of a search result; `sawLocked` tells whether locked ones were left out.
std::vector<SecretItem*> unlockedItems(GList* items, bool& sawLocked) {
    std::vector<SecretItem*> out;
    sawLocked = false;
    for (GList* l = items; l; l = l->next) {
        auto* item = static_cast<SecretItem*>(l->data);
        if (secret_item_get_locked(item))
            sawLocked = true;
        else
            out.push_back(item);
    }
    return out;
}

}  // namespace

const char* statusName(Status status) {
    switch (status) {
        case Status::Success: return "success";
        case Status::NotFound: return "not found";
        case Status::Locked: return "locked";
        case Status::Unavailable: return "unavailable";
    }
    return "unknown";
}

Status storeItem(const ItemQuery& q, const std::string& label, const Bytes& secret) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(SecretService) service = connect(&error);
    if (!service) return unavailable("store", q, error);

    g_autoptr(SecretCollection) collection =
        secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
    if (!collection) return unavailable("store", q, error);  // no default keyring (error may be null)
    if (secret_collection_get_locked(collection)) return locked("store", q);

    g_autoptr(GHashTable) attrs = attributesOf(q);
    g_autoptr(SecretValue) value = secret_value_new(reinterpret_cast<const gchar*>(secret.data()),
                                                    static_cast<gssize>(secret.size()), "application/octet-stream");
    g_autoptr(SecretItem) item = secret_item_create_sync(collection, itemSchema(), attrs, label.c_str(), value,
                                                         SECRET_ITEM_CREATE_REPLACE, nullptr, &error);
    if (!item) return unavailable("store", q, error);
    return Status::Success;
}

Status findItem(const ItemQuery& q, Bytes& secret) {
    g_autolist(SecretItem) items = nullptr;
    Status s = search("load", q, true, items);
    if (s != Status::Success) return s;
    bool sawLocked = false;
    for (SecretItem* item : unlockedItems(items, sawLocked)) {
        g_autoptr(SecretValue) value = secret_item_get_secret(item);
        if (!value) continue;
        gsize length = 0;
        const gchar* data = secret_value_get(value, &length);
        secret.assign(reinterpret_cast<const std::uint8_t*>(data), reinterpret_cast<const std::uint8_t*>(data) + length);
        return Status::Success;
    }
    if (sawLocked) return locked("load", q);
    return unavailable("load", q, nullptr);  // matched, but the service handed out no secret
}

Status findItemAttributes(const ItemQuery& q, std::map<std::string, std::string>& attributes) {
    g_autolist(SecretItem) items = nullptr;
    Status s = search("lookup", q, false, items);
    if (s != Status::Success) return s;
    auto* item = static_cast<SecretItem*>(items->data);
    g_autoptr(GHashTable) table = secret_item_get_attributes(item);
    attributes.clear();
    if (table) {
        GHashTableIter it;
        gpointer k = nullptr, v = nullptr;
        g_hash_table_iter_init(&it, table);
        while (g_hash_table_iter_next(&it, &k, &v)) attributes[static_cast<const char*>(k)] = static_cast<const char*>(v);
    }
    return Status::Success;
}

Status deleteItems(const ItemQuery& q) {
    g_autolist(SecretItem) items = nullptr;
    Status s = search("delete", q, false, items);
    if (s != Status::Success) return s;
    int deleted = 0;
    bool sawLocked = false;
    for (SecretItem* item : unlockedItems(items, sawLocked)) {
        g_autoptr(GError) error = nullptr;
        if (!secret_item_delete_sync(item, nullptr, &error)) return unavailable("delete", q, error);
        ++deleted;
    }
    if (deleted > 0) return Status::Success;
    return sawLocked ? locked("delete", q) : Status::NotFound;
}

}  // namespace platform::keychain
