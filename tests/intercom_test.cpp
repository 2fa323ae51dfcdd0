// The intercom without a far end: configuration reading, identity and headers, the port check,
// the plug-in's results for call states, and the controller's relay to the main thread.
#include <arpa/inet.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <thread>

#include "media/intercom/Pjsua2.h"
#include "media/intercom/Pjsua2Wrapper.h"
#include "media/intercom/SIP.h"
#include "platform/dispatch.h"
#include "platform/net_interfaces.h"
#include "tests/support/recording_delegate.h"
#include "tests/support/sipp_peer.h"
#include "tests/support/test_util.h"

using platform::makeInterfaceAddress;
using testutil::LogCapture;
using testutil::RecordingDelegate;

namespace {

WHInvokedUrlCommand command(const std::string& action, Value args = Value::array(), std::string callbackId = "SIP1") {
    return WHInvokedUrlCommand(std::move(args), callbackId, "SIP", action);
}

// A TCP socket listening on a free loopback-or-any port, for the port check.
class TakenPort {
public:
    explicit TakenPort(int type = SOCK_STREAM, unsigned port = 0) {
        fd_ = ::socket(AF_INET, type, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(static_cast<uint16_t>(port));
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        if (type == SOCK_STREAM) ::listen(fd_, 1);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~TakenPort() { ::close(fd_); }
    unsigned port() const { return port_; }

private:
    int fd_ = -1;
    unsigned port_ = 0;
};

// Keeps every internal call-state event posted while alive.
struct InternalEvents {
    InternalEvents() {
        platform::NotificationCenter::defaultCenter().addObserver(
            this, KvPjsuaInternalNotification, nullptr, [this](const platform::Notification& n) {
                std::lock_guard lock(mutex);
                events.push_back(n.userInfo);
            });
    }
    ~InternalEvents() { platform::NotificationCenter::defaultCenter().removeObserver(this); }
    std::vector<Value> all() {
        std::lock_guard lock(mutex);
        return events;
    }
    std::mutex mutex;
    std::vector<Value> events;
};

}  // namespace

// Runs first: the controller is process-wide and appears with the first call.
TEST(SIPPlugin, AnswersNothingBeforeAnyCallWhereThePageGetsNoResult) {
    ASSERT_EQ(SIP::ctrl(), nullptr);
    RecordingDelegate delegate{RecordingDelegate::Background::Pool};
    SIP plugin(nullptr);
    plugin.setCommandDelegate(&delegate);
    LogCapture log;
    plugin.invokeAction("setLevels", command("setLevels", Value::array({0.5, 0.5})));
    plugin.invokeAction("initSipManager", command("initSipManager"));
    plugin.invokeAction("destroy", command("destroy"));
    plugin.invokeAction("hangUp", command("hangUp"));  // no call: no callback to answer on
    platform::runMainLoopFor(0.1);
    EXPECT_EQ(delegate.count(), 0u);
    EXPECT_TRUE(log.contains("ERROR: no Pjsua2 around to receive the setLevels call!"));
    EXPECT_EQ(SIP::ctrl(), nullptr);

    // Muting needs no controller and answers OK; a wrong argument gets an error.
    plugin.invokeAction("muteMic", command("muteMic", Value::array({true}), "SIP2"));
    plugin.invokeAction("muteMic", command("muteMic", Value::array({"yes"}), "SIP3"));
    ASSERT_EQ(delegate.count(), 2u);
    EXPECT_EQ(delegate.results()[0].result.status(), WHCommandStatus_OK);
    EXPECT_FALSE(delegate.results()[0].result.message().has_value());
    EXPECT_EQ(delegate.results()[1].result.status(), WHCommandStatus_ERROR);
    EXPECT_EQ(SIP::ctrl(), nullptr);
}

TEST(SIPPlugin, CallStatesBecomeResultsOnTheCallsCallback) {
    RecordingDelegate delegate{RecordingDelegate::Background::Pool};
    SIP plugin(nullptr);
    plugin.setCommandDelegate(&delegate);
    plugin.setCallCallbackId("SIP7");
    struct Case {
        int code;
        int state;
        const char* stateString;
        bool codec;
        int expectStatus;
        bool expectKeep;
    };
    const std::vector<Case> cases = {
        {0, 1, "Calling", false, WHCommandStatus_OK, true},
        {180, 3, "Early", false, WHCommandStatus_OK, true},
        {200, 5, "Confirmed", true, WHCommandStatus_OK, true},
        {486, 3, "Early", true, WHCommandStatus_ERROR, false},   // refused: error, the call is not stopped
        {200, 7, "-- UNKNOWN --", false, WHCommandStatus_ERROR, false},
        {399, 4, "Connecting", false, WHCommandStatus_OK, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.code) + "/" + std::to_string(c.state));
        delegate.clear();
        Value info = {{KvPjsua2NotifCode, c.code},
                      {KvPjsua2NotifCodeString, "reason"},
                      {KvPjsua2NotifState, c.state},
                      {KvPjsua2NotifStateString, c.stateString}};
        if (c.codec) info[KvPjsua2NotifCodecName] = "PCMU";
        plugin.callEvent({KvPjsua2Notification, nullptr, {}, info});
        ASSERT_EQ(delegate.count(), 1u);
        auto r = delegate.last();
        EXPECT_EQ(r.callbackId, std::optional<std::string>("SIP7"));
        EXPECT_EQ(r.result.status(), static_cast<std::uint32_t>(c.expectStatus));
        EXPECT_EQ(r.result.keepCallback(), c.expectKeep);
        Value expected = {{"code", c.code}, {"codeString", "reason"}, {"state", c.state}, {"stateString", c.stateString}};
        if (c.codec && c.expectStatus == WHCommandStatus_OK) expected["codecName"] = "PCMU";
        EXPECT_EQ(r.result.message(), std::optional<Value>(expected));
    }
    // An event without its keys still answers, with zeros and empty texts.
    delegate.clear();
    plugin.callEvent({KvPjsua2Notification, nullptr, {}, Value::object()});
    ASSERT_EQ(delegate.count(), 1u);
    EXPECT_EQ(delegate.last().result.message(),
              std::optional<Value>(Value{{"code", 0}, {"codeString", ""}, {"state", 0}, {"stateString", ""}}));
}

TEST(SIPPlugin, MakeCallWithoutAConfigurationTextFailsAtOnce) {
    RecordingDelegate delegate{RecordingDelegate::Background::Pool};
    SIP plugin(nullptr);
    plugin.setCommandDelegate(&delegate);
    plugin.setCallCallbackId("SIP-running");
    for (Value args : {Value::array(), Value::array({42}), Value::array({nullptr})}) {
        delegate.clear();
        plugin.invokeAction("makeCall", command("makeCall", args, "SIP8"));
        ASSERT_EQ(delegate.count(), 1u);
        EXPECT_EQ(delegate.last().result.status(), WHCommandStatus_ERROR);
        EXPECT_EQ(delegate.last().callbackId, std::optional<std::string>("SIP8"));
        EXPECT_FALSE(delegate.last().result.keepCallback());
    }
    EXPECT_EQ(plugin.callCallbackId(), std::optional<std::string>("SIP-running"));
}

TEST(SIPPlugin, ACallWhosePageIsGoneEndsAsHangUpEndsIt) {
    RecordingDelegate delegate;
    int own = 0, other = 0;
    SIP plugin(reinterpret_cast<platform::WebView*>(&own));
    plugin.setCommandDelegate(&delegate);
    auto& center = platform::NotificationCenter::defaultCenter();
    center.post(WHPluginResetNotification, &own);
    EXPECT_EQ(delegate.count(), 0u) << "no call, nothing to end";
    plugin.setCallCallbackId("SIP10");
    center.post(WHPluginResetNotification, &other);
    EXPECT_EQ(delegate.count(), 0u) << "the page of another web view";
    center.post(WHPluginResetNotification, &own);
    ASSERT_EQ(delegate.count(), 1u);
    EXPECT_EQ(delegate.last().callbackId, std::optional<std::string>("SIP10"));
    EXPECT_EQ(delegate.last().result.status(), WHCommandStatus_OK);
    EXPECT_FALSE(delegate.last().result.keepCallback());
    EXPECT_EQ(delegate.last().result.message(),
              std::optional<Value>(SIP::_createPluginResultWithCode(200, "User hung up", 6, "DICONNCT")));
    EXPECT_FALSE(plugin.callCallbackId());
    plugin.callEvent({KvPjsua2Notification, nullptr, {}, Value{{KvPjsua2NotifCode, 180}, {KvPjsua2NotifState, 3}}});
    EXPECT_EQ(delegate.count(), 1u) << "later call states reach no callback";
}

TEST(SIPPortCheck, BusyPortIsReplacedByTheFirstFreeAlternative) {
    TakenPort sip, firstAlt;
    unsigned freeAlt = testutil::freeSipPort();
    LogCapture log;
    std::string config = R"({"target":"sip:door@10.0.0.5","settings":{"sipPort":)" + std::to_string(sip.port()) +
                         R"(,"altPorts":[)" + std::to_string(firstAlt.port()) + "," + std::to_string(freeAlt) +
                         R"(],"srcUser":"kitchen","kvIntercomPass":"p\u00e4ss"}})";
    auto out = platform::parseJson(SIP::checkForUsedPort(config));
    ASSERT_TRUE(out);
    auto expected = *platform::parseJson(config);
    expected["settings"]["sipPort"] = freeAlt;
    EXPECT_EQ(*out, expected);
    EXPECT_TRUE(log.contains("Port " + std::to_string(sip.port()) + " is already in use!"));
    EXPECT_TRUE(log.contains("Port " + std::to_string(freeAlt) + " is not in use, we will use it!"));
}

TEST(SIPPortCheck, TextGoesOnUnchangedWhenThereIsNothingToReplace) {
    TakenPort sip, alt;
    TakenPort udpOnly(SOCK_DGRAM, testutil::freeSipPort());
    std::string busy = std::to_string(sip.port());
    const std::vector<std::string> texts = {
        // free port: byte for byte, spacing and order kept
        "{ \"settings\" : { \"sipPort\" : " + std::to_string(testutil::freeSipPort()) + ", \"altPorts\": [1] }, \"target\":\"x\" }",
        R"({"settings":{"altPorts":[)" + busy + "]}}",                  // no sipPort: port 0 is free
        R"({"settings":{"sipPort":)" + busy + "}}",                     // busy, no alternatives
        R"({"settings":{"sipPort":)" + busy + R"(,"altPorts":[)" + std::to_string(alt.port()) + "]}}",  // all busy
        R"({"settings":{"sipPort":)" + std::to_string(udpOnly.port()) + R"(,"altPorts":[)" + std::to_string(testutil::freeSipPort()) + "]}}",  // taken for UDP only
        R"({"target":"sip:x"})",                                       // no settings
        "not json at all",
        R"({"settings":{"sipPort":)" + busy + R"(,"altPorts":"5062"}})",
    };
    for (const auto& t : texts) {
        SCOPED_TRACE(t);
        EXPECT_EQ(SIP::checkForUsedPort(t), t);
    }
}

TEST(SIPPortCheck, PortReadAsNumberOrText) {
    TakenPort taken;
    EXPECT_TRUE(SIP::isLocalPortInUse(Value(taken.port())));
    EXPECT_TRUE(SIP::isLocalPortInUse(Value(std::to_string(taken.port()))));
    EXPECT_FALSE(SIP::isLocalPortInUse(Value(testutil::freeSipPort())));
    EXPECT_FALSE(SIP::isLocalPortInUse(Value(70000)));  // cannot be bound at all: not "in use"
}

TEST(IntercomWrapper, StateNames) {
    const std::vector<std::pair<int, std::string>> names = {
        {0, "NULL"},       {1, "Calling"},   {2, "Incoming"},     {3, "Early"},          {4, "Connecting"},
        {5, "Confirmed"},  {6, "Disconnected"}, {7, "-- UNKNOWN --"}, {-1, "-- UNKNOWN --"}};
    for (const auto& [state, name] : names) EXPECT_EQ(Pjsua2Wrapper::translateCallState(state), name);
}

TEST(IntercomWrapper, NonceAndDigestOfTheIntercomHeaders) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        std::string seed = Pjsua2Wrapper::_createSeed();
        ASSERT_EQ(seed.size(), 31u);
        for (char ch : seed) ASSERT_TRUE(std::isalnum(static_cast<unsigned char>(ch))) << seed;
        seen.insert(seed);
    }
    EXPECT_EQ(seen.size(), 200u);
    // MD5 of "abc" + "" and a known value with a non-ASCII password, upper case.
    EXPECT_EQ(Pjsua2Wrapper::_createHash("", "abc"), std::optional<std::string>("900150983CD24FB0D6963F7D28E17F72"));
    EXPECT_EQ(Pjsua2Wrapper::_createHash("c", "ab"), std::optional<std::string>("900150983CD24FB0D6963F7D28E17F72"));
    sip::CallOpParam param;
    param.headers.push_back({"X-Existing", "1"});
    Pjsua2Wrapper::_addAuthHdrWithPass("geheim", param);
    ASSERT_EQ(param.headers.size(), 3u);
    EXPECT_EQ(param.headers[0].name, "X-Existing");
    EXPECT_EQ(param.headers[1].name, "secHdrA");
    EXPECT_EQ(param.headers[2].name, "secHdrB");
    EXPECT_EQ(param.headers[2].value, *Pjsua2Wrapper::_createHash("geheim", param.headers[1].value));
    // Without headers of its own the pair comes first; a new seed gives a new pair.
    sip::CallOpParam again;
    Pjsua2Wrapper::_addAuthHdrWithPass("geheim", again);
    ASSERT_EQ(again.headers.size(), 2u);
    EXPECT_EQ(again.headers[0].name, "secHdrA");
    EXPECT_NE(again.headers[0].value, param.headers[1].value);
    EXPECT_NE(again.headers[1].value, param.headers[2].value);
}

