// Intercom calls against a real SIP peer (SIPp on 127.0.0.1): the INVITE's intercom headers,
// confirmed calls with their codec, levels and mute, hang-up while ringing and after the answer,
// the ports the library opens, refused and challenged calls, a door that sends no audio, and a
// new call in place of a running one without the main thread waiting, both on the library
// wrapper directly and through the plug-in and its controller.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
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

// Every bind() of this process passes through the one below on its way to the C library, so a
// test sees each port the SIP library asks for, also one it would give back at once.
struct BindAttempt {
    int type;       // SOCK_DGRAM, SOCK_STREAM
    unsigned port;  // asked for, or given by the system for port 0
    bool bound;
};
std::mutex bindMutex;
std::vector<BindAttempt> bindAttempts;
std::atomic<bool> recordBinds{false};

}  // namespace

extern "C" int bind(int fd, const struct sockaddr* address, socklen_t length) noexcept {
    using Bind = int (*)(int, const struct sockaddr*, socklen_t);
    static const Bind real = reinterpret_cast<Bind>(::dlsym(RTLD_NEXT, "bind"));
    int rc = real(fd, address, length);
    int saved = errno;
    if (recordBinds && address && (address->sa_family == AF_INET || address->sa_family == AF_INET6)) {
        auto portOf = [](const sockaddr* a) -> unsigned {
            return ntohs(a->sa_family == AF_INET ? reinterpret_cast<const sockaddr_in*>(a)->sin_port
                                                 : reinterpret_cast<const sockaddr_in6*>(a)->sin6_port);
        };
        unsigned port = portOf(address);
        sockaddr_storage actual{};
        socklen_t actualLength = sizeof actual;
        if (port == 0 && rc == 0 && ::getsockname(fd, reinterpret_cast<sockaddr*>(&actual), &actualLength) == 0)
            port = portOf(reinterpret_cast<sockaddr*>(&actual));
        int type = 0;
        socklen_t typeLength = sizeof type;
        ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength);
        std::lock_guard lock(bindMutex);
        bindAttempts.push_back({type, port, rc == 0});
    }
    errno = saved;
    return rc;
}

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

// What the peer received, each name once, in the order first seen (a peer slow to answer may
// see a request again before its answer).
std::vector<std::string> receivedOnce(const SippPeer& peer) {
    std::vector<std::string> out;
    for (const auto& m : peer.messages())
        if (m.received && std::find(out.begin(), out.end(), m.name) == out.end()) out.push_back(m.name);
    return out;
}

// Whether the request came again after the peer had answered it: its answer was lost.
bool repeatedAfterAnswer(const SippPeer& peer, const std::string& method) {
    bool seen = false, answered = false;
    for (const auto& m : peer.messages()) {
        if (m.received && m.name == method) {
            if (answered) return true;
            seen = true;
        } else if (!m.received && seen) {
            answered = true;
        }
    }
    return false;
}

