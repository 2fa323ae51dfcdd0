// needs: bus keyring
// KCKeychain against the harness's gnome-keyring-daemon.
#include <gtest/gtest.h>

#include "platform/keychain.h"
#include "plugins/standard/KCKeychain.h"
#include "tests/support/keyring_control.h"
#include "tests/support/test_util.h"

using platform::Value;

namespace {

std::map<std::string, std::string> ourAttributes(const std::string& key) {
    return {{"xdg:schema", "com.kivano.Tarragon"}, {"service", key}, {"account", key}};
}

std::optional<Value> loadPlain(const std::string& key) {
    auto v = KCKeychain::loadValueForKey(key);
    if (!v) return std::nullopt;
    return v->plainValue();
}

}  // namespace

TEST(KCKeychain, SaveTwiceLoadDeleteLoad) {
    const std::string key = "504F94A00001";
    const Value first{{"mac", key}, {"password", "one"}};
    const Value second{{"mac", key}, {"password", "two"}, {"localUrl", "192.168.1.7"}};

    EXPECT_FALSE(loadPlain(key));
    EXPECT_EQ(KCKeychain::lastLoadStatus(), KCKeychainLoadStatus::NotFound);

    ASSERT_TRUE(KCKeychain::saveValue(first, key));
    ASSERT_TRUE(KCKeychain::saveValue(second, key));
    auto items = testutil::keyringItems(ourAttributes(key));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_NE(items[0].label.find(key), std::string::npos);

    EXPECT_EQ(loadPlain(key), second);
    EXPECT_EQ(KCKeychain::lastLoadStatus(), KCKeychainLoadStatus::Found);

    EXPECT_TRUE(KCKeychain::deleteValueForKey(key));
    EXPECT_FALSE(loadPlain(key));
    EXPECT_EQ(KCKeychain::lastLoadStatus(), KCKeychainLoadStatus::NotFound);
    EXPECT_FALSE(KCKeychain::deleteValueForKey(key));
    EXPECT_TRUE(testutil::keyringItems(ourAttributes(key)).empty());
}

TEST(KCKeychain, KeysAreKeptApart) {
    ASSERT_TRUE(KCKeychain::saveValue(Value("a"), "key-a"));
    ASSERT_TRUE(KCKeychain::saveValue(Value("b"), "key-ab"));
    ASSERT_TRUE(KCKeychain::saveValue(Value("empty"), ""));
    EXPECT_EQ(loadPlain("key-a"), Value("a"));
    EXPECT_EQ(loadPlain("key-ab"), Value("b"));
    EXPECT_EQ(loadPlain(""), Value("empty"));
    EXPECT_TRUE(KCKeychain::deleteValueForKey("key-a"));
    EXPECT_EQ(loadPlain("key-ab"), Value("b"));
}

TEST(KCKeychain, ItemWhoseDataIsNoArchiveLoadsAsNothingAndIsLogged) {
    const std::string key = "foreign-data";
    const std::string junk = "bplist00\x01\x02 not ours";
    ASSERT_TRUE(platform::keychain::storeItem({key, key, std::nullopt}, "junk",
                                              platform::Bytes(junk.begin(), junk.end())) == platform::keychain::Status::Success);
    testutil::LogCapture log;
    EXPECT_FALSE(KCKeychain::loadValueForKey(key));
    EXPECT_EQ(KCKeychain::lastLoadStatus(), KCKeychainLoadStatus::Unreadable);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Unarchive of foreign-data failed: data is not a keyed archive");
    // It is still ours to replace and delete.
    EXPECT_TRUE(KCKeychain::saveValue(Value("ok"), key));
    EXPECT_EQ(loadPlain(key), Value("ok"));
    EXPECT_TRUE(KCKeychain::deleteValueForKey(key));
}

TEST(KCKeychain, ItemsOfOtherApplicationsAreNeitherReadNorTouched) {
    const std::string key = "shared-name";
    const std::string other = "other application's secret";
    ASSERT_TRUE(testutil::plantKeyringItem("org.example.Other", {{"service", key}, {"account", key}},
                                           platform::Bytes(other.begin(), other.end())));
    EXPECT_FALSE(KCKeychain::loadValueForKey(key));
    EXPECT_EQ(KCKeychain::lastLoadStatus(), KCKeychainLoadStatus::NotFound);
    EXPECT_FALSE(KCKeychain::deleteValueForKey(key));

    ASSERT_TRUE(KCKeychain::saveValue(Value("ours"), key));
    EXPECT_TRUE(KCKeychain::deleteValueForKey(key));
    auto left = testutil::keyringItems({{"service", key}, {"account", key}});
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].attributes["xdg:schema"], "org.example.Other");
    EXPECT_EQ(std::string(left[0].secret.begin(), left[0].secret.end()), other);
}

TEST(KCKeychain, LockedKeyringIsToldApartFromAMissingItemAndKeepsTheOldValue) {
    const std::string key = "locked-one";
    ASSERT_TRUE(KCKeychain::saveValue(Value{{"password", "old"}}, key));
    ASSERT_TRUE(testutil::lockDefaultKeyring());

    testutil::LogCapture log;
    EXPECT_FALSE(KCKeychain::loadValueForKey(key));
    EXPECT_EQ(KCKeychain::lastLoadStatus(), KCKeychainLoadStatus::Locked);
    EXPECT_FALSE(KCKeychain::saveValue(Value{{"password", "new"}}, key));
    EXPECT_FALSE(KCKeychain::deleteValueForKey(key));
    EXPECT_EQ(log.lines().size(), 3u);  // one line per refused call

    ASSERT_TRUE(testutil::unlockDefaultKeyring());
    EXPECT_EQ(loadPlain(key), (Value{{"password", "old"}}));
    EXPECT_TRUE(KCKeychain::deleteValueForKey(key));
}

TEST(KCKeychain, QueryAndAccessGroups) {
    Value q = KCKeychain::getKeychainQuery("K", std::nullopt);
    EXPECT_EQ(q, (Value{{"itemClass", "genericPassword"}, {"service", "K"}, {"account", "K"}, {"accessible", "afterFirstUnlock"}}));
    // No seed identifier exists on this platform: a group stands as given.
    EXPECT_EQ(KCKeychain::getBundleSeedIdentifier(), "");
    EXPECT_EQ(KCKeychain::getFullAppleIdentifier("com.kivano.shared"), "com.kivano.shared");
    EXPECT_EQ(KCKeychain::getKeychainQuery("K", std::string("grp"))["accessGroup"], "grp");

    ASSERT_TRUE(KCKeychain::saveValue(Value("in group"), "G", std::string("grp")));
    EXPECT_FALSE(KCKeychain::loadValueForKey("G", std::string("other-grp")));
    auto v = KCKeychain::loadValueForKey("G", std::string("grp"));
    ASSERT_TRUE(v);
    EXPECT_EQ(v->plainValue(), Value("in group"));
    EXPECT_TRUE(KCKeychain::deleteValueForKey("G", std::string("grp")));
}
