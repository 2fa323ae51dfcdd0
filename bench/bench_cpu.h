// CPU time of this process and of its web processes, and medians, for the benchmarks.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace benchutil {

// The sum over all threads of the process of what `read` takes from each thread's file `name`
// (0 when the process is gone).
template <typename Read>
double sumOverThreads(int pid, const char* name, Read read) {
    std::string base = "/proc/" + std::to_string(pid) + "/task";
    double total = 0;
    DIR* d = opendir(base.c_str());
    if (!d) return 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream in(base + "/" + e->d_name + "/" + name);
        total += read(in);
    }
    closedir(d);
    return total;
}

// Seconds of CPU time that all threads of the process have used so far.
inline double cpuSeconds(int pid) {
    return sumOverThreads(pid, "schedstat", [](std::ifstream& in) {
        unsigned long long ns = 0;
        return in >> ns ? static_cast<double>(ns) / 1e9 : 0.0;
    });
}

// Context switches of all threads of the process so far.
inline double contextSwitches(int pid) {
    return sumOverThreads(pid, "status", [](std::ifstream& in) {
        double n = 0;
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                n += std::stod(line.substr(line.find(':') + 1));
            }
        }
        return n;
    });
}

inline std::string statusField(int pid, const char* key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) return line.substr(std::string(key).size());
    }
    return {};
}

inline long statusKb(int pid, const char* key) {
    std::istringstream in(statusField(pid, key));
    long kb = 0;
    in >> kb;
    return kb;
}

// The web content processes started by this process.
inline std::set<int> webProcesses() {
    std::set<int> out;
    DIR* d = opendir("/proc");
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        std::string pid = e->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
        int n = std::stoi(pid);
        std::string ppid = statusField(n, "PPid:");
        if (ppid.empty() || std::stoi(ppid) != getpid()) continue;
        std::ifstream comm("/proc/" + pid + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name.find("WebKitWebProces") != std::string::npos) out.insert(n);
    }
    closedir(d);
    return out;
}

inline double contextSwitches(const std::set<int>& pids) {
    double total = 0;
    for (int p : pids) total += contextSwitches(p);
    return total;
}

inline double cpuSeconds(const std::set<int>& pids) {
    double total = 0;
    for (int p : pids) total += cpuSeconds(p);
    return total;
}

inline double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline std::string spread(const std::vector<double>& v, const char* format = "%.3f") {
    if (v.empty()) return "-";
    auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    char buf[96];
    std::string f = std::string(format) + "-" + format;
    std::snprintf(buf, sizeof buf, f.c_str(), *lo, *hi);
    return buf;
}

}  // namespace benchutil
