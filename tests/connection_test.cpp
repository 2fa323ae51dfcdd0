// Network state: the flag rules, and changes reaching the page through the kept callback.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "platform/dispatch.h"
#include "platform/reachability_source.h"
#include "plugins/standard/WHConnection.h"
#include "tests/support/recording_delegate.h"
#include "tests/support/test_util.h"

namespace {
constexpr platform::ReachabilityFlags kReachable = platform::kReachabilityFlagReachable;
constexpr platform::ReachabilityFlags kConnectionRequired = platform::kReachabilityFlagConnectionRequired;
constexpr platform::ReachabilityFlags kConnectionOnTraffic = platform::kReachabilityFlagConnectionOnTraffic;
constexpr platform::ReachabilityFlags kConnectionOnDemand = platform::kReachabilityFlagConnectionOnDemand;
constexpr platform::ReachabilityFlags kInterventionRequired = platform::kReachabilityFlagInterventionRequired;
constexpr platform::ReachabilityFlags kIsLocalAddress = platform::kReachabilityFlagIsLocalAddress;
constexpr platform::ReachabilityFlags kIsDirect = platform::kReachabilityFlagIsDirect;
void setSystemFlags(std::optional<platform::ReachabilityFlags> flags) {
    platform::ReachabilitySource::setSystemFlagsForTesting(flags);
}
}  // namespace

TEST(Reachability, FlagRules) {
    struct Case {
        platform::ReachabilityFlags flags;
        const char* type;
    } cases[] = {
        {0, "none"},
        {kReachable, "wifi"},
        {kReachable | kConnectionRequired, "none"},
        {kReachable | kConnectionRequired | kConnectionOnTraffic, "wifi"},
        {kReachable | kConnectionRequired | kConnectionOnTraffic | kInterventionRequired, "none"},
        {kReachable | kConnectionRequired | kConnectionOnDemand, "wifi"},
        {kReachable | kConnectionRequired | kConnectionOnDemand | kInterventionRequired, "none"},
        {kConnectionOnTraffic, "none"},
        {kReachable | kIsDirect, "wifi"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WHConnection::w3cConnectionTypeFor(WHReachability::networkStatusForFlags(c.flags)), c.type)
            << std::hex << c.flags;
    }
    EXPECT_EQ(WHConnection::w3cConnectionTypeFor(7), "unknown");

    EXPECT_EQ(WHReachability::localWiFiStatusForFlags(kReachable | kIsDirect), ReachableViaWiFi);
    EXPECT_EQ(WHReachability::localWiFiStatusForFlags(kReachable), NotReachable);
    EXPECT_EQ(WHReachability::localWiFiStatusForFlags(kIsDirect), NotReachable);
}

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::NotificationCenter::defaultCenter().addObserver(
            this, kNetworkReachabilityChangedNotification, nullptr, [this](const platform::Notification&) {
                ++changes;
                if (!platform::isMainThread()) offMainThread = true;
            });
    }
    void TearDown() override {
        platform::runMainLoopFor(0.05);
        platform::NotificationCenter::defaultCenter().removeObserver(this);
        setSystemFlags(std::nullopt);
        platform::runMainLoopFor(0.05);
    }
    // Injects the flags and waits until the change has been delivered.
    void change(platform::ReachabilityFlags flags) {
        int before = changes;
        setSystemFlags(flags);
        ASSERT_TRUE(testutil::spinUntil([&] { return changes > before; }, 5));
    }
    void start(platform::ReachabilityFlags flags) {
        setSystemFlags(flags);
        platform::runMainLoopFor(0.02);
        plugin.setCommandDelegate(&delegate);
        plugin.pluginInitialize();
    }

    testutil::RecordingDelegate delegate;
    WHConnection plugin{nullptr};
    std::atomic<int> changes{0};
    std::atomic<bool> offMainThread{false};
};

TEST_F(ConnectionTest, KeptCallbackHearsEveryChangeOfType) {
    start(kReachable | kIsDirect);
    EXPECT_EQ(plugin.connectionType, "wifi");
    testutil::callAction(plugin, "getConnectionInfo", Value::array(), "net1");
    ASSERT_EQ(delegate.count(), 1u);
    EXPECT_EQ(delegate.last().message(), "wifi");
    EXPECT_EQ(delegate.last().status(), WHCommandStatus_OK);
    EXPECT_TRUE(delegate.last().result.keepCallback());

    change(0);
    ASSERT_EQ(delegate.count(), 2u);
    EXPECT_EQ(delegate.last().message(), "none");
    EXPECT_EQ(delegate.last().callbackId, "net1");
    EXPECT_TRUE(delegate.last().result.keepCallback());

    change(kReachable | kConnectionRequired | kConnectionOnTraffic);
    ASSERT_EQ(delegate.count(), 3u);
    EXPECT_EQ(delegate.last().message(), "wifi");
}

TEST_F(ConnectionTest, ChangeThatKeepsTheTypeSendsNothing) {
    start(kReachable | kIsDirect);
    testutil::callAction(plugin, "getConnectionInfo");
    change(kReachable);  // other flags, still "wifi"
    change(kReachable | kIsDirect);
    EXPECT_EQ(delegate.count(), 1u);
    change(kReachable | kConnectionRequired);  // "none"
    change(0);                                 // still "none"
    EXPECT_EQ(delegate.count(), 2u);
}

TEST_F(ConnectionTest, OnlyTheLatestCallerHearsOfChanges) {
    start(0);
    testutil::callAction(plugin, "getConnectionInfo", Value::array(), "first");
    testutil::callAction(plugin, "getConnectionInfo", Value::array(), "second");
    auto results = delegate.results();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].callbackId, "first");
    EXPECT_EQ(results[0].message(), "none");
    EXPECT_EQ(results[1].callbackId, "second");

    change(kReachable | kIsDirect);
    ASSERT_EQ(delegate.count(), 3u);
    EXPECT_EQ(delegate.last().callbackId, "second");
    EXPECT_EQ(delegate.last().message(), "wifi");
}

