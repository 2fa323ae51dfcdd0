// The presence detector against the loopback test controller, with injected network and
// session notices and shortened timers.
#include <gtest/gtest.h>

#include <functional>

#include "companion/KVControlMain.h"
#include "companion/PresenceDetector.h"
#include "platform/http_client.h"
#include "platform/dispatch.h"
#include "tests/support/companion_rig.h"
#include "tests/support/main_loop_probe.h"
#include "tests/support/test_controller.h"
#include "tests/support/test_util.h"

using testctl::Answer;
using testctl::TestController;
using testutil::CompanionRig;

namespace {

std::string kv(const std::string& key) { return Utils::kvString(key); }

std::string envelope(const std::string& code, const std::string& value) {
    return platform::Value{{"LL", {{"control", "dev/sps/io/pd/pulse"}, {"value", value}, {"Code", code}}}}.dump();
}

class DetectorTest : public ::testing::Test {
protected:
    // 5 s become 10 ms; a 45 s pulse interval 90 ms.
    static constexpr double kScale = 0.002;

    void SetUp() override {
        ASSERT_TRUE(hs.running());
        rig.start();
        ASSERT_TRUE(rig.waitOnline());
        hub = std::make_shared<Hubstation>(TestController::kSerialNo, hs.address(), "", TestController::kUser,
                                           TestController::kPassword);
        hub->name = "Home";
        rig.menu().didReceiveArchive({{TestController::kSerialNo, {"Home", hs.address()}}});
        rig.menu().didReceiveSelectedHubstation(hub, std::nullopt, std::nullopt);
    }
    PresenceDetector& det() { return rig.detector(); }
    std::size_t pulses() const { return hs.commands().size(); }
    bool waitPulses(std::size_t n, double timeout = 5) {
        return testutil::spinUntil([&] { return pulses() >= n; }, timeout);
    }
    // Waits until the last pulse's answer has been handled (the command is no longer running).
    bool waitAnswered(double timeout = 5) {
        return testutil::spinUntil(
            [&] {
                auto c = det().currentHTTPCommand();
                return !c || c->localState() == KVHTTPCommandState::Failed ||
                       c->localState() == KVHTTPCommandState::Succeeded;
            },
            timeout);
    }
    void select() {
        det().didReceiveSelectedHubstation(hub);
        det().didReceiveSelectedPresenceControl(pd);
    }
    std::string stateLine() { return rig.menu().stateLabelItem() ? rig.menu().stateLabelItem()->title : ""; }
    std::string presence(const std::string& key) { return kv("kivano-control.presence.presence") + ": " + kv(key); }

