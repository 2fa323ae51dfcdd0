// The camera proxy against a loopback camera: MJPEG and single-JPEG streams, throttling,
// authentication, error reports, stopping, broken multipart bodies.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "media/VideoProxy.h"
#include "platform/dispatch.h"
#include "platform/http_stream.h"
#include "tests/support/camera_server.h"
#include "tests/support/download_server.h"
#include "tests/support/recording_delegate.h"
#include "tests/support/test_util.h"

using testutil::CameraServer;
using testutil::RecordedResult;

namespace {

// One plug-in with its own recording delegate, as the host would create it.
struct Rig {
    testutil::RecordingDelegate delegate{testutil::RecordingDelegate::Background::Pool};
    std::unique_ptr<VideoProxy> proxy;

    Rig() {
        proxy = std::make_unique<VideoProxy>(nullptr);
        proxy->setCommandDelegate(&delegate);
        proxy->pluginInitialize();
    }
    ~Rig() { proxy.reset(); }

    void call(const std::string& action, Value args, const std::string& callbackId) {
        WHInvokedUrlCommand command(std::move(args), callbackId, "VideoProxy", action);
        proxy->invokeAction(action, command);
    }
    void start(const std::string& url, Value usr = "", Value pwd = "", Value mjpeg = true,
               const std::string& callbackId = "cam") {
        call("startStream", Value::array({url, usr, pwd, mjpeg}), callbackId);
    }
    std::vector<RecordedResult> on(const std::string& callbackId) const {
        std::vector<RecordedResult> out;
        for (auto& r : delegate.results())
            if (r.callbackId == callbackId) out.push_back(r);
        return out;
    }
    // Decoded frames on the callback, in arrival order.
    std::vector<Bytes> frames(const std::string& callbackId = "cam") const {
        std::vector<Bytes> out;
        for (auto& r : on(callbackId)) {
            if (r.result.status() == WHCommandStatus_OK && r.result.message() && r.result.message()->is_string()) {
                auto bytes = platform::base64DecodeStrict(r.result.message()->get<std::string>());
                if (bytes) out.push_back(*bytes);
            }
        }
        return out;
    }
    std::optional<RecordedResult> finalResult(const std::string& callbackId = "cam") const {
        for (auto& r : on(callbackId))
            if (!r.result.keepCallback()) return r;
        return std::nullopt;
    }
    bool waitFrames(std::size_t n, double timeout = 10) const {
        return testutil::spinUntil([&] { return frames().size() >= n || finalResult(); }, timeout) &&
               frames().size() >= n;
    }
    // The empty OK that marks the end of a response.
    bool responseEnded(const std::string& callbackId = "cam") const {
        for (auto& r : on(callbackId))
            if (r.result.status() == WHCommandStatus_OK && !r.result.message() && r.result.keepCallback()) return true;
        return false;
    }
    bool waitFinal(const std::string& callbackId = "cam", double timeout = 10) const {
        return testutil::spinUntil([&] { return finalResult(callbackId).has_value(); }, timeout);
    }
};

// The error report of a final result, parsed.
Value reportOf(const RecordedResult& r) {
    EXPECT_EQ(r.result.status(), static_cast<std::uint32_t>(WHCommandStatus_ERROR));
    EXPECT_FALSE(r.result.keepCallback());
    if (!r.result.message() || !r.result.message()->is_string()) return nullptr;
    auto parsed = platform::parseJson(r.result.message()->get<std::string>());
    return parsed ? *parsed : Value(nullptr);
}

void expectReport(const Value& report, const std::string& id, long code, const std::string& text) {
    ASSERT_TRUE(report.is_object()) << report;
    EXPECT_EQ(report.size(), 3u) << report;
    EXPECT_EQ(report.value("errorId", ""), id) << report;
    EXPECT_EQ(report.value("errorCode", 0L), code) << report;
    EXPECT_EQ(report.value("errorText", "?"), text) << report;
}

double secondsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

class VideoProxyTest : public ::testing::Test {
protected:
    CameraServer camera;
};

TEST_F(VideoProxyTest, MjpegFramesArriveWholeAndInOrderThenTheResponseEnds) {
    // split=1 writes every part in chunks that cut both JPEG markers.
    for (std::string split : {"0", "1"}) {
        SCOPED_TRACE("split=" + split);
        Rig rig;
        rig.start(camera.url("/stream.mjpg?count=8&interval=120&split=" + split));
        ASSERT_TRUE(testutil::spinUntil([&] { return rig.responseEnded() || rig.finalResult(); }, 15));
        EXPECT_FALSE(rig.finalResult().has_value());
        auto frames = rig.frames();
        ASSERT_GE(frames.size(), 4u);
        EXPECT_LE(frames.size(), 8u);
        int last = -1;
        for (auto& f : frames) {
            int index = testutil::frameIndexOf(f);
            EXPECT_GT(index, last);
            EXPECT_EQ(f, camera.frame(index)) << "frame " << index << " is not the camera's picture";
            last = index;
        }
        EXPECT_EQ(rig.frames().size(), frames.size());
    }
    EXPECT_EQ(camera.requestCount("/stream.mjpg"), 2);
}

TEST_F(VideoProxyTest, ThrottleKeepsFrameRateAndByteRateWithinTheLimits) {
    struct Case {
        const char* name;
        std::string query;
        std::size_t padding;
    } cases[] = {
        {"many small frames", "/stream.mjpg?interval=4", 0},
        {"large frames", "/stream.mjpg?interval=15&padding=200000", 200000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.start(camera.url(c.query));
        ASSERT_TRUE(rig.waitFrames(1));
        auto first = std::chrono::steady_clock::now();
        testutil::spinUntil([] { return false; }, 1.5);
        rig.call("stopStream", Value::array(), "stop");
        double elapsed = secondsSince(first);
        auto frames = rig.frames();
        std::size_t bytes = 0;
        for (auto& f : frames) {
            bytes += f.size();
            EXPECT_EQ(f, camera.frame(testutil::frameIndexOf(f), c.padding));
        }
        ASSERT_GE(frames.size(), 2u);
        // At least 0.05 s between two frames and no more than 20 per second.
        EXPECT_LE(static_cast<double>(frames.size()), elapsed * 20 + 2) << frames.size() << " frames in " << elapsed;
        // Bytes never run ahead of 1048576 per second (one frame of slack for the first).
        EXPECT_LE(static_cast<double>(bytes), elapsed * 1048576 + static_cast<double>(frames.front().size()))
            << bytes << " bytes in " << elapsed;
    }
}

TEST_F(VideoProxyTest, SingleJpegModeRequestsThePictureAgainAfterEveryFrame) {
    // split=1 cuts the start marker between two chunks: still a frame, not a stream error.
    for (std::string split : {"0", "1"}) {
        SCOPED_TRACE("split=" + split);
        Rig rig;
        int before = camera.requestCount("/still.jpg");
        rig.start(camera.url("/still.jpg?split=" + split), "", "", false);
        ASSERT_TRUE(rig.waitFrames(3, 15));
        EXPECT_FALSE(rig.finalResult().has_value());
        rig.call("stopStream", Value::array(), "stop");
        EXPECT_GE(camera.requestCount("/still.jpg") - before, 3);
        int last = -1;
        for (auto& f : rig.frames()) {
            int index = testutil::frameIndexOf(f);
            EXPECT_GT(index, last);
            EXPECT_EQ(f, camera.frame(index));
            last = index;
        }
    }
}

TEST_F(VideoProxyTest, TheServersAnswerDecidesTheModeAndTheMismatchIsLogged) {
    struct Case {
        std::string path;
        bool isMJPEG;
        std::string warning;
        bool requestsAgain;
    } cases[] = {
        {"/stream.mjpg", false, "   WARNING: We're dealing with 'multipart/x-mixed-replace' instead of 'regular JPGs'",
         false},
        {"/still.jpg", true, "   WARNING: We're dealing with 'image/jpeg' instead of 'MJPG'", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        testutil::LogCapture log;
        Rig rig;
        int before = camera.requestCount(c.path);
        rig.start(camera.url(c.path), "", "", c.isMJPEG);
        ASSERT_TRUE(rig.waitFrames(3, 15));
        rig.call("stopStream", Value::array(), "stop");
        EXPECT_TRUE(log.contains(c.warning));
        int requests = camera.requestCount(c.path) - before;
        if (c.requestsAgain) {
            EXPECT_GE(requests, 3);
        } else {
            EXPECT_EQ(requests, 1);
        }
    }
}

TEST_F(VideoProxyTest, Authentication) {
    struct Case {
        std::string path;
        std::string user;
        std::string password;
        bool frames;
    } cases[] = {
        {"/basic/stream.mjpg", CameraServer::kUser, CameraServer::kPassword, true},
        {"/basic/stream.mjpg", "", "", false},
        {"/basic/stream.mjpg", CameraServer::kUser, "wrong", false},
        {"/digest/stream.mjpg", CameraServer::kUser, CameraServer::kPassword, true},
        {"/digest/stream.mjpg", "", "", false},
        {"/digest/stream.mjpg", CameraServer::kUser, "wrong", false},
        {"/digest/still.jpg", CameraServer::kUser, CameraServer::kPassword, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " user '" + c.user + "' password '" + c.password + "'");
        Rig rig;
        rig.start(camera.url(c.path), c.user, c.password, true);
        if (c.frames) {
            ASSERT_TRUE(rig.waitFrames(2, 15));
            EXPECT_FALSE(rig.finalResult().has_value());
            rig.call("stopStream", Value::array(), "stop");
        } else {
            ASSERT_TRUE(rig.waitFinal());
            expectReport(reportOf(*rig.finalResult()), "HttpError", 401, "Unauthorized");
            EXPECT_TRUE(rig.frames().empty());
        }
    }
}

TEST_F(VideoProxyTest, CredentialsGoOnlyToTheHostAndPortThePageNamed) {
    CameraServer other;
    const std::string samePortOtherName = "http://localhost:" + std::to_string(camera.port());
    struct Case {
        const char* name;
        std::string url;
        bool frames;
        CameraServer* target;  // where the redirect leads
    } cases[] = {
        {"redirect within the camera", camera.url("/redirect?to=/basic/stream.mjpg"), true, &camera},
        {"redirect to another port, basic", camera.url("/redirect?to=" + other.url("/basic/stream.mjpg")), false, &other},
        {"redirect to another port, digest", camera.url("/redirect?to=" + other.url("/digest/stream.mjpg")), false,
         &other},
        {"redirect to another host name", camera.url("/redirect?to=" + samePortOtherName + "/basic/stream.mjpg"), false,
         &camera},
        {"camera asks, then redirects away", camera.url("/basic/redirect?to=" + other.url("/basic/stream.mjpg")), false,
         &other},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int othersBefore = other.credentialsReceived();
        int cameraBefore = camera.credentialsReceived();
        Rig rig;
        rig.start(c.url, CameraServer::kUser, CameraServer::kPassword, true);
        if (c.frames) {
            ASSERT_TRUE(rig.waitFrames(2, 15));
            rig.call("stopStream", Value::array(), "stop");
            EXPECT_GT(camera.credentialsReceived(), cameraBefore);
            continue;
        }
        ASSERT_TRUE(rig.waitFinal());
        expectReport(reportOf(*rig.finalResult()), "HttpError", 401, "Unauthorized");
        EXPECT_TRUE(rig.frames().empty());
        EXPECT_EQ(other.credentialsReceived(), othersBefore) << "credentials went to the other camera";
        // (The 401 report shows that the redirect was followed and the target asked.)
        if (c.target == &camera) {
            EXPECT_EQ(camera.credentialsReceived(), cameraBefore);
        }
    }
}

TEST_F(VideoProxyTest, FailuresEndTheStreamWithOneErrorReport) {
    struct Case {
        const char* name;
        std::string url;
        std::string errorId;
        long code;
        std::string text;
        std::size_t framesBefore;
    } cases[] = {
        {"not found", camera.url("/missing.mjpg"), "HttpError", 404, "Not Found", 0},
        {"a page, not a picture", camera.url("/page.html"), "StreamError", 0, "Cannot split stream into images!", 0},
        {"a picture without end", camera.url("/huge.jpg"), "LargeImage", 5242880, "", 0},
        {"refused", "http://127.0.0.1:" + std::to_string(testutil::DownloadServer::refusedPort()) + "/stream.mjpg", "Refused", 61,
         "Could not connect to the server.", 0},
        {"a stream that stalls", camera.url("/stream.mjpg?count=2&interval=150&after=stall"), "NoResponse", 0,
         "The request timed out.", 2},
        {"not a URL", "not a camera", "HttpError", -1000, "unsupported URL", 0},
        {"another scheme", "file:///etc/passwd", "HttpError", -1000, "unsupported URL", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.proxy->setTimeoutInterval(1.0);
        rig.start(c.url);
        ASSERT_TRUE(rig.waitFinal("cam", 15));
        expectReport(reportOf(*rig.finalResult()), c.errorId, c.code, c.text);
        EXPECT_EQ(rig.frames().size(), c.framesBefore);
        // Nothing follows the final report.
        std::size_t n = rig.on("cam").size();
        testutil::spinUntil([] { return false; }, 0.3);
        EXPECT_EQ(rig.on("cam").size(), n);
        EXPECT_EQ(rig.on("cam").back().result.keepCallback(), false);
    }
}

TEST_F(VideoProxyTest, ALostConnectionIsRequestedAgainOnlyAfterData) {
    {
        // Lost after frames: the stream goes on over a new request, silently.
        Rig rig;
        rig.start(camera.url("/stream.mjpg?count=3&interval=80&after=drop"));
        bool again = testutil::spinUntil([&] { return camera.requestCount("/stream.mjpg") >= 3 || rig.finalResult(); }, 15);
        ASSERT_TRUE(again);
        EXPECT_FALSE(rig.finalResult().has_value());
        EXPECT_GE(rig.frames().size(), 4u);
        rig.call("stopStream", Value::array(), "stop");
    }
    {
        // Lost before any byte: a report, not a loop of new requests.
        Rig rig;
        rig.start(camera.url("/drop.mjpg"));
        ASSERT_TRUE(rig.waitFinal());
        auto report = reportOf(*rig.finalResult());
        EXPECT_EQ(report.value("errorId", ""), "HttpError");
        EXPECT_EQ(report.value("errorCode", 0), -1005);
        testutil::spinUntil([] { return false; }, 0.3);
        EXPECT_LE(camera.requestCount("/drop.mjpg"), 2);
    }
}

TEST_F(VideoProxyTest, ArgumentsOfTheWrongKindAreRefused) {
    Value cases[] = {
        Value::array(),
        Value::array({42, "", "", true}),
        Value::array({camera.url("/stream.mjpg"), 7, "", true}),
        Value::array({camera.url("/stream.mjpg"), "", "", "yes"}),
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args.dump());
        Rig rig;
        rig.call("startStream", args, "cam");
        ASSERT_TRUE(rig.waitFinal());
        EXPECT_EQ(reportOf(*rig.finalResult()).value("errorId", ""), "InvalidArgument");
    }
    // User, password and mode may be left out.
    Rig rig;
    rig.call("startStream", Value::array({camera.url("/stream.mjpg")}), "cam");
    ASSERT_TRUE(rig.waitFrames(2));
    rig.call("stopStream", Value::array(), "stop");
}

TEST_F(VideoProxyTest, StopEndsTheStreamAndClosesTheConnection) {
    Rig rig;
    rig.start(camera.url("/stream.mjpg?interval=60"));
    ASSERT_TRUE(rig.waitFrames(3));
    ASSERT_TRUE(testutil::spinUntil([&] { return camera.openStreams() == 1; }));
    rig.call("stopStream", Value::array(), "stop");

    auto results = rig.delegate.results();
    ASSERT_GE(results.size(), 2u);
    const auto& streamEnd = results[results.size() - 2];
    const auto& stopAnswer = results.back();
    EXPECT_EQ(streamEnd.callbackId, std::optional<std::string>("cam"));
    EXPECT_EQ(streamEnd.result.status(), static_cast<std::uint32_t>(WHCommandStatus_OK));
    EXPECT_EQ(streamEnd.result.message(), std::optional<Value>(true));
    EXPECT_FALSE(streamEnd.result.keepCallback());
    EXPECT_EQ(stopAnswer.callbackId, std::optional<std::string>("stop"));
    EXPECT_EQ(stopAnswer.result.message(), std::optional<Value>(true));
    EXPECT_FALSE(stopAnswer.result.keepCallback());

    std::size_t n = rig.delegate.count();
    EXPECT_TRUE(testutil::spinUntil([&] { return camera.openStreams() == 0; }));
    testutil::spinUntil([] { return false; }, 0.3);
    EXPECT_EQ(rig.delegate.count(), n) << "results after stop";

    // A new start after a stop streams again.
    rig.start(camera.url("/stream.mjpg?interval=60"), "", "", true, "cam2");
    ASSERT_TRUE(testutil::spinUntil([&] { return rig.frames("cam2").size() >= 2; }));
    rig.call("stopStream", Value::array(), "stop2");
}

TEST_F(VideoProxyTest, StopWithoutStreamAnswersAndImageProcessedNever) {
    Rig rig;
    rig.call("stopStream", Value::array(), "stop");
    rig.call("imageProcessed", Value::array(), "processed");
    testutil::spinUntil([] { return false; }, 0.2);
    auto results = rig.delegate.results();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].callbackId, std::optional<std::string>("stop"));
    EXPECT_EQ(results[0].result.message(), std::optional<Value>(true));
}

TEST_F(VideoProxyTest, BrokenMultipartBodies) {
    // A delimiter other than the declared one, or no boundary parameter: the body's own
    // delimiter is used. No delimiter at all: an orderly report, not a crash or a hang.
    struct Case {
        const char* name;
        std::string query;
        bool frames;
    } cases[] = {
        {"delimiter differs from the parameter", "count=6&interval=80&declared=kvframe&used=other", true},
        {"no boundary parameter", "count=6&interval=80&declared=none&used=kvframe", true},
        {"parameter with the dashes", "count=6&interval=80&declared=--kvframe&used=kvframe", true},
        {"no delimiters at all", "count=40&interval=10&used=none", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.start(camera.url("/stream.mjpg?" + c.query));
        if (c.frames) {
            ASSERT_TRUE(testutil::spinUntil([&] { return rig.responseEnded() || rig.finalResult(); }, 15));
            EXPECT_FALSE(rig.finalResult().has_value());
            auto frames = rig.frames();
            EXPECT_GE(frames.size(), 3u);
            for (auto& f : frames) EXPECT_EQ(f, camera.frame(testutil::frameIndexOf(f)));
        } else {
            ASSERT_TRUE(rig.waitFinal("cam", 15));
            expectReport(reportOf(*rig.finalResult()), "HttpError", -1017, "cannot parse response");
        }
    }
}

TEST(VideoProxyReport, IsCompactJsonWithExactlyThreeMembers) {
    auto text = VideoProxy::createErrorInfoWithId("Refused", 61, "says \"no\"");
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(text->find('\n'), std::string::npos);
    expectReport(*platform::parseJson(*text), "Refused", 61, "says \"no\"");
}
