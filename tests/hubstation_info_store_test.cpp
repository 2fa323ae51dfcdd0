// needs: bus keyring
// The controller information store over the harness's keyring.
#include <gtest/gtest.h>

#include "platform/notification_center.h"
#include "plugins/services/HubstationInfoStore.h"
#include "plugins/standard/KCKeychain.h"
#include "tests/support/recording_delegate.h"
#include "tests/support/keyring_control.h"

using platform::Value;

namespace {

struct Notices {
    Notices() {
        platform::NotificationCenter::defaultCenter().addObserver(
            this, kHubstationInfoStoreDataChangedNotification, nullptr,
            [this](const platform::Notification& n) { seen.push_back(n); });
    }
    ~Notices() { platform::NotificationCenter::defaultCenter().removeObserver(this); }
    std::vector<platform::Notification> seen;
};

const char* const kSerial = "504F94A0C0DE";

Value required(const std::string& serial = kSerial) {
    return Value{{"mac", serial}, {"username", "admin"}, {"password", "secret"}, {"publicKey", "PK"}, {"configVersion", "12"}};
}
Value with(Value v, const Value& extra) {
    for (auto it = extra.begin(); it != extra.end(); ++it) v[it.key()] = it.value();
    return v;
}
Value without(Value v, const char* key) {
    v.erase(key);
    return v;
}

std::optional<Value> stored(const std::string& serial = kSerial) {
    auto v = KCKeychain::loadValueForKey(serial);
    if (!v) return std::nullopt;
    return v->plainValue();
}

class HubstationInfoStoreTest : public ::testing::Test {
protected:
    void SetUp() override { KCKeychain::deleteValueForKey(kSerial); }
    void TearDown() override { KCKeychain::deleteValueForKey(kSerial); }
    testutil::RecordedResult call(const char* action, Value args) {
        return delegate.call(store, action, std::move(args));
    }

    HubstationInfoStore store{nullptr};
    testutil::RecordingDelegate delegate;
};

}  // namespace

TEST_F(HubstationInfoStoreTest, UpdateMergesOverTheStoredRecordOrRefusesBadInput) {
    const Value before = with(required(), {{"remoteUrl", "remote.example:443"}, {"localUrl", "10.0.0.1"}, {"extra", "kept"}});
    const struct {
        const char* name;
        Value args;
        std::optional<Value> after;  // nothing: the stored record stays as it was, no notification
    } cases[] = {
        {"optional key changed, others kept", Value::array({with(required(), {{"localUrl", "10.0.0.2"}})}),
         with(before, {{"localUrl", "10.0.0.2"}})},
        {"required keys replaced", Value::array({with(required(), {{"password", "new"}, {"username", "u2"}})}),
         with(before, {{"password", "new"}, {"username", "u2"}})},
        {"empty password is a value", Value::array({with(required(), {{"password", ""}})}), with(before, {{"password", ""}})},
        {"all optional keys", Value::array({with(required(), {{"remoteUrl", "r"}, {"localSecuredDetails", "l"}, {"remoteSecuredDetails", "s"}})}),
         with(before, {{"remoteUrl", "r"}, {"localSecuredDetails", "l"}, {"remoteSecuredDetails", "s"}})},
        {"tenth key not taken", Value::array({with(required(), {{"colour", "blue"}})}), before},
        {"later arguments ignored", Value::array({required(), "more", 3}), before},
        {"number among values", Value::array({with(required(), {{"configVersion", 12}})}), std::nullopt},
        {"null among values", Value::array({with(required(), {{"localUrl", nullptr}})}), std::nullopt},
        {"no configVersion", Value::array({without(required(), "configVersion")}), std::nullopt},
        {"no mac", Value::array({without(required(), "mac")}), std::nullopt},
        {"no publicKey", Value::array({without(required(), "publicKey")}), std::nullopt},
        {"argument not an object", Value::array({"504F94A0C0DE"}), std::nullopt},
        {"no argument", Value::array(), std::nullopt},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(KCKeychain::saveValue(before, kSerial));
        Notices notices;
        auto a = call("update", c.args);
        EXPECT_EQ(a.status(), WHCommandStatus_OK) << c.name;
        EXPECT_FALSE(a.message()) << c.name;
        EXPECT_EQ(a.callbackId, "cb-update");
        EXPECT_EQ(stored(), c.after ? *c.after : before) << c.name;
        ASSERT_EQ(notices.seen.size(), c.after ? 1u : 0u) << c.name;
        if (c.after) {
            EXPECT_EQ(notices.seen[0].object, &store);
            EXPECT_EQ(notices.seen[0].userInfo, (Value{{"serialNo", kSerial}}));
        }
    }
}

