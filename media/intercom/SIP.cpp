#include "media/intercom/SIP.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include "bridge/WHCommandDelegate.h"
#include "platform/local_port.h"
#include "platform/log.h"

WH_REGISTER_PLUGIN(SIP);

namespace {

std::unique_ptr<Pjsua2>& sharedCtrl() {
    static std::unique_ptr<Pjsua2> ctrl;
    return ctrl;
}

// Set by the end-of-run step: from then on no controller is made again, so none is left to the
// process's exit handlers.
std::atomic<bool> runEnded{false};

int intAt(const Value& info, const char* key) {
    if (!info.is_object() || !info.contains(key)) return 0;
    const Value& v = info[key];
    if (v.is_number()) return v.get<int>();
    if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
    return 0;
}

std::string textAt(const Value& info, const char* key) {
    if (!info.is_object() || !info.contains(key) || !info[key].is_string()) return "";
    return info[key].get<std::string>();
}

}  // namespace

SIP::~SIP() { platform::NotificationCenter::defaultCenter().removeObserver(this); }

const WHPlugin::ActionTable& SIP::actions() const {
    static const ActionTable table{WH_ACTION(SIP, initSipManager), WH_ACTION(SIP, makeCall),
                                   WH_ACTION(SIP, setLevels),      WH_ACTION(SIP, muteMic),
                                   WH_ACTION(SIP, hangUp),         WH_ACTION(SIP, destroy)};
    return table;
}

Pjsua2* SIP::ctrl() { return sharedCtrl().get(); }

std::optional<std::string> SIP::callCallbackId() const {
    std::lock_guard lock(mutex_);
    return callCallbackId_;
}

void SIP::setCallCallbackId(std::optional<std::string> callbackId) {
    std::lock_guard lock(mutex_);
    callCallbackId_ = std::move(callbackId);
}

void SIP::observeCallStates() {
    if (observing_) return;
    observing_ = true;
    platform::NotificationCenter::defaultCenter().addObserver(
        this, KvPjsua2Notification, nullptr, [this](const platform::Notification& n) { callEvent(n); });
}

void SIP::stopObservingCallStates() {
    platform::NotificationCenter::defaultCenter().removeObserver(this, KvPjsua2Notification);
    observing_ = false;
}

void SIP::initSipManager(const WHInvokedUrlCommand&) {}

void SIP::destroy(const WHInvokedUrlCommand&) {}

void SIP::makeCall(const WHInvokedUrlCommand& command) {
    Value config = command.argumentAtIndex(0, nullptr, ArgKind::String);
    if (!config.is_string()) {
        // Nothing to call with: the command fails at once and a running call stays as it is.
        auto result = WHPluginResult::resultWithStatusMessageAsDictionary(
            WHCommandStatus_ERROR, _createPluginResultWithCode(400, "Missing SIP Call Configuration", 6, "Disconnected"));
        commandDelegate()->sendPluginResult(result, command.callbackId());
        return;
    }
    if (runEnded) {
        auto result = WHPluginResult::resultWithStatusMessageAsDictionary(
            WHCommandStatus_ERROR, _createPluginResultWithCode(400, "The application is terminating", 6, "Disconnected"));
        commandDelegate()->sendPluginResult(result, command.callbackId());
        return;
    }
    endRunningCall();
    setCallCallbackId(command.callbackId());
    observeCallStates();
    if (!sharedCtrl()) sharedCtrl() = std::make_unique<Pjsua2>();
    // The port check runs on the worker, behind the release of the call just ended, whose ports
    // it would otherwise find taken; the main thread never waits for that release.
    sharedCtrl()->startCall(config.get<std::string>(), &SIP::checkForUsedPort);
}

void SIP::endRunningCall() {
    Pjsua2* c = ctrl();
    if (!c) return;
    // Ended as hangUp ends it, without its result.
    c->stopCall();
    setCallCallbackId(std::nullopt);
    stopObservingCallStates();
}

// The application is about to terminate: a running call ends at the door (its BYE answered, or
// the library's release wait spent) and the worker stops, before anything of the process is
// destroyed. Waiting is right here: nothing else runs on the main thread any more.
void SIP::onAppTerminate() {
    runEnded = true;
    setCallCallbackId(std::nullopt);
    stopObservingCallStates();
    if (sharedCtrl()) {
        platform::logLine("SIP: ending the intercom for the end of the run");
        sharedCtrl().reset();
    }
    WHPlugin::onAppTerminate();
}

void SIP::setLevels(const WHInvokedUrlCommand& command) {
    Pjsua2* c = ctrl();
    if (!c) {
        platform::logLine("ERROR: no Pjsua2 around to receive the setLevels call!");
        return;
    }
    Value mic = command.argumentAtIndex(0, nullptr, ArgKind::Number);
    Value speaker = command.argumentAtIndex(1, nullptr, ArgKind::Number);
    if (!mic.is_number() || !speaker.is_number()) {
        commandDelegate()->sendPluginResult(
            WHPluginResult::resultWithStatus(WHCommandStatus_ERROR, "setLevels needs a microphone and a speaker level"),
            command.callbackId());
        return;
    }
    c->setLevelMic(mic.get<float>(), speaker.get<float>());
    commandDelegate()->sendPluginResult(WHPluginResult::resultWithStatus(WHCommandStatus_OK), command.callbackId());
}

