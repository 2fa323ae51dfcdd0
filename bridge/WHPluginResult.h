// One reply of a plug-in to a call.
#pragma once

#include <any>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/value.h"

using platform::Bytes;
using platform::Value;

class WHPageBytes;

// What the page gets from bytes that travel outside the messages (WHPageBytes).
enum class WHPageBytesForm {
    ArrayBuffer,   // the array-buffer form
    Base64Text,    // the standard Base64 text
    DataURL,       // "data:<MIME type>;base64,<Base64>"
    UTF8Text,      // the bytes decoded as UTF-8; bytes that are not answer the result's invalid status and message
    BinaryString,  // one character (U+0000 to U+00FF) per byte
};
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
    // A message made from bytes that may go to the page outside the messages, in the form given;
    // for UTF8Text, bytes that are not UTF-8 answer `invalidStatus` with the integer `invalidMessage`.
    static WHPluginResult resultWithStatusMessageAsPageBytes(int status, std::shared_ptr<WHPageBytes> bytes, WHPageBytesForm form,
                                                             std::string mimeType = "", int invalidStatus = 0,
                                                             std::int32_t invalidMessage = 0);

    static const char* statusText(std::uint32_t status);

    std::uint32_t status() const { return status_; }
    const std::optional<Value>& message() const { return message_; }
    bool keepCallback() const { return keepCallback_; }
    void setKeepCallbackAsBool(bool keep) { keepCallback_ = keep; }
    void setKeepCallback(bool keep) { keepCallback_ = keep; }
    const std::any& associatedObject() const { return associatedObject_; }
    void setAssociatedObject(std::any object) { associatedObject_ = std::move(object); }

    // Bytes of the message that may go outside the messages (null for every other message).
    const std::shared_ptr<WHPageBytes>& pageBytes() const { return pageBytes_; }
    WHPageBytesForm pageBytesForm() const { return pageBytesForm_; }
    const std::string& pageBytesMimeType() const { return mimeType_; }
    int invalidStatus() const { return invalidStatus_; }
    std::int32_t invalidMessage() const { return invalidMessage_; }
    // The same result with the message made here from its bytes (for a message of page bytes;
    // other results are returned as they are). The bytes count as delivered then.
    WHPluginResult materialized() const;

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
    std::shared_ptr<WHPageBytes> pageBytes_;
    WHPageBytesForm pageBytesForm_ = WHPageBytesForm::ArrayBuffer;
    std::string mimeType_;
    int invalidStatus_ = 0;
    std::int32_t invalidMessage_ = 0;
};
