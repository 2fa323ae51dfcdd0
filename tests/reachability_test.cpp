#include "companion/Reachability.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/dispatch.h"
#include "tests/support/test_util.h"

using namespace platform;

namespace {

constexpr ReachabilityFlags R = kReachabilityFlagReachable;
constexpr ReachabilityFlags c = kReachabilityFlagConnectionRequired;
constexpr ReachabilityFlags t = kReachabilityFlagTransientConnection;
constexpr ReachabilityFlags i = kReachabilityFlagInterventionRequired;
constexpr ReachabilityFlags C = kReachabilityFlagConnectionOnTraffic;
constexpr ReachabilityFlags D = kReachabilityFlagConnectionOnDemand;
constexpr ReachabilityFlags l = kReachabilityFlagIsLocalAddress;
constexpr ReachabilityFlags d = kReachabilityFlagIsDirect;

TEST(Reachability, FlagsGiveStatusAndDescription) {
    struct Case {
        std::optional<ReachabilityFlags> flags;
        bool reachable;
        const char* status;
        const char* description;
    };
    const Case cases[] = {
        {0u, false, "No Connection", "-- -------"},
        {std::nullopt, false, "No Connection", "-- -------"},  // unreadable flags count as empty
        {R, true, "WiFi", "-R -------"},
        {R | d, true, "WiFi", "-R ------d"},
        {R | c, true, "WiFi", "-R c------"},
        {R | t, true, "WiFi", "-R -t-----"},
        {R | c | t, false, "No Connection", "-R ct-----"},
        {c | t | i | C | D | l | d, false, "No Connection", "-- ctiCDld"},
        {R | i | C | D | l, true, "WiFi", "-R --iCDl-"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.description);
        auto source = std::make_shared<InjectedReachabilitySource>(k.flags);
        auto r = Reachability::createWithReachabilityRef(source);
        EXPECT_EQ(r->isReachable(), k.reachable);
        EXPECT_EQ(r->currentReachabilityString(), k.status);
        EXPECT_EQ(r->description(), k.description);
        EXPECT_FALSE(r->isReachableViaWWAN());
    }
    auto r = Reachability::createWithReachabilityRef(std::make_shared<InjectedReachabilitySource>(R));
    r->isRunningOnDevice = false;
    EXPECT_EQ(r->description(), "XR -------");
    EXPECT_EQ(Reachability::description(Reachability::NetworkStatus::reachableViaWWAN), "Cellular");
}

struct Watcher {
    std::atomic<int> posts{0};
    std::atomic<bool> offMain{false};
    int owner = 0;
    explicit Watcher(const Reachability* object) {
        NotificationCenter::defaultCenter().addObserver(&owner, ReachabilityChangedNotification, object,
                                                        [this](const Notification& n) {
                                                            if (!isMainThread()) offMain = true;
                                                            ++posts;
                                                        });
    }
    ~Watcher() { NotificationCenter::defaultCenter().removeObserver(&owner); }
};

TEST(Reachability, NotifierPostsTheStartAndEachRealChangeOnTheMainThread) {
    auto source = std::make_shared<InjectedReachabilitySource>(R);
    auto r = Reachability::createWithReachabilityRef(source);
    Watcher w(r.get());
    int reachableCalls = 0, unreachableCalls = 0;
    r->whenReachable = [&](Reachability&) { ++reachableCalls; };
    r->whenUnreachable = [&](Reachability&) { ++unreachableCalls; };

    r->startNotifier();
    EXPECT_TRUE(r->notifierRunning);
    EXPECT_EQ(w.posts, 0) << "the initial check runs on a later turn";
    ASSERT_TRUE(testutil::spinUntil([&] { return w.posts == 1; }));
    EXPECT_EQ(reachableCalls, 1);
    r->startNotifier();  // running already: nothing more
    runMainLoopFor(0.1);
    EXPECT_EQ(w.posts, 1);

    source->setFlags(R);  // the same flags twice
    source->setFlags(R);
    runMainLoopFor(0.2);
    EXPECT_EQ(w.posts, 1);

    source->setFlags(R | c | t);
    ASSERT_TRUE(testutil::spinUntil([&] { return w.posts == 2; }));
    EXPECT_EQ(unreachableCalls, 1);
    EXPECT_FALSE(r->isReachable());

    r->stopNotifier();
    EXPECT_FALSE(source->hasCallback());
    source->setFlags(R);
    runMainLoopFor(0.2);
    EXPECT_EQ(w.posts, 2);

    // previousFlags survives a restart: only a real change posts again.
    source->setFlags(R | c | t);
    r->startNotifier();
    runMainLoopFor(0.2);
    EXPECT_EQ(w.posts, 2);
    source->setFlags(R);
    ASSERT_TRUE(testutil::spinUntil([&] { return w.posts == 3; }));
    EXPECT_FALSE(w.offMain);
}

TEST(Reachability, MonitorWithoutTarget) {
    auto r = Reachability::createWithReachabilityRef(nullptr);
    Watcher w(r.get());
    EXPECT_FALSE(r->isReachable());
    EXPECT_EQ(r->currentReachabilityStatus(), Reachability::NetworkStatus::notReachable);
    EXPECT_NO_THROW(r->startNotifier());
    EXPECT_FALSE(r->notifierRunning);
    runMainLoopFor(0.1);
    EXPECT_EQ(w.posts, 0);
}

TEST(Reachability, RefusedRegistrationRaisesAndLeavesItUnregistered) {
    for (bool refuseCallback : {true, false}) {
        auto source = std::make_shared<InjectedReachabilitySource>(R);
        source->refuseCallback(refuseCallback);
        source->refuseDispatchQueue(!refuseCallback);
        auto r = Reachability::createWithReachabilityRef(source);
        Watcher w(r.get());
        try {
            r->startNotifier();
            ADD_FAILURE() << "no error raised";
        } catch (const ReachabilityError& e) {
            EXPECT_EQ(e.kind(), refuseCallback ? ReachabilityError::Kind::UnableToSetCallback
                                               : ReachabilityError::Kind::UnableToSetDispatchQueue);
        }
        EXPECT_FALSE(r->notifierRunning);
        EXPECT_FALSE(source->hasCallback());
        runMainLoopFor(0.1);
        EXPECT_EQ(w.posts, 0);
    }
}

TEST(Reachability, DestroyingTheMonitorUnregistersIt) {
    auto source = std::make_shared<InjectedReachabilitySource>(R);
    {
        auto r = Reachability::createWithReachabilityRef(source);
        r->startNotifier();
        ASSERT_TRUE(source->hasCallback());
    }
    // The initial check keeps the monitor alive until it has run; then it goes.
    runMainLoopFor(0.1);
    EXPECT_FALSE(source->hasCallback());
    source->setFlags(0);  // no one to deliver to
    runMainLoopFor(0.1);
}

TEST(Reachability, SystemMonitorOfTheDefaultRoute) {
    auto r = Reachability::create();
    ASSERT_TRUE(r);
    Watcher w(r.get());
    r->startNotifier();
    ASSERT_TRUE(testutil::spinUntil([&] { return w.posts >= 1; }, 5));
    EXPECT_EQ(r->description().size(), 10u);
    EXPECT_EQ(r->currentReachabilityString(), r->isReachable() ? "WiFi" : "No Connection");

    auto local = Reachability::createWithHostname("localhost");
    ASSERT_TRUE(local);
    EXPECT_TRUE(local->isReachable());
    EXPECT_FALSE(Reachability::createWithHostname(""));
}

}  // namespace