    TestController hs;
    CompanionRig rig{kScale};
    std::shared_ptr<Hubstation> hub;
    std::shared_ptr<const PresenceControl> pd = std::make_shared<PresenceControl>("0f1e-pd", "Motion", "R1", "Kitchen");
};

TEST_F(DetectorTest, PulsesAtOnceThenByTheAnsweredInterval) {
    hs.setCommandAnswer(Answer{200, "application/json", envelope("200", "60000")});
    select();
    ASSERT_TRUE(waitPulses(1));
    EXPECT_EQ(hs.commands()[0].rfind("/jdev/sps/io/0f1e-pd/pulse?auth=", 0), 0u) << hs.commands()[0];
    ASSERT_TRUE(testutil::spinUntil([&] { return det().pendingPresenceInterval() == 45.0; }));
    EXPECT_EQ(stateLine(), presence("kivano-control.presence-state.sent"));
    EXPECT_EQ(rig.menu().statusItemIcon(), "StatusBarButtonIconPresence");
    ASSERT_TRUE(waitPulses(3)) << "the pulses go on";
}

TEST_F(DetectorTest, NextIntervalAndRetryDelays) {
    const std::pair<long long, double> intervals[] = {{60000, 45.0}, {1000, 5.0}, {19999, 5.0}, {20999, 5.0}, {21000, 6.0}};
    for (auto [value, seconds] : intervals) EXPECT_EQ(PresenceDetector::nextInterval(value), seconds) << value;
    const double delays[] = {3.0, 4.5, 6.75, 10.125, 15.1875, 22.78125, 34.171875, 51.2578125, 60.0, 60.0};
    double t = 0;
    for (double d : delays) EXPECT_EQ(t = PresenceDetector::nextBackupTime(t), d);
}

TEST_F(DetectorTest, AnswersThatAreNoDelivery) {
    struct Case {
        const char* name;
        Answer answer;
    };
    const Case cases[] = {
        {"envelope code 404", {200, "application/json", envelope("404", "1")}},
        {"value not a number", {200, "application/json", envelope("200", "soon")}},
        {"no envelope", {200, "application/json", "{\"other\":1}"}},
        {"plain text", {200, "text/plain", "ok"}},
        {"server error", {500, "application/json", envelope("500", "1")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        hs.setCommandAnswer(c.answer);
        std::size_t before = pulses();
        select();
        ASSERT_TRUE(waitPulses(before + 1));
        ASSERT_TRUE(testutil::spinUntil([&] { return det().currentBackupTime() == 3.0; }));
        EXPECT_EQ(stateLine(), presence("kivano-control.presence-state.try-to-send"));
        // A start is refused while the retry is pending.
        det().startPresenceDetector(0);
        EXPECT_FALSE(det().pendingPresenceInterval());
        det().stopPresenceDetector(false, std::nullopt);
        EXPECT_EQ(det().currentBackupTime(), 0);
    }
}

// The controller takes each pulse and then resets its connection: every failed pulse is one
// request with a key of its own, retried at 3.0 and then 4.5 s, and detection recovers.
TEST_F(DetectorTest, PulseWhoseConnectionIsResetIsSentOnceAndRetried) {
    hs.resetCommands(true);
    select();
    ASSERT_TRUE(testutil::spinUntil([&] { return det().currentBackupTime() >= 4.5; }, 30));
    EXPECT_EQ(stateLine(), presence("kivano-control.presence-state.try-to-send"));
    EXPECT_EQ(hs.rejectedCommands(), 0) << "no pulse request went out again with its used key";
    EXPECT_LE(hs.commandRequests(), hs.keyRequests()) << "one pulse request per key request";
    EXPECT_GE(hs.commandRequests(), 2);
    hs.resetCommands(false);
    ASSERT_TRUE(testutil::spinUntil([&] { return stateLine() == presence("kivano-control.presence-state.sent"); }, 30));
    EXPECT_EQ(det().currentBackupTime(), 0);
    EXPECT_EQ(hs.rejectedCommands(), 0);
}

// A pulse answered with a small picture that decodes huge is a failed pulse, and no picture is
// decoded for it: the main loop goes on answering and memory stays.
TEST_F(DetectorTest, PictureAnswerIsNoDeliveryAndCostsNothing) {
    constexpr std::size_t kMiB = 1048576;
    hs.setCommandAnswer(Answer{200, "image/png", testctl::blackPNG(16000, 16000)});
    testutil::MainLoopProbe probe;
    select();
    ASSERT_TRUE(testutil::spinUntil([&] { return det().currentBackupTime() >= 3.0; }, 60));
    EXPECT_LT(probe.longestWait(), 0.25);
    EXPECT_LT(probe.residentGrowth(), 64 * kMiB);
}

TEST_F(DetectorTest, MissingPresenceControlIsGivenUpAfterTheRetries) {
    hs.setCommandAnswer(Answer{200, "application/json", envelope("404", "1")});
    select();
    ASSERT_TRUE(testutil::spinUntil([&] { return !rig.alerts.empty(); }, 10));
    EXPECT_EQ(pulses(), 8u) << "the eighth failed pulse in a row ends detection";
    EXPECT_EQ(rig.alerts[0].message,
              kv("kivano-control.presence-state.pd-not-found") + "! " + kv("kivano-control.error.end-detection"));
    EXPECT_EQ(rig.alerts[0].informativeText, kv("kivano-control.error.reconnect"));
    EXPECT_EQ(rig.alerts[0].buttons, (std::vector<std::string>{kv("open"), kv("cancel")}));
    EXPECT_EQ(stateLine(), presence("kivano-control.presence-state.pd-not-found"));
    EXPECT_EQ(rig.menu().statusItemIcon(), "StatusBarButtonIconError");
    EXPECT_FALSE(det().pendingPresenceInterval());
    EXPECT_FALSE(det().pendingBackupInterval());
    platform::runMainLoopFor(0.1);
    EXPECT_EQ(pulses(), 8u);
    EXPECT_EQ(det().presenceControl(), pd) << "the control is kept";
}

TEST_F(DetectorTest, WrongCredentialsRetryOnceThenAlert) {
    hs.setCredentials("admin", "changed");
    rig.alertAnswer = 0;
    select();
    ASSERT_TRUE(testutil::spinUntil([&] { return det().unauthorizedCount() == 1; }));
    EXPECT_EQ(det().pendingBackupInterval(), 5.0);
    EXPECT_EQ(stateLine(), presence("kivano-control.error.wrong-credentials"));
    EXPECT_EQ(rig.menu().statusItemIcon(), "StatusBarButtonIconError");
    EXPECT_TRUE(rig.alerts.empty());

    ASSERT_TRUE(testutil::spinUntil([&] { return !rig.alerts.empty(); }));
    EXPECT_EQ(rig.alerts[0].message,
              kv("kivano-control.error.wrong-credentials") + "! " + kv("kivano-control.error.end-detection"));
    EXPECT_EQ(rig.openedURLs, std::vector<std::string>{std::string("kivano://hs?mac=") + TestController::kSerialNo});
    EXPECT_FALSE(det().pendingBackupInterval());
    EXPECT_EQ(det().unauthorizedCount(), 2);
    platform::runMainLoopFor(0.05);
    EXPECT_EQ(hs.rejectedCommands(), 2);
}

TEST_F(DetectorTest, SessionNoticesStopAndRestart) {
    struct Pair {
        const char* absent;
        const char* present;
    };
    const Pair pairs[] = {
        {platform::kSessionScreenIsLockedNotice, platform::kSessionScreenIsUnlockedNotice},
        {platform::kSessionScreensaverDidStartNotice, platform::kSessionScreensaverDidStopNotice},
        {platform::kSessionWillSleepNotice, platform::kSessionDidWakeNotice},
        {platform::kSessionScreensDidSleepNotice, platform::kSessionScreensDidWakeNotice},
        {platform::kSessionWillPowerOffNotice, platform::kSessionPowerOffCancelledNotice},
        {platform::kSessionWillPowerOffNotice, platform::kSessionDidWakeNotice},
    };
    select();
    ASSERT_TRUE(waitPulses(1));
    ASSERT_TRUE(waitAnswered());
    for (const auto& p : pairs) {
        SCOPED_TRACE(p.absent);
        rig.session->post(p.absent);
        EXPECT_FALSE(det().userIsPresent());
        EXPECT_FALSE(det().pendingPresenceInterval());
        EXPECT_EQ(stateLine(), presence("kivano-control.presence-state.not-sent"));
        rig.session->post(p.absent);  // already absent: nothing
        std::size_t before = pulses();
        platform::runMainLoopFor(0.03);
        EXPECT_EQ(pulses(), before) << "no pulses while away";

        rig.session->post(p.present);
        EXPECT_EQ(det().pendingPresenceInterval(), 0.0) << "a pulse goes at once";
        ASSERT_TRUE(waitPulses(before + 1));
        ASSERT_TRUE(waitAnswered());
        auto pending = det().pendingPresenceInterval();
        rig.session->post(p.present);  // a second present notice changes nothing
        EXPECT_EQ(det().pendingPresenceInterval(), pending);
    }
}

// Pulses go only while every signal says present; the last notice alone does not decide.
TEST_F(DetectorTest, PulsesOnlyWhileEverySignalSaysPresent) {
    using namespace platform;
    struct Step {
        const char* notice;  // null: the network goes (flags 0) or comes back (reachable), see `online`
        bool online = true;
        bool pulses = false;  // a pulse goes at once after this step
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"wake while locked",
         {{kSessionScreenIsLockedNotice}, {kSessionWillSleepNotice}, {kSessionDidWakeNotice},
          {kSessionScreenIsUnlockedNotice, true, true}}},
        {"screens wake while the screen saver runs",
         {{kSessionScreensDidSleepNotice}, {kSessionScreensaverDidStartNotice}, {kSessionScreensDidWakeNotice},
          {kSessionScreensaverDidStopNotice, true, true}}},
        {"network back while locked",
         {{nullptr, false}, {kSessionScreenIsLockedNotice, false}, {nullptr, true}, {kSessionScreenIsUnlockedNotice, true, true}}},
        {"unlock while offline",
         {{kSessionScreenIsLockedNotice}, {nullptr, false}, {kSessionScreenIsUnlockedNotice, false}, {nullptr, true, true}}},
        {"power-off cancelled while the screens sleep",
         {{kSessionWillPowerOffNotice}, {kSessionScreensDidSleepNotice}, {kSessionPowerOffCancelledNotice},
          {kSessionScreensDidWakeNotice, true, true}}},
    };
    // The next regular pulse long after each step (585 s scaled): pulses here come from transitions.
    hs.setCommandAnswer(Answer{200, "application/json", envelope("200", "600000")});
    select();
    ASSERT_TRUE(waitPulses(1));
    ASSERT_TRUE(waitAnswered());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& step : c.steps) {
            SCOPED_TRACE(step.notice ? step.notice : (step.online ? "network back" : "network gone"));
            std::size_t before = pulses();
            if (step.notice) {
                rig.session->post(step.notice);
            } else {
                rig.network->setFlags(step.online ? ReachabilityFlags{kReachabilityFlagReachable} : 0);
                ASSERT_TRUE(testutil::spinUntil([&] { return det().isOnline() == step.online; }));
            }
            if (step.pulses) {
                EXPECT_EQ(det().pendingPresenceInterval(), 0.0) << "a pulse goes at once";
                ASSERT_TRUE(waitPulses(before + 1));
                ASSERT_TRUE(waitAnswered());
            } else {
                EXPECT_FALSE(det().pendingPresenceInterval());
                platform::runMainLoopFor(0.03);
                EXPECT_EQ(pulses(), before) << "no pulse while away or offline";
            }
        }
        EXPECT_TRUE(det().isPresentAndOnline());
    }
}

