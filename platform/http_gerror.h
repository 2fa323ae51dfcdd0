// The HTTP client's errors for GLib's errors of requests, for the HTTP code of the platform
// (and tests of the mapping).
#pragma once

#include <glib.h>

#include <string>

#include "platform/http_client.h"

namespace platform {

// `timedOut` is set when the request's own time-out cancelled it.
HttpErrorRef urlErrorFromGError(const GError* error, bool timedOut, const std::string& url);

}  // namespace platform
