// Camera stream cost: a loopback MJPEG camera sends 1280x720 JPEG pictures of about 100 KB at 30
// frames per second; a page starts the camera proxy on it through the bridge, as the web
// application does, and counts the frames (Base64 texts on the kept callback) that reach it. Each
// stream runs 10 s. Rounds of two streams, after a warm-up of both: one where the page only takes
// the frames (the delivery, which the ratio is about) and one where it also shows each in an <img>
// (decoding and painting added, for comparison); five rounds, medians.
// Figures: frames per second reaching the page, and CPU seconds (user + system, from /proc) per
// second of stream of this process (the program: UI, bridge, proxy) and of its web-engine helper
// processes (all its descendants: web process and network process, shown apart). The camera is a
// process of its own, so its work is not counted; its CPU for the same bytes is shown beside, and
// so is how busy the whole machine was (other work there adds to the CPU time of these processes).
// Last line: "ratio: R", CPU seconds of the program and its web-engine processes per second of
// delivered stream (median of the five streams without the <img>).
// Run under a display and a bus: tests/harness/run-test --display --bus -- build/bench/bench_camera
#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_cpu.h"
#include "platform/dispatch.h"
#include "tests/support/camera_server.h"
#include "tests/support/page_fixture.h"

using Clock = std::chrono::steady_clock;
using testutil::PageFixture;

namespace {

const int kWidth = 1280, kHeight = 720;
const std::size_t kFrameBytes = 100000;
const int kIntervalMs = 33;  // 30 frames per second
const int kRounds = 5;
const double kStreamSeconds = 10.0;
const double kWarmUpSeconds = 3.0;
const double kSettleSeconds = 1.0;  // from the first frame to the start of the measured window

const char* kPage = R"(<img id="cam" style="width:100%" alt="">
<script>
var frames = 0, chars = 0, foreign = 0, loaded = 0, width = 0, height = 0, show = false, img = null;
function onFrame(v) {
  if (typeof v === 'string' && v.length) {
    frames++;
    chars += v.length;
    if (v.substring(0, 4) !== '/9j/') foreign++;  // not the Base64 text of a JPEG start
    if (show) img.src = 'data:image/jpeg;base64,' + v;
    webhost.exec(null, null, 'VideoProxy', 'imageProcessed', []);
  }
}
function onError(e) { report('failed', String(e)); }
window.benchStart = function (url, shown) {
  frames = 0; chars = 0; foreign = 0; loaded = 0; width = 0; height = 0; show = shown;
  img.removeAttribute('src');
  webhost.exec(onFrame, onError, 'VideoProxy', 'startStream', [url, '', '', true]);
};
window.benchStop = function (tag) {
  webhost.exec(function () { report(tag); }, onError, 'VideoProxy', 'stopStream', []);
};
window.benchCount = function (tag) {
  report(tag, frames, chars, foreign, width, height, loaded);
};
document.addEventListener('deviceready', function () {
  img = document.getElementById('cam');
  img.onload = function () { loaded++; width = img.naturalWidth; height = img.naturalHeight; };
  report('ready');
});
</script>)";

long ticksPerSecond() {
    static long t = sysconf(_SC_CLK_TCK);
    return t;
}

// utime + stime of a process in seconds, -1 when it is gone.
double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text)) return -1;
    auto close = text.rfind(')');
    if (close == std::string::npos) return -1;
    // Fields after the name: state(3) ppid ... utime(14) stime(15).
    std::vector<std::string> fields;
    std::size_t i = close + 2;
    while (i < text.size() && fields.size() < 13) {
        std::size_t j = text.find(' ', i);
        if (j == std::string::npos) j = text.size();
        fields.push_back(text.substr(i, j - i));
        i = j + 1;
    }
    if (fields.size() < 13) return -1;
    return static_cast<double>(std::stoll(fields[11]) + std::stoll(fields[12])) / static_cast<double>(ticksPerSecond());
}

std::string commOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

pid_t parentOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("PPid:", 0) == 0) return static_cast<pid_t>(std::stol(line.substr(5)));
    }
    return -1;
}

