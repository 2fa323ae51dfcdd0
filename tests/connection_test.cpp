// Network state: the flag rules, and changes reaching the page through the kept callback.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <netinet/in.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "platform/dispatch.h"
#include "platform/network_monitor.h"
#include "plugins/standard/WHConnection.h"
#include "tests/support/recording_delegate.h"
#include "tests/support/test_util.h"

using namespace platform::reachability;
using platform::NetworkMonitor;

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
        NetworkMonitor::setFlagsForTesting(std::nullopt);
        platform::runMainLoopFor(0.05);
    }
    // Injects the flags and waits until the change has been delivered.
    void change(platform::ReachabilityFlags flags) {
        int before = changes;
        NetworkMonitor::setFlagsForTesting(flags);
        ASSERT_TRUE(testutil::spinUntil([&] { return changes > before; }, 5));
    }
    void start(platform::ReachabilityFlags flags) {
        NetworkMonitor::setFlagsForTesting(flags);
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
    std::thread([] { NetworkMonitor::setFlagsForTesting(0); }).join();
    ASSERT_TRUE(testutil::spinUntil([&] { return delegate.count() == 2; }, 5));
    EXPECT_FALSE(offMainThread);
    EXPECT_EQ(delegate.last().message(), "none");
}

TEST_F(ConnectionTest, StoppedAndDestroyedObjectsAreNotReported) {
    NetworkMonitor::setFlagsForTesting(kReachable);
    platform::runMainLoopFor(0.02);
    auto reach = WHReachability::reachabilityForInternetConnection();
    ASSERT_TRUE(reach);
    ASSERT_TRUE(reach->startNotifier());
    change(0);
    EXPECT_EQ(changes, 1);
    reach->stopNotifier();
    NetworkMonitor::setFlagsForTesting(kReachable);
    platform::runMainLoopFor(0.1);
    EXPECT_EQ(changes, 1);

    reach->startNotifier();
    NetworkMonitor::setFlagsForTesting(0);  // queued, delivered after the object is gone
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
    NetworkMonitor::setFlagsForTesting(kReachable);
    EXPECT_EQ(local->currentReachabilityStatus(), NotReachable);
    NetworkMonitor::setFlagsForTesting(kReachable | kIsDirect);
    EXPECT_EQ(local->currentReachabilityStatus(), ReachableViaWiFi);
    NetworkMonitor::setFlagsForTesting(kReachable | kConnectionRequired);
    EXPECT_TRUE(WHReachability::reachabilityForInternetConnection()->connectionRequired());
    NetworkMonitor::setFlagsForTesting(std::nullopt);
    platform::runMainLoopFor(0.05);
}

TEST(Reachability, SystemMonitorGivesTheFlagSet) {
    NetworkMonitor::setFlagsForTesting(std::nullopt);
    auto monitor = NetworkMonitor::withHostName("localhost");
    ASSERT_TRUE(monitor);
    auto flags = monitor->flags();
    ASSERT_TRUE(flags.has_value());
    EXPECT_TRUE(*flags == 0 || *flags == (kReachable | kIsDirect)) << std::hex << *flags;
    EXPECT_TRUE(monitor->start([](platform::ReachabilityFlags) {}));
}
