// The intercom plug-in: one outgoing SIP audio call at a time through the call controller, with
// the call states as results on the callback of makeCall.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "bridge/WHPlugin.h"
#include "media/intercom/Pjsua2.h"

class SIP : public WHPlugin {
public:
    using WHPlugin::WHPlugin;
    ~SIP() override;
    void onReset() override;
    void onAppTerminate() override;
    const ActionTable& actions() const override;

    void initSipManager(const WHInvokedUrlCommand& command);
    void makeCall(const WHInvokedUrlCommand& command);
    void setLevels(const WHInvokedUrlCommand& command);
    void muteMic(const WHInvokedUrlCommand& command);
    void hangUp(const WHInvokedUrlCommand& command);
    void destroy(const WHInvokedUrlCommand& command);

    void callEvent(const platform::Notification& notification);

    static Value _createPluginResultWithCode(int code, const std::string& codeString, int state,
                                             const std::string& stateString);
    // The configuration text to use: the same text while "sipPort" is free, else with the first
    // free entry of "altPorts" as "sipPort".
    static std::string checkForUsedPort(const std::string& config);
    // Whether a TCP socket cannot bind the port (number, or its text).
    static bool isLocalPortInUse(const Value& port);

    std::optional<std::string> callCallbackId() const;
    void setCallCallbackId(std::optional<std::string> callbackId);

    // The controller shared by every instance; null until the first makeCall.
    static Pjsua2* ctrl();

private:
    void observeCallStates();
    void endRunningCall();
    void stopObservingCallStates();

    mutable std::mutex mutex_;
    std::optional<std::string> callCallbackId_;
    bool observing_ = false;
};
