// Intercom calls against a real SIP peer (SIPp on 127.0.0.1): the INVITE's intercom headers,
// confirmed calls with their codec, levels and mute, hang-up and refused calls, both on the
// library wrapper directly and through the plug-in and its controller.
#include <glib.h>
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>

#include "media/intercom/Pjsua2.h"
#include "media/intercom/Pjsua2Wrapper.h"
#include "media/intercom/SIP.h"
#include "platform/dispatch.h"
#include "tests/support/recording_delegate.h"
#include "tests/support/sipp_peer.h"
#include "tests/support/test_util.h"

using testutil::RecordingDelegate;
using testutil::SippPeer;

namespace {

std::string callConfig(const SippPeer& peer, Value extra = Value::object(), const std::string& target = "") {
    Value settings = {{"sipPort", testutil::freeSipPort()}, {"srcUser", "intercom-test"}, {"srcHost", "127.0.0.1"},
                      {"logLevel", 1}};
    for (auto& [k, v] : extra.items()) settings[k] = v;
    return platform::toJson(Value{{"target", target.empty() ? peer.uri() : target}, {"settings", settings}});
}

// The wrapper's events, gathered while the test thread pumps the library.
class WrapperCall {
public:
    WrapperCall() {
        platform::NotificationCenter::defaultCenter().addObserver(
            this, KvPjsuaInternalNotification, nullptr, [this](const platform::Notification& n) { events.push_back(n.userInfo); });
    }
    ~WrapperCall() { platform::NotificationCenter::defaultCenter().removeObserver(this); }

