// One authenticated command to a controller over its local and remote paths, reported once.
//
// Each path first asks "/jdev/cfg/apiKey" for a one-time key, checks the serial number of the
// answering controller, and then requests the command with "?auth=" and the HMAC-SHA1 of
// "user:password" under that key, at the host and port that answered the key request.
//
// With both paths running, only the first path whose key step succeeds sends the command; the
// other one holds its authentication value and sends only if that command request fails without
// having been written out. A command request that may have reached the controller is never
// repeated, neither over the other path nor by the HTTP layer, so a toggle flips once.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/http_client.h"
#include "platform/value.h"

namespace platform {
class PixbufImage;
}

// Connection data of one controller; read-only after construction.
class KVHTTPHubstation {
public:
    // An address is kept only when it is usable as URL text (no blanks or other characters a URL
    // cannot hold); otherwise it counts as absent.
    KVHTTPHubstation(std::string serialNo, std::optional<std::string> localURL, std::optional<std::string> remoteURL,
                     std::string username, std::string password);

    const std::string& serialNo() const { return serialNo_; }
    const std::optional<std::string>& localURL() const { return localURL_; }
    const std::optional<std::string>& remoteURL() const { return remoteURL_; }
    const std::string& username() const { return username_; }
    const std::string& password() const { return password_; }

private:
    std::string serialNo_;
    std::optional<std::string> localURL_;
    std::optional<std::string> remoteURL_;
    std::string username_;
    std::string password_;
};

enum class KVHTTPReachMode : int { None = 0, Local = 1, Remote = 2 };
std::optional<KVHTTPReachMode> KVHTTPReachModeFromRaw(long raw);

enum class KVHTTPCommandState : int { Waiting = 0, Sent = 1, Failed = 2, Succeeded = 3, Stopped = 4 };
// The case name ("Waiting", "Sent", ...).
std::string KVHTTPCommandStateDescription(KVHTTPCommandState state);

enum class KVHTTPCommandError : long {
    InvalidHost = -7777,
    NonMatchingSerialNumbers = -7779,
    NotParsableResponse = -7780,
};
std::optional<KVHTTPCommandError> KVHTTPCommandErrorFromRaw(long raw);
std::string KVHTTPCommandErrorDescription(KVHTTPCommandError error);

extern const char* const KVHTTPCommandErrorDomain;
// A new error object of the client's domain with the case's description.
platform::HttpErrorRef KVHTTPCommandMakeError(KVHTTPCommandError error);

// What the callback receives as `result`: nothing, a value (text, parsed JSON, raw bytes as a
// byte value, or null for text that is no UTF-8), or a decoded image.
struct KVHTTPResult {
    enum class Kind { Absent, Value, Image };
    Kind kind = Kind::Absent;
    platform::Value value;
    std::shared_ptr<platform::PixbufImage> image;

    static KVHTTPResult absent() { return {}; }
    static KVHTTPResult of(platform::Value v) { return {Kind::Value, std::move(v), nullptr}; }
    static KVHTTPResult bytesOrAbsent(const std::optional<platform::Bytes>& bytes);
    bool isAbsent() const { return kind == Kind::Absent; }
};

class KVHTTPCommand : public std::enable_shared_from_this<KVHTTPCommand> {
    struct Passkey {};

public:
    // Key and command answers are read up to this many bytes; a longer one is not parsable.
    static constexpr std::size_t kMaxAnswerBytes = 1048576;

    // (result, success, localError, remoteError, userInfo). userInfo is null on failure; on success
    // it holds "contentType" (when the answer had one), "statusCode" and "reachMode" (raw value).
    using Callback = std::function<void(const KVHTTPResult& result, bool success, const platform::HttpErrorRef& localError,
                                        const platform::HttpErrorRef& remoteError, const platform::Value& userInfo)>;

    // Requests in flight keep the command alive, so the caller may drop it after send().
    static std::shared_ptr<KVHTTPCommand> create(const std::string& command, KVHTTPHubstation hubstation,
                                                 KVHTTPReachMode preferedReachMode, Callback callback = {});
    KVHTTPCommand(Passkey, const std::string& command, KVHTTPHubstation hubstation, KVHTTPReachMode preferedReachMode,
                  Callback callback);
    KVHTTPCommand(const KVHTTPCommand&) = delete;
    KVHTTPCommand& operator=(const KVHTTPCommand&) = delete;

    // Starts the paths the reach mode names. Once per command; later calls do nothing.
    // With no path to start, the callback runs before this returns, InvalidHost in both errors.
    void send();
    // Cancels the paths still running; no callback follows.
    void stop();

    const std::string& command() const { return command_; }
    const KVHTTPHubstation& hubstation() const { return hubstation_; }
    KVHTTPReachMode preferedReachMode() const { return preferedReachMode_; }
    const Callback& callback() const { return callback_; }
    void setCallback(Callback callback) { callback_ = std::move(callback); }
    double resourceTimeout() const { return resourceTimeout_; }
    // Takes effect for requests not yet started.
    void setResourceTimeout(double seconds);
    // Image answers are decoded (on a worker thread, up to PixbufImage's pixel limit) unless
    // this is turned off: a caller with no use for the picture gets the answer's bytes instead.
    bool decodesImages() const { return decodesImages_; }
    void setDecodesImages(bool decodes) { decodesImages_ = decodes; }

