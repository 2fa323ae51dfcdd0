// The quick-actions plug-in: setItems acceptance, getItems, the stored value and the notice.
#include <gtest/gtest.h>

#include "platform/notification_center.h"
#include "platform/user_defaults.h"
#include "plugins/services/QuickActions.h"
#include "tests/support/recording_delegate.h"
#include "tests/support/test_util.h"

using platform::Value;

namespace {

struct NoticeCounter {
    explicit NoticeCounter(const char* name) {
        platform::NotificationCenter::defaultCenter().addObserver(this, name, nullptr, [this](const platform::Notification& n) {
            notices.push_back(n);
        });
    }
    ~NoticeCounter() { platform::NotificationCenter::defaultCenter().removeObserver(this); }
    std::vector<platform::Notification> notices;
};

class QuickActionsTest : public ::testing::Test {
protected:
    void SetUp() override { platform::UserDefaults::standard().remove(kQuickActionsKey); }

    testutil::RecordedResult setItems(Value args) { return delegate.call(plugin, "setItems", std::move(args)); }
    Value getItems() {
        auto a = delegate.call(plugin, "getItems", Value::array());
        EXPECT_EQ(a.status(), WHCommandStatus_OK);
        EXPECT_TRUE(a.message() && a.message()->is_array());
        return a.message().value_or(Value());
    }
    Value roundTrip(const Value& entry) {
        auto a = setItems(Value::array({Value::array({entry})}));
        EXPECT_EQ(a.status(), WHCommandStatus_OK);
        return getItems();
    }

    QuickActions plugin{nullptr};
    testutil::RecordingDelegate delegate;
};

}  // namespace

TEST_F(QuickActionsTest, SetItemsAcceptsEntriesByTheirFields) {
    const Value cmds = Value::array({"/dev/sps/io/1/on"});
    const struct {
        const char* name;
        Value entry;
        Value stored;  // what getItems gives back, null when the entry is dropped
    } cases[] = {
        {"location, no serial needed", {{"uuid", "u"}, {"title", "t"}, {"url", "kivano://?loc=1"}},
         {{"uuid", "u"}, {"title", "t"}, {"url", "kivano://?loc=1"}}},
        {"command without serial", {{"uuid", "u"}, {"title", "t"}, {"cmds", cmds}}, nullptr},
        {"command keeps its url",
         {{"uuid", "u"}, {"title", "t"}, {"cmds", cmds}, {"url", "kivano://x"}, {"serialNumber", "S"}},
         {{"uuid", "u"}, {"title", "t"}, {"cmds", cmds}, {"url", "kivano://x"}, {"serialNumber", "S"}}},
        {"location keeps its serial", {{"uuid", "u"}, {"title", "t"}, {"url", "kivano://x"}, {"serialNumber", "S"}},
         {{"uuid", "u"}, {"title", "t"}, {"url", "kivano://x"}, {"serialNumber", "S"}}},
        {"number among cmds, no url", {{"uuid", "u"}, {"title", "t"}, {"cmds", {"/a", 1}}, {"serialNumber", "S"}}, nullptr},
        {"number among cmds, with url",
         {{"uuid", "u"}, {"title", "t"}, {"cmds", {"/a", 1}}, {"url", "kivano://x"}, {"serialNumber", "S"}},
         {{"uuid", "u"}, {"title", "t"}, {"url", "kivano://x"}, {"serialNumber", "S"}}},
        {"empty cmds", {{"uuid", "u"}, {"title", "t"}, {"cmds", Value::array()}, {"serialNumber", "S"}},
         {{"uuid", "u"}, {"title", "t"}, {"cmds", Value::array()}, {"serialNumber", "S"}}},
        {"non-text subtitle dropped", {{"uuid", "u"}, {"title", "t"}, {"url", "kivano://x"}, {"subtitle", 5}, {"hsName", "Home"}},
         {{"uuid", "u"}, {"title", "t"}, {"url", "kivano://x"}, {"hsName", "Home"}}},
        {"null url, no cmds", {{"uuid", "u"}, {"title", "t"}, {"url", nullptr}}, nullptr},
        {"no uuid", {{"title", "t"}, {"url", "kivano://x"}}, nullptr},
        {"numeric uuid", {{"uuid", 7}, {"title", "t"}, {"url", "kivano://x"}}, nullptr},
        {"no title", {{"uuid", "u"}, {"url", "kivano://x"}}, nullptr},
        {"cmds as one text", {{"uuid", "u"}, {"title", "t"}, {"cmds", "/a"}, {"serialNumber", "S"}}, nullptr},
        {"type is not read", {{"uuid", "u"}, {"title", "t"}, {"type", "command"}, {"url", "kivano://x"}},
         {{"uuid", "u"}, {"title", "t"}, {"url", "kivano://x"}}},
        {"reserved uuid is like any other", {{"uuid", kQuickActionsDefaultUUID}, {"title", "t"}, {"url", "kivano://x"}},
         {{"uuid", kQuickActionsDefaultUUID}, {"title", "t"}, {"url", "kivano://x"}}},
    };
    for (const auto& c : cases) {
        Value got = roundTrip(c.entry);
        EXPECT_EQ(got, c.stored.is_null() ? Value::array() : Value::array({c.stored})) << c.name;
    }
}

