// What the application and the web view's web-process extension share about the page bridge:
// the names of their messages, the keys of the extension's start data, and the test of a page's
// URL against the trusted prefix, so both processes decide alike.
#pragma once

#include <string>

namespace platform {

// Web process to view: a BridgeMessage (platform/webview.h), named by its kind after this prefix,
// with the parameters (frame URL, fields) of type "(sams)".
inline constexpr const char* kBridgeMessagePrefix = "bridge.";
// View to web process: scripts to evaluate in the main frame, in order and each on its own, while
// it shows a trusted document; parameter of type "(as)".
inline constexpr const char* kBridgeDeliverMessage = "deliver.scripts";

// Keys of the extension's start data, a dictionary of type "a{sv}".
inline constexpr const char* kBridgeTrustedPrefixKey = "trusted-prefix";  // "ay", NUL-terminated
inline constexpr const char* kBridgeScriptKey = "script";                 // "s"
inline constexpr const char* kBridgeMessageLimitKey = "message-limit";    // "t", bytes

// The URL without query and fragment, unescaped, begins with `prefix` and climbs no folder
// ("/../", or "/.." at its end). An empty prefix, or a URL whose escapes do not decode (an
// escaped NUL, a broken escape), is never trusted.
bool pageURLHasPrefix(const std::string& url, const std::string& prefix);

}  // namespace platform
