// Diagnostics: one formatted line each, through GLib's structured logging under the application's
// domain ("Kivano"), with a priority the journal can filter on. Lines without a level are notices.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace platform {

// Journal priorities: debug 7, info 6, notice 5, warning 4, error 3. Debug and info lines are
// shown only where G_MESSAGES_DEBUG names the domain, as GLib does for its own.
enum class LogLevel { Debug, Info, Notice, Warning, Error };

inline constexpr const char* kLogDomain = "Kivano";

void logLine(LogLevel level, const std::string& line);
inline void logLine(const std::string& line) { logLine(LogLevel::Notice, line); }

// printf-style; arguments that are std::string are passed as text.
template <class... A>
void logf(LogLevel level, const char* format, const A&... args);
template <class... A>
void logf(const char* format, const A&... args) {
    logf(LogLevel::Notice, format, args...);
}

// Tests capture lines; an empty function restores GLib's logging.
void setLogSink(std::function<void(const std::string&)> sink);

// The program's log writer, set once at its start: the journal gets every line with its fields;
// elsewhere the program's lines go to standard error as they stand (one line each, no prefix),
// other domains' as GLib writes them.
void useProgramLogWriter();

namespace detail {
inline const char* logArg(const std::string& s) { return s.c_str(); }
template <class T>
inline T logArg(const T& v) { return v; }
}  // namespace detail

template <class... A>
void logf(LogLevel level, const char* format, const A&... args) {
    // Without arguments the format is the text.
    if constexpr (sizeof...(A) == 0) {
        return logLine(level, format);
    } else {
        int n = std::snprintf(nullptr, 0, format, detail::logArg(args)...);
        if (n < 0) return logLine(level, format);
        std::string s(static_cast<std::size_t>(n) + 1, '\0');
        std::snprintf(s.data(), s.size(), format, detail::logArg(args)...);
        s.resize(static_cast<std::size_t>(n));
        logLine(level, s);
    }
}

}  // namespace platform
