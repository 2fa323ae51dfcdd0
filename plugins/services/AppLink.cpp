#include "plugins/services/AppLink.h"

#include "bridge/WHCommandDelegate.h"
#include "platform/text_checks.h"
#include "platform/workspace.h"

WH_REGISTER_PLUGIN(AppLink);

const WHPlugin::ActionTable& AppLink::actions() const {
    static const ActionTable table{WH_ACTION(AppLink, openAppWithURL)};
    return table;
}

void AppLink::openAppWithURL(const WHInvokedUrlCommand& command) {
    Value url = command.argumentAtIndex(0, nullptr, ArgKind::String);
    bool opened = url.is_string() && platform::isURLText(url.get<std::string>(), platform::URLForm::Absolute) &&
                  platform::sharedWorkspace().openURL(url.get<std::string>());
    commandDelegate()->sendPluginResult(
        WHPluginResult::resultWithStatusMessageAsBool(opened ? WHCommandStatus_OK : WHCommandStatus_ERROR, opened),
        command.callbackId());
}
