// Controller discovery over real UDP sockets on loopback, against a responder that answers like a
// controller; reply parsing; stopping and restarting; sockets that cannot send, bind or open.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "media/KVHSFinder.h"
#include "platform/dispatch.h"
#include "tests/support/discovery_responder.h"
#include "tests/support/recording_delegate.h"
#include "tests/support/test_util.h"

using platform::SocketAddress;
using testdisc::bytes;
using testdisc::DiscoveryResponder;
using testutil::callAction;

namespace {

Value hit(const std::string& address, const std::string& name) {
    Value v = Value::object();
    v[address] = name;
    return v;
}

// The finder pointed at the responder: both destinations on loopback, local ports from the system.
KVHSFinder::Endpoints loopbackEndpoints(const DiscoveryResponder& responder) {
    KVHSFinder::Endpoints e;
    e.ssdpLocal = {"127.0.0.1", 0};
    e.ssdpGroup = {"127.0.0.1", responder.ssdpPort()};
    e.broadcastLocal = {"127.0.0.1", 0};
    e.broadcastTarget = {"127.0.0.1", responder.probePort()};
    e.sendTimeout = 0.25;
    return e;
}

class FinderTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::runMainLoopFor(0.01);
        baselineDescriptors = testdisc::openDescriptorCount();
        KVHSFinder::setEndpointsForTesting(loopbackEndpoints(responder));
        finder.setCommandDelegate(&delegate);
    }
    void TearDown() override {
        finder.tearDownSockets();
        KVHSFinder::setEndpointsForTesting(std::nullopt);
    }
    bool waitForResults(std::size_t n, double timeout = 5.0) {
        return delegate.waitFor(n, timeout);
    }
    // Hit messages on a callback, in order.
    std::vector<Value> hitsOn(const std::string& callback) const {
        std::vector<Value> out;
        for (const auto& r : delegate.results()) {
            if (r.callbackId == callback && r.result.keepCallback()) out.push_back(r.message().value_or(Value()));
        }
        return out;
    }

    testutil::LogCapture log;
    DiscoveryResponder responder;
    testutil::RecordingDelegate delegate;
    KVHSFinder finder{nullptr};
    int baselineDescriptors = 0;
};