TEST(IntercomWrapper, OwnAddressPrefersTunnelThenLocalThenCellular) {
    using List = std::vector<platform::InterfaceAddress>;
    struct Case {
        List interfaces;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{makeInterfaceAddress("en0", "192.168.1.20"), makeInterfaceAddress("utun3", "10.8.0.2")}, "10.8.0.2"},
        {{makeInterfaceAddress("lo", "127.0.0.1"), makeInterfaceAddress("eth0", "192.168.1.20")}, "192.168.1.20"},
        {{makeInterfaceAddress("pdp_ip0", "100.64.0.9"), makeInterfaceAddress("en0", "192.168.1.20")}, "192.168.1.20"},
        {{makeInterfaceAddress("pdp_ip0", "100.64.0.9")}, "100.64.0.9"},
        {{makeInterfaceAddress("tun0", "10.8.0.2"), makeInterfaceAddress("ppp1", "10.9.0.3")}, "10.9.0.3"},  // later wins
        {{makeInterfaceAddress("en0", "fe80::1"), makeInterfaceAddress("lo", "127.0.0.1")}, "error"},  // IPv6 only
        {{}, "error"},
    };
    for (const auto& c : cases) EXPECT_EQ(Pjsua2Wrapper::_getIPAddress(c.interfaces), c.expected);
}