    bool pumpUntil(const std::function<bool()>& done, double seconds = 8) {
        auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!done()) {
            if (std::chrono::steady_clock::now() > until) return false;
            sip::Endpoint::instance().handleEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    bool reached(int state) const {
        for (const auto& e : events)
            if (e[KvPjsua2NotifState] == state) return true;
        return false;
    }
    std::vector<int> states() const {
        std::vector<int> out;
        for (const auto& e : events) out.push_back(e[KvPjsua2NotifState].get<int>());
        return out;
    }
    std::vector<Value> events;
};

std::string md5Upper(const std::string& text) {
    gchar* hex = g_compute_checksum_for_string(G_CHECKSUM_MD5, text.c_str(), static_cast<gssize>(text.size()));
    std::string out(hex);
    g_free(hex);
    for (auto& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

#ifdef KIVANO_HAVE_LINPHONE
constexpr bool kHaveSipLibrary = true;
#else
constexpr bool kHaveSipLibrary = false;
#endif

#define REQUIRE_SIPP()                                                       \
    if (!kHaveSipLibrary) GTEST_SKIP() << "built without a SIP library";    \
    if (!SippPeer::available()) GTEST_SKIP() << "SIPp is not installed"

}  // namespace

TEST(IntercomWrapperCall, AnsweredCallCarriesTheHeadersAndEndsWithBye) {
    REQUIRE_SIPP();
    SippPeer peer("answer");
    ASSERT_TRUE(peer.started());
    WrapperCall call;
    {
        Pjsua2Wrapper wrapper;
        std::string config =
            callConfig(peer, {{"kvIntercomPass", "geheim"}, {"audioCodecs", Value::array({{{"identifier", "PCMA/8000/1"}}})}});
        wrapper.initWithConfig(config);
        wrapper.call(config);
        ASSERT_TRUE(call.pumpUntil([&] { return call.reached(5) || call.reached(6); })) << testing::PrintToString(call.states());
        ASSERT_TRUE(call.reached(5)) << call.events.back().dump();
        EXPECT_EQ(wrapper.callee(), std::optional<std::string>(peer.uri()));

        // Calling, ringing (180), connecting, confirmed with the codec the far side chose.
        EXPECT_EQ(call.states(), (std::vector<int>{1, 3, 4, 5}));
        const Value& confirmed = call.events.back();
        EXPECT_EQ(confirmed[KvPjsua2NotifCode], 200);
        EXPECT_EQ(confirmed[KvPjsua2NotifStateString], "Confirmed");
        EXPECT_EQ(confirmed[KvPjsua2NotifCodecName], "PCMU");
        EXPECT_EQ(call.events[1][KvPjsua2NotifCode], 180);
        EXPECT_FALSE(call.events[1].contains(KvPjsua2NotifCodecName));

        // The page's codec first, every other one after it.
        auto codecs = sip::Endpoint::instance().codecEnum();
        ASSERT_FALSE(codecs.empty());
        EXPECT_EQ(codecs[0].codecId, "PCMA/8000/1");
        EXPECT_EQ(codecs[0].priority, 129);
        for (std::size_t i = 1; i < codecs.size(); ++i) EXPECT_LT(codecs[i].priority, 129) << codecs[i].codecId;

        // Mute keeps the remembered level; only its whole part is kept.
        struct LevelCase {
            float mic;
            int afterUnmute;
        };
        for (LevelCase c : {LevelCase{2.0f, 2}, LevelCase{0.5f, 0}}) {
            wrapper.setLevelMicAndSpeaker(c.mic, 1.0f);
            EXPECT_EQ(wrapper.currentMicLevel(), static_cast<int>(c.mic));
            wrapper.setMicMute(true);
            EXPECT_TRUE(wrapper.isMuted());
            EXPECT_EQ(wrapper.currentMicLevel(), static_cast<int>(c.mic));
            wrapper.setMicMute(false);
            EXPECT_EQ(wrapper.currentMicLevel(), c.afterUnmute);
            EXPECT_EQ(wrapper.currentSpkrLevel(), 1);
        }

        wrapper.endCall();
        EXPECT_TRUE(call.pumpUntil([&] { return call.reached(6); }));
    }
    EXPECT_FALSE(sip::Endpoint::instance().libIsCreated());
    EXPECT_EQ(peer.wait(), 0) << peer.errors();

    std::smatch a, b;
    std::string log = peer.log();
    ASSERT_TRUE(std::regex_search(log, a, std::regex("secHdrA=([a-zA-Z0-9]{31})\\b"))) << log;
    ASSERT_TRUE(std::regex_search(log, b, std::regex("secHdrB=([0-9A-F]{32})\\b"))) << log;
    EXPECT_EQ(b[1].str(), md5Upper(a[1].str() + "geheim"));
}

TEST(IntercomWrapperCall, RefusedCallEndsWithTheFarSidesStatus) {
    REQUIRE_SIPP();
    struct Case {
        const char* scenario;
        int code;
        const char* reason;
    };
    for (const Case& c : {Case{"busy", 486, "Busy Here"}, Case{"not_found", 404, "Not Found"}}) {
        SCOPED_TRACE(c.scenario);
        SippPeer peer(c.scenario);
        ASSERT_TRUE(peer.started());
        WrapperCall call;
        {
            Pjsua2Wrapper wrapper;
            std::string config = callConfig(peer);
            wrapper.initWithConfig(config);
            wrapper.call(config);
            ASSERT_TRUE(call.pumpUntil([&] { return call.reached(6); }));
            wrapper.endCall();
        }
        EXPECT_FALSE(call.reached(5));
        const Value& last = call.events.back();
        EXPECT_EQ(last[KvPjsua2NotifState], 6);
        EXPECT_EQ(last[KvPjsua2NotifCode], c.code);
        EXPECT_EQ(last[KvPjsua2NotifCodeString], c.reason);
        EXPECT_EQ(peer.wait(), 0) << peer.errors();
    }
}

TEST(IntercomWrapperCall, BusySipPortFailsTheSetUp) {
    REQUIRE_SIPP();
    SippPeer peer("busy");  // holds its UDP port: our transport cannot have it
    ASSERT_TRUE(peer.started());
    WrapperCall call;
    {
        Pjsua2Wrapper wrapper;
        Value config = *platform::parseJson(callConfig(peer));
        config["settings"]["sipPort"] = peer.port();
        wrapper.initWithConfig(platform::toJson(config));
        wrapper.call(platform::toJson(config));
        wrapper.endCall();
    }
    ASSERT_FALSE(call.events.empty());
    EXPECT_EQ(call.events[0][KvPjsua2NotifCode], 400);
    EXPECT_EQ(call.events[0][KvPjsua2NotifState], 6);
    EXPECT_FALSE(sip::Endpoint::instance().libIsCreated());
}

class IntercomPluginCall : public testing::Test {
protected:
    void SetUp() override {
        if (!kHaveSipLibrary) GTEST_SKIP() << "built without a SIP library";
        if (!SippPeer::available()) GTEST_SKIP() << "SIPp is not installed";
        plugin.setCommandDelegate(&delegate);
    }
    void makeCall(const std::string& config) {
        plugin.invokeAction("makeCall", WHInvokedUrlCommand(Value::array({config}), "SIP-call", "SIP", "makeCall"));
    }
    bool waitForResult(const std::function<bool(const testutil::RecordedResult&)>& match, double seconds = 8) {
        return testutil::spinUntil(
            [&] {
                for (const auto& r : delegate.results())
                    if (match(r)) return true;
                return false;
            },
            seconds);
    }
    static int stateOf(const testutil::RecordedResult& r) {
        return r.result.message() && r.result.message()->is_object() ? (*r.result.message())["state"].get<int>() : -1;
    }

    RecordingDelegate delegate{RecordingDelegate::Background::Pool};
    SIP plugin{nullptr};
};

TEST_F(IntercomPluginCall, FarSideEndsTheCall) {
    SippPeer peer("answer_then_bye");
    ASSERT_TRUE(peer.started());
    makeCall(callConfig(peer));
    ASSERT_TRUE(waitForResult([](const auto& r) { return !r.result.keepCallback(); }));
    auto results = delegate.results();
    ASSERT_GE(results.size(), 2u);
    bool confirmed = false;
    for (std::size_t i = 0; i + 1 < results.size(); ++i) {
        const auto& r = results[i];
        EXPECT_EQ(r.callbackId, std::optional<std::string>("SIP-call"));
        EXPECT_EQ(r.result.status(), WHCommandStatus_OK);
        EXPECT_TRUE(r.result.keepCallback());
        EXPECT_TRUE(r.onMainThread);
        int state = stateOf(r);
        EXPECT_GE(state, 1);
        EXPECT_LE(state, 5);
        if (state == 5) {
            confirmed = true;
            EXPECT_EQ((*r.result.message())["codecName"], "PCMU");
        }
    }
    EXPECT_TRUE(confirmed);
    const auto& last = results.back();
    EXPECT_EQ(last.result.status(), WHCommandStatus_ERROR);
    EXPECT_EQ(stateOf(last), 6);
    EXPECT_EQ((*last.result.message())["code"], 200);
    EXPECT_EQ((*last.result.message())["stateString"], "Disconnected");
    EXPECT_EQ(peer.wait(), 0) << peer.errors();
    SIP::ctrl()->sync([] {});
    SIP::ctrl()->sync([] { EXPECT_EQ(SIP::ctrl()->currentCall(), nullptr); });
}

TEST_F(IntercomPluginCall, HangUpAnswersOnTheCallsCallbackAndNothingFollows) {
    SippPeer peer("answer");
    ASSERT_TRUE(peer.started());
    makeCall(callConfig(peer, {{"kvIntercomPass", "geheim"}}));
    ASSERT_TRUE(waitForResult([](const auto& r) { return stateOf(r) == 5; })) << delegate.count();

    // One number is not enough: an error, and the call goes on.
    plugin.invokeAction("setLevels", WHInvokedUrlCommand(Value::array({0.8}), "SIP-half", "SIP", "setLevels"));
    ASSERT_EQ(delegate.last().callbackId, std::optional<std::string>("SIP-half"));
    EXPECT_EQ(delegate.last().result.status(), WHCommandStatus_ERROR);
    plugin.invokeAction("setLevels", WHInvokedUrlCommand(Value::array({0.8, 1.0}), "SIP-levels", "SIP", "setLevels"));
    plugin.invokeAction("muteMic", WHInvokedUrlCommand(Value::array({true}), "SIP-mute", "SIP", "muteMic"));
    plugin.invokeAction("hangUp", WHInvokedUrlCommand(Value::array(), "SIP-hangup", "SIP", "hangUp"));
    EXPECT_EQ(peer.wait(), 0) << peer.errors();  // the BYE arrived
    platform::runMainLoopFor(0.3);

    auto results = delegate.results();
    ASSERT_GE(results.size(), 3u);
    const auto& levels = results[results.size() - 3];
    const auto& mute = results[results.size() - 2];
    const auto& hangUp = results.back();
    EXPECT_EQ(levels.callbackId, std::optional<std::string>("SIP-levels"));
    EXPECT_EQ(levels.result.status(), WHCommandStatus_OK);
    EXPECT_EQ(mute.callbackId, std::optional<std::string>("SIP-mute"));
    EXPECT_EQ(hangUp.callbackId, std::optional<std::string>("SIP-call"));
    EXPECT_EQ(hangUp.result.status(), WHCommandStatus_OK);
    EXPECT_FALSE(hangUp.result.keepCallback());
    EXPECT_EQ(hangUp.result.message(),
              std::optional<Value>(Value{{"code", 200}, {"codeString", "User hung up"}, {"state", 6}, {"stateString", "DICONNCT"}}));
    EXPECT_EQ(plugin.callCallbackId(), std::nullopt);
    for (const auto& r : results) EXPECT_NE(r.callbackId, std::optional<std::string>("SIP-hangup"));
}

TEST_F(IntercomPluginCall, InvalidTargetEndsWith416) {
    SippPeer peer("busy");
    ASSERT_TRUE(peer.started());
    makeCall(callConfig(peer, Value::object(), "not a sip uri"));
    ASSERT_TRUE(waitForResult([](const auto& r) { return !r.result.keepCallback(); }));
    const auto& last = delegate.last();
    EXPECT_EQ(last.result.status(), WHCommandStatus_ERROR);
    EXPECT_EQ(stateOf(last), 6);
    EXPECT_EQ((*last.result.message())["code"], 416);
}

TEST_F(IntercomPluginCall, NewCallEndsTheRunningOneQuietly) {
    SippPeer first("answer");
    SippPeer second("busy");
    ASSERT_TRUE(first.started() && second.started());
    makeCall(callConfig(first, {{"kvIntercomPass", "geheim"}}));
    ASSERT_TRUE(waitForResult([](const auto& r) { return stateOf(r) == 5; }));
    delegate.clear();
    plugin.invokeAction("makeCall", WHInvokedUrlCommand(Value::array({callConfig(second)}), "SIP-call2", "SIP", "makeCall"));
    ASSERT_TRUE(waitForResult([](const auto& r) { return !r.result.keepCallback(); }));
    EXPECT_EQ(first.wait(), 0) << first.errors();  // the first call got its BYE
    EXPECT_EQ(second.wait(), 0) << second.errors();
    platform::runMainLoopFor(0.2);
    auto results = delegate.results();
    ASSERT_FALSE(results.empty());
    for (const auto& r : results) EXPECT_EQ(r.callbackId, std::optional<std::string>("SIP-call2"));
    const auto& last = results.back();
    EXPECT_EQ(last.result.status(), WHCommandStatus_ERROR);
    EXPECT_EQ((*last.result.message())["code"], 486);
    EXPECT_EQ(stateOf(last), 6);
}
