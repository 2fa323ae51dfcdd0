#include "platform/log.h"

#include <mutex>

namespace platform {

static std::mutex gLogMutex;
static std::function<void(const std::string&)> gSink;

void setLogSink(std::function<void(const std::string&)> sink) {
    std::lock_guard lock(gLogMutex);
    gSink = std::move(sink);
}

void logLine(const std::string& line) {
    std::function<void(const std::string&)> sink;
    {
        std::lock_guard lock(gLogMutex);
        sink = gSink;
    }
    if (sink) {
        sink(line);
        return;
    }
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

}  // namespace platform
