// What the application and the web view's web-process extension share about the page bridge:
// the names of their messages, the keys of the extension's start data, and the test of a page's
// URL against the trusted prefix, so both processes decide alike.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// Web process to view: a BridgeMessage (platform/webview.h), named by its kind after this prefix,
// with the parameters (frame URL, fields) of type "(sams)". An "exec" whose argument at a bulk
// position carried 64 KiB or more of bytes has that argument as null in its JSON and a fifth
// field "<index> <token> <size>": the web process holds the bytes under the token.
inline constexpr const char* kBridgeMessagePrefix = "bridge.";

// View to web process: what goes to the page, in order, while the main frame shows a trusted
// document; parameter of type "(av)", each element either
//   "s"              a script, an evaluation of its own, or
//   kBridgeBytesType bytes read from a descriptor of the message's descriptor list and handed to
//                    the page world's results function (WHWebViewDelegate::pageWorldScript).
// A descriptor named as acknowledgement gets one byte once the bytes have reached the page.
inline constexpr const char* kBridgeDeliverMessage = "deliver.items";
// callback identifier, status, keep, form, MIME type, status and message when the bytes are not
// of the form (text that is not UTF-8), descriptor, offset, length, acknowledgement descriptor.
inline constexpr const char* kBridgeBytesType = "(sibssiihtth)";
// View to web process: write the bytes held under the token into the first descriptor, then the
// count written (or the negative error number) as a 64-bit integer into the second; the token is
// used up. Parameter "(shh)".
inline constexpr const char* kBridgeWriteHeldMessage = "bytes.write";
// View to web process: the bytes held under the token are not needed; parameter "(s)".
inline constexpr const char* kBridgeReleaseHeldMessage = "bytes.release";

// Web process to view, as the main frame gets a trusted document: the page's own channel
// (platform/bridge_channel.h), parameter "(sh)": the channel's name and the descriptor of the
// view's end. From then on the view sends to the page and the page to the view through it
// (messages of the names and types above), and the view sends no more engine messages to that
// page; a name seen before stands for the channel already open.
inline constexpr const char* kBridgeChannelMessage = "channel.open";
// Priority of the channel's main-loop sources in the web process: the engine's own messages'.
inline constexpr int kBridgeChannelWebPriority = 100;

// The page-world function that hands results to the page library (WHWebViewDelegate::pageWorldScript).
inline constexpr const char* kBridgeResultsFunction = "__kivanoResults";

// Byte counts from which bytes go outside the messages.
inline constexpr std::size_t kBridgeBulkBytes = 64 * 1024;
// The most bytes the web process holds for calls at a time.
inline constexpr std::size_t kBridgeMaxHeldBytes = std::size_t(1) << 30;

// Keys of the extension's start data, a dictionary of type "a{sv}".
inline constexpr const char* kBridgeTrustedPrefixKey = "trusted-prefix";  // "ay", NUL-terminated
inline constexpr const char* kBridgeScriptKey = "script";                 // "s"
inline constexpr const char* kBridgeMessageLimitKey = "message-limit";    // "t", bytes
// Where a call's argument carries bytes: lower-cased service name, action, argument index.
inline constexpr const char* kBridgeBulkArgumentsKey = "bulk-arguments";  // "a(ssu)"

// The URL without query and fragment, unescaped, begins with `prefix` and climbs no folder
// ("/../", or "/.." at its end). An empty prefix, or a URL whose escapes do not decode (an
// escaped NUL, a broken escape), is never trusted.
bool pageURLHasPrefix(const std::string& url, const std::string& prefix);

}  // namespace platform