TEST_F(QuickActionsTest, MalformedArgumentStoresAnEmptyListAndStillAnnounces) {
    const Value good = {{"uuid", "u"}, {"title", "t"}, {"url", "kivano://x"}};
    const struct {
        const char* name;
        Value args;
    } cases[] = {
        {"no argument", Value::array()},
        {"empty array", Value::array({Value::array()})},
        {"not an array", Value::array({good})},
        {"null", Value::array({nullptr})},
        {"one element not a dictionary", Value::array({Value::array({good, "x"})})},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(setItems(Value::array({Value::array({good})})).status(), WHCommandStatus_OK);
        ASSERT_EQ(getItems().size(), 1u);
        NoticeCounter notices(kQuickActionsChangedNotification);
        auto a = setItems(c.args);
        EXPECT_EQ(a.status(), WHCommandStatus_OK) << c.name;
        EXPECT_FALSE(a.message()) << c.name;
        EXPECT_EQ(notices.notices.size(), 1u) << c.name;
        EXPECT_EQ(getItems(), Value::array()) << c.name;
        auto stored = platform::UserDefaults::standard().object(kQuickActionsKey);
        EXPECT_TRUE(stored && platform::isBytes(*stored)) << c.name;
    }
}

TEST_F(QuickActionsTest, ListIsStoredAsDataInOrderAndAnnounced) {
    Value entries = Value::array();
    for (int i = 0; i < 5; ++i) {
        entries.push_back({{"uuid", "u" + std::to_string(i)}, {"title", "t"}, {"cmds", {"/c"}}, {"serialNumber", "S"}});
    }
    entries.push_back({{"uuid", "dropped"}, {"title", "t"}});
    NoticeCounter notices(kQuickActionsChangedNotification);
    std::size_t seenByObserver = 0;
    platform::NotificationCenter::defaultCenter().addObserver(&seenByObserver, kQuickActionsChangedNotification, nullptr,
                                                              [&](const platform::Notification&) {
                                                                  auto list = QuickActions::storedQuickActions();
                                                                  seenByObserver = list ? list->size() : 0;
                                                              });
    auto a = setItems(Value::array({entries}));
    platform::NotificationCenter::defaultCenter().removeObserver(&seenByObserver);
    EXPECT_EQ(a.status(), WHCommandStatus_OK);
    EXPECT_EQ(a.callbackId, "cb-setItems");
    ASSERT_EQ(notices.notices.size(), 1u);
    EXPECT_EQ(notices.notices[0].object, nullptr);
    EXPECT_TRUE(notices.notices[0].userInfo.is_null());
    EXPECT_EQ(seenByObserver, 5u);  // the observer runs after the list is stored

    Value got = getItems();
    ASSERT_EQ(got.size(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(got[i]["uuid"], "u" + std::to_string(i));
    for (const auto& e : got) EXPECT_FALSE(e.contains("type"));

    // The value survives a fresh read of the defaults file once synchronised at termination.
    plugin.onAppTerminate();
    platform::UserDefaults::standard().reset();
    auto stored = platform::UserDefaults::standard().dataForKey(kQuickActionsKey);
    ASSERT_TRUE(stored);
    EXPECT_EQ(getItems(), got);
}

TEST_F(QuickActionsTest, GetItemsAnswersEmptyForMissingOrDamagedValues) {
    using platform::ArchiveObject;
    auto archive = [](const ArchiveObject& root) { return platform::makeBytes(platform::KeyedArchiver::archivedDataWithRootObject(root)); };
    auto action = std::make_shared<QuickAction>("U", "T", "kivano://x");
    const struct {
        const char* name;
        Value stored;  // null: nothing stored
    } cases[] = {
        {"nothing stored", nullptr},
        {"a text, not data", "QuickActions"},
        {"an array, not data", Value::array({{{"uuid", "u"}}})},
        {"data, not an archive", platform::makeBytes({'x', 0, 0xff})},
        {"archive of a dictionary", archive(ArchiveObject(Value{{"uuid", "u"}}))},
        {"archive of one quick action, no array", archive(ArchiveObject(action))},
        {"array holding a text beside a quick action", archive(ArchiveObject::array({ArchiveObject(action), ArchiveObject(Value("x"))}))},
    };
    for (const auto& c : cases) {
        platform::UserDefaults::standard().set(kQuickActionsKey, c.stored);
        EXPECT_EQ(getItems(), Value::array()) << c.name;
        // The stored value is left as it was.
        auto now = platform::UserDefaults::standard().object(kQuickActionsKey);
        EXPECT_EQ(now ? *now : Value(), c.stored) << c.name;
    }
}

TEST_F(QuickActionsTest, AnEntryThatDoesNotDecodeIsLeftOutOfTheList) {
    Value doc{{"archiver", "KivanoKeyedArchive"},
              {"version", 1},
              {"root",
               {{"$class", "Array"},
                {"items",
                 {{{"$class", "QuickAction"},
                   {"keys", {{"uuid", {{"$class", "String"}, {"value", "bad"}}}, {"title", {{"$class", "String"}, {"value", "t"}}},
                             {"type", {{"$class", "String"}, {"value", "Position"}}}}}},
                  {{"$class", "QuickAction"},
                   {"keys", {{"uuid", {{"$class", "String"}, {"value", "good"}}}, {"title", {{"$class", "String"}, {"value", "t"}}},
                             {"type", {{"$class", "String"}, {"value", "position"}}}}}}}}}}};
    std::string text = doc.dump();
    platform::UserDefaults::standard().set(kQuickActionsKey, platform::makeBytes(platform::Bytes(text.begin(), text.end())));
    EXPECT_EQ(getItems(), Value::array({{{"uuid", "good"}, {"title", "t"}}}));
}