std::string md5Upper(const std::string& text) {
    g_autofree gchar* hex = g_compute_checksum_for_string(G_CHECKSUM_MD5, text.c_str(), static_cast<gssize>(text.size()));
    std::string out(hex);
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

        // Levels are kept as given. Muting silences the microphone in the library and keeps
        // its level, which unmuting brings back; the speaker is left as it is.
        auto& capture = sip::Endpoint::instance().getCaptureDevMedia();
        auto& playback = sip::Endpoint::instance().getPlaybackDevMedia();
        for (float level : {2.0f, 0.7f, 0.5f, 0.1f, 1.3f}) {
            SCOPED_TRACE(level);
            wrapper.setLevelMicAndSpeaker(level, level);
            EXPECT_FLOAT_EQ(wrapper.currentMicLevel(), level);
            EXPECT_NEAR(capture.txLevelAdjustment(), level, 1e-3);
            EXPECT_NEAR(playback.rxLevelAdjustment(), level, 1e-3);
            wrapper.setMicMute(true);
            EXPECT_TRUE(wrapper.isMuted());
            EXPECT_FLOAT_EQ(wrapper.currentMicLevel(), level);
            EXPECT_EQ(capture.txLevelAdjustment(), 0.0f);
            EXPECT_NEAR(playback.rxLevelAdjustment(), level, 1e-3);
            wrapper.setMicMute(false);
            EXPECT_FLOAT_EQ(wrapper.currentMicLevel(), level);
            EXPECT_FLOAT_EQ(wrapper.currentSpkrLevel(), level);
            EXPECT_NEAR(capture.txLevelAdjustment(), level, 1e-3);
            EXPECT_NEAR(playback.rxLevelAdjustment(), level, 1e-3);
        }
        // A level set while muted stays silent until the microphone is unmuted.
        wrapper.setMicMute(true);
        wrapper.setLevelMicAndSpeaker(0.3f, 1.0f);
        EXPECT_EQ(capture.txLevelAdjustment(), 0.0f);
        wrapper.setMicMute(false);
        EXPECT_NEAR(capture.txLevelAdjustment(), 0.3f, 1e-3);

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

TEST(IntercomWrapperCall, HangUpEndsTheCallCleanlyAtTheDoor) {
    REQUIRE_SIPP();
    struct Case {
        const char* scenario;
        int hangUpIn;                       // the state in which the caller hangs up
        std::vector<std::string> received;  // what the door gets
    };
    const std::vector<Case> cases = {
        // CANCEL, answered 200 and 487; the door repeats the 487 until the ACK for it comes.
        {"ring_then_cancel", sip::kStateEarly, {"INVITE", "CANCEL", "ACK"}},
        // The BYE is answered; the door stays a while and would see it repeated.
        {"hangup_after_answer", sip::kStateConfirmed, {"INVITE", "ACK", "BYE"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scenario);
        SippPeer peer(c.scenario);
        ASSERT_TRUE(peer.started());
        WrapperCall call;
        testutil::LogCapture log;
        {
            Pjsua2Wrapper wrapper;
            std::string config = callConfig(peer, {{"kvIntercomPass", "geheim"}});
            wrapper.initWithConfig(config);
            wrapper.call(config);
            ASSERT_TRUE(call.pumpUntil([&] { return call.reached(c.hangUpIn); })) << testing::PrintToString(call.states());
            wrapper.endCall();
        }  // teardown: the library finishes the call's transactions before it goes down
        EXPECT_FALSE(sip::Endpoint::instance().libIsCreated());
        EXPECT_TRUE(call.reached(sip::kStateDisconnected));
        EXPECT_EQ(peer.wait(30), 0) << peer.errors();
        EXPECT_EQ(receivedOnce(peer), c.received);
        for (const char* request : {"CANCEL", "BYE"}) EXPECT_FALSE(repeatedAfterAnswer(peer, request)) << request;
        EXPECT_FALSE(log.containsSubstring("not released in time"));
    }
}

// A socket of the test's own on a fixed port, as another SIP program on this computer would
// hold it; empty when the port cannot be had.
struct FixedPortSocket {
    FixedPortSocket(int type, unsigned port, bool reuse) {
        // Another test of this machine may hold it for a moment.
        for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
            fd = ::socket(AF_INET, type | SOCK_NONBLOCK, 0);
            int on = 1;
            if (reuse) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_ANY);
            a.sin_port = htons(static_cast<uint16_t>(port));
            if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                ::close(fd);
                fd = -1;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
    }
    ~FixedPortSocket() {
        if (fd >= 0) ::close(fd);
    }
    bool held() const { return fd >= 0; }
    bool receivedAnything() const {
        char buffer[2048];
        return ::recv(fd, buffer, sizeof buffer, 0) >= 0;
    }
    int fd = -1;
};

TEST(IntercomWrapperCall, OpensOnlyTheConfiguredSipPortAndTheMediaPorts) {
    REQUIRE_SIPP();
    SippPeer peer("answer");
    ASSERT_TRUE(peer.started());
    // The usual SIP port, held by "another SIP program" that shares it as such programs do.
    FixedPortSocket otherProgram(SOCK_DGRAM, 5060, true);
    if (!otherProgram.held()) GTEST_SKIP() << "UDP port 5060 is taken on this computer";

    unsigned sipPort = testutil::freeSipPort();
    unsigned rtpStart = 30000 + 2 * (static_cast<unsigned>(::getpid()) % 5000);
    std::string config = callConfig(peer, {{"sipPort", sipPort}, {"rtpStart", rtpStart}, {"rtpRange", 40},
                                           {"kvIntercomPass", "geheim"}});
    WrapperCall call;
    {
        std::lock_guard lock(bindMutex);
        bindAttempts.clear();
    }
    {
        Pjsua2Wrapper wrapper;
        recordBinds = true;
        wrapper.initWithConfig(config);
        wrapper.call(config);
        recordBinds = false;
        // With the call under way, 5060 over TCP is still free for anybody.
        EXPECT_TRUE(FixedPortSocket(SOCK_STREAM, 5060, false).held());
        recordBinds = true;
        ASSERT_TRUE(call.pumpUntil([&] { return call.reached(5) || call.reached(6); })) << testing::PrintToString(call.states());
        EXPECT_TRUE(call.reached(5)) << call.events.back().dump();
        wrapper.endCall();
    }
    recordBinds = false;
    EXPECT_EQ(peer.wait(), 0) << peer.errors();
    EXPECT_FALSE(otherProgram.receivedAnything());

    std::lock_guard lock(bindMutex);
    bool sawUdp = false, sawTcp = false;
    for (const auto& b : bindAttempts) {
        SCOPED_TRACE((b.type == SOCK_DGRAM ? "UDP " : "TCP ") + std::to_string(b.port));
        bool sip = b.port == sipPort && (b.type == SOCK_DGRAM || b.type == SOCK_STREAM);
        bool media = b.type == SOCK_DGRAM && b.port >= rtpStart && b.port < rtpStart + 40;
        EXPECT_TRUE(sip || media);
        sawUdp = sawUdp || (sip && b.bound && b.type == SOCK_DGRAM);
        sawTcp = sawTcp || (sip && b.bound && b.type == SOCK_STREAM);
    }
    EXPECT_TRUE(sawUdp);
    EXPECT_TRUE(sawTcp);
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

// A TCP port held by "another program" for as long as the object lives.
class TakenTcpPort {
public:
    TakenTcpPort() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 1);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~TakenTcpPort() { ::close(fd_); }
    unsigned port() const { return port_; }

private:
    int fd_ = -1;
    unsigned port_ = 0;
};

class IntercomPluginCall : public testing::Test {
protected:
    void SetUp() override {
        if (!kHaveSipLibrary) GTEST_SKIP() << "built without a SIP library";
        if (!SippPeer::available()) GTEST_SKIP() << "SIPp is not installed";
        plugin.setCommandDelegate(&delegate);
    }
    // The controller outlives the test: the work asked of it (a release) is over before the next
    // test, and before the exit handlers of the test program.
    void TearDown() override {
        if (SIP::ctrl()) SIP::ctrl()->sync([] {});
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
    // The door's BYE was answered, and nothing more came from this side.
    EXPECT_EQ(receivedOnce(peer), (std::vector<std::string>{"INVITE", "ACK", "200"}));
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
    plugin.invokeAction("setLevels", WHInvokedUrlCommand(Value::array({0.7, 0.7}), "SIP-levels", "SIP", "setLevels"));
    plugin.invokeAction("muteMic", WHInvokedUrlCommand(Value::array({true}), "SIP-mute", "SIP", "muteMic"));
    plugin.invokeAction("muteMic", WHInvokedUrlCommand(Value::array({false}), "SIP-unmute", "SIP", "muteMic"));
    // The library has the levels as the page gave them, also after mute and unmute.
    SIP::ctrl()->sync([] {
        auto& ep = sip::Endpoint::instance();
        EXPECT_NEAR(ep.getCaptureDevMedia().txLevelAdjustment(), 0.7, 1e-3);
        EXPECT_NEAR(ep.getPlaybackDevMedia().rxLevelAdjustment(), 0.7, 1e-3);
    });
    plugin.invokeAction("hangUp", WHInvokedUrlCommand(Value::array(), "SIP-hangup", "SIP", "hangUp"));
    EXPECT_EQ(peer.wait(), 0) << peer.errors();  // the BYE arrived
    // The hang-up's answer ends the call's callback; the window then shows any stray answer.
    ASSERT_TRUE(waitForResult([](const auto& r) {
        return r.callbackId == std::optional<std::string>("SIP-call") && !r.result.keepCallback();
    }));
    platform::runMainLoopFor(0.3);

    auto results = delegate.results();
    ASSERT_GE(results.size(), 4u);
    const auto& levels = results[results.size() - 4];
    const auto& mute = results[results.size() - 3];
    const auto& unmute = results[results.size() - 2];
    const auto& hangUp = results.back();
    EXPECT_EQ(levels.callbackId, std::optional<std::string>("SIP-levels"));
    EXPECT_EQ(levels.result.status(), WHCommandStatus_OK);
    EXPECT_EQ(mute.callbackId, std::optional<std::string>("SIP-mute"));
    EXPECT_EQ(unmute.callbackId, std::optional<std::string>("SIP-unmute"));
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
    // Another program holds the SIP port, so each call goes to the one alternative; the running
    // call must give it back before the new call's port check.
    TakenTcpPort other;
    struct Case {
        const char* firstScenario;
        int runningIn;  // the state of the first call when the second is made
    };
    for (const Case& c : {Case{"answer", sip::kStateConfirmed}, Case{"ring_then_cancel", sip::kStateEarly}}) {
        SCOPED_TRACE(c.firstScenario);
        delegate.clear();
        unsigned alt = testutil::freeSipPort();
        SippPeer first(c.firstScenario);
        SippPeer second("busy");
        ASSERT_TRUE(first.started() && second.started());
        Value ports = {{"sipPort", other.port()}, {"altPorts", Value::array({alt})}, {"kvIntercomPass", "geheim"}};
        makeCall(callConfig(first, ports));
        ASSERT_TRUE(waitForResult([&](const auto& r) { return stateOf(r) == c.runningIn; }));
        delegate.clear();
        plugin.invokeAction("makeCall",
                            WHInvokedUrlCommand(Value::array({callConfig(second, ports)}), "SIP-call2", "SIP", "makeCall"));
        ASSERT_TRUE(waitForResult([](const auto& r) { return !r.result.keepCallback(); }));
        EXPECT_EQ(first.wait(), 0) << first.errors();  // the first call ended at its door
        EXPECT_EQ(second.wait(), 0) << second.errors();
        platform::runMainLoopFor(0.2);
        auto results = delegate.results();
        ASSERT_FALSE(results.empty());
        for (const auto& r : results) EXPECT_EQ(r.callbackId, std::optional<std::string>("SIP-call2"));
        const auto& last = results.back();
        EXPECT_EQ(last.result.status(), WHCommandStatus_ERROR);
        EXPECT_EQ((*last.result.message())["code"], 486) << last.result.message()->dump();  // from the second door
        EXPECT_EQ(stateOf(last), 6);
    }
}

// A door that challenges the INVITE: the intercom has no credentials for it, with or without the
// page's password, so the call ends with the challenge's status as its final error, soon, and
// gives its SIP and media ports back.
TEST_F(IntercomPluginCall, ChallengedCallEndsWithTheChallengesStatus) {
    struct Case {
        int code;
        bool password;
    };
    for (const Case& c : {Case{401, false}, Case{401, true}, Case{407, false}, Case{407, true}}) {
        SCOPED_TRACE(std::to_string(c.code) + (c.password ? " with the password" : " without a password"));
        delegate.clear();
        SippPeer peer("challenge_" + std::to_string(c.code));
        ASSERT_TRUE(peer.started());
        unsigned sipPort = testutil::freeSipPort();
        unsigned rtpStart = 31000 + 2 * (static_cast<unsigned>(::getpid()) % 4000);
        Value extra = {{"sipPort", sipPort}, {"rtpStart", rtpStart}, {"rtpRange", 4}};
        if (c.password) extra["kvIntercomPass"] = "geheim";
        makeCall(callConfig(peer, extra));
        ASSERT_TRUE(waitForResult([](const auto& r) { return !r.result.keepCallback(); }, 5))
            << testing::PrintToString(delegate.count());
        const auto& last = delegate.last();
        EXPECT_EQ(last.callbackId, std::optional<std::string>("SIP-call"));
        EXPECT_EQ(last.result.status(), WHCommandStatus_ERROR);
        EXPECT_EQ(stateOf(last), 6);
        EXPECT_EQ((*last.result.message())["code"], c.code) << last.result.message()->dump();
        EXPECT_EQ(peer.wait(), 0) << peer.errors();
        EXPECT_EQ(receivedOnce(peer), (std::vector<std::string>{"INVITE", "ACK"}));
        // Released: every port of the call can be had again.
        EXPECT_TRUE(FixedPortSocket(SOCK_DGRAM, sipPort, false).held());
        EXPECT_TRUE(FixedPortSocket(SOCK_STREAM, sipPort, false).held());
        for (unsigned port = rtpStart; port < rtpStart + 4; ++port)
            EXPECT_TRUE(FixedPortSocket(SOCK_DGRAM, port, false).held()) << port;
    }
}

// A door that sends no audio (nobody speaks there, and this side sends none without a sound
// card) holds an ordinary call: it stays up, past any media time-out, until the page hangs up.
TEST_F(IntercomPluginCall, SilentDoorKeepsTheCallUntilThePageHangsUp) {
    SippPeer peer("answer", {120});
    ASSERT_TRUE(peer.started());
    makeCall(callConfig(peer, {{"kvIntercomPass", "geheim"}}));
    ASSERT_TRUE(waitForResult([](const auto& r) { return stateOf(r) == 5; })) << delegate.count();
    EXPECT_FALSE(waitForResult([](const auto& r) { return !r.result.keepCallback(); }, 45))
        << delegate.last().result.message()->dump();
    plugin.invokeAction("hangUp", WHInvokedUrlCommand(Value::array(), "SIP-hangup", "SIP", "hangUp"));
    EXPECT_EQ(peer.wait(), 0) << peer.errors();
    // The only BYE is the page's, answered by the door.
    EXPECT_EQ(receivedOnce(peer), (std::vector<std::string>{"INVITE", "ACK", "BYE"}));
    EXPECT_EQ(delegate.last().result.message(),
              std::optional<Value>(Value{{"code", 200}, {"codeString", "User hung up"}, {"state", 6}, {"stateString", "DICONNCT"}}));
}

// After a hang-up whose BYE the door ignores, the library spends its release wait on the worker;
// a new call goes in behind it, and the main thread goes on answering in the meantime.
TEST_F(IntercomPluginCall, MainThreadNeverWaitsForTheLastCallsRelease) {
    SippPeer deaf("ignore_bye");
    SippPeer next("busy");
    ASSERT_TRUE(deaf.started() && next.started());
    makeCall(callConfig(deaf));
    ASSERT_TRUE(waitForResult([](const auto& r) { return stateOf(r) == 5; })) << delegate.count();
    plugin.invokeAction("hangUp", WHInvokedUrlCommand(Value::array(), "SIP-hangup", "SIP", "hangUp"));
    delegate.clear();

    using Clock = std::chrono::steady_clock;
    auto took = [](const std::function<void()>& step) {
        auto start = Clock::now();
        step();
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    };
    auto makeCallTook = took([&] {
        plugin.invokeAction("makeCall", WHInvokedUrlCommand(Value::array({callConfig(next)}), "SIP-call2", "SIP", "makeCall"));
    });
    auto muteTook = took([&] {
        plugin.invokeAction("muteMic", WHInvokedUrlCommand(Value::array({true}), "SIP-mute", "SIP", "muteMic"));
    });
    EXPECT_LT(makeCallTook, 100);
    EXPECT_LT(muteTook, 100);
    ASSERT_EQ(delegate.count(), 1u);
    EXPECT_EQ(delegate.last().callbackId, std::optional<std::string>("SIP-mute"));

    // The new call's results, in order, on its own callback: progress, then the door's refusal.
    ASSERT_TRUE(waitForResult([](const auto& r) { return !r.result.keepCallback() && r.callbackId == std::string("SIP-call2"); }, 15));
    EXPECT_EQ(next.wait(), 0) << next.errors();
    platform::runMainLoopFor(0.2);
    auto results = delegate.results();
    ASSERT_GE(results.size(), 2u);
    for (std::size_t i = 1; i + 1 < results.size(); ++i) {
        EXPECT_EQ(results[i].callbackId, std::optional<std::string>("SIP-call2"));
        EXPECT_TRUE(results[i].result.keepCallback());
        EXPECT_LE(stateOf(results[i]), 5);
    }
    EXPECT_EQ(results.back().callbackId, std::optional<std::string>("SIP-call2"));
    EXPECT_EQ((*results.back().result.message())["code"], 486);
    EXPECT_EQ(stateOf(results.back()), 6);
    // The deaf door got the BYE, again and again.
    EXPECT_EQ(deaf.wait(), 0) << deaf.errors();
    auto messages = deaf.messages();
    EXPECT_GE(std::count_if(messages.begin(), messages.end(), [](const auto& m) { return m.received && m.name == "BYE"; }), 2);
}
