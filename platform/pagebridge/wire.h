// What the program and its web-process extension say to each other about the page, as typed
// values. Each message has one encode and one decode here, used by both processes, so the two
// sides cannot disagree about a field's place or type.
//
//   program -> web process, through the engine:  Admit (once per committed application document)
//   web process -> program, through the engine:  ChannelOpen (the page's channel, with the token)
//   web process -> program, on the channel:      PageMessage (Call, Console, ScriptError, Refusal)
//   program -> web process, on the channel:      ProgramMessage (Delivery, WriteHeld, ReleaseHeld)
//   start data of every web process:             StartData
//
// Descriptors travel beside a message (channel.h); a message names one by its position in the
// message's list. Nothing here depends on the web engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

typedef struct _GVariant GVariant;

namespace platform::pagebridge {

// Byte counts from which a call's argument stays in the web process, and bytes for the page come
// through a descriptor instead of a message.
inline constexpr std::size_t kBulkBytes = 64 * 1024;
// The most bytes the web process holds for calls at a time.
inline constexpr std::size_t kMaxHeldBytes = std::size_t(1) << 30;
// The page-world function that hands results to the page library, in order (page_world.js).
inline constexpr const char* kResultsFunction = "__kivanoResults";

// ---- descriptors ----

// Descriptors of a message being made: borrowed, named by their position.
struct OutgoingFds {
    std::vector<int> fds;
    // The position of `fd` (-1 stays -1: no descriptor).
    std::int32_t add(int fd);
};

// Descriptors of a message received: owned; what is not taken closes with the object.
class ReceivedFds {
public:
    ReceivedFds() = default;
    explicit ReceivedFds(std::vector<int> fds) : fds_(std::move(fds)) {}
    ~ReceivedFds();
    ReceivedFds(ReceivedFds&& other) noexcept : fds_(std::move(other.fds_)) { other.fds_.clear(); }
    ReceivedFds& operator=(ReceivedFds&&) = delete;
    ReceivedFds(const ReceivedFds&) = delete;
    // The descriptor at the position, now the caller's; -1 when there is none (or taken before).
    int take(std::int32_t position);
    std::size_t size() const { return fds_.size(); }

private:
    std::vector<int> fds_;
};

// ---- web process to program ----

// Bytes of a call's argument that the web process keeps under a single-use token.
struct HeldBytes {
    std::uint32_t index = 0;  // the argument's position; it is null in the arguments
    std::string token;        // 32 lower-case hexadecimal digits
    std::uint64_t size = 0;
};

// A page's call: exec(callbackId, service, action, arguments). Fields are absent where the page
// passed something other than a text; `arguments` is the JSON text of the argument array.
struct Call {
    std::optional<std::string> callbackId, service, action, arguments;
    std::optional<HeldBytes> held;
};
// console(operation, text)
struct Console {
    std::optional<std::string> operation, text;
};
// error(sourceURL, line, message): a script error of the page.
struct ScriptError {
    std::optional<std::string> sourceURL, line, message;
};
// A message the web process did not send, and why; `kind` "call" for a call (with its callback).
struct Refusal {
    std::string kind;
    std::optional<std::string> callbackId;
    std::string why;
};
using PageMessage = std::variant<Call, Console, ScriptError, Refusal>;

// The texts a message carries, all together.
std::size_t textBytes(const PageMessage& message);

// ---- program to web process ----

// Bytes for the page outside the messages: a range of a descriptor the program opened, read in
// the web process and handed to the page world's results function in the form given.
struct PageBytes {
    std::string callbackId;
    int status = 1;
    bool keep = false;
    // "arraybuffer" (the array-buffer object with Base64 "data"), "base64" (Base64 text),
    // "dataurl" ("data:<mime>;base64,..."), "text" (UTF-8 decoded), "binarystring" (a character
    // per byte).
    std::string form;
    std::string mimeType;
    // The answer when the bytes are not of the form (text that is not UTF-8).
    int invalidStatus = 0;
    int invalidMessage = 0;
    int fd = -1;  // borrowed
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    // Gets one byte once the page has had the bytes; closes without it when they never reach it.
    int ackFd = -1;  // borrowed
};
// One thing for the page, as the program hands it over: a script, or bytes.
struct PageDelivery {
    std::string script;
    std::optional<PageBytes> bytes;
};

// What a delivery carries, item by item.
struct Script {
    std::string text;  // UTF-8
};
// A script too long for a message: its UTF-8 text is the first `length` bytes of the descriptor.
struct ScriptInDescriptor {
    int fd = -1;
    std::uint64_t length = 0;
};
using DeliveryItem = std::variant<Script, ScriptInDescriptor, PageBytes>;

// Items for the main frame's document, in order, each an evaluation of its own.
struct Delivery {
    std::vector<DeliveryItem> items;
};
// Write the bytes held under the token into `fd`, then the count written (or the negative error
// number) as a 64-bit integer into `ackFd`; the token is used up.
struct WriteHeld {
    std::string token;
    int fd = -1;
    int ackFd = -1;
};
// The bytes held under the token are not needed.
struct ReleaseHeld {
    std::string token;
};
using ProgramMessage = std::variant<Delivery, WriteHeld, ReleaseHeld>;

// ---- engine messages ----

// The program admits the web process's page to a channel for the document just committed.
struct Admit {
    std::string token;
};
// The page's channel: the program's end and the token it was admitted with.
struct ChannelOpen {
    std::string token;
    int fd = -1;
};

// ---- start data ----

// Where a call's argument carries bytes: lower-cased service name, action, argument index.
struct BulkArgument {
    std::string service;
    std::string action;
    unsigned index = 0;
};
struct StartData {
    std::string trustedPrefix;  // raw bytes: a folder's path need not be UTF-8
    std::string script;         // the page-world script (page_world.js)
    bool publishConsole = true;
    std::vector<BulkArgument> bulkArguments;
};

// ---- encoding ----

// A message as it travels: its name and parameters (floating until sent).
struct Encoded {
    const char* name;
    GVariant* params;
};

// Outgoing descriptors are added to `fds`; incoming ones are taken from it. Decoding answers
// nothing for a message that is not the kind (name or shape).
Encoded encode(const PageMessage& message);
std::optional<PageMessage> decodePageMessage(const std::string& name, GVariant* params);

Encoded encode(const ProgramMessage& message, OutgoingFds& fds);
// A decoded message owns the descriptors it names (closed by closeDescriptors()).
std::optional<ProgramMessage> decodeProgramMessage(const std::string& name, GVariant* params, ReceivedFds& fds);
void closeDescriptors(ProgramMessage& message);

Encoded encode(const Admit& message);
std::optional<Admit> decodeAdmit(const std::string& name, GVariant* params);
Encoded encode(const ChannelOpen& message, OutgoingFds& fds);
std::optional<ChannelOpen> decodeChannelOpen(const std::string& name, GVariant* params, ReceivedFds& fds);

GVariant* encode(const StartData& data);
StartData decodeStartData(GVariant* params);

// ---- shared decisions ----

// 128 random bits as 32 lower-case hexadecimal digits; empty when the system gives none.
std::string newToken();
bool isToken(const std::string& text);

// The URL without query and fragment, unescaped, begins with `prefix` and climbs no folder
// ("/../", or "/.." at its end). An empty prefix, or a URL whose escapes do not decode (an
// escaped NUL, a broken escape), is never trusted.
bool pageURLHasPrefix(const std::string& url, const std::string& prefix);

}  // namespace platform::pagebridge
