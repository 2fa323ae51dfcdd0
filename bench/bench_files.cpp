// File throughput through the bridge against the floor of what the same work costs anyway. The
// page writes 16 MiB with the file plug-in's write and reads them back with readAsArrayBuffer,
// through the page library, which hands the bytes over and gets them back in the array-buffer
// form (Base64); the page checks every byte it gets back.
// The reference, measured in the same run and interleaved with ours round by round, is the
// durable floor of that work: write() of the bytes into a new file, fdatasync() and rename() over
// the old one, then read() into memory mapped fresh for the round (never touched before); plus the
// page's own Base64 work on the same bytes (encoding them as the library hands them over, decoding
// the text it gets back), timed in the same page with the library's code. After a warm-up of both,
// nine rounds, ours first in every other one; medians. Also the 1 MiB figures and readAsText /
// readAsDataURL of 16 MiB.
// Memory: the web process's resident size at rest before the first transfer, its peak during
// 16 MiB write-and-read rounds of ours alone (run first), and its size 10 s after the last
// transfer; then, beside them, the peak of as many rounds of the page's own Base64 work alone.
// Runs the real web view (display and bus needed):
//   tests/harness/run-test --display --bus -- build/bench/bench_files
// Last line: "ratio: R", the median over the rounds of the reference's 16 MiB write-and-read time
// over ours.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_cpu.h"
#include "platform/dispatch.h"
#include "platform/paths.h"
#include "plugins/standard/WHFile.h"
#include "tests/support/page_fixture.h"

using testutil::PageFixture;

namespace {

const std::size_t kBig = 16 << 20, kSmall = 1 << 20;
const int kRounds = 9;

const char* kPage = R"(<script>
var url = 'whfile://localhost/persistent/bench.bin', runs = 0;
function call(action, args){ return new Promise(function(ok, fail){ webhost.exec(ok, fail, 'File', action, args); }); }
function pattern(n, seed){ var d = new Uint8Array(n); for (var i = 0; i < n; i++) d[i] = (i * 31 + seed) & 255; return d; }
function same(a, b){
  if (a.length !== b.length) return false;
  for (var i = 0; i < a.length; i++) if (a[i] !== b[i]) return false;
  return true;
}
// The library's own Base64 code where it has a module for it; else what a page has at hand.
var codec = (function(){
  try { var b = webhost.require('webhost/base64'); if (b && b.fromArrayBuffer && b.toArrayBuffer) return b; } catch (e) {}
  return {
    fromArrayBuffer: function(buffer){
      var u = new Uint8Array(buffer);
      if (u.toBase64) return u.toBase64();
      var parts = [];
      for (var i = 0; i < u.length; i += 0x8000) parts.push(String.fromCharCode.apply(null, u.subarray(i, i + 0x8000)));
      return btoa(parts.join(''));
    },
    toArrayBuffer: function(text){
      if (Uint8Array.fromBase64) return Uint8Array.fromBase64(text).buffer;
      var bin = atob(text), out = new Uint8Array(bin.length);
      for (var i = 0; i < bin.length; i++) out[i] = bin.charCodeAt(i);
      return out.buffer;
    }
  };
})();
// Write then read back n bytes; reports the seconds of each and whether every byte came back.
window.round = function(n){
  var run = ++runs, data = pattern(n, run);
  var t0 = performance.now();
  call('write', [url, data.buffer, 0]).then(function(written){
    var t1 = performance.now();
    return call('readAsArrayBuffer', [url, 0, -1]).then(function(buf){
      var t2 = performance.now();
      report('round', run, (t1 - t0) / 1000, (t2 - t1) / 1000, written === n && buf instanceof ArrayBuffer && same(new Uint8Array(buf), data));
    });
  }).catch(function(e){ report('round', run, 0, 0, false, String(e)); });
};
// The page's own Base64 work on n bytes: encoding them for the write, decoding the text of the read.
window.format = function(n){
  var run = ++runs, data = pattern(n, run);
  var t0 = performance.now(), text = codec.fromArrayBuffer(data.buffer);
  var t1 = performance.now(), back = codec.toArrayBuffer(text);
  var t2 = performance.now();
  report('format', run, (t1 - t0) / 1000, (t2 - t1) / 1000, back.byteLength === n && text.length === Math.ceil(n / 3) * 4);
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

bool writeAll(int fd, const unsigned char* data, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        ssize_t w = ::write(fd, data + done, n - done);
        if (w <= 0) return false;
        done += static_cast<std::size_t>(w);
    }
    return true;
}

// The durable floor: the bytes written into a new file, synced and renamed over the old one; then
// read into memory mapped fresh. Seconds of each; zeros when a step failed or a byte differs.
std::pair<double, double> durable(const std::string& path, const std::vector<unsigned char>& data) {
    const std::size_t n = data.size();
    const std::string fresh = path + ".new";
    auto t0 = std::chrono::steady_clock::now();
    int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return {0, 0};
    bool ok = writeAll(fd, data.data(), n) && ::fdatasync(fd) == 0;
    ok = ::close(fd) == 0 && ok && ::rename(fresh.c_str(), path.c_str()) == 0;
    auto t1 = std::chrono::steady_clock::now();
    if (!ok) return {0, 0};
    void* memory = ::mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return {0, 0};
    auto* back = static_cast<unsigned char*>(memory);
    std::size_t done = 0;
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd >= 0 && done < n) {
        ssize_t r = ::read(fd, back + done, n - done);
        if (r <= 0) break;
        done += static_cast<std::size_t>(r);
    }
    if (fd >= 0) ::close(fd);
    auto t2 = std::chrono::steady_clock::now();
    ok = done == n && std::memcmp(back, data.data(), n) == 0;
    ::munmap(memory, n);
    if (!ok) return {0, 0};
    return {seconds(t0, t1), seconds(t1, t2)};
}

