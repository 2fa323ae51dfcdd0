#include "companion/KVHTTPCommand.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <chrono>

#include "platform/dispatch.h"
#include "platform/http_gerror.h"
#include "platform/pixbuf_image.h"
#include "tests/support/download_server.h"
#include "tests/support/main_loop_probe.h"
#include "tests/support/test_controller.h"
#include "tests/support/test_util.h"

using platform::HttpErrorRef;
using platform::Value;
using testctl::Answer;
using testctl::TestController;

namespace {

struct Outcome {
    int calls = 0;
    KVHTTPResult result;
    bool success = false;
    HttpErrorRef localError;
    HttpErrorRef remoteError;
    Value userInfo;
    bool onMainThread = false;
};

std::string textOf(const Value& bytes) {
    const auto& b = platform::bytesOf(bytes);
    return std::string(b.begin(), b.end());
}

class CommandTest : public ::testing::Test {
protected:
    TestController local_;
    TestController remote_;
    std::shared_ptr<Outcome> out_ = std::make_shared<Outcome>();

    void SetUp() override { ASSERT_TRUE(local_.running() && remote_.running()); }

    KVHTTPCommand::Callback recorder() {
        auto o = out_;
        return [o](const KVHTTPResult& result, bool success, const HttpErrorRef& l, const HttpErrorRef& r,
                   const Value& userInfo) {
            ++o->calls;
            o->result = result;
            o->success = success;
            o->localError = l;
            o->remoteError = r;
            o->userInfo = userInfo;
            o->onMainThread = platform::isMainThread();
        };
    }

    std::shared_ptr<KVHTTPCommand> make(const std::string& command, std::optional<std::string> local,
                                        std::optional<std::string> remote, KVHTTPReachMode mode,
                                        const std::string& serialNo = TestController::kSerialNo) {
        KVHTTPHubstation hub(serialNo, std::move(local), std::move(remote), TestController::kUser,
                             TestController::kPassword);
        return KVHTTPCommand::create(command, std::move(hub), mode, recorder());
    }

    bool waitForCallback(double seconds = 30) {
        return testutil::spinUntil([&] { return out_->calls > 0; }, seconds);
    }
    // Until nothing but the test holds the command: no request of it is in flight and no step of
    // it is queued, so nothing more can be sent or reported.
    static bool waitIdle(const std::shared_ptr<KVHTTPCommand>& cmd, double seconds = 30) {
        return testutil::spinUntil([&] { return cmd.use_count() == 1; }, seconds);
    }

