#include "plugins/standard/WHDevice.h"

#include <cstdio>
#include <mutex>
#include <sstream>

#include "bridge/WHCommandDelegate.h"
#include "platform/bundle.h"
#include "platform/digest.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "platform/system_info.h"
#include "platform/user_defaults.h"

WH_REGISTER_PLUGIN(WHDevice);

namespace {
std::mutex& rootMutex() {
    static std::mutex m;
    return m;
}
std::string& rootPath() {
    static std::string r;
    return r;
}

std::string trim(const std::string& s) {
    const char* blanks = " \t\r\n\v\f";
    auto b = s.find_first_not_of(blanks);
    if (b == std::string::npos) return {};
    auto e = s.find_last_not_of(blanks);
    return s.substr(b, e - b + 1);
}

// A random (version 4) UUID in upper case, as the platform writes them.
std::string randomUUID() {
    return platform::asciiUpper(platform::randomUUID());
}
}  // namespace

const WHPlugin::ActionTable& WHDevice::actions() const {
    static const ActionTable table{WH_ACTION(WHDevice, getDeviceInfo)};
    return table;
}

void WHDevice::setSystemRoot(const std::string& root) {
    std::lock_guard lock(rootMutex());
    rootPath() = root;
}

std::string WHDevice::systemRoot() {
    std::lock_guard lock(rootMutex());
    return rootPath().empty() ? std::string("/") : rootPath();
}

std::optional<std::string> WHDevice::readSystemValue(const std::string& path) {
    std::string root = systemRoot();
    if (!root.empty() && root.back() == '/') root.pop_back();
    std::string content;
    if (!::platform::readFile(root + path, content)) return std::nullopt;
    auto line = trim(content.substr(0, content.find('\n')));
    if (line.empty()) return std::nullopt;
    return line;
}

std::optional<std::string> osReleaseField(const std::string& content, const std::string& key) {
    std::istringstream in(content);
    std::string line;
    std::optional<std::string> found;
    while (std::getline(in, line)) {
        line = trim(line);
        if (line.empty() || line[0] == '#') continue;
        auto eq = line.find('=');
        if (eq == std::string::npos || trim(line.substr(0, eq)) != key) continue;
        std::string raw = trim(line.substr(eq + 1));
        std::string value;
        char quote = 0;
        for (std::size_t i = 0; i < raw.size(); ++i) {
            char c = raw[i];
            if (quote) {
                if (c == quote) {
                    quote = 0;
                } else if (c == '\\' && quote == '"' && i + 1 < raw.size()) {
                    value += raw[++i];
                } else {
                    value += c;
                }
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '\\' && i + 1 < raw.size()) {
                value += raw[++i];
            } else {
                value += c;
            }
        }
        found = value;  // the last assignment wins, as when the file is sourced
    }
    if (found && found->empty()) return std::nullopt;
    return found;
}

std::optional<std::string> WHDevice::osReleaseValue(const std::string& key) {
    std::string root = systemRoot();
    if (!root.empty() && root.back() == '/') root.pop_back();
    // os-release(5): /etc/os-release, else /usr/lib/os-release.
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::string content;
        if (::platform::readFile(root + path, content)) return osReleaseField(content, key);
    }
    return std::nullopt;
}

std::optional<std::string> WHDevice::manufacturer() const { return readSystemValue("/sys/class/dmi/id/sys_vendor"); }

std::optional<std::string> WHDevice::modelVersion() const {
    if (auto product = readSystemValue("/sys/class/dmi/id/product_name")) return product;
    return ::platform::machineArchitecture();
}

std::optional<std::string> WHDevice::platform() const { return osReleaseValue("NAME"); }

std::optional<std::string> WHDevice::systemVersion() const { return osReleaseValue("VERSION_ID"); }

std::optional<std::string> WHDevice::getSerialNr() const {
    return readSystemValue("/sys/class/dmi/id/product_serial");
}

std::string WHDevice::uniqueAppInstanceIdentifier() const {
    auto& defaults = ::platform::UserDefaults::standard();
    if (auto stored = defaults.stringForKey(kWHUUIDDefaultsKey); stored && !stored->empty()) return *stored;
    std::string uuid = randomUUID();
    defaults.set(kWHUUIDDefaultsKey, uuid);
    defaults.synchronize();
    return uuid;
}

std::string WHDevice::webhostVersion() {
    char text[32];
    std::snprintf(text, sizeof text, "%d.%d.%d", 4, 0, 0);
    return text;
}

Value WHDevice::deviceProperties() const {
    Value d = Value::object();
    auto put = [&d](const char* key, const std::optional<std::string>& v) {
        if (v) d[key] = *v;
    };
    auto& bundle = ::platform::Bundle::main();
    put("manufacturer", manufacturer());
    put("model", modelVersion());
    put("platform", platform());
    put("version", systemVersion());
    d["uuid"] = uniqueAppInstanceIdentifier();
    d["webhost"] = webhostVersion();
    put("serial", getSerialNr());
    d["isVirtual"] = false;
    std::string shortVersion = bundle.shortVersion(), build = bundle.buildNumber();
    if (!shortVersion.empty() && !build.empty()) d["appversion"] = shortVersion + " (" + build + ")";
    if (auto name = bundle.name(); !name.empty()) d["appname"] = name;
    d["isTablet"] = false;
    d["has3DTouch"] = false;
    d["accessibility"] = Value{{"textSizeAdjustment", 100}};
    return d;
}

void WHDevice::getDeviceInfo(const WHInvokedUrlCommand& command) {
    auto result = WHPluginResult::resultWithStatusMessageAsDictionary(WHCommandStatus_OK, deviceProperties());
    if (commandDelegate()) commandDelegate()->sendPluginResult(result, command.callbackId());
}
