// One intercom call on the SIP library: library set-up from the call configuration, the call with
// its extra INVITE headers and codec order, levels and mute, hang-up and teardown. Every state
// change and every library error is posted as KvPjsuaInternalNotification.
// All of it runs on the intercom's worker thread (the thread that pumps the library).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "media/intercom/Pjsua2Notifications.h"
#include "media/intercom/SipLibrary.h"
#include "platform/net_interfaces.h"
#include "platform/value.h"

using platform::Value;

class MyAccount : public sip::Account {
public:
    void onRegState() override;
};

class MyCall : public sip::Call {
public:
    MyCall(MyAccount& account, int callId = -1);
    void onCallState() override;

private:
    MyAccount& account_;
};

class Pjsua2Wrapper {
public:
    Pjsua2Wrapper() = default;
    ~Pjsua2Wrapper();  // cleanup, then the library is destroyed
    Pjsua2Wrapper(const Pjsua2Wrapper&) = delete;
    Pjsua2Wrapper& operator=(const Pjsua2Wrapper&) = delete;

    void initWithConfig(const std::string& config);
    void call(const std::string& config);
    void setMicMute(bool mute);
    void setLevelMicAndSpeaker(float mic, float speaker);
    void endCall();
    void cleanup();

    float currentMicLevel() const { return currentMicLevel_; }
    float currentSpkrLevel() const { return currentSpkrLevel_; }
    bool isMuted() const { return isMuted_; }
    const std::optional<std::string>& callee() const { return cCallee_; }

    // The library configuration that "settings" asks for.
    struct LibraryConfig {
        sip::EndpointConfig endpoint;
        sip::TransportConfig transport;
        sip::AccountConfig account;
    };
    // `ownAddress` gives the computer's address when the identity needs it.
    static LibraryConfig configFromSettings(const Value& settings, const std::function<std::string()>& ownAddress);

    static std::string translateCallState(int state);
    static std::optional<Value> _parse(const std::string& config);
    static Value _getSettings(const std::string& config);
    static std::optional<std::string> _getTarget(const std::string& config);

    static std::string _createSeed();
    static std::optional<std::string> _createHash(const std::string& password, const std::string& seed);
    static void _addAuthHdrWithPass(const std::string& password, sip::CallOpParam& param);
    static void _postError(int code, const std::string& reason);
    // The address the identity uses: tunnel, else local network, else cellular, else "error".
    static std::string _getIPAddress(const std::vector<platform::InterfaceAddress>& interfaces);
    static std::string _getIPAddress();

private:
    void _processCodecList(const Value& list);

    std::unique_ptr<MyCall> cCall_;
    std::unique_ptr<MyAccount> cAccount_;
    std::optional<std::string> cCallee_;
    Value settings_ = Value::object();
    // The library's unity level until the page sets one, so that muting and unmuting before any
    // level change leaves the audio as it was.
    float currentMicLevel_ = 1.0f;
    float currentSpkrLevel_ = 1.0f;
    bool isMuted_ = false;
    bool ready_ = false;  // set-up went through: the account exists
};