// Descendants of this process but the camera, with their CPU seconds so far.
std::map<pid_t, double> helperCpu(pid_t camera) {
    std::map<pid_t, pid_t> parents;
    DIR* d = opendir("/proc");
    if (!d) return {};
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        pid_t pid = std::stoi(name);
        parents[pid] = parentOf(pid);
    }
    closedir(d);
    std::map<pid_t, double> out;
    std::vector<pid_t> todo{getpid()};
    while (!todo.empty()) {
        pid_t p = todo.back();
        todo.pop_back();
        for (const auto& [pid, parent] : parents) {
            if (parent != p || pid == camera) continue;
            double cpu = cpuSeconds(pid);
            if (cpu >= 0) out[pid] = cpu;
            todo.push_back(pid);
        }
    }
    return out;
}

// Busy and total CPU time of the whole machine, in ticks.
std::pair<double, double> machineTicks() {
    std::ifstream in("/proc/stat");
    std::string cpu;
    double user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    in >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
    double busy = user + nice + system + irq + softirq + steal;
    return {busy, busy + idle + iowait};
}

struct Snapshot {
    Clock::time_point at;
    double self = 0, camera = 0;
    std::pair<double, double> machine;
    std::map<pid_t, double> helpers;
};

Snapshot snapshot(pid_t camera) {
    Snapshot s;
    s.helpers = helperCpu(camera);
    s.self = cpuSeconds(getpid());
    s.camera = cpuSeconds(camera);
    s.machine = machineTicks();
    s.at = Clock::now();
    return s;
}

// The loopback camera in a child process of its own (forked before any thread exists). It makes
// its pictures first, then answers its port and the mean picture size on the pipe.
struct Camera {
    pid_t pid = 0;
    unsigned port = 0;
    double meanBytes = 0;
    int keepAlive = -1;  // the camera ends when this closes
};

Camera startCamera() {
    int answer[2], life[2];
    if (::pipe2(answer, O_CLOEXEC) != 0 || ::pipe2(life, O_CLOEXEC) != 0) return {};
    pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::close(answer[0]);
        ::close(life[1]);
        testutil::CameraServer camera;
        double total = 0;
        for (int i = 0; i < 8; ++i) total += static_cast<double>(camera.sizedFrame(i, kWidth, kHeight, kFrameBytes).size());
        struct {
            unsigned port;
            double mean;
        } reply{camera.port(), total / 8};
        if (::write(answer[1], &reply, sizeof reply) != static_cast<ssize_t>(sizeof reply)) ::_exit(1);
        char c;
        while (::read(life[0], &c, 1) > 0) {
        }
        ::_exit(0);
    }
    ::close(answer[1]);
    ::close(life[0]);
    Camera cam;
    if (pid < 0) return cam;
    struct {
        unsigned port;
        double mean;
    } reply{};
    if (::read(answer[0], &reply, sizeof reply) != static_cast<ssize_t>(sizeof reply)) {
        ::close(answer[0]);
        ::close(life[1]);
        ::waitpid(pid, nullptr, 0);
        return cam;
    }
    ::close(answer[0]);
    cam.pid = pid;
    cam.port = reply.port;
    cam.meanBytes = reply.mean;
    cam.keepAlive = life[1];
    return cam;
}

void stopCamera(Camera& cam) {
    if (cam.keepAlive >= 0) ::close(cam.keepAlive);
    if (cam.pid > 0) ::waitpid(cam.pid, nullptr, 0);
    cam = {};
}

// The main loop alone for a while, without the waiting helpers' wake-ups.
void runFor(double seconds) {
    g_autoptr(GMainLoop) loop = g_main_loop_new(nullptr, FALSE);
    g_timeout_add(static_cast<guint>(seconds * 1000), [](gpointer l) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(l));
        return G_SOURCE_REMOVE;
    }, loop);
    g_main_loop_run(loop);
}

struct Round {
    double seconds = 0, frames = 0, chars = 0, foreign = 0, loaded = 0;
    double self = 0, web = 0, network = 0, other = 0, camera = 0;
    double machineBusy = 0;  // share of all the machine's CPUs busy with anything
    int width = 0, height = 0;
    double total() const { return (self + web + network + other) / seconds; }
};

class Bench {
public:
    Bench(PageFixture& fixture, const Camera& camera) : fixture_(fixture), camera_(camera) {}