void SIP::muteMic(const WHInvokedUrlCommand& command) {
    Value mute = command.argumentAtIndex(0, nullptr, ArgKind::Boolean);
    if (!mute.is_boolean()) {
        commandDelegate()->sendPluginResult(WHPluginResult::resultWithStatus(WHCommandStatus_ERROR, "muteMic needs a Boolean"),
                                            command.callbackId());
        return;
    }
    if (Pjsua2* c = ctrl()) c->setMicMute(mute.get<bool>());
    commandDelegate()->sendPluginResult(WHPluginResult::resultWithStatus(WHCommandStatus_OK), command.callbackId());
}

void SIP::hangUp(const WHInvokedUrlCommand&) {
    if (Pjsua2* c = ctrl()) c->stopCall();
    auto callbackId = callCallbackId();
    if (callbackId) {
        auto result = WHPluginResult::resultWithStatusMessageAsDictionary(
            WHCommandStatus_OK, _createPluginResultWithCode(200, "User hung up", 6, "DICONNCT"));
        result.setKeepCallbackAsBool(false);
        commandDelegate()->sendPluginResult(result, callbackId);
    }
    setCallCallbackId(std::nullopt);
    stopObservingCallStates();
}

// The page that held the call's callback is gone: the call ends as hangUp ends it.
void SIP::onReset() {
    if (!callCallbackId() && !observing_) return;
    hangUp(WHInvokedUrlCommand(Value::array(), std::nullopt, "SIP", "hangUp"));
}

void SIP::callEvent(const platform::Notification& notification) {
    const Value& info = notification.userInfo;
    int code = intAt(info, KvPjsua2NotifCode);
    int state = intAt(info, KvPjsua2NotifState);
    Value message = _createPluginResultWithCode(code, textAt(info, KvPjsua2NotifCodeString), state,
                                                textAt(info, KvPjsua2NotifStateString));
    auto callbackId = callCallbackId();
    if (code > 399 || state > 5) {
        auto result = WHPluginResult::resultWithStatusMessageAsDictionary(WHCommandStatus_ERROR, message);
        result.setKeepCallbackAsBool(false);
        if (state == 6) {
            if (Pjsua2* c = ctrl()) c->stopCall();
            stopObservingCallStates();
        }
        if (callbackId) commandDelegate()->sendPluginResult(result, callbackId);
        return;
    }
    if (info.is_object() && info.contains(KvPjsua2NotifCodecName) && info[KvPjsua2NotifCodecName].is_string())
        message["codecName"] = info[KvPjsua2NotifCodecName];
    auto result = WHPluginResult::resultWithStatusMessageAsDictionary(WHCommandStatus_OK, message);
    result.setKeepCallbackAsBool(true);
    if (callbackId) commandDelegate()->sendPluginResult(result, callbackId);
}

Value SIP::_createPluginResultWithCode(int code, const std::string& codeString, int state,
                                       const std::string& stateString) {
    return Value{{"code", code}, {"codeString", codeString}, {"state", state}, {"stateString", stateString}};
}

std::string SIP::checkForUsedPort(const std::string& config) {
    try {
        auto parsed = platform::parseJson(config);
        if (!parsed || !parsed->is_object() || !parsed->contains("settings") || !(*parsed)["settings"].is_object())
            return config;
        Value top = *parsed;
        Value settings = top["settings"];
        Value port = settings.contains("sipPort") ? settings["sipPort"] : Value(0);
        if (!isLocalPortInUse(port)) return config;
        if (!settings.contains("altPorts") || !settings["altPorts"].is_array()) return config;
        for (const auto& alt : settings["altPorts"]) {
            if (isLocalPortInUse(alt)) continue;
            settings["sipPort"] = alt;
            top["settings"] = settings;
            return platform::toJson(top);
        }
        return config;
    } catch (const std::exception& e) {
        platform::logf("Error getting alternative port: %s", std::string(e.what()));
        return config;
    }
}

bool SIP::isLocalPortInUse(const Value& port) {
    long long number = 0;
    if (port.is_number()) number = port.get<long long>();
    else if (port.is_string()) number = std::atoll(port.get<std::string>().c_str());
    std::string portText = std::to_string(number);

    platform::PortProbe probe = platform::probeLocalTcpPort(number);
    switch (probe.outcome) {
        case platform::PortProbe::NoSocket:
            platform::logLine("Couldn't check if port is opened or not. Socket error!");
            return false;
        case platform::PortProbe::InUse:
            platform::logf("Port %s is already in use!", portText);
            return true;
        case platform::PortProbe::NotBound:
            platform::logf("could not bind to process (%d) %s\n", probe.error, std::string(std::strerror(probe.error)));
            return false;
        case platform::PortProbe::Free:
            break;
    }
    if (probe.nameUnknown) platform::logLine("Couldn't get socket name");
    if (probe.closeError) platform::logf("Socket couldn't be closed: %s\n", std::string(std::strerror(probe.closeError)));
    else platform::logf("Port %s is not in use, we will use it!", portText);
    return false;
}
