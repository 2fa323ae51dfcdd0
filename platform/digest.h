// Checksums, keyed digests and random identifiers (GLib's).
#pragma once

#include <string>

namespace platform {

// The raw HMAC-SHA1 digest (20 bytes) of the message under the key.
std::string hmacSha1(const std::string& key, const std::string& message);
// The MD5 checksum in lower-case hexadecimal.
std::string md5Hex(const std::string& data);
// A random (version 4) UUID in lower case, "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx".
std::string randomUUID();

}  // namespace platform
