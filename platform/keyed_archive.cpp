#include "platform/keyed_archive.h"

#include <cmath>
#include <mutex>
#include <string_view>

namespace platform {

namespace {

constexpr const char* kArchiverName = "KivanoKeyedArchive";
constexpr int kArchiveVersion = 1;
// Deeper documents are refused rather than risk the stack on damaged data.
constexpr int kMaxDepth = 256;

bool isReservedClassName(std::string_view name) {
    return name == "String" || name == "Number" || name == "Boolean" || name == "Data" || name == "Array" ||
           name == "Dictionary";
}

struct Registry {
    std::mutex mutex;
    std::map<std::string, KeyedDecoder::ClassDecoder> decoders;
};
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

struct DecodeError {
    std::string reason;
};

}  // namespace

ArchiveObject::ArchiveObject(const Value& plain) {
    if (plain.is_null()) return;
    if (plain.is_array()) {
        kind_ = Kind::Array;
        for (const auto& e : plain) items_.emplace_back(e);
    } else if (plain.is_object()) {
        kind_ = Kind::Dictionary;
        for (auto it = plain.begin(); it != plain.end(); ++it) entries_.emplace(it.key(), ArchiveObject(it.value()));
    } else {
        kind_ = Kind::Plain;
        plain_ = plain;
    }
}

ArchiveObject::ArchiveObject(std::shared_ptr<const KeyedCodable> object) {
    if (!object) return;
    kind_ = Kind::Coded;
    object_ = std::move(object);
}

ArchiveObject ArchiveObject::array(std::vector<ArchiveObject> items) {
    ArchiveObject o;
    o.kind_ = Kind::Array;
    o.items_ = std::move(items);
    return o;
}

ArchiveObject ArchiveObject::dictionary(std::map<std::string, ArchiveObject> entries) {
    ArchiveObject o;
    o.kind_ = Kind::Dictionary;
    o.entries_ = std::move(entries);
    return o;
}

std::optional<Value> ArchiveObject::plainValue() const {
    switch (kind_) {
        case Kind::Null: return Value(nullptr);
        case Kind::Plain: return plain_;
        case Kind::Coded: return std::nullopt;
        case Kind::Array: {
            Value out = Value::array();
            for (const auto& e : items_) {
                auto v = e.plainValue();
                if (!v) return std::nullopt;
                out.push_back(std::move(*v));
            }
            return out;
        }
        case Kind::Dictionary: {
            Value out = Value::object();
            for (const auto& [k, e] : entries_) {
                auto v = e.plainValue();
                if (!v) return std::nullopt;
                out[k] = std::move(*v);
            }
            return out;
        }
    }
    return std::nullopt;
}

// ---- writing

void KeyedEncoder::encodeObject(const ArchiveObject& object, const std::string& key) {
    keys_[key] = KeyedArchiver::encodeNode(object);
}

static Value encodePlain(const Value& v) {
    if (v.is_string()) return Value{{"$class", "String"}, {"value", v}};
    if (v.is_boolean()) return Value{{"$class", "Boolean"}, {"value", v}};
    if (v.is_number()) {
        // JSON has no form for these; they are archived as the null object.
        if (v.is_number_float() && !std::isfinite(v.get<double>())) return nullptr;
        return Value{{"$class", "Number"}, {"value", v}};
    }
    if (v.is_binary()) return Value{{"$class", "Data"}, {"value", base64Encode(v.get_binary())}};
    return nullptr;
}

Value KeyedArchiver::encodeNode(const ArchiveObject& o) {
    switch (o.kind()) {
        case ArchiveObject::Kind::Null: return nullptr;
        case ArchiveObject::Kind::Plain: return encodePlain(o.plain_);
        case ArchiveObject::Kind::Array: {
            Value items = Value::array();
            for (const auto& e : o.items()) items.push_back(encodeNode(e));
            return Value{{"$class", "Array"}, {"items", std::move(items)}};
        }
        case ArchiveObject::Kind::Dictionary: {
            Value entries = Value::object();
            for (const auto& [k, e] : o.entries()) entries[k] = encodeNode(e);
            return Value{{"$class", "Dictionary"}, {"entries", std::move(entries)}};
        }
        case ArchiveObject::Kind::Coded: {
            KeyedEncoder coder;
            o.codedObject()->encodeWithCoder(coder);
            return Value{{"$class", o.codedObject()->archiveClassName()}, {"keys", std::move(coder.keys_)}};
        }
    }
    return nullptr;
}

Bytes KeyedArchiver::archivedDataWithRootObject(const ArchiveObject& root) {
    Value doc{{"archiver", kArchiverName}, {"version", kArchiveVersion}, {"root", encodeNode(root)}};
    std::string text = toJson(doc);
    return Bytes(text.begin(), text.end());
}

// ---- reading

const ArchiveObject& KeyedDecoder::decodeObjectForKey(const std::string& key) const {
    static const ArchiveObject nullObject;
    auto it = keys_.find(key);
    return it == keys_.end() ? nullObject : it->second;
}

void KeyedDecoder::registerClass(const std::string& className, ClassDecoder decoder) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.decoders[className] = std::move(decoder);
}

