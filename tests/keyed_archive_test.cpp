// Keyed archives and the quick-action model's keyed coding.
#include <gtest/gtest.h>

#include "platform/keyed_archive.h"
#include "plugins/services/QuickAction.h"

using platform::ArchiveObject;
using platform::Bytes;
using platform::KeyedArchiver;
using platform::Value;
using Type = QuickAction::QuickActionType;

namespace {

Bytes bytesOfText(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::optional<ArchiveObject> roundTrip(const ArchiveObject& o) {
    return KeyedArchiver::unarchiveObjectWithData(KeyedArchiver::archivedDataWithRootObject(o));
}

// An archive document with one quick action whose "keys" member is given as JSON objects.
Bytes quickActionArchive(const Value& keys) {
    Value doc{{"archiver", "KivanoKeyedArchive"},
              {"version", 1},
              {"root", {{"$class", "Array"}, {"items", {{{"$class", "QuickAction"}, {"keys", keys}}}}}}};
    return bytesOfText(doc.dump());
}

Value text(const std::string& s) { return Value{{"$class", "String"}, {"value", s}}; }
Value number(double d) { return Value{{"$class", "Number"}, {"value", d}}; }
Value texts(std::vector<Value> items) { return Value{{"$class", "Array"}, {"items", items}}; }

Value validKeys() {
    return Value{{"uuid", text("U1")}, {"title", text("Lights")}, {"type", text("command")},
                 {"cmds", texts({text("/a"), text("/b")})}, {"url", nullptr}, {"serialNumber", text("504F0001")},
                 {"subtitle", nullptr}, {"hsName", nullptr}};
}

std::shared_ptr<const QuickAction> decodeOne(const Value& keys) {
    auto root = KeyedArchiver::unarchiveObjectWithData(quickActionArchive(keys));
    if (!root || root->kind() != ArchiveObject::Kind::Array || root->items().size() != 1) {
        ADD_FAILURE() << "archive did not read back as an array of one";
        return nullptr;
    }
    return root->items()[0].objectAs<QuickAction>();
}

}  // namespace

TEST(KeyedArchive, PlainValuesReadBackUnchanged) {
    const Value cases[] = {
        Value{{"mac", "504F0001"}, {"password", ""}, {"remoteUrl", "dns.example:443"}},
        Value::array({1, 2.5, -3, true, false, "ü€", nullptr, Value::array(), Value::object()}),
        platform::makeBytes({0, 1, 2, 255}),
        Value("text"),
        Value(nullptr),
        // Keys that look like the archive's own markers stay plain keys.
        Value{{"$class", "String"}, {"value", 1}},
    };
    for (const auto& v : cases) {
        auto back = roundTrip(ArchiveObject(v));
        ASSERT_TRUE(back) << v.dump();
        auto plain = back->plainValue();
        ASSERT_TRUE(plain) << v.dump();
        EXPECT_EQ(*plain, v);
    }
}

TEST(KeyedArchive, EveryObjectCarriesItsClassName) {
    auto data = KeyedArchiver::archivedDataWithRootObject(
        ArchiveObject::array({ArchiveObject(Value("a")), ArchiveObject(std::make_shared<QuickAction>("U", "T", "kivano://x"))}));
    auto doc = Value::parse(std::string(data.begin(), data.end()));
    const Value& root = doc["root"];
    EXPECT_EQ(root["$class"], "Array");
    EXPECT_EQ(root["items"][0]["$class"], "String");
    EXPECT_EQ(root["items"][1]["$class"], "QuickAction");
    EXPECT_EQ(root["items"][1]["keys"]["uuid"]["$class"], "String");
}

TEST(KeyedArchive, DamagedDataIsRefusedWithAReason) {
    std::string deep;
    for (int i = 0; i < 1000; ++i) deep += R"({"$class":"Array","items":[)";
    deep += "null";
    for (int i = 0; i < 1000; ++i) deep += "]}";
    const struct {
        const char* name;
        std::string data;
    } cases[] = {
        {"empty", ""},
        {"not JSON", "\x01\x02garbage"},
        {"JSON, no archive", R"({"mac":"1"})"},
        {"other version", R"({"archiver":"KivanoKeyedArchive","version":2,"root":null})"},
        {"no root", R"({"archiver":"KivanoKeyedArchive","version":1})"},
        {"object without class", R"({"archiver":"KivanoKeyedArchive","version":1,"root":{"value":"x"}})"},
        {"bare JSON text", R"({"archiver":"KivanoKeyedArchive","version":1,"root":"x"})"},
        {"unknown class", R"({"archiver":"KivanoKeyedArchive","version":1,"root":{"$class":"Gadget","keys":{}}})"},
        {"text of wrong kind", R"({"archiver":"KivanoKeyedArchive","version":1,"root":{"$class":"String","value":3}})"},
        {"bad base64", R"({"archiver":"KivanoKeyedArchive","version":1,"root":{"$class":"Data","value":"@@"}})"},
        {"array without items", R"({"archiver":"KivanoKeyedArchive","version":1,"root":{"$class":"Array"}})"},
        {"too deep", R"({"archiver":"KivanoKeyedArchive","version":1,"root":)" + deep + "}"},
    };
    for (const auto& c : cases) {
        std::string reason;
        EXPECT_FALSE(KeyedArchiver::unarchiveObjectWithData(bytesOfText(c.data), &reason)) << c.name;
        EXPECT_FALSE(reason.empty()) << c.name;
    }
}

TEST(QuickActionCoding, RoundTripKeepsAllEightFields) {
    const QuickAction cases[] = {
        {"U1", "Lights", Type::Command, std::vector<std::string>{"/dev/sps/io/1/on", "/x"}, "kivano://?loc=1",
         "504F0001", "Living room", "Home"},
        {"U2", "Empty", Type::Command, std::vector<std::string>{}, std::nullopt, "504F0001", std::nullopt, std::nullopt},
        {"U3", "Go", Type::Position, std::nullopt, "kivano://?loc=2", "504F0002", "sub", std::nullopt},
    };
    for (const auto& a : cases) {
        auto back = roundTrip(ArchiveObject(std::make_shared<QuickAction>(a)));
        ASSERT_TRUE(back);
        auto b = back->objectAs<QuickAction>();
        ASSERT_TRUE(b) << a.UUID();
        EXPECT_EQ(b->UUID(), a.UUID());
        EXPECT_EQ(b->title(), a.title());
        EXPECT_EQ(b->type, a.type);
        EXPECT_EQ(b->commands(), a.commands()) << a.UUID();
        EXPECT_EQ(b->URL(), a.URL());
        EXPECT_EQ(b->serialNo(), a.serialNo());
        EXPECT_EQ(b->subtitle(), a.subtitle());
        EXPECT_EQ(b->hsName(), a.hsName());
    }
}

TEST(QuickActionCoding, LocationEntryWritesNullForAbsentFields) {
    for (const std::optional<std::string>& url : {std::optional<std::string>("kivano://?loc=x"), std::optional<std::string>()}) {
        auto data = KeyedArchiver::archivedDataWithRootObject(ArchiveObject(std::make_shared<QuickAction>("U", "T", url)));
        auto keys = Value::parse(std::string(data.begin(), data.end()))["root"]["keys"];
        EXPECT_EQ(keys.size(), 8u);
        for (const char* k : {"cmds", "serialNumber", "subtitle", "hsName"}) EXPECT_TRUE(keys[k].is_null()) << k;
        EXPECT_EQ(keys["type"], text("position"));
        EXPECT_EQ(keys["url"].is_null(), !url);

        auto back = KeyedArchiver::unarchiveObjectWithData(data)->objectAs<QuickAction>();
        ASSERT_TRUE(back);
        EXPECT_EQ(back->type, Type::Position);
        EXPECT_EQ(back->URL(), url);
        EXPECT_FALSE(back->commands() || back->serialNo() || back->subtitle() || back->hsName());
    }
}

TEST(QuickActionCoding, RequiredFieldsDecideWhetherAnEntryDecodes) {
    const struct {
        const char* key;
        Value value;  // a JSON null member stands for the null object; "drop" removes the key
    } failing[] = {
        {"uuid", "drop"}, {"uuid", nullptr}, {"uuid", number(1)}, {"title", "drop"}, {"title", texts({text("x")})},
        {"type", "drop"}, {"type", text("Position")}, {"type", text("command ")}, {"type", text("")},
        {"type", number(0)},
    };
    for (const auto& c : failing) {
        Value keys = validKeys();
        if (c.value == "drop") keys.erase(c.key);
        else keys[c.key] = c.value;
        EXPECT_FALSE(decodeOne(keys)) << c.key << " = " << c.value.dump();
    }
    EXPECT_TRUE(decodeOne(validKeys()));
}

TEST(QuickActionCoding, WrongOptionalFieldsReadAsAbsent) {
    Value keys = validKeys();
    keys["cmds"] = texts({text("/a"), text("/b"), number(3)});
    keys["serialNumber"] = number(504);
    keys["url"] = texts({text("kivano://")});
    keys["subtitle"] = Value{{"$class", "Boolean"}, {"value", true}};
    keys.erase("hsName");
    auto a = decodeOne(keys);
    ASSERT_TRUE(a);
    EXPECT_FALSE(a->commands());
    EXPECT_FALSE(a->serialNo());
    EXPECT_FALSE(a->URL());
    EXPECT_FALSE(a->subtitle());
    EXPECT_FALSE(a->hsName());

    keys["cmds"] = text("/single");
    EXPECT_FALSE(decodeOne(keys)->commands());
}

TEST(QuickActionCoding, TypeRawValues) {
    EXPECT_EQ(QuickAction::typeFromRawValue("command"), Type::Command);
    EXPECT_EQ(QuickAction::typeFromRawValue("position"), Type::Position);
    for (const char* raw : {"Command", "command ", "POSITION", ""}) EXPECT_FALSE(QuickAction::typeFromRawValue(raw)) << raw;
    EXPECT_STREQ(QuickAction::rawValue(Type::Command), "command");
    EXPECT_STREQ(QuickAction::rawValue(Type::Position), "position");
}
