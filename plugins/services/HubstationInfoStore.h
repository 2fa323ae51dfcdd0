// Connection records of the known controllers, one keychain value per serial number.
#pragma once

#include <optional>
#include <string>

#include "bridge/WHPlugin.h"

inline constexpr const char* kHubstationInfoStoreDataChangedNotification = "kHubstationInfoStoreDataChangedNotification";

class HubstationInfoStore : public WHPlugin {
public:
    using WHPlugin::WHPlugin;

    static std::string kHubstationInfoTypeMac() { return "mac"; }
    static std::string kHubstationInfoTypeUsername() { return "username"; }
    static std::string kHubstationInfoTypePassword() { return "password"; }
    static std::string kHubstationInfoTypePublicKey() { return "publicKey"; }
    static std::string kHubstationInfoTypeConfigVersion() { return "configVersion"; }
    static std::string kHubstationInfoTypeLocalURL() { return "localUrl"; }
    static std::string kHubstationInfoTypeRemoteURL() { return "remoteUrl"; }
    static std::string kHubstationInfoTypeLocalSecuredDetails() { return "localSecuredDetails"; }
    static std::string kHubstationInfoTypeRemoteSecuredDetails() { return "remoteSecuredDetails"; }

    const ActionTable& actions() const override;
    void update(const WHInvokedUrlCommand& command);
    void read(const WHInvokedUrlCommand& command);
    void clear(const WHInvokedUrlCommand& command);

    // The stored record of a controller when it is a dictionary of texts; nothing otherwise.
    // KCKeychain::lastLoadStatus() tells a missing record from a locked or unreachable keyring.
    static std::optional<platform::Value> storedRecord(const std::string& serialNo);
};