    void reset() { *out_ = Outcome{}; }
};

TEST_F(CommandTest, AuthenticatedCommandOnLocalPath) {
    struct Case {
        std::string command;
        std::string seenPath;  // what the controller receives before "?auth="
    };
    const Case cases[] = {
        {"jdev/sps/io/0b4a-uuid/pulse", "/jdev/sps/io/0b4a-uuid/pulse?auth="},
        {"/dev/sps/io/Light/on", "/dev/sps/io/Light/on?auth="},
        {"/dev/x?value=1", "/dev/x?value=1?auth="},  // "?auth=" is appended to a query as well
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        reset();
        std::size_t before = local_.commands().size();
        auto cmd = make(c.command, local_.address(), std::nullopt, KVHTTPReachMode::Local);
        EXPECT_EQ(cmd->remoteState(), KVHTTPCommandState::Stopped);
        cmd->send();
        EXPECT_EQ(out_->calls, 0) << "the answer comes on a later turn of the main loop";
        EXPECT_EQ(cmd->localState(), KVHTTPCommandState::Sent);
        ASSERT_TRUE(waitForCallback());
        ASSERT_TRUE(waitIdle(cmd));
        EXPECT_EQ(out_->calls, 1);
        EXPECT_TRUE(out_->success);
        EXPECT_TRUE(out_->onMainThread);
        EXPECT_FALSE(out_->localError);
        EXPECT_FALSE(out_->remoteError);
        ASSERT_EQ(out_->result.kind, KVHTTPResult::Kind::Value);
        EXPECT_EQ(out_->result.value["LL"]["Code"], "200");
        EXPECT_EQ(out_->userInfo["contentType"], "application/json");
        EXPECT_EQ(out_->userInfo["statusCode"], 200);
        EXPECT_EQ(out_->userInfo["reachMode"], static_cast<int>(KVHTTPReachMode::Local));
        EXPECT_EQ(cmd->localState(), KVHTTPCommandState::Succeeded);

        auto seen = local_.commands();
        ASSERT_EQ(seen.size(), before + 1);
        const std::string& path = seen.back();
        ASSERT_EQ(path.rfind(c.seenPath, 0), 0u) << path;
        std::string auth = path.substr(c.seenPath.size());
        EXPECT_EQ(auth.size(), 40u);
        EXPECT_EQ(auth.find_first_not_of("0123456789abcdef"), std::string::npos) << auth;
    }
    EXPECT_EQ(local_.rejectedCommands(), 0);
}

TEST_F(CommandTest, ReachModeChoosesTheFirstPath) {
    struct Case {
        KVHTTPReachMode mode;
        bool localAnswers;
    };
    for (auto c : {Case{KVHTTPReachMode::Local, true}, Case{KVHTTPReachMode::Remote, false}}) {
        SCOPED_TRACE(static_cast<int>(c.mode));
        reset();
        int localKeys = local_.keyRequests(), remoteKeys = remote_.keyRequests();
        auto cmd = make("/dev/a", local_.address(), remote_.address(), c.mode);
        cmd->send();
        ASSERT_TRUE(waitForCallback());
        ASSERT_TRUE(waitIdle(cmd));
        EXPECT_TRUE(out_->success);
        EXPECT_EQ(out_->userInfo["reachMode"], static_cast<int>(c.localAnswers ? KVHTTPReachMode::Local
                                                                                : KVHTTPReachMode::Remote));
        EXPECT_EQ(local_.keyRequests() - localKeys, c.localAnswers ? 1 : 0);
        EXPECT_EQ(remote_.keyRequests() - remoteKeys, c.localAnswers ? 0 : 1);
        // The fallback path was never needed: it is still waiting.
        EXPECT_EQ(c.localAnswers ? cmd->remoteState() : cmd->localState(), KVHTTPCommandState::Waiting);
    }
}

TEST_F(CommandTest, FirstSuccessWinsTheRaceAndCancelsTheOtherPath) {
    for (bool localWins : {true, false}) {
        SCOPED_TRACE(localWins ? "local wins" : "remote wins");
        reset();
        std::size_t sent = local_.commands().size() + remote_.commands().size();
        // The path whose key answer comes first sends the command and wins; the other key answer
        // is held until the winner has been reported.
        TestController& loser = localWins ? remote_ : local_;
        loser.holdKeyAnswers(true);
        auto cmd = make("/dev/race", local_.address(), remote_.address(), KVHTTPReachMode::None);
        cmd->send();
        EXPECT_EQ(cmd->localState(), KVHTTPCommandState::Sent);
        EXPECT_EQ(cmd->remoteState(), KVHTTPCommandState::Sent);
        ASSERT_TRUE(waitForCallback());
        EXPECT_TRUE(out_->success);
        EXPECT_EQ(out_->userInfo["reachMode"],
                  static_cast<int>(localWins ? KVHTTPReachMode::Local : KVHTTPReachMode::Remote));
        auto& loserSession = localWins ? cmd->extRequest() : cmd->intRequest();
        EXPECT_EQ(localWins ? cmd->remoteState() : cmd->localState(), KVHTTPCommandState::Stopped);
        EXPECT_TRUE(loserSession->isInvalidated());
        std::weak_ptr<KVHTTPCommand> alive = cmd;
        cmd.reset();
        loser.holdKeyAnswers(false);
        EXPECT_TRUE(testutil::spinUntil([&] { return alive.expired(); }, 30)) << "nothing keeps a finished command alive";
        EXPECT_EQ(out_->calls, 1) << "the cancelled path's completion is ignored";
        EXPECT_EQ(local_.commands().size() + remote_.commands().size(), sent + 1) << "the command went out once";
    }
}

// A quick action runs in reach mode None; when both addresses lead to one controller, it still
// gets one command request only.
TEST_F(CommandTest, BothPathsToOneControllerSendTheCommandOnce) {
    std::string second = local_.addAddress();
    ASSERT_NE(second, local_.address());
    // Without holding, the two key answers race; with the command answer held until both paths
    // have asked for a key, the second key answer comes while the first path's command request is out.
    for (bool holdCommand : {false, true}) {
        for (int round = 0; round < 4; ++round) {
            SCOPED_TRACE(std::string(holdCommand ? "command answer held" : "racing") + ", round " +
                         std::to_string(round));
            reset();
            std::size_t commands = local_.commands().size();
            int keys = local_.keyRequests();
            local_.holdCommandAnswers(holdCommand);
            auto cmd = make("/dev/sps/io/lamp/toggle", local_.address(), second, KVHTTPReachMode::None);
            cmd->send();
            if (holdCommand) {
                ASSERT_TRUE(testutil::spinUntil([&] { return local_.commandRequests() > 0 &&
                                                             local_.keyRequests() - keys == 2; }))
                    << "both paths asked for a key";
                local_.holdCommandAnswers(false);
            }
            ASSERT_TRUE(waitForCallback());
            ASSERT_TRUE(waitIdle(cmd));
            EXPECT_EQ(out_->calls, 1);
            EXPECT_TRUE(out_->success);
            EXPECT_EQ(local_.commands().size() - commands, 1u) << "the toggle went out once";
            EXPECT_EQ(local_.rejectedCommands(), 0);
            bool localSent = out_->userInfo["reachMode"] == static_cast<int>(KVHTTPReachMode::Local);
            EXPECT_EQ(localSent ? cmd->remoteState() : cmd->localState(), KVHTTPCommandState::Stopped);
        }
    }
}

// A command request that failed after it was written out, or with an answer, may have been
// carried out: neither libsoup nor the other path sends it again, whatever the reach mode.
TEST_F(CommandTest, CommandThatMayHaveReachedTheControllerIsNotRepeated) {
    std::string second = local_.addAddress();
    enum class Fault { Answers500, TimesOut, ResetsAfterReading };
    struct Case {
        const char* name;
        KVHTTPReachMode mode;
        Fault fault;
        long code;
        const char* description;
    };
    const Case cases[] = {
        {"answered 500, both paths", KVHTTPReachMode::None, Fault::Answers500, 500, "Internal Server Error"},
        {"timed out, both paths", KVHTTPReachMode::None, Fault::TimesOut, -1001, "The request timed out."},
        {"reset, both paths", KVHTTPReachMode::None, Fault::ResetsAfterReading, -1005,
         "The network connection was lost."},
        {"answered 500, local first", KVHTTPReachMode::Local, Fault::Answers500, 500, "Internal Server Error"},
        {"timed out, local first", KVHTTPReachMode::Local, Fault::TimesOut, -1001, "The request timed out."},
        {"reset, local first", KVHTTPReachMode::Local, Fault::ResetsAfterReading, -1005,
         "The network connection was lost."},
        {"reset, local only", KVHTTPReachMode::Local, Fault::ResetsAfterReading, -1005,
         "The network connection was lost."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        local_.setCommandAnswer(c.fault == Fault::Answers500 ? std::optional<Answer>(Answer{500, "text/plain", "broken"})
                                                             : std::nullopt);
        local_.holdCommandAnswers(c.fault == Fault::TimesOut);
        local_.resetCommands(c.fault == Fault::ResetsAfterReading);
        std::size_t commands = local_.commands().size();
        int requests = local_.commandRequests();
        bool localOnly = std::string(c.name).find("only") != std::string::npos;
        auto cmd = make("/dev/sps/io/lamp/toggle", local_.address(), localOnly ? std::nullopt : std::optional(second),
                        c.mode);
        // Short, but long enough for the key answer on a busy machine.
        if (c.fault == Fault::TimesOut) cmd->setResourceTimeout(1.5);
        cmd->send();
        ASSERT_TRUE(waitForCallback());
        ASSERT_TRUE(waitIdle(cmd));
        local_.holdCommandAnswers(false);
        local_.resetCommands(false);
        EXPECT_EQ(out_->calls, 1);
        EXPECT_FALSE(out_->success);
        EXPECT_EQ(local_.commands().size() - commands, 1u) << "carried out once";
        EXPECT_EQ(local_.commandRequests() - requests, 1) << "sent once, not again on the same or the other path";
        // Only the path that sent the command has an error; the other one ended without one.
        ASSERT_NE(!out_->localError, !out_->remoteError);
        const auto& error = out_->localError ? out_->localError : out_->remoteError;
        EXPECT_EQ(error->code, c.code);
        EXPECT_EQ(error->localizedDescription(), c.description);
        if (!localOnly) {
            EXPECT_TRUE(cmd->localState() == KVHTTPCommandState::Stopped ||
                        cmd->remoteState() == KVHTTPCommandState::Stopped);
        }
        if (c.mode == KVHTTPReachMode::Local) {
            EXPECT_TRUE(out_->localError);
            EXPECT_EQ(cmd->remoteState(), KVHTTPCommandState::Stopped) << "the fallback never started";
        }
    }
    local_.setCommandAnswer(std::nullopt);
}

// The path holding its key answer takes over only when the first path's command request could
// not be written out (here: refused). Key answers are handed in directly to fix their order.
TEST_F(CommandTest, CommandRefusedBeforeItWentOutIsSentOverTheOtherPath) {
    auto fetchKeyAnswer = [](const TestController& c) {
        auto session = platform::HttpSession::create();
        std::optional<platform::Bytes> body;
        bool done = false;
        session->get("http://" + c.address() + "/jdev/cfg/apiKey",
                     [&](std::optional<platform::Bytes> b, std::optional<platform::HttpResponse>, HttpErrorRef) {
                         body = std::move(b);
                         done = true;
                     });
        testutil::spinUntil([&] { return done; });
        return body;
    };
    auto answeredBy = [](int port) {
        platform::HttpResponse r;
        r.statusCode = 200;
        r.host = "127.0.0.1";
        r.port = port;
        r.mimeType = "application/json";
        return r;
    };
    const int refused = static_cast<int>(testutil::DownloadServer::refusedPort());
    for (bool remoteKeyFirst : {true, false}) {
        SCOPED_TRACE(remoteKeyFirst ? "remote path holds its key answer" : "remote path not started yet");
        reset();
        auto localKey = fetchKeyAnswer(local_);
        auto remoteKey = fetchKeyAnswer(remote_);
        ASSERT_TRUE(localKey && remoteKey);
        std::size_t commands = remote_.commands().size();
        int remoteKeys = remote_.keyRequests();
        auto cmd = make("/dev/sps/io/lamp/toggle", "127.0.0.1:" + std::to_string(refused), remote_.address(),
                        KVHTTPReachMode::None);
        // The local key answer names a port where nothing listens any more.
        cmd->handleResponseFromHashURL(true, localKey, answeredBy(refused), nullptr);
        if (remoteKeyFirst) cmd->handleResponseFromHashURL(false, remoteKey, answeredBy(remote_.port()), nullptr);
        EXPECT_EQ(remote_.commands().size(), commands) << "the remote path waits for the local outcome";
        ASSERT_TRUE(waitForCallback());
        ASSERT_TRUE(waitIdle(cmd));
        EXPECT_EQ(out_->calls, 1);
        EXPECT_TRUE(out_->success);
        ASSERT_TRUE(out_->localError);
        EXPECT_EQ(out_->localError->code, -1004);
        EXPECT_FALSE(out_->remoteError);
        EXPECT_EQ(out_->userInfo["reachMode"], static_cast<int>(KVHTTPReachMode::Remote));
        EXPECT_EQ(remote_.commands().size() - commands, 1u);
        EXPECT_EQ(remote_.keyRequests() - remoteKeys, remoteKeyFirst ? 0 : 1);
    }
}

// Answers are read up to 1 MiB; a longer one is not parsable and is not read further.
TEST_F(CommandTest, OversizedAnswersAreNotParsable) {
    constexpr std::size_t kMiB = 1048576;
    constexpr std::size_t kHuge = 100 * kMiB;
    struct Case {
        const char* name;
        bool keyStep;
        std::size_t total;
        bool declareLength;
        bool success;
    };
    const Case cases[] = {
        {"key answer of 1 MiB", true, kMiB, false, true},
        {"key answer one byte longer", true, kMiB + 1, false, false},
        {"key answer of 100 MB, chunked", true, kHuge, false, false},
        {"key answer of 100 MB, declared", true, kHuge, true, false},
        {"command answer of 1 MiB, declared", false, kMiB, true, true},
        {"command answer one byte longer, declared", false, kMiB + 1, true, false},
        {"command answer of 100 MB, chunked", false, kHuge, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        // Blanks after the JSON: the answer would parse if it were read whole.
        if (c.keyStep) {
            local_.padKeyAnswers(c.total, c.declareLength);
        } else {
            local_.padCommandAnswers(c.total, c.declareLength);
        }
        std::size_t commands = local_.commands().size();
        std::size_t written = local_.bodyBytesWritten();
        auto cmd = make("/dev/big", local_.address(), std::nullopt, KVHTTPReachMode::Local);
        cmd->send();
        ASSERT_TRUE(waitForCallback());
        ASSERT_TRUE(waitIdle(cmd));
        cmd.reset();
        // The command has let its connections go; the controller notices.
        ASSERT_TRUE(testutil::spinUntil([&] { return local_.openConnections() == 0; }, 30));
        local_.padKeyAnswers(0);
        local_.padCommandAnswers(0);
        EXPECT_EQ(out_->calls, 1);
        EXPECT_EQ(out_->success, c.success);
        EXPECT_EQ(local_.commands().size() - commands, c.keyStep && !c.success ? 0u : 1u);
        if (c.success) {
            if (!c.keyStep) {
                EXPECT_EQ(out_->result.value["LL"]["Code"], "200");
            }
            continue;
        }
        ASSERT_TRUE(out_->localError);
        EXPECT_EQ(out_->localError->domain, KVHTTPCommandErrorDomain);
        EXPECT_EQ(out_->localError->code, -7780);
        EXPECT_TRUE(out_->result.isAbsent()) << "nothing of the answer is kept";
        // What the controller could write before the client closed: the socket buffers and the
        // 1 MiB read, far from the whole answer.
        EXPECT_LT(local_.bodyBytesWritten() - written, 32 * kMiB);
    }
}

TEST_F(CommandTest, LocalFailureFallsBackToRemoteAndReportsTheLocalError) {
    local_.refuse();
    auto cmd = make("/dev/fallback", local_.address(), remote_.address(), KVHTTPReachMode::Local);
    cmd->send();
    EXPECT_EQ(cmd->remoteState(), KVHTTPCommandState::Waiting);
    ASSERT_TRUE(waitForCallback());
    ASSERT_TRUE(waitIdle(cmd));
    EXPECT_EQ(out_->calls, 1);
    EXPECT_TRUE(out_->success);
    ASSERT_TRUE(out_->localError);
    EXPECT_EQ(out_->localError->domain, platform::kNSURLErrorDomain);
    EXPECT_EQ(out_->localError->code, -1004);
    EXPECT_EQ(out_->localError->localizedDescription(), "Could not connect to the server.");
    EXPECT_FALSE(out_->remoteError);
    EXPECT_EQ(out_->userInfo["reachMode"], static_cast<int>(KVHTTPReachMode::Remote));
    EXPECT_EQ(cmd->localState(), KVHTTPCommandState::Failed);
    EXPECT_EQ(cmd->remoteState(), KVHTTPCommandState::Succeeded);
    EXPECT_EQ(remote_.commands().size(), 1u);
}

TEST_F(CommandTest, BothPathsFailingReportBothErrorsOnce) {
    local_.refuse();
    remote_.setSerial("50:4F:94:10:B8:4B");
    remote_.holdKeyAnswers(true);  // the remote failure comes last and ends the command
    auto cmd = make("/dev/both", local_.address(), remote_.address(), KVHTTPReachMode::None);
    cmd->send();
    ASSERT_TRUE(testutil::spinUntil([&] { return cmd->localState() == KVHTTPCommandState::Failed; }));
    EXPECT_EQ(out_->calls, 0) << "the remote path is still running";
    remote_.holdKeyAnswers(false);
    ASSERT_TRUE(waitForCallback());
    ASSERT_TRUE(waitIdle(cmd));
    EXPECT_EQ(out_->calls, 1);
    EXPECT_FALSE(out_->success);
    ASSERT_TRUE(out_->localError && out_->remoteError);
    EXPECT_EQ(out_->localError->code, -1004);
    EXPECT_EQ(out_->remoteError->code, -7779);
    EXPECT_EQ(out_->remoteError->domain, KVHTTPCommandErrorDomain);
    EXPECT_EQ(out_->remoteError->localizedDescription(), "Serialnumbers did not match.");
    EXPECT_TRUE(out_->userInfo.is_null());
    ASSERT_EQ(out_->result.kind, KVHTTPResult::Kind::Value);
    EXPECT_NE(textOf(out_->result.value).find("50:4F:94:10:B8:4B"), std::string::npos) << "the key answer's body";
    EXPECT_TRUE(remote_.commands().empty());
}

TEST_F(CommandTest, KeyAnswerChecks) {
    const std::string snr = TestController::kSerial;
    struct Case {
        const char* name;
        std::string serialNo;                 // of the hubstation
        std::optional<std::string> snr;       // sent by the controller
        std::optional<std::string> value;     // replaces the envelope's value text
        std::optional<std::string> keyText;   // replaces the key
        std::optional<std::string> body;      // replaces the whole answer
        long code;                            // 0: success
    };
    const Case cases[] = {
        {"colons removed", "504F9410B84A", std::nullopt, std::nullopt, std::nullopt, std::nullopt, 0},
        {"no colons", "504F9410B84A", "504F9410B84A", std::nullopt, std::nullopt, std::nullopt, 0},
        {"letter case differs", "504f9410b84a", std::nullopt, std::nullopt, std::nullopt, std::nullopt, -7779},
        {"other serial", "504F9410B84A", "50:4F:94:10:B8:4C", std::nullopt, std::nullopt, std::nullopt, -7779},
        {"quotation marks", "504F9410B84A", std::nullopt,
         "{\"snr\":\"50:4F:94:10:B8:4A\",\"version\":\"1\",\"key\":\"4a656665\"}", "4a656665", std::nullopt, 0},
        {"apostrophes", "504F9410B84A", std::nullopt, "{'snr':'50:4F:94:10:B8:4A','version':'1','key':'4a656665'}",
         "4a656665", std::nullopt, 0},
        {"value without key", "504F9410B84A", std::nullopt, "{'snr':'50:4F:94:10:B8:4A','version':'1'}",
         std::nullopt, std::nullopt, -7780},
        {"value with a number", "504F9410B84A", std::nullopt,
         "{'snr':'50:4F:94:10:B8:4A','version':1,'key':'4a656665'}", std::nullopt, std::nullopt, -7780},
        {"value no JSON", "504F9410B84A", std::nullopt, "garbage", std::nullopt, std::nullopt, -7780},
        {"value a list", "504F9410B84A", std::nullopt, "['a']", std::nullopt, std::nullopt, -7780},
        {"key bytes not UTF-8", "504F9410B84A", std::nullopt, std::nullopt, "ff41", std::nullopt, -7780},
        {"body no JSON", "504F9410B84A", std::nullopt, std::nullopt, std::nullopt, "<html>", -7780},
        {"body empty", "504F9410B84A", std::nullopt, std::nullopt, std::nullopt, "", -7780},
        {"no LL", "504F9410B84A", std::nullopt, std::nullopt, std::nullopt, "{\"XX\":{}}", -7780},
        {"LL member no text", "504F9410B84A", std::nullopt, std::nullopt, std::nullopt,
         "{\"LL\":{\"control\":\"x\",\"value\":\"{}\",\"Code\":200}}", -7780},
        {"LL without Code", "504F9410B84A", std::nullopt, std::nullopt, std::nullopt,
         "{\"LL\":{\"control\":\"x\",\"value\":\"{'snr':'504F9410B84A','version':'1','key':'41'}\"}}", -7780},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        local_.setSerial(c.snr.value_or(snr));
        local_.setKeyValue(c.value);
        local_.setKeyText(c.keyText);
        local_.setKeyAnswer(c.body ? std::optional<Answer>(Answer{200, "application/json", *c.body}) : std::nullopt);
        std::size_t before = local_.commands().size();
        auto cmd = make("/dev/k", local_.address(), std::nullopt, KVHTTPReachMode::Local, c.serialNo);
        cmd->send();
        ASSERT_TRUE(waitForCallback());
        EXPECT_EQ(out_->calls, 1);
        if (c.code == 0) {
            EXPECT_TRUE(out_->success);
            EXPECT_EQ(local_.commands().size(), before + 1);
        } else {
            EXPECT_FALSE(out_->success);
            ASSERT_TRUE(out_->localError);
            EXPECT_EQ(out_->localError->code, c.code);
            EXPECT_EQ(out_->localError->domain, KVHTTPCommandErrorDomain);
            EXPECT_EQ(out_->result.kind, KVHTTPResult::Kind::Value) << "the key answer's bytes";
            EXPECT_TRUE(platform::isBytes(out_->result.value));
            EXPECT_EQ(local_.commands().size(), before);
        }
    }
}

TEST_F(CommandTest, StatusCodes) {
    struct Case {
        int status;
        bool success;
        std::string description;
    };
    const Case cases[] = {
        {200, true, ""},  {298, true, ""}, {299, false, "Success"}, {300, false, "Multiple Choices"},
        {404, false, "Not Found"}, {503, false, "Service Unavailable"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        reset();
        local_.setCommandAnswer(Answer{c.status, "text/plain", "answer body"});
        auto cmd = make("/dev/s", local_.address(), std::nullopt, KVHTTPReachMode::Local);
        cmd->send();
        ASSERT_TRUE(waitForCallback());
        EXPECT_EQ(out_->success, c.success);
        if (c.success) {
            EXPECT_EQ(out_->userInfo["statusCode"], c.status);
            EXPECT_EQ(out_->result.value, "answer body");
        } else {
            ASSERT_TRUE(out_->localError);
            EXPECT_EQ(out_->localError->domain, KVHTTPCommandErrorDomain);
            EXPECT_EQ(out_->localError->code, c.status);
            EXPECT_EQ(out_->localError->localizedDescription(), c.description);
            EXPECT_EQ(textOf(out_->result.value), "answer body");
        }
    }
}

TEST_F(CommandTest, AnswerTypedByMimeType) {
    auto png = platform::base64DecodeStrict(
        "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg==");
    ASSERT_TRUE(png);
    std::string pngText(png->begin(), png->end());
    enum class Expect { Bytes, Text, Null, Json, Image };
    struct Case {
        std::optional<std::string> contentType;
        std::string body;
        Expect expect;
        Value value;  // for Text and Json
        bool printsLine = false;
    };
    const Case cases[] = {
        {std::nullopt, "raw", Expect::Bytes, nullptr},
        {"text/plain", "h\xc3\xa9llo", Expect::Text, "h\xc3\xa9llo"},
        {"text/html", "", Expect::Text, ""},
        {"text/plain", "\xff\xfe", Expect::Null, nullptr},
        {"text/json", "{\"a\":1}", Expect::Text, "{\"a\":1}"},
        {"image/svg+xml", "<svg/>", Expect::Text, "<svg/>"},
        {"application/json", "{\"a\":1}", Expect::Json, Value{{"a", 1}}},
        {"application/json", "5", Expect::Json, 5},
        {"application/json", "nope", Expect::Bytes, nullptr, true},
        {"image/png", pngText, Expect::Image, nullptr},
        {"image/png", "not an image", Expect::Bytes, nullptr},
        {"application/octet-stream", "x", Expect::Bytes, nullptr},
        {"Text/plain", "x", Expect::Bytes, nullptr},  // checks are case-sensitive
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.contentType.value_or("(none)") + " " + std::to_string(static_cast<int>(c.expect)));
        reset();
        local_.setCommandAnswer(Answer{200, c.contentType, c.body});
        auto cmd = make("/dev/m", local_.address(), std::nullopt, KVHTTPReachMode::Local);
        testing::internal::CaptureStdout();
        cmd->send();
        bool called = waitForCallback();
        std::string printed = testing::internal::GetCapturedStdout();
        ASSERT_TRUE(called);
        ASSERT_TRUE(out_->success);
        EXPECT_EQ(printed.find("Could not parse JSON response, returning binary data!\n") != std::string::npos,
                  c.printsLine);
        if (c.contentType) {
            EXPECT_EQ(out_->userInfo["contentType"], *c.contentType);
        } else {
            EXPECT_FALSE(out_->userInfo.contains("contentType"));
        }
        const auto& r = out_->result;
        switch (c.expect) {
        case Expect::Bytes:
            ASSERT_EQ(r.kind, KVHTTPResult::Kind::Value);
            ASSERT_TRUE(platform::isBytes(r.value));
            EXPECT_EQ(textOf(r.value), c.body);
            break;
        case Expect::Null:
            ASSERT_EQ(r.kind, KVHTTPResult::Kind::Value);
            EXPECT_TRUE(r.value.is_null());
            break;
        case Expect::Text:
        case Expect::Json:
            ASSERT_EQ(r.kind, KVHTTPResult::Kind::Value);
            EXPECT_EQ(r.value, c.value);
            break;
        case Expect::Image:
            ASSERT_EQ(r.kind, KVHTTPResult::Kind::Image);
            EXPECT_EQ(r.image->width(), 1);
            EXPECT_EQ(r.image->height(), 1);
            break;
        }
    }
}

// A picture answer is decoded on a worker thread, and only up to a pixel count that holds a 4K
// frame: a small answer that decodes huge is refused from its header, so neither the main loop
// waits for it nor memory grows. A command that does not decode pictures hands over the bytes.
TEST_F(CommandTest, PictureAnswersAreDecodedOffTheMainLoopWithinAPixelLimit) {
    constexpr std::size_t kMiB = 1048576;
    struct Case {
        const char* name;
        unsigned width, height;
        bool decodes;  // the command decodes pictures
        bool image;    // an image is handed over, else the bytes
    };
    const Case cases[] = {
        {"one pixel", 1, 1, true, true},
        {"4K frame", 3840, 2160, true, true},
        {"at the limit", 4096, 2048, true, true},
        {"one row over the limit", 4096, 2049, true, false},
        {"16000 x 16000", 16000, 16000, true, false},
        {"one pixel, not decoded", 1, 1, false, false},
        {"16000 x 16000, not decoded", 16000, 16000, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        std::string png = testctl::blackPNG(c.width, c.height);
        ASSERT_LT(png.size(), KVHTTPCommand::kMaxAnswerBytes);
        local_.setCommandAnswer(Answer{200, "image/png", png});
        auto cmd = make("/dev/snapshot", local_.address(), std::nullopt, KVHTTPReachMode::Local);
        EXPECT_TRUE(cmd->decodesImages()) << "pictures are decoded unless turned off";
        cmd->setDecodesImages(c.decodes);
        testutil::MainLoopProbe probe;
        cmd->send();
        ASSERT_TRUE(waitForCallback(60));
        ASSERT_TRUE(waitIdle(cmd));
        EXPECT_LT(probe.longestWait(), 0.25) << "the main loop went on answering";
        ASSERT_TRUE(out_->success);
        EXPECT_EQ(out_->userInfo["contentType"], "image/png");
        if (c.image) {
            ASSERT_EQ(out_->result.kind, KVHTTPResult::Kind::Image);
            EXPECT_EQ(out_->result.image->width(), static_cast<int>(c.width));
            EXPECT_EQ(out_->result.image->height(), static_cast<int>(c.height));
        } else {
            ASSERT_EQ(out_->result.kind, KVHTTPResult::Kind::Value);
            EXPECT_EQ(textOf(out_->result.value), png);
            EXPECT_LT(probe.residentGrowth(), 64 * kMiB);
        }
    }
    local_.setCommandAnswer(std::nullopt);
}

TEST_F(CommandTest, CommandGoesWhereTheKeyRequestWasRedirected) {
    TestController v6(TestController::Family::IPv6);
    TestController& target = v6.running() ? v6 : remote_;
    local_.redirectKeyTo(target.address());
    auto cmd = make("/dev/moved", local_.address(), std::nullopt, KVHTTPReachMode::Local);
    cmd->send();
    ASSERT_TRUE(waitForCallback());
    EXPECT_TRUE(out_->success) << (out_->localError ? out_->localError->localizedDescription() : "");
    EXPECT_EQ(target.keyRequests(), 1);
    EXPECT_EQ(target.commands().size(), 1u);
    EXPECT_TRUE(local_.commands().empty());
    EXPECT_EQ(local_.rejectedCommands(), 0);
}

TEST_F(CommandTest, IPv6AddressInBrackets) {
    TestController v6(TestController::Family::IPv6);
    if (!v6.running()) GTEST_SKIP() << "no IPv6 loopback";
    auto cmd = make("/dev/six", v6.address(), std::nullopt, KVHTTPReachMode::Local);
    cmd->send();
    ASSERT_TRUE(waitForCallback());
    EXPECT_TRUE(out_->success);
    EXPECT_EQ(v6.commands().size(), 1u);
}

TEST_F(CommandTest, StopMidRequestReportsNothing) {
    local_.holdCommandAnswers(true);
    auto cmd = make("/dev/stop", local_.address(), remote_.address(), KVHTTPReachMode::Local);
    cmd->send();
    ASSERT_TRUE(testutil::spinUntil([&] { return !local_.commands().empty(); }));
    testing::internal::CaptureStdout();
    cmd->stop();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "stop it from outside\n");
    EXPECT_EQ(cmd->localState(), KVHTTPCommandState::Stopped);
    EXPECT_EQ(cmd->remoteState(), KVHTTPCommandState::Stopped);
    ASSERT_TRUE(waitIdle(cmd));
    local_.holdCommandAnswers(false);
    EXPECT_EQ(out_->calls, 0);
    EXPECT_EQ(remote_.keyRequests(), 0) << "a stopped command starts no fallback";
}

TEST_F(CommandTest, TimeOutIsThreeAndAHalfSeconds) {
    local_.holdKeyAnswers(true);  // no answer comes
    auto cmd = make("/dev/slow", local_.address(), std::nullopt, KVHTTPReachMode::Local);
    EXPECT_DOUBLE_EQ(cmd->resourceTimeout(), 3.5);
    EXPECT_DOUBLE_EQ(cmd->intRequest()->configuration().resourceTimeout, 3.5);
    EXPECT_FALSE(cmd->intRequest()->configuration().allowsCellularAccess);
    auto start = std::chrono::steady_clock::now();
    cmd->send();
    ASSERT_TRUE(waitForCallback(60));
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(elapsed, 3.5);
    EXPECT_LT(elapsed, 30.0) << "a busy machine may be late, never this late";
    EXPECT_FALSE(out_->success);
    ASSERT_TRUE(out_->localError);
    EXPECT_EQ(out_->localError->code, -1001);
    EXPECT_EQ(out_->localError->localizedDescription(), "The request timed out.");
}

TEST_F(CommandTest, NoAddressCallsBackBeforeSendReturns) {
    // Addresses that are no URL text are dropped.
    for (auto [local, remote] : {std::pair<std::optional<std::string>, std::optional<std::string>>{std::nullopt,
                                                                                                     std::nullopt},
                                 {"bad host", "10.0.0.1:80 "}}) {
        reset();
        auto cmd = make("/dev/none", local, remote, KVHTTPReachMode::None);
        EXPECT_EQ(cmd->localState(), KVHTTPCommandState::Stopped);
        EXPECT_EQ(cmd->remoteState(), KVHTTPCommandState::Stopped);
        EXPECT_FALSE(cmd->intRequest());
        cmd->send();
        ASSERT_EQ(out_->calls, 1);
        EXPECT_FALSE(out_->success);
        ASSERT_TRUE(out_->localError);
        EXPECT_EQ(out_->localError, out_->remoteError) << "one error object in both arguments";
        EXPECT_EQ(out_->localError->code, -7777);
        EXPECT_EQ(out_->localError->localizedDescription(), "Invalid host! Please check your IP or URL.");
        EXPECT_TRUE(out_->result.isAbsent());
        cmd->send();  // a second send starts nothing and reports nothing
        ASSERT_TRUE(waitIdle(cmd));
        EXPECT_EQ(out_->calls, 1);
    }
}

TEST_F(CommandTest, AddressFailingAtStartFallsBackOnceAndCallsBackOnce) {
    // "a:b:c" is URL text, but "http://a:b:c/..." has no valid port.
    struct Case {
        KVHTTPReachMode mode;
        bool remoteGood;
    };
    for (auto c : {Case{KVHTTPReachMode::None, true}, Case{KVHTTPReachMode::Local, true},
                   Case{KVHTTPReachMode::Remote, false}, Case{KVHTTPReachMode::None, false}}) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.mode)) + (c.remoteGood ? " remote good" : " both bad"));
        reset();
        int keys = remote_.keyRequests();
        auto cmd = make("/dev/f", "a:b:c", c.remoteGood ? remote_.address() : "d:e:f", c.mode);
        cmd->send();
        if (c.remoteGood) {
            EXPECT_EQ(out_->calls, 0);
            ASSERT_TRUE(waitForCallback());
            EXPECT_TRUE(out_->success);
            EXPECT_EQ(remote_.keyRequests() - keys, 1) << "the remote path starts once";
            EXPECT_FALSE(out_->remoteError);
        } else {
            EXPECT_EQ(out_->calls, 1) << "every path failed while send() ran";
            EXPECT_FALSE(out_->success);
            ASSERT_TRUE(out_->remoteError);
            EXPECT_EQ(out_->remoteError->code, -7777);
        }
        ASSERT_TRUE(out_->localError);
        EXPECT_EQ(out_->localError->code, -7777);
        EXPECT_EQ(cmd->localState(), KVHTTPCommandState::Failed);
        ASSERT_TRUE(waitIdle(cmd));
        EXPECT_EQ(out_->calls, 1);
    }
}

