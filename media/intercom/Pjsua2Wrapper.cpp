#include "media/intercom/Pjsua2Wrapper.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "platform/digest.h"
#include "platform/log.h"
#include "platform/notification_center.h"
#include "platform/strings.h"

namespace {

constexpr const char* kDefaultUserAgent = "Kivano Pjsua2 Wrapper";
constexpr const char* kFallbackIdentity = "sip:intercom@localhost";

std::optional<unsigned> unsignedAt(const Value& settings, const char* key) {
    if (!settings.is_object()) return std::nullopt;
    auto it = settings.find(key);
    if (it == settings.end()) return std::nullopt;
    if (it->is_number_unsigned()) return it->get<unsigned>();
    if (it->is_number_integer()) return static_cast<unsigned>(std::max<long long>(0, it->get<long long>()));
    if (it->is_number_float()) return static_cast<unsigned>(std::max(0.0, it->get<double>()));
    return std::nullopt;
}

std::optional<std::string> textAt(const Value& settings, const char* key) {
    if (!settings.is_object()) return std::nullopt;
    auto it = settings.find(key);
    if (it == settings.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

bool has(const Value& settings, const char* key) { return settings.is_object() && settings.contains(key); }

void postEvent(const Value& userInfo) {
    platform::NotificationCenter::defaultCenter().post(KvPjsuaInternalNotification, nullptr, userInfo);
}

}  // namespace

void MyAccount::onRegState() {
    // Nothing registers; the information is read and not used.
    try {
        (void)getInfo();
    } catch (const sip::Error&) {
    }
}

MyCall::MyCall(MyAccount& account, int callId) : sip::Call(account, callId), account_(account) {}

void MyCall::onCallState() {
    try {
        sip::CallInfo ci = getInfo();
        auto& ep = sip::Endpoint::instance();
        auto& capture = ep.getCaptureDevMedia();
        auto& playback = ep.getPlaybackDevMedia();
        int audioIndex = -1;
        for (std::size_t i = 0; i < ci.media.size(); ++i)
            if (ci.media[i] == sip::MediaType::Audio) {
                audioIndex = static_cast<int>(i);
                break;
            }
        Value info = {{KvPjsua2NotifCode, ci.lastStatusCode},
                      {KvPjsua2NotifCodeString, ci.lastReason},
                      {KvPjsua2NotifState, ci.state},
                      {KvPjsua2NotifStateString, Pjsua2Wrapper::translateCallState(ci.state)}};
        if (ci.state == sip::kStateConfirmed && audioIndex >= 0) {
            try {
                auto& audio = getAudioMedia(audioIndex);
                capture.startTransmit(audio);
                audio.startTransmit(playback);
            } catch (const sip::Error& e) {
                platform::logf("Error connecting the call's audio: %s", e.info());
            }
            try {
                info[KvPjsua2NotifCodecName] = streamCodecName(audioIndex);
            } catch (const sip::Error&) {
                platform::logLine("Error during stream info acquisition");
            }
        } else if (ci.state == sip::kStateDisconnected && audioIndex >= 0) {
            try {
                auto& audio = getAudioMedia(audioIndex);
                capture.stopTransmit(audio);
                audio.stopTransmit(playback);
            } catch (const sip::Error& e) {
                platform::logf("Error disconnecting the call's audio: %s", e.info());
            }
        }
        postEvent(info);
    } catch (const std::exception& e) {
        platform::logf("Call state error: %s", std::string(e.what()));
    }
}

Pjsua2Wrapper::~Pjsua2Wrapper() {
    cleanup();
    platform::logLine("about to destroy the lib");
    try {
        sip::Endpoint::instance().libDestroy();
        platform::logLine("lib destroyed");
    } catch (const sip::Error& e) {
        platform::logf("destroy lib error: %s", e.info());
        _postError(400, e.info());
    }
}

void Pjsua2Wrapper::cleanup() {
    cCall_.reset();
    cCallee_.reset();
    cAccount_.reset();
}

std::string Pjsua2Wrapper::translateCallState(int state) {
    static const char* const names[] = {"NULL", "Calling", "Incoming", "Early", "Connecting", "Confirmed", "Disconnected"};
    if (state < 0 || state > 6) return "-- UNKNOWN --";
    return names[state];
}

std::optional<Value> Pjsua2Wrapper::_parse(const std::string& config) {
    auto v = platform::parseJson(config);
    if (!v) platform::logf("ERROR: Could not parse the SIP Call Configuration: %s", config);
    return v;
}

Value Pjsua2Wrapper::_getSettings(const std::string& config) {
    auto v = _parse(config);
    if (v && v->is_object()) {
        auto it = v->find("settings");
        if (it != v->end() && it->is_object()) return *it;
    }
    return Value::object();
}

std::optional<std::string> Pjsua2Wrapper::_getTarget(const std::string& config) {
    auto v = _parse(config);
    return v ? textAt(*v, "target") : std::nullopt;
}

Pjsua2Wrapper::LibraryConfig Pjsua2Wrapper::configFromSettings(const Value& settings,
                                                               const std::function<std::string()>& ownAddress) {
    LibraryConfig c;
    c.endpoint.logLevel = unsignedAt(settings, "logLevel").value_or(1);
    c.endpoint.threadCnt = 5;
    c.endpoint.userAgent = textAt(settings, "userAgent").value_or(kDefaultUserAgent);
    if (has(settings, "stunServers") && settings["stunServers"].is_array())
        for (const auto& s : settings["stunServers"])
            if (s.is_string()) c.endpoint.stunServer.push_back(s.get<std::string>());

    c.transport.port = unsignedAt(settings, "sipPort").value_or(5060);

    auto user = textAt(settings, "srcUser");
    auto host = textAt(settings, "srcHost");
    if (!user && !host) c.account.idUri = kFallbackIdentity;
    else c.account.idUri = "sip:" + (user ? *user + "@" : std::string()) + (host ? *host : ownAddress());

    if (auto rtpStart = unsignedAt(settings, "rtpStart")) {
        c.account.rtpPort = *rtpStart;
        c.account.rtpPortRange = unsignedAt(settings, "rtpRange").value_or(100);
    }
    if (auto ext = textAt(settings, "extSrcIp")) c.account.publicAddress = *ext;
    if (!c.endpoint.stunServer.empty()) c.account.iceEnabled = c.account.turnEnabled = true;
    return c;
}

void Pjsua2Wrapper::initWithConfig(const std::string& config) {
    ready_ = false;
    if (!_parse(config)) {
        _postError(400, "Could not parse the SIP Call Configuration");
        return;
    }
    auto& ep = sip::Endpoint::instance();
    try {
        ep.libCreate();
        settings_ = _getSettings(config);
        LibraryConfig c = configFromSettings(settings_, [] { return _getIPAddress(); });
        ep.libInit(c.endpoint);
        ep.transportCreate(sip::TransportType::UDP, c.transport);
        ep.transportCreate(sip::TransportType::TCP, c.transport);
        ep.libStart();
        cAccount_ = std::make_unique<MyAccount>();
        cAccount_->create(c.account, false);
        if (has(settings_, "stunServers")) ep.natDetectType();
        ready_ = true;
    } catch (const sip::Error& e) {
        platform::logf("Pjsua2Wrapper init error: %s", e.info());
        _postError(400, e.info());
    }
}

void Pjsua2Wrapper::call(const std::string& config) {
    if (!ready_ || !cAccount_) {
        platform::logLine("Pjsua2Wrapper: the library is not set up, no call placed");
        return;
    }
    std::string target;
    try {
        cCall_ = std::make_unique<MyCall>(*cAccount_, -1);
        sip::CallOpParam param;
        param.audioCount = 1;
        param.videoCount = 0;
        if (auto pass = textAt(settings_, "kvIntercomPass")) _addAuthHdrWithPass(*pass, param);
        if (has(settings_, "audioCodecs")) _processCodecList(settings_["audioCodecs"]);
        target = _getTarget(config).value_or("");
        cCallee_ = target;
        cCall_->makeCall(target, param);
    } catch (const sip::Error& e) {
        if (e.kind == sip::ErrorKind::InvalidRequestUri) {
            platform::logf("Pjsua2Wrapper reports an incorrect URI! '%s'", target);
            _postError(416, e.reason);
        } else {
            platform::logf("Pjsua2Wrapper makeCall failed! %s", e.reason);
            _postError(400, e.reason);
        }
    }
}

void Pjsua2Wrapper::_processCodecList(const Value& list) {
    auto& ep = sip::Endpoint::instance();
    std::vector<std::string> ids;
    if (list.is_array())
        for (const auto& entry : list)
            if (entry.is_object() && entry.contains("identifier") && entry["identifier"].is_string())
                ids.push_back(entry["identifier"].get<std::string>());
    int index = 0;
    for (const auto& codec : ep.codecEnum()) {
        platform::logf("   - %i: %s: prio: %i", index++, codec.codecId, codec.priority);
        if (std::find(ids.begin(), ids.end(), codec.codecId) == ids.end()) ids.push_back(codec.codecId);
    }
    int priority = 129;
    for (const auto& id : ids) {
        try {
            ep.codecSetPriority(id, std::max(1, priority));
        } catch (const sip::Error& e) {
            // A codec the library does not know; the others still get their places.
            platform::logf("Pjsua2Wrapper codec %s: %s", id, e.reason);
        }
        --priority;
    }
}

std::string Pjsua2Wrapper::_createSeed() {
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string seed(31, ' ');
    for (auto& ch : seed) ch = alphabet[arc4random_uniform(62)];
    return seed;
}

std::optional<std::string> Pjsua2Wrapper::_createHash(const std::string& password, const std::string& seed) {
    std::string text = seed + password;
    std::string hex = platform::md5Hex(text);
    if (hex.empty()) return std::nullopt;
    return platform::asciiUpper(hex);
}

void Pjsua2Wrapper::_addAuthHdrWithPass(const std::string& password, sip::CallOpParam& param) {
    std::string seed = _createSeed();
    auto hash = _createHash(password, seed);
    if (!hash) return;
    param.headers.push_back({"secHdrA", seed});
    param.headers.push_back({"secHdrB", *hash});
}

void Pjsua2Wrapper::_postError(int code, const std::string& reason) {
    postEvent({{KvPjsua2NotifCode, code},
               {KvPjsua2NotifCodeString, reason},
               {KvPjsua2NotifState, sip::kStateDisconnected},
               {KvPjsua2NotifStateString, translateCallState(sip::kStateDisconnected)}});
}

std::string Pjsua2Wrapper::_getIPAddress(const std::vector<platform::InterfaceAddress>& interfaces) {
    std::string local, cellular, tunnel;
    for (const auto& entry : interfaces) {
        if (!platform::isIPv4(entry)) continue;
        std::string address = platform::numericHostOf(entry);
        if (address.empty()) continue;
        const std::string& name = entry.name;
        if (name.find("tap") != std::string::npos || name.find("tun") != std::string::npos ||
            name.find("ppp") != std::string::npos)
            tunnel = address;
        else if (name == "en0" || name.rfind("eth", 0) == 0 || name.rfind("enp", 0) == 0 || name.rfind("eno", 0) == 0 ||
                 name.rfind("ens", 0) == 0 || name.rfind("wl", 0) == 0)
            local = address;
        else if (name == "pdp_ip0" || name.rfind("wwan", 0) == 0)
            cellular = address;
    }
    if (!tunnel.empty()) return tunnel;
    if (!local.empty()) return local;
    if (!cellular.empty()) return cellular;
    return "error";
}

std::string Pjsua2Wrapper::_getIPAddress() {
    auto list = platform::listInterfaceAddresses();
    return _getIPAddress(list ? *list : std::vector<platform::InterfaceAddress>{});
}

void Pjsua2Wrapper::setMicMute(bool mute) {
    isMuted_ = mute;
    // Re-applies the remembered levels; the microphone's stays remembered while muted.
    setLevelMicAndSpeaker(currentMicLevel_, currentSpkrLevel_);
}

void Pjsua2Wrapper::setLevelMicAndSpeaker(float mic, float speaker) {
    if (!cCall_) return;
    float effectiveMic = isMuted_ ? 0.0f : mic;
    try {
        sip::CallInfo ci = cCall_->getInfo();
        auto audio = std::find(ci.media.begin(), ci.media.end(), sip::MediaType::Audio);
        if (audio == ci.media.end()) return;
        auto& ep = sip::Endpoint::instance();
        ep.getCaptureDevMedia().adjustTxLevel(effectiveMic);
        // The level as given, also while muted: unmuting brings it back.
        currentMicLevel_ = mic;
        ep.getPlaybackDevMedia().adjustRxLevel(speaker);
        currentSpkrLevel_ = speaker;
    } catch (const sip::Error& e) {
        platform::logf("Pjsua2Wrapper level error: %s", e.info());
    }
}

void Pjsua2Wrapper::endCall() {
    try {
        sip::Endpoint::instance().hangupAllCalls();
    } catch (const sip::Error& e) {
        platform::logf("endCall error %s", e.info());
        _postError(400, e.info());
    }
}