    KVHTTPCommandState localState() const { return localState_; }
    KVHTTPCommandState remoteState() const { return remoteState_; }
    const platform::HttpErrorRef& localError() const { return localError_; }
    const platform::HttpErrorRef& remoteError() const { return remoteError_; }
    const std::shared_ptr<platform::HttpSession>& intRequest() const { return intRequest_; }
    const std::shared_ptr<platform::HttpSession>& extRequest() const { return extRequest_; }

    // "/" in front unless the text begins with one.
    static std::string validateCommand(const std::string& command);
    // Lower-case hex HMAC-SHA1 of "username:password" under the key given as hex text;
    // absent when the key's bytes are not UTF-8.
    static std::optional<std::string> authenticationValue(const std::string& keyHex, const std::string& username,
                                                          const std::string& password);

    // The two answer steps of a path, run on the main thread with what a request completed with.
    void handleResponseFromHashURL(bool local, const std::optional<platform::Bytes>& data,
                                   const std::optional<platform::HttpResponse>& urlResponse,
                                   const platform::HttpErrorRef& error);
    void handleResponseFromCommandURL(bool local, const std::optional<platform::Bytes>& data,
                                      const std::optional<platform::HttpResponse>& urlResponse,
                                      const platform::HttpErrorRef& error);

private:
    using AnswerStep = void (KVHTTPCommand::*)(bool local, const std::optional<platform::Bytes>& data,
                                               const std::optional<platform::HttpResponse>& urlResponse,
                                               const platform::HttpErrorRef& error);

    void startRequest(bool local);
    // Sends the command now, or holds it while the other path's command request is out.
    void claimCommand(bool local, const std::string& address, const std::string& hashValue);
    void sendCommand(bool local, const std::string& address, const std::string& hashValue);
    // After this path's command request failed: the other path sends its held command when the
    // request never went out; otherwise the other path ends without sending.
    void releaseCommand(bool local);
    void endPath(bool local);
    // Gets `url` on the path's session and runs `step` on the main thread with the answer,
    // unless the path was stopped meanwhile.
    void fetch(bool local, const std::string& url, AnswerStep step);
    void failInvalidHost(bool local);
    // Decodes an image answer off the main thread; the path's result follows on the main thread.
    void decodeImageAnswer(bool local, platform::Bytes data, const std::optional<platform::HttpResponse>& urlResponse,
                           platform::Value userInfo);
    void handleResultOrError(bool success, bool local, const KVHTTPResult& data,
                             const std::optional<platform::HttpResponse>& urlResponse,
                             const platform::HttpErrorRef& error, const platform::Value& userInfo);
    void dispatchResultOrError(bool local, const KVHTTPResult& data,
                               const std::optional<platform::HttpResponse>& urlResponse,
                               const platform::HttpErrorRef& error, const platform::Value& userInfo);
    void cancelPath(bool local);
    void deliver(const KVHTTPResult& data, bool success, const platform::Value& userInfo);

    KVHTTPCommandState& state(bool local) { return local ? localState_ : remoteState_; }
    platform::HttpErrorRef& errorOf(bool local) { return local ? localError_ : remoteError_; }
    std::shared_ptr<platform::HttpSession>& session(bool local) { return local ? intRequest_ : extRequest_; }
    bool& started(bool local) { return local ? localStarted_ : remoteStarted_; }
    struct HeldCommand {
        std::string address;
        std::string hashValue;
    };
    std::optional<HeldCommand>& held(bool local) { return local ? localHeld_ : remoteHeld_; }

    std::string command_;
    KVHTTPHubstation hubstation_;
    KVHTTPReachMode preferedReachMode_;
    Callback callback_;
    double resourceTimeout_ = 3.5;
    bool decodesImages_ = true;
    KVHTTPCommandState localState_ = KVHTTPCommandState::Stopped;
    KVHTTPCommandState remoteState_ = KVHTTPCommandState::Stopped;
    platform::HttpErrorRef localError_;
    platform::HttpErrorRef remoteError_;
    std::shared_ptr<platform::HttpSession> intRequest_;
    std::shared_ptr<platform::HttpSession> extRequest_;

    bool sendCalled_ = false;
    bool localStarted_ = false;   // a key request of the path has been made
    bool remoteStarted_ = false;
    bool delivered_ = false;      // the one callback has run
    std::optional<bool> commandPath_;  // the path whose command request is out (true: local)
    bool commandMayHaveReached_ = false;  // of the command request that failed last
    std::optional<HeldCommand> localHeld_;   // key step done, waiting for the other path's outcome
    std::optional<HeldCommand> remoteHeld_;
};
