// Call and result records, result scripts and the values that cross the bridge.
#include <gtest/gtest.h>

#include <cmath>

#include "bridge/WHCommandDelegateImpl.h"
#include "bridge/WHOutOfBandBytes.h"
#include "bridge/WHInvokedUrlCommand.h"
#include "bridge/WHPluginResult.h"
#include "platform/value.h"
#include "tests/support/test_util.h"

using platform::Value;

TEST(InvokedUrlCommand, ArgumentAtIndexFallsBackToTheDefault) {
    WHInvokedUrlCommand c(Value::parse(R"(["text", 5, true, null, [1], {"k": 1}])"), "cb1", "Svc", "act");
    struct Case {
        std::size_t index;
        ArgKind kind;
        bool expectDefault;
    } cases[] = {
        {0, ArgKind::String, false}, {0, ArgKind::Number, true},     {1, ArgKind::Number, false},
        {2, ArgKind::Number, false}, {2, ArgKind::Boolean, false},   {1, ArgKind::Boolean, true},
        {3, ArgKind::Any, true},     {4, ArgKind::Array, false},     {5, ArgKind::Dictionary, false},
        {5, ArgKind::Array, true},   {6, ArgKind::Any, true},        {99, ArgKind::String, true},
    };
    for (const auto& k : cases) {
        Value got = c.argumentAtIndex(k.index, "DEFAULT", k.kind);
        EXPECT_EQ(got == Value("DEFAULT"), k.expectDefault) << "index " << k.index;
    }
}

TEST(InvokedUrlCommand, ArrayBufferArgumentsBecomeBytes) {
    WHInvokedUrlCommand c(Value::parse(R"([
        {"WHType": "ArrayBuffer", "data": "AAEC"},
        {"WHType": "ArrayBuffer"},
        {"WHType": "Other", "data": "AAEC"},
        {"WHType": "ArrayBuffer", "data": "AA EC"},
        {"WHType": "ArrayBuffer", "data": ""},
        {"nested": {"WHType": "ArrayBuffer", "data": "AAEC"}}
    ])"),
                          std::nullopt, "S", "a");
    const Value& a = c.arguments();
    ASSERT_TRUE(a[0].is_binary());
    EXPECT_EQ(platform::bytesOf(a[0]), (platform::Bytes{0, 1, 2}));
    EXPECT_TRUE(a[1].is_object());
    EXPECT_TRUE(a[2].is_object());
    EXPECT_TRUE(a[3].is_object()) << "lenient Base64 is refused";
    ASSERT_TRUE(a[4].is_binary());
    EXPECT_TRUE(platform::bytesOf(a[4]).empty());
    EXPECT_TRUE(a[5]["nested"].is_object());
}

TEST(InvokedUrlCommand, FromJson) {
    auto c = WHInvokedUrlCommand::commandFromJson(Value::parse(R"([null, "Device", "getInfo", [1]])"));
    ASSERT_TRUE(c);
    EXPECT_FALSE(c->callbackId());
    EXPECT_EQ(c->cmdClassName(), "Device");
    EXPECT_EQ(c->methodName(), "getInfo");
    EXPECT_FALSE(WHInvokedUrlCommand::commandFromJson(Value::parse(R"(["a", 1, "x", []])")));
}

TEST(Base64, StrictDecoding) {
    struct Case {
        const char* text;
        bool ok;
    } cases[] = {{"", true},      {"AA==", true},    {"AAE=", true},  {"AAEC", true},  {"AA=", false},
                 {"A===", false}, {"AA==AA==", false}, {"AAE", false}, {"AA\nEC", false}, {"AB==", false},
                 {"AA*C", false}};
    for (const auto& k : cases) EXPECT_EQ(platform::base64DecodeStrict(k.text).has_value(), k.ok) << k.text;
    platform::Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(*platform::base64DecodeStrict(platform::base64Encode(all)), all);
}

static std::string nestedText(std::size_t levels, const std::string& inner = "") {
    return std::string(levels, '[') + inner + std::string(levels, ']');
}

TEST(ValueDepth, DeepTextsAreRefusedBeforeParsing) {
    const std::size_t max = platform::kMaxValueDepth;
    struct Case {
        std::string name;
        std::string text;
        bool parses;
    } cases[] = {
        {"at the limit", nestedText(max), true},
        {"one deeper", nestedText(max + 1), false},
        {"objects count", std::string(max, '[') + "{\"k\":[]}" + std::string(max, ']'), false},
        {"very deep", nestedText(300000), false},
        {"brackets in a text", "[\"" + std::string(5000, '[') + "\\\"{{\"]", true},
        {"deep but unbalanced", std::string(max + 1, '['), false},
        {"wide", "[" + [] { std::string t; for (int i = 0; i < 5000; ++i) t += "[1],"; return t; }() + "[]]", true},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(platform::parseJson(k.text).has_value(), k.parses);
    }
    EXPECT_TRUE(platform::parseJson(nestedText(10), 10));
    EXPECT_FALSE(platform::parseJson(nestedText(11), 10));
}