    // One stream, its frames shown in the <img> or not; with `seconds` 0 a warm-up that measures
    // nothing.
    bool stream(double seconds, bool shown, Round& out) {
        int n = ++streams_;
        std::string url = "http://127.0.0.1:" + std::to_string(camera_.port) + "/stream.mjpg?interval=" +
                          std::to_string(kIntervalMs) + "&size=" + std::to_string(kWidth) + "x" + std::to_string(kHeight) +
                          "&bytes=" + std::to_string(kFrameBytes);
        eval("benchStart('" + url + "', " + (shown ? "true" : "false") + ")");
        if (!waitForFrames(n)) return false;
        runFor(kSettleSeconds);
        bool ok = true;
        if (seconds > 0) {
            Snapshot a = snapshot(camera_.pid);
            std::string tagA = "count-a" + std::to_string(n), tagB = "count-b" + std::to_string(n);
            eval("benchCount('" + tagA + "')");
            runFor(seconds);
            Snapshot b = snapshot(camera_.pid);
            eval("benchCount('" + tagB + "')");
            Value ca = fixture_.waitForReport(tagA, 30), cb = fixture_.waitForReport(tagB, 30);
            if (ca.is_null() || cb.is_null()) {
                std::printf("stream %d: the page did not answer its counts\n", n);
                ok = false;
            } else {
                out.seconds = std::chrono::duration<double>(b.at - a.at).count();
                out.frames = cb[1].get<double>() - ca[1].get<double>();
                out.chars = cb[2].get<double>() - ca[2].get<double>();
                out.foreign = cb[3].get<double>();
                out.loaded = cb[6].get<double>() - ca[6].get<double>();
                out.width = cb[4].get<int>();
                out.height = cb[5].get<int>();
                out.self = b.self - a.self;
                out.camera = b.camera - a.camera;
                double total = b.machine.second - a.machine.second;
                out.machineBusy = total > 0 ? (b.machine.first - a.machine.first) / total : 0;
                for (const auto& [pid, cpu] : b.helpers) {
                    auto before = a.helpers.find(pid);
                    double used = cpu - (before == a.helpers.end() ? 0 : before->second);
                    std::string name = commOf(pid);
                    if (name.find("WebKitWebProc") != std::string::npos) {
                        out.web += used;
                    } else if (name.find("WebKitNetwork") != std::string::npos) {
                        out.network += used;
                    } else {
                        out.other += used;
                    }
                }
            }
        } else {
            runFor(kWarmUpSeconds);
        }
        std::string stopTag = "stop" + std::to_string(n);
        eval("benchStop('" + stopTag + "')");
        if (fixture_.waitForReport(stopTag, 30).is_null()) {
            std::printf("stream %d: the proxy did not answer the stop\n", n);
            return false;
        }
        if (auto failed = fixture_.reportsTagged("failed"); !failed.empty()) {
            std::printf("stream %d: the proxy reported %s\n", n, platform::describe(failed.front()).c_str());
            return false;
        }
        runFor(0.5);  // the camera sees the connection go
        return ok;
    }

private:
    void eval(const std::string& script) { fixture_.ui().webView->evaluateScript(script); }

    bool waitForFrames(int n) {
        auto end = Clock::now() + std::chrono::seconds(30);
        for (int k = 0; Clock::now() < end; ++k) {
            std::string tag = "flow" + std::to_string(n) + "-" + std::to_string(k);
            eval("benchCount('" + tag + "')");
            Value v = fixture_.waitForReport(tag, 10);
            if (!v.is_null() && v[1].get<double>() > 0) return true;
            if (!fixture_.reportsTagged("failed").empty()) break;
            platform::runMainLoopFor(0.1);
        }
        auto failed = fixture_.reportsTagged("failed");
        std::printf("stream %d: no frame reached the page%s%s\n", n, failed.empty() ? "" : ": ",
                    failed.empty() ? "" : platform::describe(failed.front()).c_str());
        return false;
    }

    PageFixture& fixture_;
    const Camera& camera_;
    int streams_ = 0;
};

}  // namespace

