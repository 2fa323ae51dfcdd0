// One entry of the user's quick actions: controller commands to send, or a location in the
// web application to open. Immutable; archived under the class name "QuickAction".
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/keyed_archive.h"

class QuickAction : public platform::KeyedCodable {
public:
    enum class QuickActionType { Command = 0, Position = 1 };
    // Exact, case-sensitive: "command" or "position".
    static std::optional<QuickActionType> typeFromRawValue(const std::string& raw);
    static const char* rawValue(QuickActionType type);

    static constexpr const char* kArchiveClassName = "QuickAction";

    QuickAction(std::string UUID, std::string title, QuickActionType type,
                std::optional<std::vector<std::string>> commands, std::optional<std::string> URL,
                std::optional<std::string> serialNo, std::optional<std::string> subtitle,
                std::optional<std::string> hsName);
    // A location entry.
    QuickAction(std::string UUID, std::string title, std::optional<std::string> URL);

    // Nothing when "uuid", "title" or "type" are missing or wrong; wrong optional fields read as absent.
    static std::shared_ptr<QuickAction> initWithCoder(const platform::KeyedDecoder& coder);
    void encodeWithCoder(platform::KeyedEncoder& coder) const override;
    std::string archiveClassName() const override { return kArchiveClassName; }

    static std::string kQuickActionType() { return "type"; }
    static std::string kQuickActionUUID() { return "uuid"; }
    static std::string kQuickActionTitle() { return "title"; }
    static std::string kQuickActionCommands() { return "cmds"; }
    static std::string kQuickActionURL() { return "url"; }
    static std::string kQuickActionSerialNo() { return "serialNumber"; }
    static std::string kQuickActionSubtitle() { return "subtitle"; }
    static std::string kQuickActionHsName() { return "hsName"; }

    const std::string& UUID() const { return uuid_; }
    const std::string& title() const { return title_; }
    const std::optional<std::vector<std::string>>& commands() const { return commands_; }
    const std::optional<std::string>& URL() const { return url_; }
    const std::optional<std::string>& serialNo() const { return serialNo_; }
    const std::optional<std::string>& subtitle() const { return subtitle_; }
    const std::optional<std::string>& hsName() const { return hsName_; }

    const QuickActionType type;

private:
    std::string uuid_;
    std::string title_;
    std::optional<std::vector<std::string>> commands_;
    std::optional<std::string> url_;
    std::optional<std::string> serialNo_;
    std::optional<std::string> subtitle_;
    std::optional<std::string> hsName_;
};