// The member of an object node, of the kind the check accepts.
static const Value& member(const Value& node, const std::string& cls, const char* name,
                           bool (Value::*check)() const noexcept) {
    auto it = node.find(name);
    if (it == node.end() || !((*it).*check)()) throw DecodeError{"object of class " + cls + " has no valid \"" + name + "\""};
    return *it;
}

ArchiveObject KeyedArchiver::decodeNode(const Value& node, int depth) {
    if (depth > kMaxDepth) throw DecodeError{"objects nested too deeply"};
    if (node.is_null()) return ArchiveObject();
    if (!node.is_object()) throw DecodeError{"an object without class"};
    auto c = node.find("$class");
    if (c == node.end() || !c->is_string()) throw DecodeError{"an object without class"};
    const std::string cls = c->get<std::string>();

    if (cls == "String") return ArchiveObject(member(node, cls, "value", &Value::is_string));
    if (cls == "Number") return ArchiveObject(member(node, cls, "value", &Value::is_number));
    if (cls == "Boolean") return ArchiveObject(member(node, cls, "value", &Value::is_boolean));
    if (cls == "Data") {
        auto bytes = base64DecodeStrict(member(node, cls, "value", &Value::is_string).get<std::string>());
        if (!bytes) throw DecodeError{"object of class Data holds no base64 text"};
        return ArchiveObject(makeBytes(std::move(*bytes)));
    }
    if (cls == "Array") {
        std::vector<ArchiveObject> items;
        for (const auto& e : member(node, cls, "items", &Value::is_array)) items.push_back(decodeNode(e, depth + 1));
        return ArchiveObject::array(std::move(items));
    }
    if (cls == "Dictionary") {
        std::map<std::string, ArchiveObject> entries;
        const Value& src = member(node, cls, "entries", &Value::is_object);
        for (auto it = src.begin(); it != src.end(); ++it) entries.emplace(it.key(), decodeNode(it.value(), depth + 1));
        return ArchiveObject::dictionary(std::move(entries));
    }

    KeyedDecoder::ClassDecoder decoder;
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        auto it = r.decoders.find(cls);
        if (it == r.decoders.end() || isReservedClassName(cls)) throw DecodeError{"cannot decode object of class " + cls};
        decoder = it->second;
    }
    KeyedDecoder coder;
    const Value& keys = member(node, cls, "keys", &Value::is_object);
    for (auto it = keys.begin(); it != keys.end(); ++it) coder.keys_.emplace(it.key(), decodeNode(it.value(), depth + 1));
    return ArchiveObject(decoder(coder));
}

std::optional<ArchiveObject> KeyedArchiver::unarchiveObjectWithData(const Bytes& data, std::string* error) {
    auto fail = [&](std::string reason) -> std::optional<ArchiveObject> {
        if (error) *error = std::move(reason);
        return std::nullopt;
    };
    auto doc = parseJson(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    if (!doc || !doc->is_object()) return fail("data is not a keyed archive");
    auto a = doc->find("archiver");
    if (a == doc->end() || *a != kArchiverName) return fail("data is not a keyed archive");
    auto v = doc->find("version");
    if (v == doc->end() || !v->is_number_integer() || *v != kArchiveVersion) return fail("unsupported archive version");
    auto root = doc->find("root");
    if (root == doc->end()) return fail("archive has no root object");
    try {
        return decodeNode(*root, 0);
    } catch (const DecodeError& e) {
        return fail(e.reason);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
}

}  // namespace platform
