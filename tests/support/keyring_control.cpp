#include "tests/support/keyring_control.h"

#include <gio/gio.h>
#include <libsecret/secret.h>

#include <cstdio>
#include <cstring>

namespace testutil {

namespace {

constexpr const char* kTestPassword = "kivano-test";

SecretService* service() {
    g_autoptr(GError) e = nullptr;
    SecretService* s = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &e);
    if (e) std::fprintf(stderr, "keyring_control: %s\n", e->message);
    return s;
}

SecretCollection* defaultCollection(SecretService* s) {
    return secret_collection_for_alias_sync(s, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, nullptr);
}

GHashTable* attributeTable(const std::map<std::string, std::string>& attributes) {
    GHashTable* t = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    for (const auto& [k, v] : attributes) g_hash_table_insert(t, g_strdup(k.c_str()), g_strdup(v.c_str()));
    return t;
}

}  // namespace

bool lockDefaultKeyring() {
    g_autoptr(SecretService) s = service();
    if (!s) return false;
    g_autoptr(SecretCollection) c = defaultCollection(s);
    if (!c) return false;
    GList objects{c, nullptr, nullptr};
    return secret_service_lock_sync(s, &objects, nullptr, nullptr, nullptr) > 0;
}

bool unlockDefaultKeyring() {
    std::string path;
    {
        g_autoptr(SecretService) s = service();
        if (!s) return false;
        g_autoptr(SecretCollection) c = defaultCollection(s);
        if (!c) return false;
        path = g_dbus_proxy_get_object_path(G_DBUS_PROXY(c));
    }

    // gnome-keyring's own unlock call takes the password through a plain session of this connection.
    g_autoptr(GError) e = nullptr;
    g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &e);
    if (!bus) return false;
    bool ok = false;
    g_autoptr(GVariant) r = g_dbus_connection_call_sync(bus, "org.freedesktop.secrets", "/org/freedesktop/secrets",
                                                        "org.freedesktop.Secret.Service", "OpenSession",
                                                        g_variant_new("(sv)", "plain", g_variant_new_string("")),
                                                        G_VARIANT_TYPE("(vo)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &e);
    if (r) {
        g_autoptr(GVariant) output = nullptr;
        const char* session = nullptr;
        g_variant_get(r, "(v&o)", &output, &session);
        GVariant* secret = g_variant_new(
            "(o@ay@ays)", session, g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
            g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, kTestPassword, std::strlen(kTestPassword), 1), "text/plain");
        g_autoptr(GVariant) u = g_dbus_connection_call_sync(
            bus, "org.freedesktop.secrets", "/org/freedesktop/secrets",
            "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface", "UnlockWithMasterPassword",
            g_variant_new("(o@(oayays))", path.c_str(), secret), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &e);
        ok = u != nullptr;
    }
    if (e) std::fprintf(stderr, "keyring_control: unlock: %s\n", e->message);
    return ok;
}

std::vector<KeyringItem> keyringItems(const std::map<std::string, std::string>& attributes) {
    std::vector<KeyringItem> out;
    g_autoptr(SecretService) s = service();
    if (!s) return out;
    g_autoptr(GHashTable) attrs = attributeTable(attributes);
    g_autolist(SecretItem) items = secret_service_search_sync(
        s, nullptr, attrs, static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS), nullptr, nullptr);
    for (GList* l = items; l; l = l->next) {
        auto* item = static_cast<SecretItem*>(l->data);
        KeyringItem k;
        g_autofree gchar* label = secret_item_get_label(item);
        k.label = label ? label : "";
        g_autoptr(GHashTable) t = secret_item_get_attributes(item);
        GHashTableIter it;
        gpointer key, value;
        g_hash_table_iter_init(&it, t);
        while (g_hash_table_iter_next(&it, &key, &value)) k.attributes[static_cast<char*>(key)] = static_cast<char*>(value);
        if (g_autoptr(SecretValue) v = secret_item_get_secret(item)) {
            gsize n = 0;
            const gchar* d = secret_value_get(v, &n);
            k.secret.assign(d, d + n);
        }
        out.push_back(std::move(k));
    }
    return out;
}

bool plantKeyringItem(const std::string& schema, const std::map<std::string, std::string>& attributes,
                      const platform::Bytes& secret) {
    g_autoptr(SecretService) s = service();
    if (!s) return false;
    g_autoptr(SecretCollection) c = defaultCollection(s);
    if (!c) return false;
    auto all = attributes;
    all["xdg:schema"] = schema;
    g_autoptr(GHashTable) attrs = attributeTable(all);
    g_autoptr(SecretValue) v = secret_value_new(reinterpret_cast<const gchar*>(secret.data()),
                                                static_cast<gssize>(secret.size()), "application/octet-stream");
    g_autoptr(GError) e = nullptr;
    g_autoptr(SecretItem) item = secret_item_create_sync(c, nullptr, attrs, "planted", v, SECRET_ITEM_CREATE_REPLACE, nullptr, &e);
    if (e) std::fprintf(stderr, "keyring_control: plant: %s\n", e->message);
    return item != nullptr;
}

}  // namespace testutil
