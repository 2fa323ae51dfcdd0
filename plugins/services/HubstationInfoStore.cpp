#include "plugins/services/HubstationInfoStore.h"

#include "bridge/WHCommandDelegate.h"
#include "platform/notification_center.h"
#include "plugins/standard/KCKeychain.h"

using platform::Value;
using H = HubstationInfoStore;

WH_REGISTER_PLUGIN(HubstationInfoStore);

const WHPlugin::ActionTable& HubstationInfoStore::actions() const {
    static const ActionTable t{WH_ACTION(HubstationInfoStore, update), WH_ACTION(HubstationInfoStore, read),
                               WH_ACTION(HubstationInfoStore, clear)};
    return t;
}

static bool isTextDictionary(const Value& v) {
    if (!v.is_object()) return false;
    for (const auto& e : v) {
        if (!e.is_string()) return false;
    }
    return true;
}

std::optional<Value> HubstationInfoStore::storedRecord(const std::string& serialNo) {
    auto stored = KCKeychain::loadValueForKey(serialNo);
    if (!stored) return std::nullopt;
    auto plain = stored->plainValue();
    if (!plain || !isTextDictionary(*plain)) return std::nullopt;
    return plain;
}

static Value firstArgument(const WHInvokedUrlCommand& command) {
    const Value& args = command.arguments();
    return args.is_array() && !args.empty() ? args[0] : Value();
}

void HubstationInfoStore::update(const WHInvokedUrlCommand& command) {
    auto answer = [&](int status) {
        commandDelegate()->sendPluginResult(WHPluginResult::resultWithStatus(status), command.callbackId());
    };
    const Value record = firstArgument(command);
    if (!isTextDictionary(record)) return answer(WHCommandStatus_OK);

    static const std::string required[] = {H::kHubstationInfoTypeMac(), H::kHubstationInfoTypeUsername(),
                                           H::kHubstationInfoTypePassword(), H::kHubstationInfoTypePublicKey(),
                                           H::kHubstationInfoTypeConfigVersion()};
    static const std::string optional[] = {H::kHubstationInfoTypeLocalURL(), H::kHubstationInfoTypeRemoteURL(),
                                           H::kHubstationInfoTypeLocalSecuredDetails(),
                                           H::kHubstationInfoTypeRemoteSecuredDetails()};
    for (const auto& key : required) {
        if (!record.contains(key)) return answer(WHCommandStatus_OK);
    }
    const std::string mac = record[H::kHubstationInfoTypeMac()].get<std::string>();

    Value merged = Value::object();
    if (auto stored = storedRecord(mac)) {
        merged = *stored;
    } else {
        // A record we cannot see is not an absent one: merging over it would drop its other keys.
        auto status = KCKeychain::lastLoadStatus();
        if (status == KCKeychainLoadStatus::Locked || status == KCKeychainLoadStatus::Unavailable) {
            return answer(WHCommandStatus_ERROR);
        }
    }
    for (const auto& key : required) merged[key] = record[key];
    for (const auto& key : optional) {
        if (record.contains(key)) merged[key] = record[key];
    }

    if (!KCKeychain::saveValue(merged, mac)) return answer(WHCommandStatus_ERROR);
    platform::NotificationCenter::defaultCenter().post(kHubstationInfoStoreDataChangedNotification, this,
                                                       Value{{"serialNo", mac}});
    answer(WHCommandStatus_OK);
}

void HubstationInfoStore::read(const WHInvokedUrlCommand& command) {
    const Value serial = firstArgument(command);
    if (!serial.is_string()) {
        return commandDelegate()->sendPluginResult(WHPluginResult::resultWithStatus(WHCommandStatus_ERROR),
                                                   command.callbackId());
    }
    auto record = storedRecord(serial.get<std::string>());
    commandDelegate()->sendPluginResult(
        record ? WHPluginResult::resultWithStatusMessageAsDictionary(WHCommandStatus_OK, *record)
               : WHPluginResult(WHCommandStatus_OK, Value(nullptr)),
        command.callbackId());
}

void HubstationInfoStore::clear(const WHInvokedUrlCommand& command) {
    const Value serial = firstArgument(command);
    if (!serial.is_string()) {
        return commandDelegate()->sendPluginResult(WHPluginResult::resultWithStatus(WHCommandStatus_ERROR),
                                                   command.callbackId());
    }
    KCKeychain::deleteValueForKey(serial.get<std::string>());
    commandDelegate()->sendPluginResult(WHPluginResult::resultWithStatus(WHCommandStatus_OK), command.callbackId());
}