TEST(IntercomWrapper, LibraryConfigurationFromSettings) {
    auto own = [] { return std::string("192.168.1.20"); };
    auto config = [&](const char* json) { return Pjsua2Wrapper::configFromSettings(*platform::parseJson(json), own); };

    auto defaults = config("{}");
    EXPECT_EQ(defaults.endpoint.logLevel, 1u);
    EXPECT_EQ(defaults.endpoint.userAgent, "Kivano Pjsua2 Wrapper");
    EXPECT_EQ(defaults.endpoint.threadCnt, 5u);
    EXPECT_EQ(defaults.transport.port, 5060u);
    EXPECT_EQ(defaults.account.idUri, "sip:intercom@localhost");
    EXPECT_EQ(defaults.account.rtpPort, 0u);
    EXPECT_FALSE(defaults.account.iceEnabled);

    EXPECT_EQ(config(R"({"srcUser":"kitchen"})").account.idUri, "sip:kitchen@192.168.1.20");
    EXPECT_EQ(config(R"({"srcUser":"kitchen","srcHost":"door.local"})").account.idUri, "sip:kitchen@door.local");
    EXPECT_EQ(config(R"({"srcHost":"door.local"})").account.idUri, "sip:door.local");

    auto rtp = config(R"({"rtpStart":20000})");
    EXPECT_EQ(rtp.account.rtpPort, 20000u);
    EXPECT_EQ(rtp.account.rtpPortRange, 100u);
    EXPECT_EQ(config(R"({"rtpStart":20000,"rtpRange":10})").account.rtpPortRange, 10u);
    EXPECT_EQ(config(R"({"rtpRange":10})").account.rtpPortRange, 0u);  // range alone is not used

    auto full = config(R"({"logLevel":4,"userAgent":"Door","sipPort":5070,"extSrcIp":"203.0.113.7",
                           "stunServers":["stun1.example.org","stun2.example.org:3478"]})");
    EXPECT_EQ(full.endpoint.logLevel, 4u);
    EXPECT_EQ(full.endpoint.userAgent, "Door");
    EXPECT_EQ(full.transport.port, 5070u);
    EXPECT_EQ(full.account.publicAddress, "203.0.113.7");
    EXPECT_EQ(full.endpoint.stunServer, (std::vector<std::string>{"stun1.example.org", "stun2.example.org:3478"}));
    EXPECT_TRUE(full.account.iceEnabled);
    EXPECT_TRUE(full.account.turnEnabled);
    EXPECT_FALSE(config(R"({"stunServers":[]})").account.iceEnabled);
}

