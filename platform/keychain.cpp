#include "platform/keychain.h"

#include <libsecret/secret.h>

#include <memory>
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

struct GErrorFree {
    void operator()(GError* e) const { g_error_free(e); }
};
struct GObjectUnref {
    void operator()(gpointer o) const { g_object_unref(o); }
};
struct HashUnref {
    void operator()(GHashTable* t) const { g_hash_table_unref(t); }
};
struct ItemListFree {
    void operator()(GList* l) const { g_list_free_full(l, g_object_unref); }
};
struct ValueUnref {
    void operator()(SecretValue* v) const { secret_value_unref(v); }
};
using ErrorPtr = std::unique_ptr<GError, GErrorFree>;
using ServicePtr = std::unique_ptr<SecretService, GObjectUnref>;
using CollectionPtr = std::unique_ptr<SecretCollection, GObjectUnref>;
using ItemPtr = std::unique_ptr<SecretItem, GObjectUnref>;
using HashPtr = std::unique_ptr<GHashTable, HashUnref>;
using ItemListPtr = std::unique_ptr<GList, ItemListFree>;
using ValuePtr = std::unique_ptr<SecretValue, ValueUnref>;

// The attribute table borrows the query's texts; keep the query alive while it is used.
HashPtr attributesOf(const ItemQuery& q) {
    GHashTable* t = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(t, const_cast<char*>("service"), const_cast<char*>(q.service.c_str()));
    g_hash_table_insert(t, const_cast<char*>("account"), const_cast<char*>(q.account.c_str()));
    if (q.accessGroup) g_hash_table_insert(t, const_cast<char*>("accessGroup"), const_cast<char*>(q.accessGroup->c_str()));
    return HashPtr(t);
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

ServicePtr connect(GError** error) {
    return ServicePtr(secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, error));
}

// Every matching item, locked ones included; the secrets of unlocked ones loaded when asked.
Status search(const char* what, const ItemQuery& q, bool loadSecrets, ItemListPtr& items) {
    GError* raw = nullptr;
    ServicePtr service = connect(&raw);
    ErrorPtr error(raw);
    if (!service) return unavailable(what, q, raw);
    auto attrs = attributesOf(q);
    int flags = SECRET_SEARCH_ALL | (loadSecrets ? SECRET_SEARCH_LOAD_SECRETS : 0);
    raw = nullptr;
    items.reset(secret_service_search_sync(service.get(), itemSchema(), attrs.get(), static_cast<SecretSearchFlags>(flags),
                                           nullptr, &raw));
    error.reset(raw);
    if (raw) return unavailable(what, q, raw);
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
    GError* raw = nullptr;
    ServicePtr service = connect(&raw);
    ErrorPtr error(raw);
    if (!service) return unavailable("store", q, raw);

    CollectionPtr collection(
        secret_collection_for_alias_sync(service.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &raw));
    error.reset(raw);
    if (!collection) return unavailable("store", q, raw);  // no default keyring (raw may be null)
    if (secret_collection_get_locked(collection.get())) return locked("store", q);

    auto attrs = attributesOf(q);
    ValuePtr value(secret_value_new(reinterpret_cast<const gchar*>(secret.data()), static_cast<gssize>(secret.size()),
                                    "application/octet-stream"));
    raw = nullptr;
    ItemPtr item(secret_item_create_sync(collection.get(), itemSchema(), attrs.get(), label.c_str(), value.get(),
                                         SECRET_ITEM_CREATE_REPLACE, nullptr, &raw));
    error.reset(raw);
    if (!item) return unavailable("store", q, raw);
    return Status::Success;
}

Status findItem(const ItemQuery& q, Bytes& secret) {
    ItemListPtr items;
    Status s = search("load", q, true, items);
    if (s != Status::Success) return s;
    bool sawLocked = false;
    for (SecretItem* item : unlockedItems(items.get(), sawLocked)) {
        ValuePtr value(secret_item_get_secret(item));
        if (!value) continue;
        gsize length = 0;
        const gchar* data = secret_value_get(value.get(), &length);
        secret.assign(reinterpret_cast<const std::uint8_t*>(data), reinterpret_cast<const std::uint8_t*>(data) + length);
        return Status::Success;
    }
    if (sawLocked) return locked("load", q);
    return unavailable("load", q, nullptr);  // matched, but the service handed out no secret
}

Status findItemAttributes(const ItemQuery& q, std::map<std::string, std::string>& attributes) {
    ItemListPtr items;
    Status s = search("lookup", q, false, items);
    if (s != Status::Success) return s;
    auto* item = static_cast<SecretItem*>(items->data);
    HashPtr table(secret_item_get_attributes(item));
    attributes.clear();
    if (table) {
        GHashTableIter it;
        gpointer k = nullptr, v = nullptr;
        g_hash_table_iter_init(&it, table.get());
        while (g_hash_table_iter_next(&it, &k, &v)) attributes[static_cast<const char*>(k)] = static_cast<const char*>(v);
    }
    return Status::Success;
}

Status deleteItems(const ItemQuery& q) {
    ItemListPtr items;
    Status s = search("delete", q, false, items);
    if (s != Status::Success) return s;
    int deleted = 0;
    bool sawLocked = false;
    for (SecretItem* item : unlockedItems(items.get(), sawLocked)) {
        GError* raw = nullptr;
        if (secret_item_delete_sync(item, nullptr, &raw)) {
            ++deleted;
        } else {
            ErrorPtr error(raw);
            return unavailable("delete", q, raw);
        }
    }
    if (deleted > 0) return Status::Success;
    return sawLocked ? locked("delete", q) : Status::NotFound;
}

}  // namespace platform::keychain