TEST_F(ConnectionTest, ChangesBeforeAnyCallAreKeptNotSent) {
    start(kReachable | kIsDirect);
    change(0);
    EXPECT_EQ(delegate.count(), 0u);
    testutil::callAction(plugin, "getConnectionInfo");
    EXPECT_EQ(delegate.last().message(), "none");
}

TEST_F(ConnectionTest, ChangesFromAnotherThreadArriveOnTheMainThread) {
    start(kReachable | kIsDirect);
    testutil::callAction(plugin, "getConnectionInfo");
    std::thread([] { setSystemFlags(0); }).join();
    ASSERT_TRUE(testutil::spinUntil([&] { return delegate.count() == 2; }, 5));
    EXPECT_FALSE(offMainThread);
    EXPECT_EQ(delegate.last().message(), "none");
}

TEST_F(ConnectionTest, StoppedAndDestroyedObjectsAreNotReported) {
    setSystemFlags(kReachable);
    platform::runMainLoopFor(0.02);
    auto reach = WHReachability::reachabilityForInternetConnection();
    ASSERT_TRUE(reach);
    ASSERT_TRUE(reach->startNotifier());
    change(0);
    EXPECT_EQ(changes, 1);
    reach->stopNotifier();
    setSystemFlags(kReachable);
    platform::runMainLoopFor(0.1);
    EXPECT_EQ(changes, 1);

    reach->startNotifier();
    setSystemFlags(0);  // queued, delivered after the object is gone
    reach.reset();
    platform::runMainLoopFor(0.1);
    EXPECT_EQ(changes, 1);
}

TEST(Reachability, CallbackContextChecks) {
    testutil::LogCapture log;
    WHReachability::ReachabilityCallback(kReachable, nullptr);
    EXPECT_TRUE(log.contains("info was NULL in ReachabilityCallback"));
    int other = 0;
    WHReachability::ReachabilityCallback(kReachable, &other);
    EXPECT_TRUE(log.contains("info was wrong class in ReachabilityCallback"));
}

TEST(Reachability, AddressesAndLocalNetwork) {
    EXPECT_FALSE(WHReachability::reachabilityWithAddress({}));
    std::vector<std::uint8_t> unixAddress(sizeof(sockaddr_in), 0);
    unixAddress[0] = AF_UNIX;  // little-endian family field
    EXPECT_FALSE(WHReachability::reachabilityWithAddress(unixAddress));
    EXPECT_FALSE(WHReachability::reachabilityWithHostName(""));
    EXPECT_TRUE(WHReachability::reachabilityWithHostName("example.org"));

    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    std::vector<std::uint8_t> v6(sizeof in6);
    std::memcpy(v6.data(), &in6, sizeof in6);
    EXPECT_TRUE(WHReachability::reachabilityWithAddress(v6));
    v6.resize(sizeof(sockaddr_in));  // too short for its family
    EXPECT_FALSE(WHReachability::reachabilityWithAddress(v6));

    auto local = WHReachability::reachabilityForLocalWiFi();
    ASSERT_TRUE(local);
    EXPECT_TRUE(local->localWiFiRef);
    setSystemFlags(kReachable);
    EXPECT_EQ(local->currentReachabilityStatus(), NotReachable);
    setSystemFlags(kReachable | kIsDirect);
    EXPECT_EQ(local->currentReachabilityStatus(), ReachableViaWiFi);
    setSystemFlags(kReachable | kConnectionRequired);
    EXPECT_TRUE(WHReachability::reachabilityForInternetConnection()->connectionRequired());
    setSystemFlags(std::nullopt);
    platform::runMainLoopFor(0.05);
}

TEST(Reachability, SystemMonitorGivesTheFlagSet) {
    setSystemFlags(std::nullopt);
    auto ipv4 = &WHReachability::ipv4Address;
    const platform::ReachabilityFlags loopback = kReachable | kIsLocalAddress | kIsDirect;
    struct Case {
        const char* name;
        std::shared_ptr<platform::ReachabilitySource> source;
        std::vector<platform::ReachabilityFlags> allowed;  // depends on the machine's network
    };
    const Case cases[] = {
        {"localhost", platform::ReachabilitySource::forHostname("localhost"), {loopback}},
        {"::1", platform::ReachabilitySource::forHostname("::1"), {loopback}},
        {"127.0.0.1", platform::ReachabilitySource::forAddress(ipv4(127, 0, 0, 1)), {loopback}},
        {"169.254.0.0", platform::ReachabilitySource::forAddress(ipv4(169, 254, 0, 0)), {0, kReachable | kIsDirect}},
        {"0.0.0.0", platform::ReachabilitySource::forAddress(ipv4(0, 0, 0, 0)),
         {0, kReachable, kReachable | kInterventionRequired}},
        {"default route", platform::ReachabilitySource::forDefaultRoute(),
         {0, kReachable, kReachable | kInterventionRequired}},
        {"example.org", platform::ReachabilitySource::forHostname("example.org"),
         {0, kReachable, kReachable | kInterventionRequired}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.source);
        auto flags = c.source->flags();
        ASSERT_TRUE(flags.has_value());
        EXPECT_NE(std::find(c.allowed.begin(), c.allowed.end(), *flags), c.allowed.end()) << std::hex << *flags;
    }
    EXPECT_FALSE(platform::ReachabilitySource::forHostname("bad host"));
}
