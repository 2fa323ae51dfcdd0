// File throughput through the bridge beside plain I/O. The page writes 16 MiB with the file
// plug-in's write and reads them back with readAsArrayBuffer, through the page library, which
// hands bytes over and gets them back in the array-buffer form (Base64 in the page, counted);
// the reference writes the same bytes with write() and reads them with read() into a freshly
// allocated buffer. After a warm-up of both, five rounds of ours then the reference; medians.
// Also the 1 MiB figures and readAsText / readAsDataURL of 16 MiB.
// Runs the real web view (display and bus needed):
//   tests/harness/run-test --display --bus -- build/bench/bench_files
// Last line: "ratio: R", the median over the rounds of our 16 MiB write-and-read rate over the
// reference's.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_cpu.h"
#include "platform/dispatch.h"
#include "platform/paths.h"
#include "plugins/standard/WHFile.h"
#include "tests/support/page_fixture.h"

using testutil::PageFixture;

namespace {

const std::size_t kBig = 16 << 20, kSmall = 1 << 20;
const int kRounds = 5;

const char* kPage = R"(<script>
var url = 'whfile://localhost/persistent/bench.bin', runs = 0;
function call(action, args){ return new Promise(function(ok, fail){ webhost.exec(ok, fail, 'File', action, args); }); }
function pattern(n, seed){ var d = new Uint8Array(n); for (var i = 0; i < n; i++) d[i] = (i * 31 + seed) & 255; return d; }
// Write then read back n bytes; reports the seconds of each and whether the bytes came back.
window.round = function(n){
  var run = ++runs, data = pattern(n, run);
  var t0 = performance.now();
  call('write', [url, data.buffer, 0]).then(function(written){
    var t1 = performance.now();
    return call('readAsArrayBuffer', [url, 0, -1]).then(function(buf){
      var t2 = performance.now(), back = new Uint8Array(buf), ok = written === n && back.length === n;
      for (var i = 0; ok && i < n; i += 4093) ok = back[i] === data[i];
      ok = ok && back[n - 1] === data[n - 1];
      report('round', run, (t1 - t0) / 1000, (t2 - t1) / 1000, ok);
    });
  }).catch(function(e){ report('round', run, 0, 0, false, String(e)); });
};
// Reads the file back as text and as a data URL; reports the seconds of each.
window.texts = function(n){
  var run = ++runs, text = 'kivano bench text '.repeat(Math.ceil(n / 18)).slice(0, n);
  call('write', [url, text, 0]).then(function(){
    var t0 = performance.now();
    return call('readAsText', [url, 'UTF-8', 0, -1]).then(function(t){
      var t1 = performance.now();
      return call('readAsDataURL', [url, 0, -1]).then(function(d){
        var t2 = performance.now();
        report('texts', run, (t1 - t0) / 1000, (t2 - t1) / 1000, t === text && d.indexOf('data:') === 0 && d.length > n);
      });
    });
  }).catch(function(e){ report('texts', run, 0, 0, false, String(e)); });
};
document.addEventListener('deviceready', function(){ report('ready'); });
</script>)";

double seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// The reference: write() of the bytes (the file replaced), read() into a freshly allocated buffer.
std::pair<double, double> plain(const std::string& path, const std::vector<unsigned char>& data) {
    const std::size_t n = data.size();
    auto t0 = std::chrono::steady_clock::now();
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return {0, 0};
    std::size_t done = 0;
    while (done < n) {
        ssize_t w = ::write(fd, data.data() + done, n - done);
        if (w <= 0) break;
        done += static_cast<std::size_t>(w);
    }
    ::close(fd);
    auto t1 = std::chrono::steady_clock::now();
    std::vector<unsigned char> back(n);
    fd = ::open(path.c_str(), O_RDONLY);
    done = 0;
    while (fd >= 0 && done < n) {
        ssize_t r = ::read(fd, back.data() + done, n - done);
        if (r <= 0) break;
        done += static_cast<std::size_t>(r);
    }
    if (fd >= 0) ::close(fd);
    auto t2 = std::chrono::steady_clock::now();
    if (done != n || back[n - 1] != data[n - 1]) return {0, 0};
    return {seconds(t0, t1), seconds(t1, t2)};
}

std::vector<unsigned char> pattern(std::size_t n, int seed) {
    std::vector<unsigned char> d(n);
    for (std::size_t i = 0; i < n; ++i) d[i] = static_cast<unsigned char>(i * 31 + static_cast<std::size_t>(seed));
    return d;
}

}  // namespace

