#include "platform/digest.h"

#include <glib.h>

namespace platform {

std::string hmacSha1(const std::string& key, const std::string& message) {
    GHmac* hmac = g_hmac_new(G_CHECKSUM_SHA1, reinterpret_cast<const guchar*>(key.data()), key.size());
    g_hmac_update(hmac, reinterpret_cast<const guchar*>(message.data()), static_cast<gssize>(message.size()));
    guint8 digest[20];
    gsize length = sizeof digest;
    g_hmac_get_digest(hmac, digest, &length);
    g_hmac_unref(hmac);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string md5Hex(const std::string& data) {
    gchar* hex = g_compute_checksum_for_data(G_CHECKSUM_MD5, reinterpret_cast<const guchar*>(data.data()), data.size());
    std::string out = hex ? hex : "";
    g_free(hex);
    return out;
}

std::string randomUUID() {
    gchar* uuid = g_uuid_string_random();
    std::string out = uuid;
    g_free(uuid);
    return out;
}

}  // namespace platform
