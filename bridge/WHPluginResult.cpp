#include "bridge/WHPluginResult.h"

#include <cmath>

#include "bridge/WHOutOfBandBytes.h"
#include "platform/log.h"
#include "platform/text_checks.h"

WHPluginResult::WHPluginResult(int status, std::optional<Value> message)
    : status_(static_cast<std::uint32_t>(status)), message_(std::move(message)) {}

WHPluginResult WHPluginResult::resultWithStatus(int status) { return WHPluginResult(status, std::nullopt); }
WHPluginResult WHPluginResult::resultWithStatus(int status, std::string message) {
    return WHPluginResult(status, Value(std::move(message)));
}
WHPluginResult WHPluginResult::resultWithStatus(int status, const char* message) {
    return WHPluginResult(status, Value(std::string(message ? message : "")));
}
WHPluginResult WHPluginResult::resultWithStatusMessageAsArray(int status, Value array) {
    return WHPluginResult(status, std::move(array));
}
WHPluginResult WHPluginResult::resultWithStatusMessageAsInt(int status, std::int32_t value) {
    return WHPluginResult(status, Value(value));
}
WHPluginResult WHPluginResult::resultWithStatusMessageAsDouble(int status, double value) {
    return WHPluginResult(status, Value(value));
}
WHPluginResult WHPluginResult::resultWithStatusMessageAsBool(int status, bool value) {
    return WHPluginResult(status, Value(value));
}
WHPluginResult WHPluginResult::resultWithStatusMessageAsDictionary(int status, Value dictionary) {
    return WHPluginResult(status, std::move(dictionary));
}
WHPluginResult WHPluginResult::resultWithStatusMessageAsArrayBuffer(int status, Bytes bytes) {
    WHPluginResult r(status, platform::makeBytes(std::move(bytes)));
    r.form_ = Form::ArrayBuffer;
    return r;
}
WHPluginResult WHPluginResult::resultWithStatusMessageAsMultipart(int status, Value parts) {
    WHPluginResult r(status, std::move(parts));
    r.form_ = Form::Multipart;
    return r;
}
WHPluginResult WHPluginResult::resultWithStatusMessageToErrorObject(int status, std::int32_t code) {
    return WHPluginResult(status, Value{{"code", code}});
}

WHPluginResult WHPluginResult::resultWithStatusMessageAsPageBytes(int status, std::shared_ptr<WHPageBytes> bytes,
                                                                  WHPageBytesForm form, std::string mimeType,
                                                                  int invalidStatus, std::int32_t invalidMessage) {
    WHPluginResult r(status, std::nullopt);
    r.pageBytes_ = std::move(bytes);
    r.pageBytesForm_ = form;
    r.mimeType_ = std::move(mimeType);
    r.invalidStatus_ = invalidStatus;
    r.invalidMessage_ = invalidMessage;
    return r;
}

WHPluginResult WHPluginResult::materialized() const {
    if (!pageBytes_) return *this;
    auto bytes = pageBytes_->read();
    pageBytes_->delivered();
    WHPluginResult r;
    if (!bytes) {
        r = resultWithStatusMessageAsInt(invalidStatus_, invalidMessage_);
    } else {
        switch (pageBytesForm_) {
            case WHPageBytesForm::ArrayBuffer:
                r = resultWithStatusMessageAsArrayBuffer(static_cast<int>(status_), std::move(*bytes));
                break;
            case WHPageBytesForm::Base64Text:
                r = resultWithStatus(static_cast<int>(status_), platform::base64Encode(*bytes));
                break;
            case WHPageBytesForm::DataURL:
                r = resultWithStatus(static_cast<int>(status_), "data:" + mimeType_ + ";base64," + platform::base64Encode(*bytes));
                break;
            case WHPageBytesForm::UTF8Text: {
                const char* p = reinterpret_cast<const char*>(bytes->data());
                r = platform::isUTF8(p, bytes->size())
                        ? resultWithStatus(static_cast<int>(status_), std::string(p, bytes->size()))
                        : resultWithStatusMessageAsInt(invalidStatus_, invalidMessage_);
                break;
            }
            case WHPageBytesForm::BinaryString: {
                // One character per byte (U+0000 to U+00FF), as script binary strings are.
                std::string text;
                text.reserve(bytes->size());
                for (std::uint8_t b : *bytes) {
                    if (b < 0x80) {
                        text += static_cast<char>(b);
                    } else {
                        text += static_cast<char>(0xC0 | (b >> 6));
                        text += static_cast<char>(0x80 | (b & 0x3F));
                    }
                }
                r = resultWithStatus(static_cast<int>(status_), std::move(text));
                break;
            }
        }
    }
    r.keepCallback_ = keepCallback_;
    r.associatedObject_ = associatedObject_;
    return r;
}

const char* WHPluginResult::statusText(std::uint32_t status) {
    static const char* const texts[] = {"No result",       "OK",          "Class not found",
                                        "Illegal access",  "Instantiation error", "Malformed url",
                                        "IO error",        "Invalid action",      "JSON error",
                                        "Error"};
    return status < 10 ? texts[status] : "Unknown";
}

static Value arrayBufferForm(const Value& bytes) {
    return Value{{"WHType", "ArrayBuffer"}, {"data", platform::base64Encode(platform::bytesOf(bytes))}};
}

// Fails on what the JSON writer cannot represent: bytes and non-finite numbers.
static bool writable(const Value& v, std::string& why) {
    if (v.is_binary()) {
        why = "Invalid type in JSON write (bytes)";
        return false;
    }
    if (v.is_number_float() && !std::isfinite(v.get<double>())) {
        why = "Invalid number value (NaN or infinity) in JSON write";
        return false;
    }
    if (v.is_array() || v.is_object()) {
        for (const auto& e : v) {
            if (!writable(e, why)) return false;
        }
    }
    return true;
}

std::optional<Value> WHPluginResult::sentMessage() const {
    if (pageBytes_) return materialized().sentMessage();
    // Written inside an array, the multipart form two levels deeper still; measured before any copy.
    constexpr std::size_t kMaxMessageDepth = platform::kMaxValueDepth - 3;
    if (message_ && platform::valueNestsDeeperThan(*message_, kMaxMessageDepth)) {
        platform::logf(platform::LogLevel::Error, "NSArray JSONString error: Nesting deeper than %zu levels in JSON write", kMaxMessageDepth);
        return std::nullopt;
    }
    Value message = message_ ? *message_ : Value(nullptr);
    if (form_ == Form::ArrayBuffer) {
        message = arrayBufferForm(message);
    } else if (form_ == Form::Multipart) {
        Value parts = Value::array();
        if (message.is_array()) {
            for (const auto& p : message) parts.push_back(p.is_binary() ? arrayBufferForm(p) : p);
        }
        message = Value{{"WHType", "MultiPart"}, {"messages", parts}};
    }
    std::string why;
    if (!writable(message, why)) {
        platform::logf(platform::LogLevel::Error, "NSArray JSONString error: %s", why);
        return std::nullopt;
    }
    return message;
}

std::optional<std::string> WHPluginResult::argumentsAsJSON() const {
    auto message = sentMessage();
    if (!message) return std::nullopt;
    std::string text = platform::toJson(Value::array({std::move(*message)}), 2);
    // Strip the array brackets.
    if (text.size() < 2) return std::nullopt;
    return text.substr(1, text.size() - 2);
}

std::optional<std::string> WHPluginResult::messageAsJSON() const {
    auto message = sentMessage();
    if (!message) return std::nullopt;
    return platform::scriptSafeJson(platform::toJson(*message));
}
