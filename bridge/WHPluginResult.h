// One reply of a plug-in to a call.
#pragma once

#include <any>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/value.h"

using platform::Bytes;
using platform::Value;

enum WHCommandStatus : int {
    WHCommandStatus_NO_RESULT = 0,
    WHCommandStatus_OK = 1,
    WHCommandStatus_CLASS_NOT_FOUND_EXCEPTION = 2,
    WHCommandStatus_ILLEGAL_ACCESS_EXCEPTION = 3,
    WHCommandStatus_INSTANTIATION_EXCEPTION = 4,
    WHCommandStatus_MALFORMED_URL_EXCEPTION = 5,
    WHCommandStatus_IO_EXCEPTION = 6,
    WHCommandStatus_INVALID_ACTION = 7,
    WHCommandStatus_JSON_EXCEPTION = 8,
    WHCommandStatus_ERROR = 9,
};

class WHPluginResult {
public:
    WHPluginResult() : WHPluginResult(0, std::nullopt) {}
    WHPluginResult(int status, std::optional<Value> message);

    static WHPluginResult resultWithStatus(int status);
    static WHPluginResult resultWithStatus(int status, std::string message);  // messageAsString
    static WHPluginResult resultWithStatus(int status, const char* message);
    static WHPluginResult resultWithStatusMessageAsArray(int status, Value array);
    static WHPluginResult resultWithStatusMessageAsInt(int status, std::int32_t value);
    static WHPluginResult resultWithStatusMessageAsDouble(int status, double value);
    static WHPluginResult resultWithStatusMessageAsBool(int status, bool value);
    static WHPluginResult resultWithStatusMessageAsDictionary(int status, Value dictionary);
    static WHPluginResult resultWithStatusMessageAsArrayBuffer(int status, Bytes bytes);
    static WHPluginResult resultWithStatusMessageAsMultipart(int status, Value parts);
    static WHPluginResult resultWithStatusMessageToErrorObject(int status, std::int32_t code);

    static const char* statusText(std::uint32_t status);

    std::uint32_t status() const { return status_; }
    const std::optional<Value>& message() const { return message_; }
    bool keepCallback() const { return keepCallback_; }
    void setKeepCallbackAsBool(bool keep) { keepCallback_ = keep; }
    void setKeepCallback(bool keep) { keepCallback_ = keep; }
    const std::any& associatedObject() const { return associatedObject_; }
    void setAssociatedObject(std::any object) { associatedObject_ = std::move(object); }

    // The message as the script expression placed into the callback script; absent when the
    // message cannot be written as JSON (the callback then carries null).
    std::optional<std::string> argumentsAsJSON() const;
    // The message as compact JSON (null when absent), with U+2028 and U+2029 escaped so the text
    // stands in a script as it is; absent as argumentsAsJSON is.
    std::optional<std::string> messageAsJSON() const;

private:
    // The message in the form sent (array buffer and multipart forms applied), or absent when it
    // cannot be written (logged).
    std::optional<Value> sentMessage() const;

    enum class Form { Plain, ArrayBuffer, Multipart };
    std::uint32_t status_;
    std::optional<Value> message_;
    Form form_ = Form::Plain;
    bool keepCallback_ = false;
    std::any associatedObject_;
};
