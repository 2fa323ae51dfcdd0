// A small HTTP client over libsoup: sessions with a resource time-out, GET requests whose
// completion carries (body, response, error), and the HTTP client's error objects.
// Bodies are read as a stream into memory up to the session's limit; a longer one fails.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/value.h"

typedef struct _GError GError;

namespace platform {

inline constexpr const char* kNSURLErrorDomain = "NSURLErrorDomain";
inline constexpr const char* kNSLocalizedDescriptionKey = "NSLocalizedDescriptionKey";
inline constexpr const char* kNSErrorFailingURLStringKey = "NSErrorFailingURLStringKey";

// Codes of the HTTP client's errors.
enum URLErrorCode : long {
    kURLErrorCancelled = -999,
    kURLErrorBadURL = -1000,
    kURLErrorTimedOut = -1001,
    kURLErrorCannotFindHost = -1003,
    kURLErrorCannotConnectToHost = -1004,
    kURLErrorNetworkConnectionLost = -1005,
    kURLErrorDataLengthExceedsMaximum = -1103,
};

// An error object: domain, code and a user-information map holding at least the description
// under kNSLocalizedDescriptionKey. Shared and immutable, so identity can be compared.
struct HttpError {
    std::string domain;
    long code = 0;
    Value userInfo = Value::object();
    // Transport errors: the request had been written out before the failure, so the server may
    // have acted on it. False when it failed before (refused, host not found, bad URL).
    bool requestWritten = false;

    std::string localizedDescription() const;
};
using HttpErrorRef = std::shared_ptr<const HttpError>;

HttpErrorRef makeHttpError(const std::string& domain, long code, const std::string& description);

// The standard reason phrase of an HTTP status code ("Not Found", "Multiple Choices"); codes
// without one get the text of their class ("Success", "Redirection", "Client Error", ...).
std::string httpStatusText(int statusCode);

// The HTTP part of a finished exchange.
struct HttpResponse {
    std::string url;                      // the URL that finally answered, after redirects
    std::string host;                     // its host, IPv6 addresses without brackets; may be empty
    int port = -1;                        // its explicit port, -1 when it has none
    int statusCode = 0;
    std::optional<std::string> mimeType;  // Content-Type as sent, without parameters; absent when none
};

// True when the text is an absolute http(s) URL with a host that a request can be made for.
bool httpURLParses(const std::string& text);
// The host as it must be written in a URL: IPv6 addresses in brackets (zone "%" escaped).
std::string hostForURL(const std::string& host);

// What a session keeps of one answer's body unless configured otherwise.
inline constexpr std::size_t kDefaultMaximumBodyBytes = 1048576;

struct HttpSessionConfiguration {
    double resourceTimeout = 60.0;  // seconds for a whole request, redirects included
    bool allowsCellularAccess = true;
    // A longer body is not read further: the request fails with -1103 (the response is kept).
    std::size_t maximumBodyBytes = kDefaultMaximumBodyBytes;
};

class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    // Body bytes (absent on a transport error), response (absent when no HTTP answer came) and error.
    using Completion = std::function<void(std::optional<Bytes>, std::optional<HttpResponse>, HttpErrorRef)>;

    // The session belongs to the calling thread's default main context; completions run there.
    static std::shared_ptr<HttpSession> create(HttpSessionConfiguration configuration = {});
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    const HttpSessionConfiguration& configuration() const { return configuration_; }
    // Applies to requests started afterwards.
    void setResourceTimeout(double seconds) { configuration_.resourceTimeout = seconds; }

    // Starts a GET. The completion runs exactly once, never inside this call. A URL that cannot be
    // parsed, or a session already invalidated, completes with an error (-1000 or -999).
    // The request goes out at most once, on a connection of its own: a GET to a controller may
    // change its state, so it is never repeated when a connection drops (redirects are followed).
    void get(const std::string& url, Completion completion);

    // Cancels every request in flight (they complete with -999) and refuses new ones.
    void invalidateAndCancel();
    bool isInvalidated() const { return invalidated_; }
    std::size_t tasksInFlight() const;

private:
    struct Task;
    HttpSession() = default;
    static void onSent(void* source, void* result, void* data);
    static void onWroteHeaders(void* message, void* data);
    static int onTimeout(void* data);
    void readNext(Task* task);
    void fail(Task* task, long code);
    void failTransport(Task* task, GError* error);  // takes the error
    void finish(Task* task, std::optional<Bytes> body, std::optional<HttpResponse> response, HttpErrorRef error);

    HttpSessionConfiguration configuration_;
    void* session_ = nullptr;  // SoupSession
    void* context_ = nullptr;  // GMainContext
    bool invalidated_ = false;
    struct Tasks;
    std::unique_ptr<Tasks> tasks_;
};

}  // namespace platform
