// Keyed archives: an object graph written as one JSON document, every object with its class name.
//
// Document:  {"archiver": "KivanoKeyedArchive", "version": 1, "root": <object>}
// Objects:   null                                  the null object
//            {"$class": "String",  "value": "..."}
//            {"$class": "Number",  "value": 1.5}
//            {"$class": "Boolean", "value": true}
//            {"$class": "Data",    "value": "<base64>"}
//            {"$class": "Array",   "items": [<object>...]}
//            {"$class": "Dictionary", "entries": {"key": <object>...}}
//            {"$class": "<coded class>", "keys": {"key": <object>...}}   a KeyedCodable object
// Coded classes are read back by the decoder registered under their class name.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/value.h"

namespace platform {

class KeyedEncoder;
class KeyedDecoder;

// An object that writes its fields by key and is rebuilt by the decoder of its class name.
class KeyedCodable {
public:
    virtual ~KeyedCodable() = default;
    virtual std::string archiveClassName() const = 0;
    virtual void encodeWithCoder(KeyedEncoder& coder) const = 0;
};

// One object of an archived graph: the null object, a plain value (text, number, Boolean, bytes),
// an array, a dictionary with text keys, or a coded object.
class ArchiveObject {
public:
    enum class Kind { Null, Plain, Array, Dictionary, Coded };

    ArchiveObject() = default;
    // A plain value; arrays and dictionaries become containers of plain objects.
    ArchiveObject(const Value& plain);  // NOLINT: values convert implicitly
    ArchiveObject(std::shared_ptr<const KeyedCodable> object);  // NOLINT; null pointer = null object
    static ArchiveObject array(std::vector<ArchiveObject> items);
    static ArchiveObject dictionary(std::map<std::string, ArchiveObject> entries);

    Kind kind() const { return kind_; }
    bool isNull() const { return kind_ == Kind::Null; }
    const std::vector<ArchiveObject>& items() const { return items_; }            // Array
    const std::map<std::string, ArchiveObject>& entries() const { return entries_; }  // Dictionary
    const std::shared_ptr<const KeyedCodable>& codedObject() const { return object_; }
    template <class T>
    std::shared_ptr<const T> objectAs() const { return std::dynamic_pointer_cast<const T>(object_); }

    // The graph as a plain value when it holds no coded object (the null object gives null).
    std::optional<Value> plainValue() const;

private:
    friend class KeyedArchiver;
    Kind kind_ = Kind::Null;
    Value plain_;
    std::vector<ArchiveObject> items_;
    std::map<std::string, ArchiveObject> entries_;
    std::shared_ptr<const KeyedCodable> object_;
};

class KeyedEncoder {
public:
    void encodeObject(const ArchiveObject& object, const std::string& key);

private:
    friend class KeyedArchiver;
    Value keys_ = Value::object();
};

class KeyedDecoder {
public:
    // The object under the key; the null object when the key is absent.
    const ArchiveObject& decodeObjectForKey(const std::string& key) const;
    bool containsValueForKey(const std::string& key) const { return keys_.count(key) != 0; }

    // The decoder of a coded class; it answers null when the fields do not make an object.
    using ClassDecoder = std::function<std::shared_ptr<const KeyedCodable>(const KeyedDecoder&)>;
    static void registerClass(const std::string& className, ClassDecoder decoder);

private:
    friend class KeyedArchiver;
    std::map<std::string, ArchiveObject> keys_;
};

class KeyedArchiver {
public:
    static Bytes archivedDataWithRootObject(const ArchiveObject& root);
    // The root object, or nothing with the reason in `error` when the data is no archive, is
    // malformed, or names a class without a decoder. A coded object whose decoder answers null
    // reads as the null object.
    static std::optional<ArchiveObject> unarchiveObjectWithData(const Bytes& data, std::string* error = nullptr);

private:
    friend class KeyedEncoder;
    static Value encodeNode(const ArchiveObject& object);
    static ArchiveObject decodeNode(const Value& node, int depth);
};

}  // namespace platform
