// HTTP downloads over libsoup: a plain GET, the body streamed into a temporary file.
#pragma once

#include <functional>
#include <string>

namespace platform {

struct DownloadResult {
    bool ok = false;        // the exchange completed (whatever the HTTP status)
    int status = 0;         // HTTP status when ok
    std::string bodyFile;   // when ok: a private temporary file holding the whole body; the caller removes it
    std::string error;      // transport or file error text when not ok
};

// Starts the download and returns at once. The completion runs once, on a background thread of
// the download (never inside this call and never on the main thread).
void downloadURL(const std::string& url, std::function<void(DownloadResult)> completion);

// The same, synchronously, on the calling thread.
DownloadResult downloadURLNow(const std::string& url);

}  // namespace platform