TEST(IntercomWrapper, UnreadableConfigurationEndsAsAnErrorEvent) {
    InternalEvents events;
    LogCapture log;
    {
        Pjsua2Wrapper wrapper;
        wrapper.initWithConfig("{not json");
        wrapper.call("{not json");  // no set-up: nothing reaches the library
        wrapper.setLevelMicAndSpeaker(1, 1);
        wrapper.endCall();
    }
    EXPECT_TRUE(log.contains("ERROR: Could not parse the SIP Call Configuration: {not json"));
    auto all = events.all();
    ASSERT_GE(all.size(), 1u);
    EXPECT_EQ(all[0][KvPjsua2NotifCode], 400);
    EXPECT_EQ(all[0][KvPjsua2NotifState], 6);
    EXPECT_EQ(all[0][KvPjsua2NotifStateString], "Disconnected");
    EXPECT_FALSE(sip::Endpoint::instance().libIsCreated());
}

TEST(IntercomController, RelaysLibraryEventsToTheMainThread) {
    Pjsua2 controller;
    std::vector<std::pair<Value, bool>> received;
    const void* sender = nullptr;
    platform::NotificationCenter::defaultCenter().addObserver(&received, KvPjsua2Notification, nullptr,
                                                              [&](const platform::Notification& n) {
                                                                  received.emplace_back(n.userInfo, platform::isMainThread());
                                                                  sender = n.object;
                                                              });
    Value info = {{KvPjsua2NotifCode, 180},
                  {KvPjsua2NotifCodeString, "Ringing"},
                  {KvPjsua2NotifState, 3},
                  {KvPjsua2NotifStateString, "Early"},
                  {"extra", Value::array({1, 2})}};
    // A call in progress is what keeps the controller listening; a bad target ends it with 416.
    controller.startCall(R"({"target":"","settings":{"sipPort":)" + std::to_string(testutil::freeSipPort()) + "}}");
    controller.sync([&] {
        platform::NotificationCenter::defaultCenter().post(KvPjsuaInternalNotification, nullptr, info);
    });
    std::thread([&] { controller.sync([] {}); }).join();
    EXPECT_TRUE(testutil::spinUntil([&] { return received.size() >= 2; }, 10));
    controller.stopCall();
    controller.sync([] {});
    platform::runMainLoopFor(0.1);
    platform::NotificationCenter::defaultCenter().removeObserver(&received);
    ASSERT_GE(received.size(), 2u);
    bool sawRelayed = false;
    for (const auto& [userInfo, onMain] : received) {
        EXPECT_TRUE(onMain);
        if (userInfo == info) sawRelayed = true;
    }
    EXPECT_TRUE(sawRelayed);
#ifdef KIVANO_HAVE_LINPHONE
    EXPECT_EQ(received[0].first[KvPjsua2NotifCode], 416);
#else
    EXPECT_EQ(received[0].first[KvPjsua2NotifCode], 400);  // no library: the set-up fails
#endif
    EXPECT_EQ(received[0].first[KvPjsua2NotifState], 6);
    EXPECT_EQ(sender, &controller);
    // Levels and mute without a call change nothing and do not fail.
    controller.setLevelMic(0.5f, 0.5f);
    controller.setMicMute(true);
    controller.sync([&] { EXPECT_EQ(controller.currentCall(), nullptr); });
}

