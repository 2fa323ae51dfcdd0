// Base64 text of bytes for the page (results of reads, array buffers): the program's encoder
// (platform::base64Encode, a std::string) beside GLib's own g_base64_encode (a string GLib
// allocates), for small, page-sized, large and very large inputs. Seven rounds each; medians.
// Last line: "ratio: R", the program's total time over GLib's.
#include <glib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "platform/value.h"

using Clock = std::chrono::steady_clock;

static double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int main() {
    double ours = 0, glib = 0;
    std::size_t checksum = 0;
    for (std::size_t size : {48ul, 3ul << 10, 768ul << 10, 24ul << 20}) {
        platform::Bytes data(size);
        for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
        // About 64 MB of input per round and encoder.
        std::size_t reps = std::max<std::size_t>(1, (64ul << 20) / size);
        std::vector<double> a, b;
        for (int round = 0; round < 7; ++round) {
            auto t0 = Clock::now();
            for (std::size_t r = 0; r < reps; ++r) checksum += platform::base64Encode(data).size();
            auto t1 = Clock::now();
            for (std::size_t r = 0; r < reps; ++r) {
                gchar* text = g_base64_encode(data.data(), data.size());
                checksum += text[0];
                g_free(text);
            }
            auto t2 = Clock::now();
            a.push_back(std::chrono::duration<double>(t1 - t0).count());
            b.push_back(std::chrono::duration<double>(t2 - t1).count());
        }
        // Both give the same text.
        gchar* reference = g_base64_encode(data.data(), data.size());
        bool same = platform::base64Encode(data) == reference;
        g_free(reference);
        double megabytes = static_cast<double>(size) * static_cast<double>(reps) / 1e6;
        std::printf("%zu bytes x %zu: program %.0f MB/s, GLib %.0f MB/s%s\n", size, reps, megabytes / median(a),
                    megabytes / median(b), same ? "" : " (texts differ)");
        if (!same) return 1;
        ours += median(a);
        glib += median(b);
    }
    std::printf("(checksum %zu)\n", checksum % 1000);
    std::printf("ratio: %.3f\n", ours / glib);
    return 0;
}