TEST_F(DetectorTest, NetworkLossStopsAndShowsOffline) {
    select();
    ASSERT_TRUE(waitPulses(1));
    ASSERT_TRUE(waitAnswered());
    rig.network->setFlags(0);
    ASSERT_TRUE(testutil::spinUntil([&] { return !det().isOnline(); }));
    EXPECT_EQ(stateLine(), kv("no-network.title"));
    EXPECT_EQ(rig.menu().statusItemIcon(), "StatusBarButtonIconOffline");
    EXPECT_FALSE(det().pendingPresenceInterval());

    std::size_t before = pulses();
    rig.network->setFlags(platform::kReachabilityFlagReachable);
    ASSERT_TRUE(waitPulses(before + 1)) << "back online, present: a pulse at once";
}

// Every way a start comes while the user is away only records it; the return starts it.
TEST_F(DetectorTest, RestartsWhileAwayWaitForThePresentUser) {
    struct Restart {
        const char* name;
        std::function<void()> run;
    };
    const Restart restarts[] = {
        {"the same controller again", [&] { det().didReceiveSelectedHubstation(std::make_shared<Hubstation>(*hub)); }},
        {"a presence control selected", [&] { det().didReceiveSelectedPresenceControl(pd); }},
        {"a plain start", [&] { det().startPresenceDetector(0); }},
    };
    hs.setCommandAnswer(Answer{200, "application/json", envelope("200", "600000")});
    for (const char* away : {platform::kSessionScreenIsLockedNotice, platform::kSessionScreensDidSleepNotice}) {
        for (const auto& r : restarts) {
            SCOPED_TRACE(std::string(away) + ", " + r.name);
            select();
            ASSERT_TRUE(testutil::spinUntil([&] { return !det().pendingPresenceInterval(); }));
            ASSERT_TRUE(waitAnswered());
            rig.session->post(away);
            std::size_t before = pulses();
            r.run();
            EXPECT_FALSE(det().pendingPresenceInterval());
            EXPECT_EQ(det().presenceControl(), pd) << "the control stays selected";
            EXPECT_EQ(stateLine(), presence("kivano-control.presence-state.not-sent"));
            platform::runMainLoopFor(0.03);
            EXPECT_EQ(pulses(), before);

            rig.session->post(platform::kSessionScreenIsUnlockedNotice);
            rig.session->post(platform::kSessionScreensDidWakeNotice);
            ASSERT_TRUE(waitPulses(before + 1));
            ASSERT_TRUE(waitAnswered());
        }
    }
}

