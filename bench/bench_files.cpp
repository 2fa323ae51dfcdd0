// File throughput through the bridge (page -> write / readAsArrayBuffer -> page) beside a
// plain write and read of the same file. Runs the real web view (display and bus needed).
// Last line: "ratio: R", the bridge's 16 MiB read-and-write rate over the plain one.
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/paths.h"
#include "plugins/standard/WHFile.h"
#include "tests/support/page_fixture.h"

using testutil::PageFixture;

namespace {

const char* kPage = R"(<script>
document.addEventListener('deviceready', function(){
  var sizes = [1048576, 16777216], reps = 3, url = 'whfile://localhost/persistent/bench.bin';
  function call(action, args){ return new Promise(function(ok, fail){ webhost.exec(ok, fail, 'File', action, args); }); }
  function run(si, rep, best){
    if (si >= sizes.length) { report('done'); return; }
    var n = sizes[si], data = new Uint8Array(n);
    for (var i = 0; i < n; i++) data[i] = i * 31 & 255;
    var t0 = performance.now();
    call('write', [url, data.buffer, 0]).then(function(written){
      var t1 = performance.now();
      return call('readAsArrayBuffer', [url, 0, -1]).then(function(buf){
        var t2 = performance.now();
        var ok = written === n && buf.byteLength === n && new Uint8Array(buf)[n - 1] === data[n - 1];
        var w = (t1 - t0) / 1000, r = (t2 - t1) / 1000;
        if (!best || w + r < best.w + best.r) best = {w: w, r: r, ok: ok};
        if (rep + 1 < reps) return run(si, rep + 1, best);
        report('size', n, best.w, best.r, best.ok);
        run(si + 1, 0, null);
      });
    }, function(code){ report('size', n, 0, 0, false, code); run(si + 1, 0, null); });
  }
  report('ready');
  run(0, 0, null);
});
</script>)";

double seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// Best of three plain write (with the same truncate and append) and read of `n` bytes.
std::pair<double, double> plain(const std::string& path, std::size_t n) {
    std::vector<unsigned char> data(n);
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<unsigned char>(i * 31);
    double bw = 1e9, br = 1e9;
    for (int rep = 0; rep < 3; ++rep) {
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
        while (done < n) {
            ssize_t r = ::read(fd, back.data() + done, n - done);
            if (r <= 0) break;
            done += static_cast<std::size_t>(r);
        }
        ::close(fd);
        auto t2 = std::chrono::steady_clock::now();
        bw = std::min(bw, seconds(t0, t1));
        br = std::min(br, seconds(t1, t2));
    }
    return {bw, br};
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
    if (page.waitForReport("done", 300).is_null()) {
        std::printf("bridge runs did not finish\nratio: 0\n");
        return 1;
    }
    std::string path = filePlugin()->appDataPath + "/bench-plain.bin";
    const double mib = 1048576.0;
    double ratio = 0;
    for (const auto& r : page.reportsTagged("size")) {
        std::size_t n = r[1].get<std::size_t>();
        double bw = r[2].get<double>(), br = r[3].get<double>();
        bool ok = r[4].get<bool>();
        auto [pw, pr] = plain(path, n);
        double mb = n / mib;
        std::printf("%5.0f MiB  bridge write %8.1f MB/s  readAsArrayBuffer %8.1f MB/s%s\n", mb, bw > 0 ? mb / bw : 0,
                    br > 0 ? mb / br : 0, ok ? "" : "  (data did not round-trip)");
        std::printf("%5.0f MiB  plain  write %8.1f MB/s  read              %8.1f MB/s\n", mb, mb / pw, mb / pr);
        if (n == 16 * 1048576 && ok && bw + br > 0) {
            double bridgeRate = 2 * mb / (bw + br);
            double plainRate = 2 * mb / (pw + pr);
            std::printf("16 MiB read-and-write: bridge %.1f MB/s, plain %.1f MB/s\n", bridgeRate, plainRate);
            ratio = bridgeRate / plainRate;
        }
    }
    ::unlink(path.c_str());
    ::unlink((filePlugin()->appDataPath + "/bench.bin").c_str());
    std::printf("ratio: %.4f\n", ratio);
    return 0;
}
