// Diagnostics: one formatted line each, to standard error (the journal picks it up).
#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace platform {

void logLine(const std::string& line);

// printf-style; arguments that are std::string are passed as text.
template <class... A>
void logf(const char* format, const A&... args);

// Tests capture lines; an empty function restores standard error.
void setLogSink(std::function<void(const std::string&)> sink);

namespace detail {
inline const char* logArg(const std::string& s) { return s.c_str(); }
template <class T>
inline T logArg(const T& v) { return v; }
}  // namespace detail

template <class... A>
void logf(const char* format, const A&... args) {
    int n = std::snprintf(nullptr, 0, format, detail::logArg(args)...);
    if (n < 0) return logLine(format);
    std::string s(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(s.data(), s.size(), format, detail::logArg(args)...);
    s.resize(static_cast<std::size_t>(n));
    logLine(s);
}

}  // namespace platform