// A retry that was pending when the user left does not fire while away.
TEST_F(DetectorTest, RetryPendingWhenTheUserLeaves) {
    hs.setCommandAnswer(Answer{500, "application/json", envelope("500", "1")});
    select();
    ASSERT_TRUE(testutil::spinUntil([&] { return det().pendingBackupInterval() == 3.0; }));
    rig.session->post(platform::kSessionScreensaverDidStartNotice);
    EXPECT_FALSE(det().pendingBackupInterval());
    std::size_t before = pulses();
    platform::runMainLoopFor(3.0 * kScale * 10);
    EXPECT_EQ(pulses(), before);
    hs.setCommandAnswer(Answer{200, "application/json", envelope("200", "60000")});
    rig.session->post(platform::kSessionScreensaverDidStopNotice);
    ASSERT_TRUE(waitPulses(before + 1));
    ASSERT_TRUE(testutil::spinUntil([&] { return det().pendingPresenceInterval() == 45.0; }));
}

TEST_F(DetectorTest, SelectionWhileOfflineWaitsForTheNetwork) {
    rig.network->setFlags(0);
    ASSERT_TRUE(testutil::spinUntil([&] { return !det().isOnline(); }));
    select();
    EXPECT_FALSE(det().pendingPresenceInterval());
    EXPECT_EQ(stateLine(), kv("no-network.title"));
    platform::runMainLoopFor(0.03);
    EXPECT_EQ(pulses(), 0u);
    rig.network->setFlags(platform::kReachabilityFlagReachable);
    ASSERT_TRUE(waitPulses(1));
}

