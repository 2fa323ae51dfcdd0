// The SIP user-agent library as the intercom sees it: one process-wide endpoint that is created,
// started and destroyed again for every call, transports, a local account without registrar, and
// outgoing calls with extra INVITE headers. Failures are thrown as sip::Error.
//
// Threading: every call into the library is made on one thread (the intercom's worker), which
// also pumps the library's events with Endpoint::handleEvents(); the call-state callbacks run
// inside handleEvents() on that thread.
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sip {

// What went wrong, as far as the caller needs to tell cases apart.
enum class ErrorKind { General, InvalidRequestUri, NoLibrary };

class Error : public std::runtime_error {
public:
    Error(ErrorKind kind, std::string title, std::string reason);
    ErrorKind kind;
    std::string title;   // the library operation that failed
    std::string reason;  // its reason text
    // One line: "<reason> (<title>)".
    std::string info() const;
};

// Reason text of an invalid request URI.
inline constexpr const char* kInvalidRequestUriReason = "Invalid Request URI";

enum class TransportType { UDP, TCP };

struct EndpointConfig {
    unsigned logLevel = 1;  // 0 none, 1 errors, 2 warnings, 3 info, 4 debug, 5 and more: trace
    unsigned threadCnt = 1;
    std::string userAgent;
    std::vector<std::string> stunServer;
};

struct TransportConfig {
    unsigned port = 5060;
};

struct AccountConfig {
    std::string idUri;
    // Media transport: first RTP port (0: the library's default) and the number of ports.
    unsigned rtpPort = 0;
    unsigned rtpPortRange = 0;
    std::string publicAddress;
    bool iceEnabled = false;
    bool turnEnabled = false;
};

struct CodecInfo {
    std::string codecId;  // "<encoding>/<clock rate>/<channels>", e.g. "PCMU/8000/1"
    int priority = 0;     // 0 disabled, higher first
};

struct Header {
    std::string name;
    std::string value;
};

struct CallOpParam {
    unsigned audioCount = 1;
    unsigned videoCount = 0;
    std::vector<Header> headers;  // extra headers of the INVITE (of no later request), in order
};

enum class MediaType { None, Audio, Video };

// Invite session states.
enum InviteState { kStateNull = 0, kStateCalling, kStateIncoming, kStateEarly, kStateConnecting, kStateConfirmed, kStateDisconnected };

struct CallInfo {
    int state = kStateNull;
    int lastStatusCode = 0;
    std::string lastReason;
    std::vector<MediaType> media;  // the call's media, by index
};

struct AccountInfo {
    std::string uri;
    bool regIsActive = false;
};

// A port of the library's audio conference: the sound devices and the audio of a call.
class AudioMedia {
public:
    virtual ~AudioMedia() = default;
    virtual void startTransmit(AudioMedia& sink) = 0;
    virtual void stopTransmit(AudioMedia& sink) = 0;
    // Level factors: 1 leaves the signal as it is, 0 silences it.
    virtual void adjustTxLevel(float level) = 0;
    virtual void adjustRxLevel(float level) = 0;
    // The factors in effect.
    virtual float txLevelAdjustment() const = 0;
    virtual float rxLevelAdjustment() const = 0;
};

class Account;
class Call;

// The library: one object for the whole process (instance()).
class Endpoint {
public:
    virtual ~Endpoint() = default;
    static Endpoint& instance();

    virtual void libCreate() = 0;
    virtual void libInit(const EndpointConfig& config) = 0;
    virtual void transportCreate(TransportType type, const TransportConfig& config) = 0;
    // Opens exactly the transports asked for by transportCreate, and nothing before that.
    virtual void libStart() = 0;
    // Ends every call and lets the library finish their transactions (for a short while at
    // most) before it goes down.
    virtual void libDestroy() = 0;
    // Whether the library is created (between libCreate and libDestroy).
    virtual bool libIsCreated() const = 0;
    // Runs due library work and delivers callbacks; call often (every few milliseconds) while created.
    virtual void handleEvents() = 0;

    virtual std::vector<CodecInfo> codecEnum() = 0;
    virtual void codecSetPriority(const std::string& codecId, int priority) = 0;
    virtual void natDetectType() = 0;
    virtual void hangupAllCalls() = 0;

    // The sound devices (file or null devices where the computer has none).
    virtual AudioMedia& getCaptureDevMedia() = 0;
    virtual AudioMedia& getPlaybackDevMedia() = 0;
    // Whether real sound devices are in use (false: the library plays and records silence).
    virtual bool hasSoundDevices() const = 0;

    // Back-end hooks of Account and Call.
    struct AccountBackend {
        virtual ~AccountBackend() = default;
        virtual AccountInfo getInfo() = 0;
    };
    struct CallBackend {
        virtual ~CallBackend() = default;
        virtual void makeCall(const std::string& uri, const CallOpParam& param) = 0;
        virtual CallInfo getInfo() = 0;
        virtual AudioMedia& getAudioMedia(int index) = 0;
        virtual std::string streamCodecName(int index) = 0;
    };
    virtual std::unique_ptr<AccountBackend> createAccount(Account& owner, const AccountConfig& config,
                                                          bool makeDefault) = 0;
    virtual std::unique_ptr<CallBackend> createCall(Call& owner, Account& account) = 0;
};

// A local identity; subclasses see registration changes.
class Account {
public:
    Account() = default;
    virtual ~Account();
    Account(const Account&) = delete;
    Account& operator=(const Account&) = delete;

    void create(const AccountConfig& config, bool makeDefault = false);
    AccountInfo getInfo() const;
    bool isValid() const { return backend_ != nullptr; }
    virtual void onRegState() {}

private:
    std::unique_ptr<Endpoint::AccountBackend> backend_;
};

// One call; subclasses see its state changes (inside Endpoint::handleEvents()).
class Call {
public:
    // callId -1: a new outgoing call.
    Call(Account& account, int callId = -1);
    virtual ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    void makeCall(const std::string& uri, const CallOpParam& param);
    CallInfo getInfo() const;
    AudioMedia& getAudioMedia(int index) const;
    std::string streamCodecName(int index) const;

    virtual void onCallState() {}

private:
    std::unique_ptr<Endpoint::CallBackend> backend_;
};

}  // namespace sip