int main() {
    PageFixture page({{"index.html", "<!DOCTYPE html><html><head>" + PageFixture::libraryTag() + PageFixture::reportHelper() +
                                         "</head><body>" + kPage + "</body></html>"}},
                     "<feature name=\"File\"><param name=\"osx-package\" value=\"WHFile\"/>"
                     "<param name=\"onload\" value=\"true\"/></feature>");
    if (!page.load()) {
        std::printf("page did not load\nratio: 0\n");
        return 1;
    }
    const std::string path = filePlugin()->appDataPath + "/bench-plain.bin";
    // One page function; its report (null when it did not come).
    auto ours = [&](const std::string& tag, const std::string& call) -> Value {
        std::size_t before = page.reportsTagged(tag).size();
        page.ui().webView->evaluateScript(call);
        platform::runMainLoopUntil([&] { return page.reportsTagged(tag).size() > before; }, 300);
        auto all = page.reportsTagged(tag);
        if (all.size() <= before) return nullptr;
        Value r = all.back();
        return r[4].get<bool>() ? r : Value();
    };
    const double mb = 1e6;
    // Rounds of ours then the reference for n bytes; their ratios go to `ratios`.
    auto figures = [&](std::size_t n, int rounds, bool show, std::vector<double>& ratios) {
        std::vector<double> ourW, ourR, refW, refR;
        for (int i = 0; i < rounds; ++i) {
            Value r = ours("round", "round(" + std::to_string(n) + ")");
            auto data = pattern(n, i);
            auto [pw, pr] = plain(path, data);
            if (r.is_null() || pw <= 0) {
                std::printf("%zu bytes, round %d: the bytes did not come back\n", n, i + 1);
                return false;
            }
            double w = r[2].get<double>(), rd = r[3].get<double>();
            ourW.push_back(n / w / mb);
            ourR.push_back(n / rd / mb);
            refW.push_back(n / pw / mb);
            refR.push_back(n / pr / mb);
            ratios.push_back((pw + pr) / (w + rd));
            if (show) {
                std::printf("round %d, %zu MiB: bridge write %.1f MB/s, readAsArrayBuffer %.1f MB/s; plain write %.1f MB/s, "
                            "read %.1f MB/s; ratio %.3f\n",
                            i + 1, n >> 20, ourW.back(), ourR.back(), refW.back(), refR.back(), ratios.back());
                std::fflush(stdout);
            }
        }
        if (!show) return true;
        using benchutil::median;
        using benchutil::spread;
        std::printf("%zu MiB (median of %d): bridge write %.1f MB/s (%s), readAsArrayBuffer %.1f MB/s (%s); plain write "
                    "%.1f MB/s (%s), read %.1f MB/s (%s); ratio %.3f (%s)\n",
                    n >> 20, rounds, median(ourW), spread(ourW, "%.0f").c_str(), median(ourR), spread(ourR, "%.0f").c_str(),
                    median(refW), spread(refW, "%.0f").c_str(), median(refR), spread(refR, "%.0f").c_str(), median(ratios),
                    spread(ratios).c_str());
        return true;
    };

    // Warm-up of both, then the rounds.
    std::vector<double> warm, bigRatios, smallRatios;
    if (!figures(kBig, 1, false, warm) || !figures(kSmall, 1, false, warm) || !figures(kBig, kRounds, true, bigRatios) ||
        !figures(kSmall, kRounds, true, smallRatios)) {
        std::printf("ratio: 0\n");
        return 1;
    }

    std::vector<double> textRates, dataURLRates;
    ours("texts", "texts(" + std::to_string(kBig) + ")");
    for (int i = 0; i < kRounds; ++i) {
        Value t = ours("texts", "texts(" + std::to_string(kBig) + ")");
        if (t.is_null()) {
            std::printf("readAsText / readAsDataURL did not answer as they should\n");
            break;
        }
        textRates.push_back(kBig / t[2].get<double>() / mb);
        dataURLRates.push_back(kBig / t[3].get<double>() / mb);
    }
    if (!textRates.empty()) {
        std::printf("16 MiB readAsText %.1f MB/s (%s), readAsDataURL %.1f MB/s (%s), medians\n", benchutil::median(textRates),
                    benchutil::spread(textRates, "%.0f").c_str(), benchutil::median(dataURLRates),
                    benchutil::spread(dataURLRates, "%.0f").c_str());
    }
    ::unlink(path.c_str());
    ::unlink((filePlugin()->appDataPath + "/bench.bin").c_str());
    std::printf("16 MiB write-and-read ratio spread over the rounds: %s\n", benchutil::spread(bigRatios).c_str());
    std::printf("ratio: %.4f\n", benchutil::median(bigRatios));
    return 0;
}
