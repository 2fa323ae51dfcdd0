// One call of a plug-in action by the page.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/value.h"

using platform::Value;

class WHHeldBytes;

// Kinds for argumentAtIndex checks. Number accepts Booleans too (they are numbers on the page side).
enum class ArgKind { Any, String, Number, Boolean, Array, Dictionary, Data };

bool valueIsKind(const Value& v, ArgKind kind);

class WHInvokedUrlCommand {
public:
    WHInvokedUrlCommand(Value arguments, std::optional<std::string> callbackId, std::string className,
                        std::string methodName);
    // [callbackId or null, service, action, arguments]
    static std::optional<WHInvokedUrlCommand> commandFromJson(const Value& array);

    const std::optional<std::string>& callbackId() const { return callbackId_; }
    const std::string& cmdClassName() const { return className_; }
    const std::string& methodName() const { return methodName_; }
    const Value& arguments() const { return arguments_; }

    // The element when the index is in range, it is not null and it is of the kind; else the default.
    Value argumentAtIndex(std::size_t index, const Value& defaultValue = nullptr, ArgKind kind = ArgKind::Any) const;

    // The bytes of the argument at the index that stayed in the page's web process (the argument
    // is null then); null when there are none.
    std::shared_ptr<WHHeldBytes> heldBytes(std::size_t index) const;
    void setHeldBytes(std::size_t index, std::shared_ptr<WHHeldBytes> bytes);

private:
    Value arguments_;
    std::optional<std::string> callbackId_;
    std::string className_;
    std::string methodName_;
    std::map<std::size_t, std::shared_ptr<WHHeldBytes>> held_;
};
