// Streaming HTTP GET over libsoup for long responses (camera streams): the body is handed over
// chunk by chunk as it arrives, never collected whole. A multipart/x-mixed-replace body is split
// into its parts, each announced by a response of its own before its bytes; such a body that ends
// without its closing delimiter was cut off and fails as a lost connection.
//
// Every stream belongs to a StreamSession: a worker thread running a GLib main context and a
// libsoup session of its own. All delegate events are delivered on that thread, in order; the
// next chunk is read only after the delegate returned from the previous one.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch.h"
#include "platform/http_client.h"
#include "platform/value.h"

namespace platform {

// The HTTP client's code for a response that cannot be parsed (a broken multipart body).
inline constexpr long kURLErrorCannotParseResponse = -1017;
// User-information keys of the socket-level error behind a failed connection (code and domain;
// domain 1 is POSIX, with the codes 61 refused, 65 host unreachable, 51 network unreachable).
inline constexpr const char* kStreamErrorCodeKey = "_kCFStreamErrorCodeKey";
inline constexpr const char* kStreamErrorDomainKey = "_kCFStreamErrorDomainKey";

// Splits a multipart body into parts. Tolerates what cameras send: a boundary parameter with or
// without its leading "--", LF-only lines, and a body whose delimiter differs from the declared
// one (the first line beginning with "--" is taken then, also when the parameter is missing).
// Everything it holds back is bounded: a preamble without delimiter beyond 4096 bytes or a part
// header block beyond 16384 bytes makes the body malformed.
class MultipartSplitter {
public:
    struct Part {
        std::map<std::string, std::string> headers;  // names lower-cased
        std::optional<std::string> contentType;      // without parameters
    };
    struct Sink {
        std::function<void(const Part&)> part;
        std::function<void(const std::uint8_t*, std::size_t)> data;
    };
    static constexpr std::size_t kMaxPreamble = 4096;
    static constexpr std::size_t kMaxHeaderBlock = 16384;

    explicit MultipartSplitter(std::string boundary);
    // Answers false once the body turned out malformed; later input is ignored.
    bool feed(const std::uint8_t* bytes, std::size_t size, const Sink& sink);
    // End of the body: hands over body bytes still held back. A body that ended before its first
    // delimiter is malformed.
    void finish(const Sink& sink);
    bool malformed() const { return state_ == State::Malformed; }
    // The closing delimiter was seen.
    bool complete() const { return state_ == State::Epilogue; }
    std::size_t heldBytes() const { return pending_.size(); }

    // The boundary parameter of a Content-Type header value; empty when it has none.
    static std::string boundaryOf(const std::string& contentType);

private:
    enum class State { Preamble, Headers, Body, AfterDelimiter, Epilogue, Malformed };
    bool step(const Sink& sink);  // one transition; false when more input is needed
    bool isDelimiterLine(const std::string& line, bool& closing);

    State state_ = State::Preamble;
    std::string delimiter_;  // "--" + boundary, possibly adopted from the body
    std::string declared_;
    std::string pending_;
    std::size_t preambleSeen_ = 0;
    std::size_t headerBytes_ = 0;
    bool bodyStarted_ = false;
    Part part_;
};

struct HttpAuthChallenge {
    std::string scheme;  // "Basic", "Digest", ...
    std::string realm;
    std::string host;  // of the server (or proxy) that asks, after any redirects
    int port = 0;      // its port, the scheme's default filled in
    bool forProxy = false;
    // The server asking has the host and port of the URL the stream was made for (not a proxy,
    // not the target of a redirect to another host or port).
    bool forRequestedHost = false;
    int previousFailureCount = 0;
};

struct HttpCredential {
    std::string user;
    std::string password;
};

class HttpStream;

// Events of a stream, on its session's thread. A cancelled stream delivers nothing more.
class HttpStreamDelegate {
public:
    virtual ~HttpStreamDelegate() = default;
    virtual void didReceiveResponse(HttpStream& stream, const HttpResponse& response) = 0;
    virtual void didReceiveData(HttpStream& stream, const Bytes& data) = 0;
    virtual void connectionDidFinishLoading(HttpStream& stream) = 0;
    virtual void didFailWithError(HttpStream& stream, const HttpErrorRef& error) = 0;
    virtual bool canAuthenticateAgainstProtectionSpace(HttpStream&, const HttpAuthChallenge&) { return true; }
    // The credential to answer the challenge with; none declines it (the 401 answer comes through).
    virtual std::optional<HttpCredential> didReceiveAuthenticationChallenge(HttpStream& stream,
                                                                             const HttpAuthChallenge& challenge) = 0;
    // Whether credentials accepted earlier in the session are sent again.
    virtual bool connectionShouldUseCredentialStorage(HttpStream&) { return true; }
};

class StreamSession : public std::enable_shared_from_this<StreamSession> {
public:
    static std::shared_ptr<StreamSession> create(std::string label);
    // Cancels every stream and stops the thread; must not be called on the session's thread.
    ~StreamSession();
    StreamSession(const StreamSession&) = delete;
    StreamSession& operator=(const StreamSession&) = delete;

    // A GET for the URL with an idle time-out (seconds without any progress, connecting
    // included), not started yet. The delegate must outlive the session's thread or the stream.
    std::shared_ptr<HttpStream> streamWithURL(const std::string& url, double idleTimeout, HttpStreamDelegate* delegate);
    // Runs the job on the session's thread, after the jobs queued before it.
    void async(Job job);
    // Cancels every stream of this session that has not ended.
    void cancelAllStreams();
    bool isSessionThread() const;
    const std::string& label() const { return label_; }

    struct State;

private:
    StreamSession() = default;
    std::string label_;
    std::shared_ptr<State> state_;
};

class HttpStream : public std::enable_shared_from_this<HttpStream> {
public:
    ~HttpStream();
    HttpStream(const HttpStream&) = delete;
    HttpStream& operator=(const HttpStream&) = delete;

    // From any thread; the request begins on the session's thread.
    void start();
    // From any thread. No event is delivered after it returns, except one already running; the
    // request itself is cancelled on the session's thread.
    void cancel();
    bool isCancelled() const { return cancelled_.load(); }
    const std::string& url() const { return url_; }

    struct Impl;

private:
    friend class StreamSession;
    HttpStream() = default;
    std::string url_;
    double idleTimeout_ = 10.0;
    HttpStreamDelegate* delegate_ = nullptr;
    std::weak_ptr<StreamSession::State> session_;
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> started_{false};
    std::unique_ptr<Impl> impl_;  // used on the session's thread only
};

}  // namespace platform
