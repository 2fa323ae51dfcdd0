// A loopback camera for stream tests (libsoup on 127.0.0.1 in its own thread and context).
//
//   /stream.mjpg   multipart/x-mixed-replace of numbered JPEG frames. Query: count (frames, -1 =
//                  endless), interval (ms between frames), after (end | stall), padding (bytes added
//                  to each frame), declared (boundary parameter, "none" = no parameter), used
//                  (delimiter written in the body, "none" = frames without any delimiter),
//                  split (1 = every part written in three chunks that cut both JPEG markers),
//                  size (WxH: camera-sized pictures, see makeSizedJpeg) with bytes (their size,
//                  default 100000).
//                  after=drop closes the connection in the middle of the answer.
//   /drop.mjpg     the connection closes before any answer.
//   /still.jpg     one JPEG, numbered by the request; split=1 writes it in chunks cutting the markers.
//   /huge.jpg      a start marker followed by six megabytes without an end marker.
//   /page.html     an HTML page.
//   /redirect      302 to the URL in the query's "to".
//   other paths    404.
// Paths below /basic/ ask for basic, below /digest/ for digest authentication (kUser, kPassword).
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <memory>
#include <thread>
#include <tuple>

#include "tests/support/soup_server_thread.h"
#include <vector>

#include "platform/value.h"

typedef struct _SoupServer SoupServer;
typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;

namespace testutil {

// A small JPEG made with GdkPixbuf whose comment segment carries "kvframe=<index>"; padding adds
// comment segments of that many bytes in all.
platform::Bytes makeTestJpeg(int index, std::size_t padding = 0);
// A picture of `width` x `height` (one of eight noisy scenes, chosen by the index) encoded at the
// JPEG quality whose size comes nearest to `targetBytes`; its comment segment carries
// "kvframe=<index>".
platform::Bytes makeSizedJpeg(int index, int width, int height, std::size_t targetBytes);
// The index of a test JPEG, -1 when the bytes carry none.
int frameIndexOf(const platform::Bytes& jpeg);

class CameraServer {
public:
    static constexpr const char* kUser = "viewer";
    static constexpr const char* kPassword = "secret";

    CameraServer();
    ~CameraServer();
    CameraServer(const CameraServer&) = delete;
    CameraServer& operator=(const CameraServer&) = delete;

    std::string url(const std::string& pathAndQuery) const;
    unsigned port() const { return server_->port(); }
    // Requests that reached a handler for the path (after authentication).
    int requestCount(const std::string& path) const;
    // Requests that came with credentials (basic or digest), whether right or wrong.
    int credentialsReceived() const;
    // Streamed answers still being written (a client that went away closes its own).
    int openStreams() const;
    // The frame the server sends as number `index` with that padding.
    platform::Bytes frame(int index, std::size_t padding = 0);
    // The frame the server sends as number `index` of a stream with size=WxH and bytes.
    platform::Bytes sizedFrame(int index, int width, int height, std::size_t targetBytes);

    struct Stream;

private:
    static void handle(SoupServer*, void* msg, const char* path, void* query, void* self);
    void finishedStream(Stream* stream, bool messageAlive);
    void dropConnection(Stream* stream);
    void countCredentials();

    mutable std::mutex mutex_;
    std::map<std::string, int> requests_;
    int credentials_ = 0;
    std::map<std::pair<int, std::size_t>, platform::Bytes> frames_;
    std::map<std::tuple<int, int, std::size_t, int>, platform::Bytes> scenes_;  // sized pictures without a number
    std::vector<Stream*> streams_;
    std::unique_ptr<SoupServerThread> server_;
};

}  // namespace testutil
