// Describes the computer, the operating system, the application and this installation.
#pragma once

#include <optional>
#include <string>

#include "bridge/WHPlugin.h"

inline constexpr const char* kWHUUIDDefaultsKey = "WHUUID";

class WHDevice : public WHPlugin {
public:
    using WHPlugin::WHPlugin;

    const ActionTable& actions() const override;
    void getDeviceInfo(const WHInvokedUrlCommand& command);

    // Each reads its source afresh; none when the value cannot be found.
    std::optional<std::string> manufacturer() const;
    std::optional<std::string> modelVersion() const;
    std::optional<std::string> platform() const;
    std::optional<std::string> systemVersion() const;
    std::optional<std::string> getSerialNr() const;
    // The "WHUUID" user default, created on first use.
    std::string uniqueAppInstanceIdentifier() const;
    Value deviceProperties() const;
    static std::string webhostVersion();

    // The folder the system files are read below ("/" normally); tests point it elsewhere.
    static void setSystemRoot(const std::string& root);
    static std::string systemRoot();

private:
    // The first line of a system file without surrounding blanks; none when unreadable or empty.
    static std::optional<std::string> readSystemValue(const std::string& path);
    // A value of the os-release file.
    static std::optional<std::string> osReleaseValue(const std::string& key);
};

// KEY=value lines as os-release(5) writes them: quotes removed, escapes resolved.
std::optional<std::string> osReleaseField(const std::string& content, const std::string& key);