TEST_F(FinderTest, SearchesOnBothChannelsAndReportsEveryHit) {
    responder.setSsdpReplies({bytes(DiscoveryResponder::controllerSsdpReply("Wohnung", 80))});
    responder.setProbeReplies({bytes(DiscoveryResponder::controllerProbeReply("Wohnung", 8080))});
    callAction(finder, "startFinder", Value::array(), "find1");
    EXPECT_TRUE(finder.isSearching);
    EXPECT_EQ(delegate.count(), 0u) << "no immediate answer";

    ASSERT_TRUE(waitForResults(2));
    platform::runMainLoopFor(0.05);
    // Each channel reports the controller once: from LOCATION, and from the sender's address.
    auto hits = hitsOn("find1");
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_NE(std::find(hits.begin(), hits.end(), hit("127.0.0.1:80", "Wohnung")), hits.end());
    EXPECT_NE(std::find(hits.begin(), hits.end(), hit("127.0.0.1:8080", "Wohnung")), hits.end());
    for (const auto& r : delegate.results()) {
        EXPECT_EQ(r.status(), WHCommandStatus_OK);
        EXPECT_TRUE(r.result.keepCallback());
    }
    EXPECT_TRUE(log.contains("SSDP discovered: Wohnung with IP 127.0.0.1:80"));
    EXPECT_TRUE(log.contains("UDP discovered: Wohnung with IP 127.0.0.1:8080"));

    // Exactly one request per channel, as sent on the wire.
    ASSERT_TRUE(responder.waitForRequests(1, 1));
    ASSERT_EQ(responder.ssdpRequests().size(), 1u);
    const auto search = responder.ssdpRequests()[0];
    ASSERT_EQ(search.size(), 99u);
    EXPECT_EQ(search.back(), 0);
    EXPECT_EQ(std::string(search.begin(), search.end() - 1),
              "M-SEARCH RevAVEV HTTP/1.1\r\nHost: 239.255.255.250:1900\r\nMan: ssdp:discover\r\nMX: 3\r\n"
              "ST: ssdp:all\r\n\r\n");
    EXPECT_EQ(responder.probeRequests(), std::vector<testdisc::Bytes>{testdisc::Bytes{0}});
    // Replies come back to the sockets that sent.
    EXPECT_EQ(responder.lastSsdpSenderPort(), finder.ssdpSocket->localPort());
    EXPECT_EQ(responder.lastProbeSenderPort(), finder.udpSocket->localPort());

    auto lines = log.lines();
    auto multicast = std::find(lines.begin(), lines.end(), "-KVHSFinder: sendMulticast");
    auto broadcast = std::find(lines.begin(), lines.end(), "-KVHSFinder: sendBroadcast");
    ASSERT_NE(multicast, lines.end());
    EXPECT_LT(multicast, broadcast);

    // The send time-out is the configured one on both sockets.
    for (auto* s : {finder.ssdpSocket.get(), finder.udpSocket.get()}) {
        timeval tv{};
        socklen_t len = sizeof tv;
        ASSERT_EQ(getsockopt(s->nativeHandle(), SOL_SOCKET, SO_SNDTIMEO, &tv, &len), 0);
        EXPECT_EQ(tv.tv_sec, 0);
        EXPECT_NEAR(tv.tv_usec, 250000, 4000);
    }
    int broadcastOn = 0;
    socklen_t len = sizeof broadcastOn;
    getsockopt(finder.udpSocket->nativeHandle(), SOL_SOCKET, SO_BROADCAST, &broadcastOn, &len);
    EXPECT_EQ(broadcastOn, 1);
}

TEST_F(FinderTest, EveryReplyIsReportedWithoutDeduplication) {
    responder.setSsdpReplies({bytes(DiscoveryResponder::controllerSsdpReply("Wohnung", 80)),
                              bytes("HTTP/1.1 200 OK\r\nSERVER: Linux/5.10 UPnP/1.0 MediaBox/2\r\n"
                                    "LOCATION: http://127.0.0.1:9000/desc.xml\r\n\r\n"),
                              bytes(DiscoveryResponder::controllerSsdpReply("Wohnung", 80)),
                              bytes(DiscoveryResponder::controllerSsdpReply("Keller", 81))});
    responder.setProbeReplies({});
    callAction(finder, "startFinder", Value::array(), "find1");
    ASSERT_TRUE(waitForResults(3));
    platform::runMainLoopFor(0.05);
    EXPECT_EQ(hitsOn("find1"),
              (std::vector<Value>{hit("127.0.0.1:80", "Wohnung"), hit("127.0.0.1:80", "Wohnung"),
                                  hit("127.0.0.1:81", "Keller")}));
    EXPECT_TRUE(log.contains("     detected other device, do not process!"));
}

TEST_F(FinderTest, DatagramsThatAreEmptyOrNotUtf8YieldNothing) {
    responder.setSsdpReplies({});
    responder.setProbeReplies({});
    callAction(finder, "startFinder", Value::array(), "find1");
    ASSERT_TRUE(responder.waitForRequests(1, 1));
    const auto port = finder.udpSocket->localPort();

    responder.sendFromProbe({}, port);
    auto invalid = bytes(DiscoveryResponder::controllerProbeReply("Wohn\xff", 80));
    responder.sendFromProbe(invalid, port);
    auto overlong = bytes(DiscoveryResponder::controllerProbeReply("Wohn\xc0\xae", 80));
    responder.sendFromProbe(overlong, port);
    // A good reply afterwards shows the ones before were read and dropped; a zero byte is text.
    responder.sendFromProbe(bytes(DiscoveryResponder::controllerProbeReply("Garten", 82) + std::string(1, '\0')), port);
    ASSERT_TRUE(waitForResults(1));
    platform::runMainLoopFor(0.05);
    EXPECT_EQ(hitsOn("find1"), std::vector<Value>{hit("127.0.0.1:82", "Garten")});
    EXPECT_TRUE(log.contains("ERROR: no data!"));
    EXPECT_FALSE(log.containsSubstring("Wohn"));
    EXPECT_FALSE(log.containsSubstring("detected other device"));
}