TEST_F(HubstationInfoStoreTest, FirstUpdateStoresANewRecordBeforeTheObserversRun) {
    Notices notices;
    std::optional<Value> seenByObserver;
    platform::NotificationCenter::defaultCenter().addObserver(
        &seenByObserver, kHubstationInfoStoreDataChangedNotification, nullptr,
        [&](const platform::Notification& n) { seenByObserver = HubstationInfoStore::storedRecord(n.userInfo["serialNo"]); });
    auto a = call("update", Value::array({with(required(), {{"localUrl", "10.0.0.9"}})}));
    platform::NotificationCenter::defaultCenter().removeObserver(&seenByObserver);
    EXPECT_EQ(a.status(), WHCommandStatus_OK);
    EXPECT_EQ(seenByObserver, with(required(), {{"localUrl", "10.0.0.9"}}));
    EXPECT_EQ(notices.seen.size(), 1u);
}

TEST_F(HubstationInfoStoreTest, UpdateReplacesAForeignValue) {
    ASSERT_TRUE(KCKeychain::saveValue(Value{{"mac", kSerial}, {"port", 80}}, kSerial));
    EXPECT_EQ(call("update", Value::array({required()})).status(), WHCommandStatus_OK);
    EXPECT_EQ(stored(), required());
}

TEST_F(HubstationInfoStoreTest, ReadAndClear) {
    const struct {
        const char* action;
        Value args;
        int status;
        std::optional<Value> message;
    } badArguments[] = {
        {"read", Value::array({504}), WHCommandStatus_ERROR, std::nullopt},
        {"read", Value::array(), WHCommandStatus_ERROR, std::nullopt},
        {"read", Value::array({nullptr}), WHCommandStatus_ERROR, std::nullopt},
        {"clear", Value::array({Value::object()}), WHCommandStatus_ERROR, std::nullopt},
        {"clear", Value::array(), WHCommandStatus_ERROR, std::nullopt},
        {"read", Value::array({"never-stored"}), WHCommandStatus_OK, Value(nullptr)},
        {"clear", Value::array({"never-stored"}), WHCommandStatus_OK, std::nullopt},
    };
    for (const auto& c : badArguments) {
        auto a = call(c.action, c.args);
        EXPECT_EQ(a.status(), c.status) << c.action << " " << c.args.dump();
        EXPECT_EQ(a.message(), c.message) << c.action << " " << c.args.dump();
    }

    Notices notices;
    const Value record = with(required(), {{"extra", "kept"}});
    ASSERT_TRUE(KCKeychain::saveValue(record, kSerial));
    auto r = call("read", Value::array({kSerial, "ignored"}));
    EXPECT_EQ(r.status(), WHCommandStatus_OK);
    EXPECT_EQ(r.message(), record);

    ASSERT_TRUE(KCKeychain::saveValue(Value::array({"not", "a", "record"}), kSerial));
    EXPECT_EQ(call("read", Value::array({kSerial})).message(), Value(nullptr));

    auto c = call("clear", Value::array({kSerial}));
    EXPECT_EQ(c.status(), WHCommandStatus_OK);
    EXPECT_FALSE(c.message());
    EXPECT_FALSE(stored());
    EXPECT_TRUE(notices.seen.empty());
}

TEST_F(HubstationInfoStoreTest, UpdateOnALockedKeyringAnswersErrorAndKeepsTheRecord) {
    const Value before = with(required(), {{"remoteUrl", "remote.example:443"}});
    ASSERT_TRUE(KCKeychain::saveValue(before, kSerial));
    ASSERT_TRUE(testutil::lockDefaultKeyring());
    Notices notices;
    auto a = call("update", Value::array({with(required(), {{"password", "new"}})}));
    EXPECT_EQ(a.status(), WHCommandStatus_ERROR);
    EXPECT_FALSE(a.message());
    EXPECT_TRUE(notices.seen.empty());
    EXPECT_EQ(call("read", Value::array({kSerial})).message(), Value(nullptr));
    EXPECT_EQ(KCKeychain::lastLoadStatus(), KCKeychainLoadStatus::Locked);

    // A controller with no record yet: the load finds nothing, the save itself fails.
    auto fresh = call("update", Value::array({required("504F94A0FFFF")}));
    EXPECT_EQ(KCKeychain::lastLoadStatus(), KCKeychainLoadStatus::NotFound);
    EXPECT_EQ(fresh.status(), WHCommandStatus_ERROR);
    EXPECT_FALSE(fresh.message());
    EXPECT_TRUE(notices.seen.empty());

    ASSERT_TRUE(testutil::unlockDefaultKeyring());
    EXPECT_EQ(stored(), before);
}
