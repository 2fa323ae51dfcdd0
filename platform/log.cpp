#include "platform/log.h"

#include <glib.h>

#include <mutex>

namespace platform {

static std::mutex gLogMutex;
static std::function<void(const std::string&)> gSink;

void setLogSink(std::function<void(const std::string&)> sink) {
    std::lock_guard lock(gLogMutex);
    gSink = std::move(sink);
}

void logLine(LogLevel level, const std::string& line) {
    std::function<void(const std::string&)> sink;
    {
        std::lock_guard lock(gLogMutex);
        sink = gSink;
    }
    if (sink) {
        sink(line);
        return;
    }
    // GLib's level picks the standard error prefix and the G_MESSAGES_DEBUG filter; the PRIORITY
    // field is what the journal keeps. An error is logged at GLib's warning level: its critical
    // and error levels mean failed assertions and aborts.
    GLogLevelFlags flags = G_LOG_LEVEL_MESSAGE;
    const char* priority = "5";
    switch (level) {
    case LogLevel::Debug: flags = G_LOG_LEVEL_DEBUG, priority = "7"; break;
    case LogLevel::Info: flags = G_LOG_LEVEL_INFO, priority = "6"; break;
    case LogLevel::Notice: break;
    case LogLevel::Warning: flags = G_LOG_LEVEL_WARNING, priority = "4"; break;
    case LogLevel::Error: flags = G_LOG_LEVEL_WARNING, priority = "3"; break;
    }
    const GLogField fields[] = {
        {"GLIB_DOMAIN", kLogDomain, -1},
        {"PRIORITY", priority, -1},
        {"MESSAGE", line.c_str(), -1},
    };
    g_log_structured_array(flags, fields, G_N_ELEMENTS(fields));
}

}  // namespace platform