// Answers no server gives: each fails its path in order, once.
TEST_F(CommandTest, MalformedCompletionsFailThePathOnce) {
    platform::HttpResponse ok;
    ok.statusCode = 200;
    ok.host = "127.0.0.1";
    ok.mimeType = "application/json";
    platform::HttpResponse noSlash = ok;
    noSlash.mimeType = "json";
    platform::Bytes body{'{', '}'};
    struct Case {
        const char* name;
        bool keyStep;
        std::optional<platform::Bytes> data;
        std::optional<platform::HttpResponse> response;
        bool resultAbsent;
    };
    const Case cases[] = {
        {"key answer without body", true, std::nullopt, ok, true},
        {"key answer without body or response", true, std::nullopt, std::nullopt, true},
        {"command answer without response", false, body, std::nullopt, false},
        {"command answer without body", false, std::nullopt, ok, true},
        {"MIME type without slash", false, body, noSlash, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        auto cmd = make("/dev/x", local_.address(), std::nullopt, KVHTTPReachMode::Local);
        for (int i = 0; i < 2; ++i) {
            if (c.keyStep) {
                cmd->handleResponseFromHashURL(true, c.data, c.response, nullptr);
            } else {
                cmd->handleResponseFromCommandURL(true, c.data, c.response, nullptr);
            }
        }
        EXPECT_EQ(out_->calls, 1);
        EXPECT_FALSE(out_->success);
        ASSERT_TRUE(out_->localError);
        EXPECT_EQ(out_->localError->code, -7780);
        EXPECT_EQ(out_->result.isAbsent(), c.resultAbsent);
        EXPECT_EQ(cmd->localState(), KVHTTPCommandState::Failed);
    }
}

TEST(KVHTTPCommandParts, AuthenticationValue) {
    struct Case {
        std::string key, user, password;
        std::optional<std::string> expect;
    };
    const Case cases[] = {
        {"4a656665", "admin", "secret", "d9d6908c3ac3a92e051466953c9eec120c26717f"},
        {"4A656665", "admin", "secret", "d9d6908c3ac3a92e051466953c9eec120c26717f"},
        {"4a6566656", "admin", "secret", "3f4aa1d517d72d53c470f98141048566f5051a25"},  // odd: last "6" is 0x06
        {"", "admin", "secret", "e6c37257798951b99c7c47b5366233a619081b8f"},
        {"4a0065", "admin", "secret", "2e1ed481dec663f0c503ac15f109d721765ae389"},  // a NUL byte stays in the key
        {"c3a9", "user", "p\xc3\xa4ss", "1c5770b6068eea7460f68dada99745ee43e0cbdc"},
        {"ff", "admin", "secret", std::nullopt},
        {"4ac3", "admin", "secret", std::nullopt},  // cut UTF-8 sequence
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(KVHTTPCommand::authenticationValue(c.key, c.user, c.password), c.expect);
    }
}

TEST(KVHTTPCommandParts, CommandsAddressesCodesAndTexts) {
    EXPECT_EQ(KVHTTPCommand::validateCommand("dev/a"), "/dev/a");
    EXPECT_EQ(KVHTTPCommand::validateCommand("/dev/a"), "/dev/a");
    EXPECT_EQ(KVHTTPCommand::validateCommand(""), "/");

    const std::pair<const char*, bool> addresses[] = {
        {"192.168.1.5", true}, {"192.168.1.5:8080", true}, {"[fe80::1]:80", true}, {"dns.example.com/x", true},
        {"a%20b", true},       {"bad host", false},        {"", false},            {"tab\there", false},
        {"\xc3\xa4.example", false}, {"50%", false},        {"a\"b", false},       {"a{b}", false},
    };
    for (auto [text, kept] : addresses) {
        SCOPED_TRACE(text);
        KVHTTPHubstation hub("s", std::string(text), std::string(text), "u", "p");
        EXPECT_EQ(hub.localURL().has_value(), kept);
        EXPECT_EQ(hub.remoteURL().has_value(), kept);
    }

    EXPECT_EQ(KVHTTPReachModeFromRaw(0), KVHTTPReachMode::None);
    EXPECT_EQ(KVHTTPReachModeFromRaw(2), KVHTTPReachMode::Remote);
    EXPECT_EQ(KVHTTPReachModeFromRaw(3), std::nullopt);
    EXPECT_EQ(KVHTTPReachModeFromRaw(-1), std::nullopt);
    EXPECT_EQ(KVHTTPCommandErrorFromRaw(-7778), std::nullopt);
    EXPECT_EQ(KVHTTPCommandErrorFromRaw(-7780), KVHTTPCommandError::NotParsableResponse);
    EXPECT_EQ(KVHTTPCommandStateDescription(KVHTTPCommandState::Succeeded), "Succeeded");
    EXPECT_EQ(KVHTTPCommandErrorDescription(KVHTTPCommandError::NotParsableResponse),
              "Hubstation response was not parsable.");
}

TEST(KVHTTPCommandParts, TransportErrorCodes) {
    struct Case {
        GQuark domain;
        int code;
        bool timedOut;
        long expect;
        const char* text;
    };
    const Case cases[] = {
        {G_IO_ERROR, G_IO_ERROR_CANCELLED, false, -999, "cancelled"},
        {G_IO_ERROR, G_IO_ERROR_CANCELLED, true, -1001, "The request timed out."},
        {G_IO_ERROR, G_IO_ERROR_TIMED_OUT, false, -1001, "The request timed out."},
        {G_IO_ERROR, G_IO_ERROR_CONNECTION_REFUSED, false, -1004, "Could not connect to the server."},
        {G_IO_ERROR, G_IO_ERROR_HOST_UNREACHABLE, false, -1004, "Could not connect to the server."},
        {G_RESOLVER_ERROR, G_RESOLVER_ERROR_NOT_FOUND, false, -1003,
         "A server with the specified hostname could not be found."},
        {G_IO_ERROR, G_IO_ERROR_BROKEN_PIPE, false, -1005, "The network connection was lost."},
        {G_IO_ERROR, G_IO_ERROR_CONNECTION_CLOSED, false, -1005, "The network connection was lost."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expect);
        g_autoptr(GError) e = g_error_new_literal(c.domain, c.code, "x");
        auto err = platform::urlErrorFromGError(e, c.timedOut, "http://h/");
        EXPECT_EQ(err->domain, platform::kNSURLErrorDomain);
        EXPECT_EQ(err->code, c.expect);
        EXPECT_EQ(err->localizedDescription(), c.text);
    }
}

}  // namespace

namespace {
TEST_F(CommandTest, ServerMimeTypeWithoutSlashFailsThePath) {
    local_.setCommandAnswer(Answer{200, "json", "{}"});
    auto cmd = make("/dev/x", local_.address(), std::nullopt, KVHTTPReachMode::Local);
    cmd->send();
    ASSERT_TRUE(waitForCallback());
    ASSERT_TRUE(waitIdle(cmd));
    EXPECT_EQ(out_->calls, 1);
    EXPECT_FALSE(out_->success);
    ASSERT_TRUE(out_->localError);
    EXPECT_EQ(out_->localError->code, -7780);
    EXPECT_EQ(textOf(out_->result.value), "{}");
}
}  // namespace