TEST_F(DetectorTest, FailureWhileOfflineSchedulesNothing) {
    rig.network->setFlags(0);
    ASSERT_TRUE(testutil::spinUntil([&] { return !det().isOnline(); }));
    det().didReceiveSelectedHubstation(hub);
    det().didReceiveSelectedPresenceControl(pd);
    // An answer that arrives after the network went.
    det().handlePulseResult(KVHTTPResult::absent(), false, platform::makeHttpError("NSURLErrorDomain", -1004, "refused"),
                            platform::Value::object());
    platform::runMainLoopFor(0.05);
    EXPECT_FALSE(det().pendingBackupInterval());
    EXPECT_FALSE(det().pendingPresenceInterval());
    EXPECT_EQ(det().currentBackupTime(), 0);
}

// A session that is away before the detector starts keeps it from pulsing.
TEST(DetectorStart, SessionAwayAtStartUp) {
    TestController hs;
    ASSERT_TRUE(hs.running());
    auto session = std::make_shared<platform::InjectedSessionNoticeSource>();
    session->current = {platform::kSessionScreenIsLockedNotice, platform::kSessionScreensDidSleepNotice};
    CompanionRig rig{0.002, session};
    rig.start();
    ASSERT_TRUE(rig.waitOnline());
    auto& det = rig.detector();
    EXPECT_FALSE(det.userIsPresent());
    auto hub = std::make_shared<Hubstation>(TestController::kSerialNo, hs.address(), "", TestController::kUser,
                                            TestController::kPassword);
    det.didReceiveSelectedHubstation(hub);
    det.didReceiveSelectedPresenceControl(std::make_shared<PresenceControl>("0f1e-pd", "Motion", "R1", "Kitchen"));
    platform::runMainLoopFor(0.05);
    EXPECT_TRUE(hs.commands().empty());
    session->post(platform::kSessionScreenIsUnlockedNotice);
    platform::runMainLoopFor(0.03);
    EXPECT_TRUE(hs.commands().empty()) << "the screens still sleep";
    session->post(platform::kSessionScreensDidWakeNotice);
    ASSERT_TRUE(testutil::spinUntil([&] { return !hs.commands().empty(); }));
}