std::vector<unsigned char> pattern(std::size_t n, int seed) {
    std::vector<unsigned char> d(n);
    for (std::size_t i = 0; i < n; ++i) d[i] = static_cast<unsigned char>(i * 31 + static_cast<std::size_t>(seed));
    return d;
}

// Resident kilobytes of the processes: now, or their peak since resetPeak().
long residentKb(const std::set<int>& pids, const char* key = "VmRSS:") {
    long kb = 0;
    for (int p : pids) kb += benchutil::statusKb(p, key);
    return kb;
}
void resetPeak(const std::set<int>& pids) {
    for (int p : pids) std::ofstream("/proc/" + std::to_string(p) + "/clear_refs") << "5";
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
    const std::set<int> web = benchutil::webProcesses();
    // Beside the page's own file, on the same file system.
    const std::string path = filePlugin()->appDataPath + "/bench-plain.bin";
    // One page function; its report (null when it did not come or said the bytes were wrong).
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
    // Rounds of n bytes: ours, the page's Base64 work, the durable floor; the ratios (reference
    // time over ours) go to `ratios`.
    auto figures = [&](std::size_t n, int rounds, bool show, std::vector<double>& ratios) {
        std::vector<double> ourW, ourR, diskW, diskR, enc, dec;
        for (int i = 0; i < rounds; ++i) {
            // Ours first in every other round, the reference first in the others.
            Value r, f;
            std::pair<double, double> disk;
            auto reference = [&] {
                f = ours("format", "format(" + std::to_string(n) + ")");
                disk = durable(path, pattern(n, i));
            };
            if (i % 2) reference();
            r = ours("round", "round(" + std::to_string(n) + ")");
            if (i % 2 == 0) reference();
            auto [dw, dr] = disk;
            if (r.is_null() || f.is_null() || dw <= 0) {
                std::printf("%zu bytes, round %d: the bytes did not come back\n", n, i + 1);
                return false;
            }
            double w = r[2].get<double>(), rd = r[3].get<double>(), e = f[2].get<double>(), d = f[3].get<double>();
            ourW.push_back(w * 1e3);
            ourR.push_back(rd * 1e3);
            diskW.push_back(dw * 1e3);
            diskR.push_back(dr * 1e3);
            enc.push_back(e * 1e3);
            dec.push_back(d * 1e3);
            ratios.push_back((dw + dr + e + d) / (w + rd));
            if (show) {
                std::printf("round %d, %zu MiB: bridge write %.1f ms, readAsArrayBuffer %.1f ms (%.0f MB/s together); "
                            "durable write %.1f ms, read into fresh memory %.1f ms, page Base64 encode %.1f ms, decode "
                            "%.1f ms; ratio %.3f\n",
                            i + 1, n >> 20, ourW.back(), ourR.back(), 2 * n / (w + rd) / mb, diskW.back(), diskR.back(),
                            enc.back(), dec.back(), ratios.back());
                std::fflush(stdout);
            }
        }
        if (!show) return true;
        using benchutil::median;
        using benchutil::spread;
        std::printf("%zu MiB (median of %d): bridge write %.1f ms (%s), readAsArrayBuffer %.1f ms (%s); reference: durable "
                    "write %.1f ms (%s), read %.1f ms (%s), page Base64 encode %.1f ms (%s), decode %.1f ms (%s); ratio "
                    "%.3f (%s)\n",
                    n >> 20, rounds, median(ourW), spread(ourW, "%.1f").c_str(), median(ourR), spread(ourR, "%.1f").c_str(),
                    median(diskW), spread(diskW, "%.1f").c_str(), median(diskR), spread(diskR, "%.1f").c_str(), median(enc),
                    spread(enc, "%.1f").c_str(), median(dec), spread(dec, "%.1f").c_str(), median(ratios),
                    spread(ratios).c_str());
        return true;
    };

    // The web process at rest with the page loaded, before any transfer; then its peak during
    // rounds of ours alone (the reference's work in the page would count against ours).
    platform::runMainLoopUntil([] { return false; }, 1.0);
    const long idleKb = residentKb(web);
    resetPeak(web);
    for (int i = 0; i <= kRounds; ++i) {
        if (ours("round", "round(" + std::to_string(kBig) + ")").is_null()) {
            std::printf("16 MiB, memory round %d: the bytes did not come back\nratio: 0\n", i + 1);
            return 1;
        }
    }
    const long peakKb = residentKb(web, "VmHWM:");

    // Warm-up of both, then the rounds.
    std::vector<double> warm, bigRatios, smallRatios;
    if (!figures(kBig, 1, false, warm) || !figures(kBig, kRounds, true, bigRatios) || !figures(kSmall, 1, false, warm) ||
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
    // The page keeps running meanwhile: its collector and the engine's memory return take their turn.
    platform::runMainLoopUntil([] { return false; }, 10.0);
    const long afterKb = residentKb(web);
    ::unlink(path.c_str());
    ::unlink((filePlugin()->appDataPath + "/bench.bin").c_str());
    resetPeak(web);
    for (int i = 0; i <= kRounds; ++i) ours("format", "format(" + std::to_string(kBig) + ")");
    const long formatPeakKb = residentKb(web, "VmHWM:");
    const double payloadMiB = kBig / double(1 << 20);
    std::printf("web process memory: %.1f MiB at rest, peak %.1f MiB during the 16 MiB write-and-read rounds (rest + %.1f "
                "times the payload; target at most 4), %.1f MiB 10 s after the last transfer (%+.1f MiB from rest; target "
                "within 10 MB)\n",
                idleKb / 1024.0, peakKb / 1024.0, (peakKb - idleKb) / 1024.0 / payloadMiB, afterKb / 1024.0,
                (afterKb - idleKb) / 1024.0);
    std::printf("beside it, the page's own Base64 work on the same payload alone (no transfer): peak %.1f MiB (%.1f times the "
                "payload over its rest then)\n",
                formatPeakKb / 1024.0, (formatPeakKb - afterKb) / 1024.0 / payloadMiB);
    std::printf("16 MiB write-and-read ratio spread over the rounds: %s\n", benchutil::spread(bigRatios).c_str());
    std::printf("ratio: %.4f\n", benchutil::median(bigRatios));
    return 0;
}
