#include "plugins/services/QuickAction.h"

using platform::ArchiveObject;
using platform::Value;

static const bool kQuickActionDecoderRegistered [[maybe_unused]] = [] {
    platform::KeyedDecoder::registerClass(QuickAction::kArchiveClassName,
                                          [](const platform::KeyedDecoder& coder) { return QuickAction::initWithCoder(coder); });
    return true;
}();

std::optional<QuickAction::QuickActionType> QuickAction::typeFromRawValue(const std::string& raw) {
    if (raw == "command") return QuickActionType::Command;
    if (raw == "position") return QuickActionType::Position;
    return std::nullopt;
}

const char* QuickAction::rawValue(QuickActionType type) {
    return type == QuickActionType::Command ? "command" : "position";
}

QuickAction::QuickAction(std::string UUID, std::string title, QuickActionType type,
                         std::optional<std::vector<std::string>> commands, std::optional<std::string> URL,
                         std::optional<std::string> serialNo, std::optional<std::string> subtitle,
                         std::optional<std::string> hsName)
    : type(type),
      uuid_(std::move(UUID)),
      title_(std::move(title)),
      commands_(std::move(commands)),
      url_(std::move(URL)),
      serialNo_(std::move(serialNo)),
      subtitle_(std::move(subtitle)),
      hsName_(std::move(hsName)) {}

QuickAction::QuickAction(std::string UUID, std::string title, std::optional<std::string> URL)
    : QuickAction(std::move(UUID), std::move(title), QuickActionType::Position, std::nullopt, std::move(URL),
                  std::nullopt, std::nullopt, std::nullopt) {}

static ArchiveObject textOrNull(const std::optional<std::string>& s) { return s ? ArchiveObject(Value(*s)) : ArchiveObject(); }

void QuickAction::encodeWithCoder(platform::KeyedEncoder& coder) const {
    coder.encodeObject(Value(uuid_), kQuickActionUUID());
    coder.encodeObject(Value(title_), kQuickActionTitle());
    coder.encodeObject(Value(rawValue(type)), kQuickActionType());
    coder.encodeObject(commands_ ? ArchiveObject(Value(*commands_)) : ArchiveObject(), kQuickActionCommands());
    coder.encodeObject(textOrNull(url_), kQuickActionURL());
    coder.encodeObject(textOrNull(serialNo_), kQuickActionSerialNo());
    coder.encodeObject(textOrNull(subtitle_), kQuickActionSubtitle());
    coder.encodeObject(textOrNull(hsName_), kQuickActionHsName());
}

static std::optional<std::string> decodeText(const platform::KeyedDecoder& coder, const std::string& key) {
    auto v = coder.decodeObjectForKey(key).plainValue();
    if (!v || !v->is_string()) return std::nullopt;
    return v->get<std::string>();
}

static std::optional<std::vector<std::string>> decodeTexts(const platform::KeyedDecoder& coder, const std::string& key) {
    const ArchiveObject& o = coder.decodeObjectForKey(key);
    if (o.kind() != ArchiveObject::Kind::Array) return std::nullopt;
    std::vector<std::string> out;
    for (const auto& e : o.items()) {
        auto v = e.plainValue();
        if (!v || !v->is_string()) return std::nullopt;
        out.push_back(v->get<std::string>());
    }
    return out;
}

std::shared_ptr<QuickAction> QuickAction::initWithCoder(const platform::KeyedDecoder& coder) {
    auto uuid = decodeText(coder, kQuickActionUUID());
    if (!uuid) return nullptr;
    auto title = decodeText(coder, kQuickActionTitle());
    if (!title) return nullptr;
    auto raw = decodeText(coder, kQuickActionType());
    auto type = raw ? typeFromRawValue(*raw) : std::nullopt;
    if (!type) return nullptr;
    return std::make_shared<QuickAction>(std::move(*uuid), std::move(*title), *type,
                                         decodeTexts(coder, kQuickActionCommands()),
                                         decodeText(coder, kQuickActionURL()), decodeText(coder, kQuickActionSerialNo()),
                                         decodeText(coder, kQuickActionSubtitle()), decodeText(coder, kQuickActionHsName()));
}