TEST(ValueDepth, DeepValuesAreNeitherWalkedNorWrittenRecursively) {
    // Built natively, deeper than any parse would give: measured and refused without recursion.
    Value v = Value::array();
    Value* innermost = &v;
    for (int i = 0; i < 100000; ++i) {
        innermost->push_back(Value::array());
        innermost = &innermost->back();
    }
    EXPECT_TRUE(platform::valueNestsDeeperThan(v, platform::kMaxValueDepth));
    EXPECT_EQ(platform::toJson(v), "null");
    EXPECT_FALSE(platform::containsBytes(v));
    testutil::LogCapture logs;
    EXPECT_FALSE(WHPluginResult::resultWithStatusMessageAsArray(WHCommandStatus_OK, std::move(v)).argumentsAsJSON());
    EXPECT_TRUE(logs.containsSubstring("NSArray JSONString error: Nesting deeper than"));

    // A result message may be as deep as it can still be written in every form.
    const std::size_t deepest = platform::kMaxValueDepth - 3;
    Value fits = *platform::parseJson(nestedText(deepest));
    EXPECT_FALSE(platform::valueNestsDeeperThan(fits, deepest));
    EXPECT_TRUE(platform::valueNestsDeeperThan(fits, deepest - 1));
    EXPECT_TRUE(WHPluginResult::resultWithStatusMessageAsArray(WHCommandStatus_OK, fits).argumentsAsJSON());
    auto multipart = WHPluginResult::resultWithStatusMessageAsMultipart(WHCommandStatus_OK, fits).argumentsAsJSON();
    ASSERT_TRUE(multipart);
    EXPECT_TRUE(platform::parseJson("[" + *multipart + "]"));
    EXPECT_FALSE(WHPluginResult::resultWithStatusMessageAsArray(WHCommandStatus_OK, Value::array({fits})).argumentsAsJSON());
    EXPECT_FALSE(platform::valueNestsDeeperThan(Value(1), 0));
}

TEST(PluginResult, MessagesAsScriptText) {
    struct Case {
        WHPluginResult result;
        const char* json;
    } cases[] = {
        {WHPluginResult::resultWithStatus(WHCommandStatus_OK), "null"},
        {WHPluginResult::resultWithStatusMessageAsBool(WHCommandStatus_OK, false), "false"},
        {WHPluginResult::resultWithStatus(WHCommandStatus_OK, "t\"x"), "\"t\\\"x\""},
        {WHPluginResult::resultWithStatusMessageAsInt(WHCommandStatus_OK, -3), "-3"},
        {WHPluginResult::resultWithStatusMessageAsArrayBuffer(WHCommandStatus_OK, {}), R"({"WHType":"ArrayBuffer","data":""})"},
        {WHPluginResult::resultWithStatusMessageAsArrayBuffer(WHCommandStatus_OK, {0xFF}), R"({"WHType":"ArrayBuffer","data":"/w=="})"},
        {WHPluginResult::resultWithStatusMessageAsMultipart(WHCommandStatus_OK, Value::array({"a", 1, platform::makeBytes({1})})),
         R"({"WHType":"MultiPart","messages":["a",1,{"WHType":"ArrayBuffer","data":"AQ=="}]})"},
        {WHPluginResult::resultWithStatusMessageToErrorObject(WHCommandStatus_ERROR, 5), R"({"code":5})"},
    };
    for (const auto& k : cases) {
        auto text = k.result.argumentsAsJSON();
        ASSERT_TRUE(text);
        EXPECT_EQ(Value::parse(*text), Value::parse(k.json)) << *text;
    }
}