TEST_F(FinderTest, StopClosesTheStartCallbackAndTheSockets) {
    callAction(finder, "startFinder", Value::array(), "find1");
    ASSERT_TRUE(waitForResults(2));
    EXPECT_EQ(testdisc::openDescriptorCount(), baselineDescriptors + 2);
    const auto oldPort = finder.udpSocket->localPort();
    delegate.clear();

    callAction(finder, "stopFinder", Value::array(), "stop1");
    ASSERT_EQ(delegate.count(), 2u);
    auto r = delegate.results();
    EXPECT_EQ(r[0].callbackId, "find1");
    EXPECT_EQ(r[0].message(), true);
    EXPECT_FALSE(r[0].result.keepCallback());
    EXPECT_EQ(r[1].callbackId, "stop1");
    EXPECT_EQ(r[1].message(), true);
    EXPECT_FALSE(r[1].result.keepCallback());
    EXPECT_TRUE(log.contains("-KVHSFinder: stopFinder"));
    EXPECT_TRUE(log.contains("-KVHSFinder nativ iOS: searching and has a callbackId."));
    EXPECT_FALSE(finder.isSearching);
    EXPECT_FALSE(finder.callbackId);
    EXPECT_EQ(testdisc::openDescriptorCount(), baselineDescriptors);

    // Nothing is heard any more.
    responder.sendFromProbe(bytes(DiscoveryResponder::controllerProbeReply("Late", 80)), oldPort);
    platform::runMainLoopFor(0.1);

    callAction(finder, "stopFinder", Value::array(), "stop2");
    ASSERT_EQ(delegate.count(), 3u);
    EXPECT_EQ(delegate.last().callbackId, "stop2");
    EXPECT_EQ(delegate.last().message(), false);
    EXPECT_TRUE(log.contains("-KVHSFinder nativ iOS: not searching but already has a callbackId."));
}

