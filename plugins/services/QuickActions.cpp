#include "plugins/services/QuickActions.h"

#include "bridge/WHCommandDelegate.h"
#include "platform/log.h"
#include "platform/notification_center.h"
#include "platform/user_defaults.h"

using platform::ArchiveObject;
using platform::Value;
using Type = QuickAction::QuickActionType;

WH_REGISTER_PLUGIN(QuickActions);

const WHPlugin::ActionTable& QuickActions::actions() const {
    static const ActionTable t{WH_ACTION(QuickActions, getItems), WH_ACTION(QuickActions, setItems)};
    return t;
}

std::optional<std::vector<std::shared_ptr<const QuickAction>>> QuickActions::storedQuickActions() {
    auto stored = platform::UserDefaults::standard().object(kQuickActionsKey);
    if (!stored || !platform::isBytes(*stored)) return std::nullopt;
    std::string reason;
    auto root = platform::KeyedArchiver::unarchiveObjectWithData(platform::bytesOf(*stored), &reason);
    if (!root) {
        platform::logf(platform::LogLevel::Warning, "QuickActions: stored list unreadable: %s", reason);
        return std::nullopt;
    }
    if (root->kind() != ArchiveObject::Kind::Array) return std::nullopt;
    std::vector<std::shared_ptr<const QuickAction>> out;
    for (const auto& e : root->items()) {
        if (e.isNull()) continue;  // an entry that did not decode
        auto action = e.objectAs<QuickAction>();
        if (!action) return std::nullopt;
        out.push_back(std::move(action));
    }
    return out;
}

Value QuickActions::dictionaryOf(const QuickAction& a) {
    Value d{{QuickAction::kQuickActionUUID(), a.UUID()}, {QuickAction::kQuickActionTitle(), a.title()}};
    if (a.commands()) d[QuickAction::kQuickActionCommands()] = Value(*a.commands());
    if (a.URL()) d[QuickAction::kQuickActionURL()] = *a.URL();
    if (a.serialNo()) d[QuickAction::kQuickActionSerialNo()] = *a.serialNo();
    if (a.subtitle()) d[QuickAction::kQuickActionSubtitle()] = *a.subtitle();
    if (a.hsName()) d[QuickAction::kQuickActionHsName()] = *a.hsName();
    return d;
}

void QuickActions::getItems(const WHInvokedUrlCommand& command) {
    Value result = Value::array();
    if (auto list = storedQuickActions()) {
        for (const auto& a : *list) result.push_back(dictionaryOf(*a));
    }
    commandDelegate()->sendPluginResult(WHPluginResult::resultWithStatusMessageAsArray(WHCommandStatus_OK, result),
                                        command.callbackId());
}

static std::optional<std::string> textAt(const Value& d, const std::string& key) {
    auto it = d.find(key);
    if (it == d.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

static std::optional<std::vector<std::string>> textsAt(const Value& d, const std::string& key) {
    auto it = d.find(key);
    if (it == d.end() || !it->is_array()) return std::nullopt;
    std::vector<std::string> out;
    for (const auto& e : *it) {
        if (!e.is_string()) return std::nullopt;
        out.push_back(e.get<std::string>());
    }
    return out;
}

std::vector<std::shared_ptr<const QuickAction>> QuickActions::quickActionsFromArgument(const Value& argument) {
    std::vector<std::shared_ptr<const QuickAction>> list;
    if (!argument.is_array()) return list;
    for (const auto& e : argument) {
        if (!e.is_object()) return list;  // malformed as a whole
    }
    for (const auto& d : argument) {
        auto uuid = textAt(d, QuickAction::kQuickActionUUID());
        if (!uuid) continue;
        auto title = textAt(d, QuickAction::kQuickActionTitle());
        if (!title) continue;
        auto cmds = textsAt(d, QuickAction::kQuickActionCommands());
        auto url = textAt(d, QuickAction::kQuickActionURL());
        if (!cmds && !url) continue;
        Type type = cmds ? Type::Command : Type::Position;
        auto serial = textAt(d, QuickAction::kQuickActionSerialNo());
        if (type == Type::Command && !serial) continue;
        list.push_back(std::make_shared<const QuickAction>(std::move(*uuid), std::move(*title), type, std::move(cmds),
                                                           std::move(url), std::move(serial),
                                                           textAt(d, QuickAction::kQuickActionSubtitle()),
                                                           textAt(d, QuickAction::kQuickActionHsName())));
    }
    return list;
}

void QuickActions::setItems(const WHInvokedUrlCommand& command) {
    const Value& args = command.arguments();
    auto list = quickActionsFromArgument(args.is_array() && !args.empty() ? args[0] : Value());
    std::vector<ArchiveObject> items(list.begin(), list.end());
    auto data = platform::KeyedArchiver::archivedDataWithRootObject(ArchiveObject::array(std::move(items)));
    platform::UserDefaults::standard().set(kQuickActionsKey, platform::makeBytes(std::move(data)));
    platform::NotificationCenter::defaultCenter().post(kQuickActionsChangedNotification, nullptr, nullptr);
    commandDelegate()->sendPluginResult(WHPluginResult::resultWithStatus(WHCommandStatus_OK), command.callbackId());
}

void QuickActions::onAppTerminate() {
    platform::UserDefaults::standard().synchronize();
    WHPlugin::onAppTerminate();
}