// Page bytes where they cannot go outside the messages become the message they stand for.
TEST(PluginResult, PageBytesMadeIntoMessages) {
    const Bytes text{'h', 0xC3, 0xA9, 0x00, '!'}, notText{'a', 0xFF}, high{0x00, 0x7F, 0x80, 0xFF};
    struct Case {
        Bytes bytes;
        WHPageBytesForm form;
        unsigned status;
        Value message;
    } cases[] = {
        {high, WHPageBytesForm::ArrayBuffer, 1, Value{{"WHType", "ArrayBuffer"}, {"data", "AH+A/w=="}}},
        {high, WHPageBytesForm::Base64Text, 1, "AH+A/w=="},
        {high, WHPageBytesForm::DataURL, 1, "data:image/png;base64,AH+A/w=="},
        {text, WHPageBytesForm::UTF8Text, 1, std::string("h\xC3\xA9\0!", 5)},
        {notText, WHPageBytesForm::UTF8Text, 6, 5},
        {high, WHPageBytesForm::BinaryString, 1, std::string("\0\x7F\xC2\x80\xC3\xBF", 6)},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(static_cast<int>(k.form));
        auto bytes = WHPageBytes::forMemory(k.bytes);
        ASSERT_TRUE(bytes);
        auto r = WHPluginResult::resultWithStatusMessageAsPageBytes(WHCommandStatus_OK, bytes, k.form, "image/png",
                                                                   WHCommandStatus_IO_EXCEPTION, 5);
        r.setKeepCallbackAsBool(true);
        auto entry = platform::parseJson(WHCommandDelegateImpl::resultEntry(r.materialized(), "cb"));
        ASSERT_TRUE(entry);
        EXPECT_EQ(*entry, Value::array({"cb", k.status, k.message, 1}));
        EXPECT_TRUE(bytes->waitUntilDelivered(0.1)) << "made into a message, they count as delivered";
    }
    // Bytes that never reach the page end the wait without it.
    auto dropped = WHPageBytes::forMemory(high);
    dropped->handedOver();
    EXPECT_FALSE(dropped->waitUntilDelivered(5));
}

TEST(PluginResult, UnwritableMessageLogsAndSendsNull) {
    testutil::LogCapture logs;
    auto r = WHPluginResult::resultWithStatusMessageAsArray(WHCommandStatus_OK, Value::array({platform::makeBytes({1})}));
    EXPECT_FALSE(r.argumentsAsJSON());
    auto n = WHPluginResult::resultWithStatusMessageAsDouble(WHCommandStatus_OK, std::nan(""));
    EXPECT_FALSE(n.argumentsAsJSON());
    EXPECT_TRUE(logs.containsSubstring("NSArray JSONString error: "));
    EXPECT_EQ(WHCommandDelegateImpl::resultEntry(n, "c"), "[\"c\",1,null,0]");
}

TEST(PluginResult, InvalidUtf8IsReplacedNotThrown) {
    auto r = WHPluginResult::resultWithStatus(WHCommandStatus_OK, std::string("bad\xFF\xFEname"));
    auto text = r.argumentsAsJSON();
    ASSERT_TRUE(text);
    EXPECT_EQ(Value::parse(*text), Value("bad\xEF\xBF\xBD\xEF\xBF\xBDname"));
}

TEST(ResultScript, ResultsGoAsOneCompactJsonCall) {
    auto kept = WHPluginResult::resultWithStatusMessageAsInt(WHCommandStatus_ERROR, 7);
    kept.setKeepCallbackAsBool(true);
    const std::string tricky = "a');alert(1);('\xE2\x80\xA8\xE2\x80\xA9\\\"";
    auto bytes = WHPluginResult::resultWithStatusMessageAsArrayBuffer(WHCommandStatus_OK, {0xFF});
    std::string call = WHCommandDelegateImpl::resultsCall({
        WHCommandDelegateImpl::resultEntry(kept, "File123"),
        WHCommandDelegateImpl::resultEntry(WHPluginResult::resultWithStatus(1), std::nullopt),
        WHCommandDelegateImpl::resultEntry(WHPluginResult::resultWithStatus(1, "x" + tricky), tricky),
        WHCommandDelegateImpl::resultEntry(bytes, "b"),
    });
    const std::string head = std::string(WHCommandDelegateImpl::kResultsFunction) + "([";
    ASSERT_EQ(call.rfind(head, 0), 0u) << call;
    EXPECT_EQ(call.substr(head.size(), 20), "[\"File123\",9,7,1],[\"");
    // One JSON value, no line breaks or raw line separators that a script would read otherwise.
    EXPECT_EQ(call.find('\n'), std::string::npos);
    EXPECT_EQ(call.find("\xE2\x80\xA8"), std::string::npos);
    EXPECT_EQ(call.find("\xE2\x80\xA9"), std::string::npos);
    auto parsed = platform::parseJson(call.substr(head.size() - 1, call.size() - head.size()));
    ASSERT_TRUE(parsed) << call;
    Value expected = Value::parse(R"J([["File123",9,7,1],["(null)",1,null,0],[],["b",1,{"WHType":"ArrayBuffer","data":"/w=="},0]])J");
    expected[2] = Value::array({tricky, 1, "x" + tricky, 0});
    EXPECT_EQ(*parsed, expected);
}

TEST(ParseJson, LoneSurrogatesBecomeReplacementCharacters) {
    auto v = platform::parseJson(R"(["a\ud800b", "\udc00", "\ud83d\ude00"])");
    ASSERT_TRUE(v);
    EXPECT_EQ((*v)[0], "a\xEF\xBF\xBD" "b");
    EXPECT_EQ((*v)[1], "\xEF\xBF\xBD");
    EXPECT_EQ((*v)[2], "\xF0\x9F\x98\x80");
}
