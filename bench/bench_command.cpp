// Time of one authenticated command (key request and command request) against the loopback
// test controller, beside two bare GETs of one session (each, like every request of the client,
// on a connection of its own); and commands per second with 50 in flight. Last line:
// "ratio: R", the command's time over the two bare GETs'.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "companion/KVHTTPCommand.h"
#include "platform/dispatch.h"
#include "platform/http_client.h"
#include "tests/support/test_controller.h"

using Clock = std::chrono::steady_clock;

static double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

static double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

static KVHTTPHubstation hubstation(const testctl::TestController& c) {
    return KVHTTPHubstation(testctl::TestController::kSerialNo, c.address(), std::nullopt,
                            testctl::TestController::kUser, testctl::TestController::kPassword);
}

static bool oneCommand(const testctl::TestController& c) {
    bool done = false, ok = false;
    auto cmd = KVHTTPCommand::create("/dev/sps/io/bench/pulse", hubstation(c), KVHTTPReachMode::Local,
                                     [&](const KVHTTPResult&, bool success, const platform::HttpErrorRef&,
                                         const platform::HttpErrorRef&, const platform::Value&) {
                                         ok = success;
                                         done = true;
                                     });
    cmd->send();
    platform::runMainLoopUntil([&] { return done; }, 10);
    return ok;
}

static bool twoBareGets(const testctl::TestController& c) {
    auto session = platform::HttpSession::create();
    std::string url = "http://" + c.address() + "/bare";
    int finished = 0;
    bool ok = true;
    session->get(url, [&](std::optional<platform::Bytes>, std::optional<platform::HttpResponse> r,
                          platform::HttpErrorRef e) {
        ok = ok && !e && r && r->statusCode == 200;
        ++finished;
        session->get(url, [&](std::optional<platform::Bytes>, std::optional<platform::HttpResponse> r2,
                              platform::HttpErrorRef e2) {
            ok = ok && !e2 && r2 && r2->statusCode == 200;
            ++finished;
        });
    });
    platform::runMainLoopUntil([&] { return finished == 2; }, 10);
    return ok && finished == 2;
}

int main() {
    testctl::TestController controller;
    if (!controller.running()) {
        std::fprintf(stderr, "test controller did not start\n");
        return 1;
    }
    for (int i = 0; i < 20; ++i) {
        oneCommand(controller);
        twoBareGets(controller);
    }

    const int rounds = 300;
    std::vector<double> command, bare;
    int failures = 0;
    for (int i = 0; i < rounds; ++i) {
        auto t0 = Clock::now();
        if (!oneCommand(controller)) ++failures;
        auto t1 = Clock::now();
        if (!twoBareGets(controller)) ++failures;
        auto t2 = Clock::now();
        command.push_back(micros(t1 - t0));
        bare.push_back(micros(t2 - t1));
    }
    double mc = median(command), mb = median(bare);

    // Throughput: keep 50 commands in flight until `total` have finished.
    const int inFlight = 50, total = 1000;
    int started = 0, finished = 0, failed = 0;
    std::function<void()> launch = [&] {
        ++started;
        auto cmd = KVHTTPCommand::create("/dev/sps/io/bench/pulse", hubstation(controller), KVHTTPReachMode::Local,
                                         [&](const KVHTTPResult&, bool success, const platform::HttpErrorRef&,
                                             const platform::HttpErrorRef&, const platform::Value&) {
                                             ++finished;
                                             if (!success) ++failed;
                                             if (started < total) launch();
                                         });
        cmd->send();
    };
    auto t0 = Clock::now();
    for (int i = 0; i < inFlight; ++i) launch();
    platform::runMainLoopUntil([&] { return finished == total; }, 120);
    double seconds = std::chrono::duration<double>(Clock::now() - t0).count();

    std::printf("rounds: %d (failures %d)\n", rounds, failures);
    std::printf("authenticated command, median: %.1f us\n", mc);
    std::printf("two bare GETs of one session, median: %.1f us\n", mb);
    std::printf("commands with %d in flight: %d of %d in %.3f s (%d failed): %.0f commands/s\n", inFlight, finished,
                total, seconds, failed, finished / seconds);
    std::printf("ratio: %.3f\n", mb > 0 ? mc / mb : 0.0);
    return failures == 0 && failed == 0 ? 0 : 1;
}