TEST(IntercomController, EventsOfACallStoppedMeanwhileAreDropped) {
    Pjsua2 controller;
    std::vector<Value> received;
    platform::NotificationCenter::defaultCenter().addObserver(
        &received, KvPjsua2Notification, nullptr, [&](const platform::Notification& n) { received.push_back(n.userInfo); });
    std::string config = R"({"target":"","settings":{"sipPort":)" + std::to_string(testutil::freeSipPort()) + "}}";
    // The set-up's error event is on its way to the main thread when the call is stopped; the
    // main thread must not see it, or it would take it for an event of the next call.
    controller.startCall(config);
    controller.sync([] {});
    controller.stopCall();
    controller.sync([] {});
    platform::runMainLoopFor(0.2);
    EXPECT_TRUE(received.empty()) << testing::PrintToString(received.size());
    // The same for a call replaced by a new one; the new one's events come through.
    controller.startCall(config);
    controller.sync([] {});
    controller.startCall(config);
    EXPECT_TRUE(testutil::spinUntil([&] { return !received.empty(); }, 10));
    platform::runMainLoopFor(0.2);
    controller.stopCall();
    controller.sync([] {});
    platform::NotificationCenter::defaultCenter().removeObserver(&received);
    EXPECT_EQ(received.size(), 1u);
}