int main() {
    Camera camera = startCamera();
    if (camera.pid <= 0) {
        std::printf("the loopback camera did not start\n");
        return 1;
    }
    int status = 1;
    {
        PageFixture fixture({{"index.html", "<!DOCTYPE html><html><head>" + PageFixture::libraryTag() +
                                                PageFixture::reportHelper() + "</head><body>" + kPage + "</body></html>"}},
                            "<feature name=\"VideoProxy\"><param name=\"osx-package\" value=\"VideoProxy\"/></feature>");
        if (!fixture.load(60)) {
            std::printf("the page did not become ready\n");
        } else {
            Bench bench(fixture, camera);
            Round warm;
            std::vector<Round> taken, shown;
            bool ok = bench.stream(0, false, warm) && bench.stream(0, true, warm);
            auto line = [](const char* what, int i, const Round& r) {
                std::printf("%s %d: %.1f frames/s to the page (%.0f Base64 characters each%s%s); CPU s per "
                            "stream s: program %.4f, web process %.4f, network process %.4f, other %.4f, total %.4f; "
                            "camera %.4f; machine %.0f%% busy\n",
                            what, i, r.frames / r.seconds, r.frames > 0 ? r.chars / r.frames : 0.0,
                            r.foreign > 0 ? ", some not a JPEG" : "",
                            r.width > 0 ? (", " + std::to_string(static_cast<int>(r.loaded)) + " pictures of " +
                                           std::to_string(r.width) + "x" + std::to_string(r.height) + " loaded")
                                              .c_str()
                                        : "",
                            r.self / r.seconds,
                            r.web / r.seconds, r.network / r.seconds, r.other / r.seconds, r.total(), r.camera / r.seconds,
                            100 * r.machineBusy);
                std::fflush(stdout);
            };
            for (int i = 0; ok && i < kRounds; ++i) {
                Round a, b;
                ok = bench.stream(kStreamSeconds, false, a);
                if (ok) {
                    taken.push_back(a);
                    line("taken", i + 1, a);
                    ok = bench.stream(kStreamSeconds, true, b);
                }
                if (ok) {
                    shown.push_back(b);
                    line("shown", i + 1, b);
                }
            }
            for (const auto& r : taken) {
                if (r.foreign > 0 || r.frames <= 0) ok = false;
            }
            for (const auto& r : shown) {
                if (r.foreign > 0 || r.frames <= 0 || r.width != kWidth || r.height != kHeight) ok = false;
            }
            if (!ok) {
                std::printf("the streams did not deliver JPEG frames throughout\n");
            } else {
                auto med = [](const std::vector<Round>& rounds, auto f) {
                    std::vector<double> v;
                    for (const auto& r : rounds) v.push_back(f(r));
                    return benchutil::median(v);
                };
                std::printf("source: %dx%d JPEG pictures of %.0f bytes on average, one every %d ms, streams of %.0f s\n",
                            kWidth, kHeight, camera.meanBytes, kIntervalMs, kStreamSeconds);
                for (const auto* set : {&taken, &shown}) {
                    const char* what = set == &taken ? "frames taken by the page" : "frames shown in an <img>";
                    std::printf("%s (medians of %d): %.2f frames/s; CPU s per stream s: program %.4f, web process %.4f, "
                                "network process %.4f, other helpers %.4f, total %.4f\n",
                                what, kRounds, med(*set, [](const Round& r) { return r.frames / r.seconds; }),
                                med(*set, [](const Round& r) { return r.self / r.seconds; }),
                                med(*set, [](const Round& r) { return r.web / r.seconds; }),
                                med(*set, [](const Round& r) { return r.network / r.seconds; }),
                                med(*set, [](const Round& r) { return r.other / r.seconds; }),
                                med(*set, [](const Round& r) { return r.total(); }));
                }
                std::printf("the loopback camera serving the same bytes (a process of its own): %.4f CPU s per stream s\n",
                            med(taken, [](const Round& r) { return r.camera / r.seconds; }));
                std::vector<double> totals;
                for (const auto& r : taken) totals.push_back(r.total());
                std::printf("least of the %d totals of frames taken: %.4f\n",
                            kRounds, *std::min_element(totals.begin(), totals.end()));
                std::printf("ratio: %.4f\n", med(taken, [](const Round& r) { return r.total(); }));
                status = 0;
            }
        }
    }
    stopCamera(camera);
    return status;
}
