#include "bridge/WHInvokedUrlCommand.h"

bool valueIsKind(const Value& v, ArgKind kind) {
    switch (kind) {
        case ArgKind::Any: return true;
        case ArgKind::String: return v.is_string();
        case ArgKind::Number: return v.is_number() || v.is_boolean();
        case ArgKind::Boolean: return v.is_boolean();
        case ArgKind::Array: return v.is_array();
        case ArgKind::Dictionary: return v.is_object();
        case ArgKind::Data: return v.is_binary();
    }
    return false;
}

WHInvokedUrlCommand::WHInvokedUrlCommand(Value arguments, std::optional<std::string> callbackId, std::string className,
                                         std::string methodName)
    : arguments_(std::move(arguments)),
      callbackId_(std::move(callbackId)),
      className_(std::move(className)),
      methodName_(std::move(methodName)) {
    if (!arguments_.is_array()) arguments_ = Value::array();
    // Array-buffer elements become bytes; "data" must be strict Base64, otherwise the element
    // is left as the dictionary it was.
    for (auto& element : arguments_) {
        if (!element.is_object()) continue;
        auto type = element.find("WHType");
        auto data = element.find("data");
        if (type == element.end() || data == element.end() || !type->is_string() || *type != "ArrayBuffer") continue;
        if (!data->is_string()) continue;
        if (auto bytes = platform::base64DecodeStrict(data->get<std::string>())) element = platform::makeBytes(std::move(*bytes));
    }
}

std::optional<WHInvokedUrlCommand> WHInvokedUrlCommand::commandFromJson(const Value& array) {
    if (!array.is_array() || array.size() < 4) return std::nullopt;
    std::optional<std::string> cb;
    if (array[0].is_string()) cb = array[0].get<std::string>();
    if (!array[1].is_string() || !array[2].is_string()) return std::nullopt;
    return WHInvokedUrlCommand(array[3], cb, array[1].get<std::string>(), array[2].get<std::string>());
}

Value WHInvokedUrlCommand::argumentAtIndex(std::size_t index, const Value& defaultValue, ArgKind kind) const {
    if (index >= arguments_.size()) return defaultValue;
    const Value& v = arguments_[index];
    if (v.is_null() || !valueIsKind(v, kind)) return defaultValue;
    return v;
}

std::shared_ptr<WHHeldBytes> WHInvokedUrlCommand::heldBytes(std::size_t index) const {
    auto it = held_.find(index);
    return it == held_.end() ? nullptr : it->second;
}

void WHInvokedUrlCommand::setHeldBytes(std::size_t index, std::shared_ptr<WHHeldBytes> bytes) {
    if (bytes) {
        held_[index] = std::move(bytes);
    } else {
        held_.erase(index);
    }
}
