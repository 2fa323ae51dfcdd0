// The SIP library on liblinphone: the endpoint's life is one linphone core, made and started by
// libStart from the configuration that libCreate to transportCreate gathered, and stopped by
// libDestroy. Everything runs on the thread that calls in; the core's callbacks
// arrive inside handleEvents() (core iteration).
//
// Built as a module of its own (kivano_sip), which Endpoint::instance() loads at first use
// through kivano_sip_endpoint().
#ifdef KIVANO_HAVE_LINPHONE

#include <linphone++/linphone.hh>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <map>
#include <thread>

#include "media/intercom/SipLibrary.h"
#include "platform/file_folders.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace sip {
namespace {

std::string codecIdOf(const std::shared_ptr<linphone::PayloadType>& pt) {
    return pt->getMimeType() + "/" + std::to_string(pt->getClockRate()) + "/" + std::to_string(pt->getChannels());
}

// How long ending the library waits for its calls to be released.
constexpr auto kReleaseWait = std::chrono::seconds(2);

// Seconds: beyond any call (over three weeks), and still countable in milliseconds as an int.
constexpr int kNoMediaTimeout = std::numeric_limits<int>::max() / 1000;

// A level factor as the core's gain in decibels and back; 0 and below is silence.
constexpr float kSilenceDb = -100.0f;
float levelToDb(float level) { return level > 0.0001f ? 20.0f * std::log10(level) : kSilenceDb; }
float dbToLevel(float db) { return db <= kSilenceDb ? 0.0f : std::pow(10.0f, db / 20.0f); }

class LogRelay : public linphone::LoggingServiceListener {
public:
    void onLogMessageWritten(const std::shared_ptr<linphone::LoggingService>&, const std::string& domain,
                             linphone::LogLevel, const std::string& message) override {
        platform::logf("sip %s: %s", domain, message);
    }
};

unsigned logMaskFor(unsigned level) {
    using L = linphone::LogLevel;
    unsigned mask = static_cast<unsigned>(L::Fatal);
    if (level >= 1) mask |= static_cast<unsigned>(L::Error);
    if (level >= 2) mask |= static_cast<unsigned>(L::Warning);
    if (level >= 3) mask |= static_cast<unsigned>(L::Message);
    if (level >= 4) mask |= static_cast<unsigned>(L::Debug);
    if (level >= 5) mask |= static_cast<unsigned>(L::Trace);
    return mask;
}

class LinphoneEndpoint;

// The audio of one call: transmitting it to the playback device is the call's speaker.
class CallAudio : public AudioMedia {
public:
    std::shared_ptr<linphone::Call> call;
    void startTransmit(AudioMedia&) override {
        if (call) call->setSpeakerMuted(false);
    }
    void stopTransmit(AudioMedia&) override {
        if (call) call->setSpeakerMuted(true);
    }
    void adjustTxLevel(float) override {}
    void adjustRxLevel(float) override {}
    float txLevelAdjustment() const override { return 1.0f; }
    float rxLevelAdjustment() const override { return 1.0f; }
};

// A sound device. The capture device transmitting to a call is the call's microphone.
class DeviceAudio : public AudioMedia {
public:
    explicit DeviceAudio(LinphoneEndpoint& ep) : ep_(ep) {}
    void startTransmit(AudioMedia& sink) override {
        if (auto* c = dynamic_cast<CallAudio*>(&sink); c && c->call) c->call->setMicrophoneMuted(false);
    }
    void stopTransmit(AudioMedia& sink) override {
        if (auto* c = dynamic_cast<CallAudio*>(&sink); c && c->call) c->call->setMicrophoneMuted(true);
    }
    void adjustTxLevel(float level) override;
    void adjustRxLevel(float level) override;
    float txLevelAdjustment() const override;
    float rxLevelAdjustment() const override;

private:
    LinphoneEndpoint& ep_;
};

class LinphoneCallBackend;

class LinphoneEndpoint : public Endpoint, public linphone::CoreListener,
                         public std::enable_shared_from_this<LinphoneEndpoint> {
public:
    LinphoneEndpoint() : capture_(*this), playback_(*this) {}

    std::shared_ptr<linphone::Core> core;
    std::map<const linphone::Call*, LinphoneCallBackend*> calls;
    // Every call of the core until the core releases it (its transactions are over).
    std::map<const linphone::Call*, std::shared_ptr<linphone::Call>> unreleased;
    LinphoneCallBackend* pending = nullptr;  // the call being placed, before the core names it

    void libCreate() override {
        if (created_) throw Error(ErrorKind::General, "libCreate", "Library already created");
        auto factory = linphone::Factory::get();
        // The library's own files live in the application's cache folder (mode 0700).
        std::string dir = platform::supportFolder(platform::SupportFolderKind::Caches, "sip")
                              .value_or(platform::cacheHome() + "/" + KIVANO_BUNDLE_ID + "/sip");
        factory->setDataDir(dir);
        factory->setConfigDir(dir);
        if (!logRelay_) {
            logRelay_ = std::make_shared<LogRelay>();
            linphone::LoggingService::get()->addListener(logRelay_);
        }
        linphone::LoggingService::get()->setLogLevelMask(logMaskFor(1));
        // The core itself is made by libStart, from this configuration with the transports
        // already in it: a core made earlier listens on its default ports first.
        config_ = factory->createConfig("");
        // Calls go out with the identity exactly as configured, not with a guessed host.
        config_->setInt("sip", "guess_hostname", 0);
        config_->setInt("video", "automatically_initiate", 0);
        // A door that sends no audio holds an ordinary call: the core's own no-RTP time-out is
        // put out of reach (0 would end every call at once). Calls end from the far side, by an
        // error or by a hang-up.
        config_->setInt("rtp", "nortp_timeout", kNoMediaTimeout);
        udpPort_ = tcpPort_ = 0;
        writeTransports();
        userAgent_.clear();
        priorities_.clear();
        stunServers_.clear();
        created_ = true;
    }

    void libInit(const EndpointConfig& config) override {
        requireCreated("libInit");
        linphone::LoggingService::get()->setLogLevelMask(logMaskFor(config.logLevel));
        // The core runs its SIP and media work itself; it has no worker-thread count.
        userAgent_ = config.userAgent;
        stunServers_ = config.stunServer;
    }

    void transportCreate(TransportType type, const TransportConfig& config) override {
        requireCreated("transportCreate");
        if (core) throw Error(ErrorKind::General, "transportCreate", "The library is already started");
        if (config.port > 65535)
            throw Error(ErrorKind::General, "transportCreate", "Invalid port " + std::to_string(config.port));
        // Port 0: any free port (the core's -1).
        (type == TransportType::UDP ? udpPort_ : tcpPort_) = config.port == 0 ? -1 : static_cast<int>(config.port);
        writeTransports();
    }

    void libStart() override {
        requireCreated("libStart");
        if (core) throw Error(ErrorKind::General, "libStart", "The library is already started");
        core = linphone::Factory::get()->createCoreWithConfig(config_, nullptr);
        if (!core) throw Error(ErrorKind::General, "libStart", "The library could not be created");
        core->addListener(self());
        core->enableIpv6(false);
        core->enableVideoCapture(false);
        core->enableVideoDisplay(false);
        core->setRing("");
        core->setRingback("");
        core->setInCallTimeout(0);
        core->setUserAgent(userAgent_, "");
        bool capture = false, play = false;
        for (const auto& d : core->getAudioDevices()) {
            capture = capture || d->hasCapability(linphone::AudioDevice::Capabilities::CapabilityRecord);
            play = play || d->hasCapability(linphone::AudioDevice::Capabilities::CapabilityPlay);
        }
        soundDevices_ = capture && play;
        if (!soundDevices_) {
            // No sound card: the core plays into and records from nothing.
            platform::logLine("sip: no sound devices, audio runs without them");
            core->setUseFiles(true);
            core->setPlayFile("");
            core->setRecordFile("");
        }
        if (core->start() != 0) throw Error(ErrorKind::General, "libStart", "Unable to start the library");
        auto used = core->getTransportsUsed();
        if ((udpPort_ != 0 && used->getUdpPort() <= 0) || (tcpPort_ != 0 && used->getTcpPort() <= 0))
            throw Error(ErrorKind::General, "libStart", "Unable to bind the SIP port");
    }

    void libDestroy() override {
        if (!created_) return;
        if (auto c = core) {
            c->terminateAllCalls();
            // The ended calls still have transactions to finish: a CANCEL's 487 wants its ACK,
            // a BYE its answer. Drive the core until it has released them, within a bound for
            // a far side that no longer answers.
            auto until = std::chrono::steady_clock::now() + kReleaseWait;
            while (!unreleased.empty() && std::chrono::steady_clock::now() < until) {
                c->iterate();
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            if (!unreleased.empty()) platform::logLine("sip: a call was not released in time; the library stops anyway");
            c->stop();
            c->removeListener(self());
        }
        calls.clear();
        unreleased.clear();
        pending = nullptr;
        core.reset();
        config_.reset();
        created_ = false;
    }

    bool libIsCreated() const override { return created_; }

    void handleEvents() override {
        if (core) core->iterate();
    }

    int effectivePriority(const std::string& id, int index, bool enabled) const {
        auto it = priorities_.find(id);
        if (it != priorities_.end()) return it->second;
        return enabled ? std::max(1, 128 - index) : 0;
    }

    std::vector<CodecInfo> codecEnum() override {
        requireCore("codecEnum");
        std::vector<CodecInfo> out;
        int i = 0;
        for (const auto& pt : core->getAudioPayloadTypes()) {
            std::string id = codecIdOf(pt);
            out.push_back({id, effectivePriority(id, i++, pt->enabled())});
        }
        return out;
    }

    void codecSetPriority(const std::string& codecId, int priority) override {
        requireCore("codecSetPriority");
        auto list = core->getAudioPayloadTypes();
        std::vector<std::pair<int, std::shared_ptr<linphone::PayloadType>>> ranked;
        bool found = false;
        int i = 0;
        for (const auto& pt : list) {
            std::string id = codecIdOf(pt);
            if (id == codecId) {
                found = true;
                priorities_[id] = priority;
                pt->enable(priority > 0 && pt->isUsable());
            }
            ranked.emplace_back(effectivePriority(id, i++, pt->enabled()), pt);
        }
        if (!found) throw Error(ErrorKind::General, "codecSetPriority", "Codec not found: " + codecId);
        std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
        std::list<std::shared_ptr<linphone::PayloadType>> ordered;
        for (auto& r : ranked) ordered.push_back(r.second);
        core->setAudioPayloadTypes(ordered);
    }

    void natDetectType() override {
        requireCore("natDetectType");
        if (auto policy = core->getNatPolicy()) policy->resolveStunServer();
    }

    void hangupAllCalls() override {
        if (core) core->terminateAllCalls();
    }

    AudioMedia& getCaptureDevMedia() override { return capture_; }
    AudioMedia& getPlaybackDevMedia() override { return playback_; }
    bool hasSoundDevices() const override { return soundDevices_; }

    std::unique_ptr<AccountBackend> createAccount(Account&, const AccountConfig& config, bool makeDefault) override;
    std::unique_ptr<CallBackend> createCall(Call& owner, Account& account) override;

    void onCallStateChanged(const std::shared_ptr<linphone::Core>&, const std::shared_ptr<linphone::Call>& call,
                            linphone::Call::State state, const std::string& message) override;
    void onAuthenticationRequested(const std::shared_ptr<linphone::Core>&, const std::shared_ptr<linphone::AuthInfo>& info,
                                   linphone::AuthMethod method) override;

    void requireCreated(const char* op) const {
        if (!created_) throw Error(ErrorKind::General, op, "Library not created");
    }
    void requireCore(const char* op) const {
        requireCreated(op);
        if (!core) throw Error(ErrorKind::General, op, "Library not started");
    }

private:
    std::shared_ptr<LinphoneEndpoint> self() { return shared_from_this(); }
    // The SIP transports the core opens when it starts: UDP and TCP on the ports asked for
    // (0: none, -1: any), never TLS.
    void writeTransports() {
        config_->setInt("sip", "sip_port", udpPort_);
        config_->setInt("sip", "sip_tcp_port", tcpPort_);
        config_->setInt("sip", "sip_tls_port", 0);
    }
    std::shared_ptr<LogRelay> logRelay_;
    std::shared_ptr<linphone::Config> config_;
    bool created_ = false;
    int udpPort_ = 0, tcpPort_ = 0;
    std::string userAgent_;
    std::map<std::string, int> priorities_;
    std::vector<std::string> stunServers_;
    DeviceAudio capture_, playback_;
    bool soundDevices_ = false;

public:
    const std::vector<std::string>& stunServers() const { return stunServers_; }
};

void DeviceAudio::adjustTxLevel(float level) {
    if (ep_.core) ep_.core->setMicGainDb(levelToDb(level));
}
void DeviceAudio::adjustRxLevel(float level) {
    if (ep_.core) ep_.core->setPlaybackGainDb(levelToDb(level));
}
float DeviceAudio::txLevelAdjustment() const { return ep_.core ? dbToLevel(ep_.core->getMicGainDb()) : 1.0f; }
float DeviceAudio::rxLevelAdjustment() const { return ep_.core ? dbToLevel(ep_.core->getPlaybackGainDb()) : 1.0f; }

// The local identity. Without a registrar the core takes no account, so the identity is the
// core's primary contact, which outgoing calls without an account use as their From.
class LinphoneAccountBackend : public Endpoint::AccountBackend {
public:
    std::string uri;
    AccountInfo getInfo() override { return {uri, false}; }
};

std::unique_ptr<Endpoint::AccountBackend> LinphoneEndpoint::createAccount(Account&, const AccountConfig& config,
                                                                        bool /*makeDefault*/) {
    requireCore("Account::create");
    auto identity = linphone::Factory::get()->createAddress(config.idUri);
    if (!identity || config.idUri.empty())
        throw Error(ErrorKind::General, "Account::create", "Invalid account URI '" + config.idUri + "'");
    if (!stunServers_.empty() || config.iceEnabled || config.turnEnabled) {
        auto nat = core->createNatPolicy();
        if (!stunServers_.empty()) {
            nat->setStunServer(stunServers_.front());
            nat->enableStun(true);
        }
        nat->enableIce(config.iceEnabled);
        nat->enableTurn(config.turnEnabled);
        core->setNatPolicy(nat);
    }
    if (config.rtpPort > 0) {
        unsigned range = std::max(1u, config.rtpPortRange);
        core->setAudioPortRange(static_cast<int>(config.rtpPort), static_cast<int>(config.rtpPort + range - 1));
    }
    if (!config.publicAddress.empty()) core->setNatAddress(config.publicAddress);
    if (core->setPrimaryContact(identity->asString()) != 0)
        throw Error(ErrorKind::General, "Account::create", "Invalid account URI '" + config.idUri + "'");
    auto backend = std::make_unique<LinphoneAccountBackend>();
    backend->uri = identity->asStringUriOnly();
    return backend;
}

class LinphoneCallBackend : public Endpoint::CallBackend {
public:
    LinphoneCallBackend(LinphoneEndpoint& ep, Call& owner) : ep_(ep), owner_(owner) {}
    ~LinphoneCallBackend() override {
        detach();
        if (audio_.call && ep_.core) {
            auto s = audio_.call->getState();
            if (s != linphone::Call::State::End && s != linphone::Call::State::Error &&
                s != linphone::Call::State::Released)
                audio_.call->terminate();
        }
    }

    void makeCall(const std::string& uri, const CallOpParam& param) override {
        ep_.requireCore("Call::makeCall");
        if (audio_.call) throw Error(ErrorKind::General, "Call::makeCall", "Call already placed");
        auto address = linphone::Factory::get()->createAddress(uri);
        if (!address || uri.empty()) throw Error(ErrorKind::InvalidRequestUri, "Call::makeCall", kInvalidRequestUriReason);
        auto params = ep_.core->createCallParams(nullptr);
        params->enableAudio(param.audioCount > 0);
        params->enableVideo(param.videoCount > 0);
        // As headers of the target URI the extra headers become headers of the INVITE alone; the
        // call's own custom headers would go out on every later request of the call (BYE, CANCEL).
        for (const auto& h : param.headers) address->setHeader(h.name, h.value);
        ep_.pending = this;
        auto call = ep_.core->inviteAddressWithParams(address, params);
        ep_.pending = nullptr;
        if (!call) throw Error(ErrorKind::General, "Call::makeCall", "The call could not be placed");
        audio_.call = call;
        ep_.calls[call.get()] = this;
        ep_.unreleased.emplace(call.get(), call);
    }

    CallInfo getInfo() override {
        // The one audio stream exists from the answer until the call ends.
        CallInfo out = info_;
        if (audio_.call && info_.state >= kStateConnecting && info_.state < kStateDisconnected)
            out.media = {MediaType::Audio};
        return out;
    }

    AudioMedia& getAudioMedia(int index) override {
        if (index != 0 || !audio_.call) throw Error(ErrorKind::General, "Call::getAudioMedia", "No audio media");
        return audio_;
    }

    std::string streamCodecName(int index) override {
        if (index != 0 || !audio_.call) throw Error(ErrorKind::General, "Call::getStreamInfo", "No stream");
        auto params = audio_.call->getCurrentParams();
        auto pt = params ? params->getUsedAudioPayloadType() : nullptr;
        if (!pt) throw Error(ErrorKind::General, "Call::getStreamInfo", "No codec in use");
        return pt->getMimeType();
    }

    // Ends a call that is still being placed after its INVITE was challenged. The challenge was
    // the INVITE's final answer, which the transaction layer has acknowledged already: nothing
    // of the call is left to finish at the far side, so the call need not be waited for.
    void refuseChallenge() {
        using S = linphone::Call::State;
        auto call = audio_.call;
        if (!call) return;
        auto state = call->getState();
        if (state != S::OutgoingInit && state != S::OutgoingProgress && state != S::OutgoingRinging &&
            state != S::OutgoingEarlyMedia)
            return;
        auto remote = call->getRemoteParams();
        bool proxy = remote && !remote->getCustomHeader("Proxy-Authenticate").empty();
        refusal_ = proxy ? Refusal{407, "Proxy Authentication Required"} : Refusal{401, "Unauthorized"};
        platform::logf("sip: the call was challenged (%d) and has no credentials; it ends", refusal_->code);
        call->terminate();
        ep_.unreleased.erase(call.get());
    }

    // A state of the core's call, as an invite-session state with its status; repeated states are dropped.
    void stateChanged(const std::shared_ptr<linphone::Call>& call, linphone::Call::State state,
                      const std::string& message) {
        using S = linphone::Call::State;
        if (!audio_.call) audio_.call = call;
        int inv = -1, code = 0;
        std::string reason;
        auto err = call->getErrorInfo();
        int errCode = err ? err->getProtocolCode() : 0;
        std::string errPhrase = err ? err->getPhrase() : "";
        switch (state) {
            case S::OutgoingProgress: inv = kStateCalling; break;
            case S::OutgoingRinging: inv = kStateEarly; code = 180; reason = "Ringing"; break;
            case S::OutgoingEarlyMedia: inv = kStateEarly; code = 183; reason = "Session Progress"; break;
            case S::Connected: inv = kStateConnecting; code = 200; reason = "OK"; break;
            case S::StreamsRunning: inv = kStateConfirmed; code = 200; reason = "OK"; break;
            case S::End:
                inv = kStateDisconnected;
                if (refusal_) {
                    code = refusal_->code;
                    reason = refusal_->reason;
                } else {
                    code = errCode > 0 ? errCode : 200;
                    reason = errCode > 0 ? errPhrase : "Normal call clearing";
                }
                break;
            case S::Error:
                inv = kStateDisconnected;
                code = errCode > 0 ? errCode : 500;
                reason = errCode > 0 ? errPhrase : (message.empty() ? "Call failed" : message);
                break;
            case S::Released: detach(); return;
            default: return;
        }
        if (inv == info_.state && code == info_.lastStatusCode) return;
        if (info_.state == kStateDisconnected) return;
        info_.state = inv;
        info_.lastStatusCode = code;
        info_.lastReason = reason;
        owner_.onCallState();
    }

private:
    void detach() {
        if (ep_.pending == this) ep_.pending = nullptr;
        for (auto it = ep_.calls.begin(); it != ep_.calls.end();) {
            if (it->second == this) it = ep_.calls.erase(it);
            else ++it;
        }
    }

    struct Refusal {
        int code;
        std::string reason;
    };

    LinphoneEndpoint& ep_;
    Call& owner_;
    CallAudio audio_;
    CallInfo info_;
    std::optional<Refusal> refusal_;  // the challenge that ended the call
};

std::unique_ptr<Endpoint::CallBackend> LinphoneEndpoint::createCall(Call& owner, Account& account) {
    requireCore("Call");
    if (!account.isValid()) throw Error(ErrorKind::General, "Call", "Account not created");
    return std::make_unique<LinphoneCallBackend>(*this, owner);
}

void LinphoneEndpoint::onCallStateChanged(const std::shared_ptr<linphone::Core>&,
                                          const std::shared_ptr<linphone::Call>& call,
                                          linphone::Call::State state, const std::string& message) {
    if (state == linphone::Call::State::Released) unreleased.erase(call.get());
    else unreleased.emplace(call.get(), call);
    if (state == linphone::Call::State::IncomingReceived) {
        // Only outgoing calls here.
        call->decline(linphone::Reason::Busy);
        return;
    }
    LinphoneCallBackend* backend = nullptr;
    if (auto it = calls.find(call.get()); it != calls.end()) backend = it->second;
    else if (pending && call->getDir() == linphone::Call::Dir::Outgoing) {
        backend = pending;
        calls[call.get()] = pending;
    }
    if (backend) backend->stateChanged(call, state, message);
}

void LinphoneEndpoint::onAuthenticationRequested(const std::shared_ptr<linphone::Core>&,
                                                 const std::shared_ptr<linphone::AuthInfo>&, linphone::AuthMethod) {
    // The intercom has no credentials for a digest challenge: it is refused, and the call that was
    // challenged before it was answered ends with the challenge as its final error. The core would
    // otherwise keep the request waiting for credentials for good.
    std::vector<LinphoneCallBackend*> challenged;
    for (const auto& [call, backend] : calls) challenged.push_back(backend);
    for (auto* backend : challenged) backend->refuseChallenge();
}

}  // namespace

}  // namespace sip

extern "C" __attribute__((visibility("default"))) sip::Endpoint* kivano_sip_endpoint() {
    // Lives to the end of the process, past every static that may still hold a call.
    static auto* ep = new std::shared_ptr<sip::LinphoneEndpoint>(std::make_shared<sip::LinphoneEndpoint>());
    return ep->get();
}

#endif  // KIVANO_HAVE_LINPHONE
