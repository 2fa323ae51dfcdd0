// The keychain store and the controller information store when no Secret Service can be reached.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "platform/notification_center.h"
#include "platform/paths.h"
#include "plugins/services/HubstationInfoStore.h"
#include "plugins/standard/KCKeychain.h"
#include "tests/support/recording_delegate.h"
#include "tests/support/test_util.h"

using platform::Value;

namespace {

class NoSecretService : public ::testing::Environment {
public:
    void SetUp() override {
        // A bus address that leads nowhere, and no display to start a bus from.
        setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kivano-test-bus", 1);
        unsetenv("DISPLAY");
    }
};
[[maybe_unused]] auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new NoSecretService);

// Whether any file below the folder holds the text.
bool anyFileHolds(const std::string& folder, const std::string& text) {
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) break;
        if (!it->is_regular_file(ec)) continue;
        if (testutil::readFile(it->path().string()).find(text) != std::string::npos) return true;
    }
    return false;
}

}  // namespace

TEST(KeychainUnavailable, EveryCallAnswersNoOrNothingAndLogsOneLine) {
    testutil::LogCapture log;
    EXPECT_FALSE(KCKeychain::saveValue(Value{{"password", "pw-4711-unreachable"}}, "K"));
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_FALSE(KCKeychain::loadValueForKey("K"));
    EXPECT_EQ(KCKeychain::lastLoadStatus(), KCKeychainLoadStatus::Unavailable);
    EXPECT_EQ(log.lines().size(), 2u);
    EXPECT_FALSE(KCKeychain::deleteValueForKey("K"));
    EXPECT_EQ(log.lines().size(), 3u);
    for (const auto& l : log.lines()) EXPECT_NE(l.find("no Secret Service"), std::string::npos) << l;
}

TEST(KeychainUnavailable, InformationStoreAnswersErrorForUpdateAndWritesTheSecretNowhere) {
    HubstationInfoStore store(nullptr);
    testutil::RecordingDelegate delegate;
    int notices = 0;
    platform::NotificationCenter::defaultCenter().addObserver(&notices, kHubstationInfoStoreDataChangedNotification, nullptr,
                                                              [&](const platform::Notification&) { ++notices; });
    const Value record{{"mac", "504F94A0C0DE"}, {"username", "u"}, {"password", "pw-4711-unreachable"},
                       {"publicKey", "k"}, {"configVersion", "1"}};
    auto update = delegate.call(store, "update", Value::array({record}));
    platform::NotificationCenter::defaultCenter().removeObserver(&notices);
    EXPECT_EQ(update.status(), WHCommandStatus_ERROR);
    EXPECT_FALSE(update.message());
    EXPECT_EQ(notices, 0);

    auto read = delegate.call(store, "read", Value::array({"504F94A0C0DE"}));
    EXPECT_EQ(read.status(), WHCommandStatus_OK);
    EXPECT_EQ(read.message(), Value(nullptr));
    EXPECT_EQ(delegate.call(store, "clear", Value::array({"504F94A0C0DE"})).status(), WHCommandStatus_OK);

    EXPECT_FALSE(anyFileHolds(platform::homeDir(), "pw-4711-unreachable"));
}