TEST_F(FinderTest, StopCases) {
    struct Case {
        const char* name;
        bool search;
        std::optional<std::string> startCallback, stopCallback;
        std::vector<std::pair<std::string, bool>> answers;  // callback, value
        const char* logLine;
    } cases[] = {
        {"idle, stop with callback", false, std::nullopt, "stop", {{"stop", false}},
         "-KVHSFinder nativ iOS: not searching but already has a callbackId."},
        {"idle, stop without callback", false, std::nullopt, std::nullopt, {}, nullptr},
        {"searching, start without callback", true, std::nullopt, "stop", {{"stop", true}},
         "-KVHSFinder nativ iOS: searching and has a callbackId."},
        {"searching, stop without callback", true, "find", std::nullopt, {{"find", true}},
         "-KVHSFinder nativ iOS: could this really happen?"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        responder.setSsdpReplies({});
        responder.setProbeReplies({});
        if (c.search) callAction(finder, "startFinder", Value::array(), c.startCallback);
        delegate.clear();
        log.clear();
        callAction(finder, "stopFinder", Value::array(), c.stopCallback);
        std::vector<std::pair<std::string, bool>> answers;
        for (const auto& r : delegate.results()) {
            EXPECT_FALSE(r.result.keepCallback());
            answers.emplace_back(r.callbackId.value_or("?"), r.message().value().get<bool>());
        }
        EXPECT_EQ(answers, c.answers);
        if (c.logLine) {
            EXPECT_TRUE(log.contains(c.logLine));
        }
        EXPECT_TRUE(log.contains("-KVHSFinder: stopFinder"));
        EXPECT_FALSE(finder.isSearching);
        EXPECT_FALSE(finder.ssdpSocket || finder.udpSocket);
        EXPECT_EQ(testdisc::openDescriptorCount(), baselineDescriptors);
    }
}

TEST_F(FinderTest, StartWhileSearchingReplacesTheRunningSearch) {
    // Fixed local ports, as in the field: the second search can only bind if the first let go.
    auto e = loopbackEndpoints(responder);
    e.ssdpLocal.port = testdisc::freeUdpPort();
    e.broadcastLocal.port = testdisc::freeUdpPort();
    KVHSFinder::setEndpointsForTesting(e);

    callAction(finder, "startFinder", Value::array(), "find1");
    ASSERT_TRUE(waitForResults(2));
    delegate.clear();
    callAction(finder, "startFinder", Value::array(), "find2");
    ASSERT_TRUE(waitForResults(3));
    platform::runMainLoopFor(0.05);

    auto r = delegate.results();
    EXPECT_EQ(r[0].callbackId, "find1");
    EXPECT_EQ(r[0].message(), true);
    EXPECT_FALSE(r[0].result.keepCallback());
    EXPECT_TRUE(hitsOn("find1").empty());
    EXPECT_EQ(hitsOn("find2").size(), 2u);
    EXPECT_FALSE(log.containsSubstring("bind to port"));
    EXPECT_EQ(finder.ssdpSocket->localPort(), e.ssdpLocal.port);
    EXPECT_EQ(finder.udpSocket->localPort(), e.broadcastLocal.port);
    EXPECT_EQ(testdisc::openDescriptorCount(), baselineDescriptors + 2);

    callAction(finder, "stopFinder", Value::array(), "stop");
    EXPECT_EQ(testdisc::openDescriptorCount(), baselineDescriptors);
    // And once more after the stop.
    delegate.clear();
    callAction(finder, "startFinder", Value::array(), "find3");
    ASSERT_TRUE(waitForResults(2));
    EXPECT_EQ(hitsOn("find3").size(), 2u);
}

TEST_F(FinderTest, ASilentNetworkEndsNothingAndLateRepliesStillCount) {
    responder.setSsdpReplies({});
    responder.setProbeReplies({});
    callAction(finder, "startFinder", Value::array(), "find1");
    ASSERT_TRUE(responder.waitForRequests(1, 1));
    platform::runMainLoopFor(0.3);  // several send time-outs: no timer ends the search
    EXPECT_EQ(delegate.count(), 0u);
    EXPECT_TRUE(finder.isSearching);
    EXPECT_EQ(responder.ssdpRequests().size(), 1u) << "requests are sent once per start";
    EXPECT_EQ(responder.probeRequests().size(), 1u);

    responder.sendFromSsdp(bytes(DiscoveryResponder::controllerSsdpReply("Spaet", 90)), finder.ssdpSocket->localPort());
    ASSERT_TRUE(waitForResults(1));
    EXPECT_EQ(hitsOn("find1"), std::vector<Value>{hit("127.0.0.1:90", "Spaet")});
}

TEST_F(FinderTest, SendsTheSystemRefusesAreNotAnError) {
    auto e = loopbackEndpoints(responder);
    e.ssdpGroup.port = 0;  // refused by the system, nothing leaves the host
    e.broadcastTarget.port = 0;
    KVHSFinder::setEndpointsForTesting(e);
    callAction(finder, "startFinder", Value::array(), "find1");
    platform::runMainLoopFor(0.1);
    EXPECT_EQ(delegate.count(), 0u);
    EXPECT_TRUE(finder.isSearching);
    EXPECT_TRUE(log.containsSubstring("-KVHSFinder: sendMulticast failed"));
    EXPECT_TRUE(log.containsSubstring("-KVHSFinder: sendBroadcast failed"));
    // Replies that arrive anyway are still reported.
    responder.sendFromProbe(bytes(DiscoveryResponder::controllerProbeReply("Wohnung", 80)), finder.udpSocket->localPort());
    ASSERT_TRUE(waitForResults(1));
    callAction(finder, "stopFinder", Value::array(), "stop");
    EXPECT_EQ(delegate.last().message(), true);
}

TEST_F(FinderTest, APortHeldElsewhereStillHearsReplies) {
    // Someone else holds the SSDP port: the socket sends from a port of the system's choosing.
    int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(holder, reinterpret_cast<sockaddr*>(&a), &len);
    auto e = loopbackEndpoints(responder);
    e.ssdpLocal.port = ntohs(a.sin_port);
    KVHSFinder::setEndpointsForTesting(e);

    responder.setProbeReplies({});
    callAction(finder, "startFinder", Value::array(), "find1");
    ASSERT_TRUE(waitForResults(1));
    EXPECT_EQ(hitsOn("find1"), std::vector<Value>{hit("127.0.0.1:8080", "Wohnung")});
    EXPECT_TRUE(log.containsSubstring("-KVHSFinder: bind to port " + std::to_string(e.ssdpLocal.port) + " failed"));
    EXPECT_NE(finder.ssdpSocket->localPort(), e.ssdpLocal.port);
    close(holder);
}

TEST_F(FinderTest, NoSocketsAtAllIsAnErrorNotASilentSearch) {
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    // No descriptor below the limit is free any more.
    int highest = dup(0);
    ASSERT_GE(highest, 0);
    std::vector<int> fillers;
    for (int fd = 0; fd < highest; ++fd) {
        if (fcntl(fd, F_GETFD) < 0) {
            int d = dup(0);
            if (d >= 0) fillers.push_back(d);
        }
    }
    rlimit tight = old;
    tight.rlim_cur = static_cast<rlim_t>(highest + 1);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    callAction(finder, "startFinder", Value::array(), "find1");
    setrlimit(RLIMIT_NOFILE, &old);
    for (int fd : fillers) close(fd);
    close(highest);

    ASSERT_EQ(delegate.count(), 1u);
    EXPECT_EQ(delegate.last().callbackId, "find1");
    EXPECT_EQ(delegate.last().status(), WHCommandStatus_ERROR);
    EXPECT_EQ(delegate.last().message().value().get<std::string>().rfind("discovery sockets unavailable", 0), 0u);
    EXPECT_FALSE(delegate.last().result.keepCallback());
    EXPECT_FALSE(finder.isSearching);
    EXPECT_FALSE(finder.callbackId);
    callAction(finder, "stopFinder", Value::array(), "stop");
    EXPECT_EQ(delegate.last().message(), false);
}

TEST_F(FinderTest, GoingAwayWhileSearchingClosesTheSockets) {
    std::uint16_t port = 0;
    {
        KVHSFinder other{nullptr};
        other.setCommandDelegate(&delegate);
        callAction(other, "startFinder", Value::array(), "find1");
        port = other.udpSocket->localPort();
        EXPECT_EQ(testdisc::openDescriptorCount(), baselineDescriptors + 2);
    }
    EXPECT_EQ(testdisc::openDescriptorCount(), baselineDescriptors);
    responder.sendFromProbe(bytes(DiscoveryResponder::controllerProbeReply("Wohnung", 80)), port);
    platform::runMainLoopFor(0.2);  // replies still queued for the old sockets reach nobody

    // A page reset ends the old page's search without answering it.
    callAction(finder, "startFinder", Value::array(), "find2");
    ASSERT_TRUE(waitForResults(1));
    finder.onReset();
    delegate.clear();
    EXPECT_FALSE(finder.isSearching);
    EXPECT_EQ(testdisc::openDescriptorCount(), baselineDescriptors);
    platform::runMainLoopFor(0.1);
    EXPECT_EQ(delegate.count(), 0u);
}

// Reply parsing, one reply at a time.
class ReplyTest : public ::testing::Test {
protected:
    void SetUp() override { finder.setCommandDelegate(&delegate); }
    std::optional<Value> lastHit() {
        if (delegate.count() == 0) return std::nullopt;
        return delegate.last().message();
    }
    testutil::LogCapture log;
    testutil::RecordingDelegate delegate;
    KVHSFinder finder{nullptr};
};

TEST_F(ReplyTest, SsdpReplies) {
    const std::string loc = "LOCATION: http://192.168.1.5:80/upnp.xml\r\n";
    struct Case {
        const char* name;
        std::string reply;
        std::optional<Value> hit;
        bool otherDevice;
    } cases[] = {
        {"controller", loc + "SERVER: Kivano Hubstation Wohnung UPnP/1.0\r\n\r\n", hit("192.168.1.5:80", "Wohnung"), false},
        {"lower-case names", "location: http://10.0.0.2/upnp.xml\r\nserver: kivano hubstation Büro upnp/1.0\r\n\r\n",
         hit("10.0.0.2", "Büro"), false},
        {"name with blanks, tabs trimmed", loc + "SERVER:\tKivano Hubstation \t Haus am See\tUPnP/1.0\r\n",
         hit("192.168.1.5:80", "Haus am See"), false},
        {"no LOCATION", "SERVER: Kivano Hubstation Wohnung UPnP/1.0\r\n\r\n", std::nullopt, false},
        {"LOCATION without /upnp.xml", "LOCATION: http://192.168.1.5/desc.xml\r\nSERVER: Kivano Hubstation W UPnP/1.0\r\n",
         std::nullopt, false},
        {"LOCATION without http://", "LOCATION: https://192.168.1.5/upnp.xml\r\nSERVER: Kivano Hubstation W UPnP/1.0\r\n",
         std::nullopt, false},
        {"LOCATION without line end", "SERVER: Kivano Hubstation W UPnP/1.0\r\nLOCATION: http://1.2.3.4/upnp.xml",
         std::nullopt, false},
        {"empty name", loc + "SERVER: Kivano Hubstation UPnP/1.0\r\n", std::nullopt, false},
        {"no UPnP after the name", loc + "SERVER: Kivano Hubstation Wohnung\r\n", std::nullopt, false},
        {"other server", loc + "SERVER: Linux UPnP/1.0 MediaBox\r\n\r\n", std::nullopt, true},
        {"controller named outside SERVER", loc + "SERVER: MediaBox\r\nX-NOTE: Kivano Hubstation A UPnP\r\n",
         std::nullopt, true},
        {"no SERVER header", loc + "\r\n", std::nullopt, true},
        {"SERVER without line end", loc + "SERVER: Kivano Hubstation Wohnung UPnP/1.0", std::nullopt, true},
        {"empty text", "", std::nullopt, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        delegate.clear();
        log.clear();
        finder.callbackId = "find";
        finder.discoverdDeviceViaSSDP(c.reply, SocketAddress::ipv4("192.168.1.5", 1900));
        EXPECT_EQ(lastHit(), c.hit);
        EXPECT_EQ(log.contains("     detected other device, do not process!"), c.otherDevice);
        if (c.hit) {
            EXPECT_EQ(delegate.last().callbackId, "find");
            EXPECT_TRUE(delegate.last().result.keepCallback());
            EXPECT_TRUE(log.containsSubstring("SSDP discovered: "));
        }
    }
}

TEST_F(ReplyTest, UdpReplies) {
    const auto v4 = SocketAddress::ipv4("192.168.1.7", 7070);
    struct Case {
        const char* name;
        std::string reply;
        SocketAddress from;
        std::optional<Value> hit;
        bool otherDevice;
    } cases[] = {
        {"controller with port", "RevAVEV: Wohnung 192.168.1.7:80 504F94A01234", v4, hit("192.168.1.7:80", "Wohnung"), false},
        {"address at the end", "RevAVEV: Wohnung 192.168.1.7", v4, hit("192.168.1.7", "Wohnung"), false},
        {"lower-case token", "revavev: Keller 192.168.1.7 x", v4, hit("192.168.1.7", "Keller"), false},
        {"IPv6 sender", "RevAVEV: Hub fe80::1 x", SocketAddress::ipv6("fe80::1", 7070), hit("fe80::1", "Hub"), false},
        {"reply lacks the sender's address", "RevAVEV: Wohnung 10.0.0.1:80 x", v4, std::nullopt, false},
        {"no blank after the token", "RevAVEV:Wohnung 192.168.1.7", v4, std::nullopt, false},
        {"address right after the token", "RevAVEV: 192.168.1.7:80", v4, std::nullopt, false},
        {"unknown sender family", "RevAVEV: Wohnung 192.168.1.7", SocketAddress{}, std::nullopt, false},
        {"blank before the token", " RevAVEV: Wohnung 192.168.1.7", v4, std::nullopt, true},
        {"token later in the text", "Hello RevAVEV: Wohnung 192.168.1.7", v4, std::nullopt, true},
        {"other text", "HTTP/1.1 200 OK\r\n", v4, std::nullopt, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        delegate.clear();
        log.clear();
        finder.callbackId = "find";
        finder.discoverdDeviceViaUDP(c.reply, c.from);
        EXPECT_EQ(lastHit(), c.hit);
        EXPECT_EQ(log.contains("     detected other device, do not process!"), c.otherDevice);
        if (c.hit) {
            EXPECT_TRUE(log.containsSubstring("UDP discovered: "));
        }
    }
}

TEST_F(ReplyTest, HitsWithoutACallbackGoNowhere) {
    finder.discoverdDeviceViaUDP("RevAVEV: Wohnung 192.168.1.7", SocketAddress::ipv4("192.168.1.7", 7070));
    EXPECT_EQ(delegate.count(), 0u);
    EXPECT_TRUE(log.contains("UDP discovered: Wohnung with IP 192.168.1.7"));
}

TEST(FinderText, ExtractInfo) {
    struct Case {
        const char* text;
        const char* from;
        const char* to;
        const char* result;
    } cases[] = {
        {"a[ x ]b", "[", "]", "x"},
        {"A: \t v \t\r\n", "a:", "\r\n", "v"},
        {"k: one\ntwo\r\n", "K:", "\r\n", "one\ntwo"},  // line breaks stay
        {"k: v", "K:", "\r\n", ""},
        {"v\r\n", "K:", "\r\n", ""},
        {"]x[y]", "[", "]", "y"},  // the end marker is looked for after the start marker
        {"[[x]]", "[", "]", "[x"},
        {"ab", "a", "b", ""},
        {"ab", "", "b", ""},
        {"ab", "a", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(KVHSFinder::extractInfo(c.text, c.from, c.to), c.result) << c.text << " " << c.from << " " << c.to;
    }
}

TEST(FinderText, SenderAddress) {
    auto v4 = SocketAddress::ipv4("10.1.2.3", 7071);
    auto v6 = SocketAddress::ipv6("2001:db8::5", 1900);
    EXPECT_EQ(KVHSFinder::getAddress(v4, false), "10.1.2.3");
    EXPECT_EQ(KVHSFinder::getAddress(v4, true), "10.1.2.3:7071");
    EXPECT_EQ(KVHSFinder::getAddress(v6, false), "2001:db8::5");
    EXPECT_EQ(KVHSFinder::getAddress(v6, true), "2001:db8::5:1900");
    EXPECT_EQ(KVHSFinder::getAddress(SocketAddress{}, false), "");
    EXPECT_EQ(KVHSFinder::getAddress(SocketAddress{}, true), ":");
}

TEST(FinderPlugin, ActionsAndRegistration) {
    KVHSFinder finder{nullptr};
    std::vector<std::string> names;
    for (const auto& [name, action] : finder.actions()) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"startFinder", "stopFinder"}));
    EXPECT_TRUE(PluginRegistry::has("KVHSFinder"));
    const auto config = testutil::readFile(testutil::bundleDir() + "/config.xml");
    EXPECT_NE(config.find("<param name=\"osx-package\" value=\"KVHSFinder\" />"), std::string::npos);
}

}  // namespace
