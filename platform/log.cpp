#include "platform/log.h"

#include <glib.h>

#include <cstdio>
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

namespace {

GLogWriterOutput writeProgramLog(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer data) {
    if (g_log_writer_is_journald(fileno(stderr)) &&
        g_log_writer_journald(level, fields, count, data) == G_LOG_WRITER_HANDLED) {
        return G_LOG_WRITER_HANDLED;
    }
    const char* domain = nullptr;
    const char* message = nullptr;
    for (gsize i = 0; i < count; ++i) {
        if (fields[i].length >= 0) continue;
        if (g_strcmp0(fields[i].key, "GLIB_DOMAIN") == 0) domain = static_cast<const char*>(fields[i].value);
        if (g_strcmp0(fields[i].key, "MESSAGE") == 0) message = static_cast<const char*>(fields[i].value);
    }
    if (!message || g_strcmp0(domain, kLogDomain) != 0) return g_log_writer_default(level, fields, count, data);
    if (g_log_writer_default_would_drop(level, domain)) return G_LOG_WRITER_HANDLED;
    std::fprintf(stderr, "%s\n", message);
    std::fflush(stderr);
    return G_LOG_WRITER_HANDLED;
}

}  // namespace

void useProgramLogWriter() { g_log_set_writer_func(writeProgramLog, nullptr, nullptr); }

}  // namespace platform