TEST_F(DetectorTest, ControllerChanges) {
    select();
    ASSERT_TRUE(waitPulses(1));
    ASSERT_TRUE(waitAnswered());
    // The same controller again: stop, then start at once.
    auto again = std::make_shared<Hubstation>(*hub);
    det().didReceiveSelectedHubstation(again);
    EXPECT_EQ(det().pendingPresenceInterval(), 0.0);
    EXPECT_EQ(det().presenceControl(), pd);
    ASSERT_TRUE(waitPulses(2));
    ASSERT_TRUE(waitAnswered());

    // Another one: the control is dropped and the menu keeps the stop's state.
    auto other = std::make_shared<Hubstation>("OTHER", hs.address(), "", "u", "p");
    det().didReceiveSelectedHubstation(other);
    EXPECT_EQ(det().presenceControl(), nullptr);
    EXPECT_FALSE(det().pendingPresenceInterval());
    EXPECT_EQ(stateLine(), presence("kivano-control.presence-state.not-sent"));

    // A removal stop shows detection as off.
    det().didReceiveSelectedPresenceControl(pd);
    det().stopPresenceDetector(true, std::nullopt);
    EXPECT_EQ(stateLine(), kv("kivano-control.presence.is-deactivated"));
    EXPECT_EQ(det().presenceControl(), nullptr);
}

TEST_F(DetectorTest, StartsNeedAControllerAndLeaveOneTimer) {
    testutil::LogCapture logs;
    hs.setCommandAnswer(Answer{200, "application/json", envelope("200", "60000")});
    det().startPresenceDetector(0);
    EXPECT_TRUE(logs.contains("Presence Detector: no hubstation or presence control selected, don't start detection!"));
    EXPECT_FALSE(det().pendingPresenceInterval());

    det().didReceiveSelectedHubstation(hub);
    det().didReceiveSelectedPresenceControl(pd);  // starts with 0
    det().startPresenceDetector(20);
    det().startPresenceDetector(30);
    EXPECT_TRUE(logs.containsSubstring("although it is already started (remaining seconds"));
    EXPECT_EQ(det().pendingPresenceInterval(), 30.0);
    ASSERT_TRUE(waitPulses(1));
    platform::runMainLoopFor(0.01);
    EXPECT_EQ(pulses(), 1u) << "the earlier timers were replaced";
}

}  // namespace
