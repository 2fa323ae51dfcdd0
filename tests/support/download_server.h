// A loopback HTTP server for tests (libsoup on 127.0.0.1, its own thread): fixed answers by
// path, every request recorded.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <memory>
#include <thread>

#include "tests/support/soup_server_thread.h"
#include <vector>

typedef struct _SoupServer SoupServer;
typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;

namespace testutil {

class DownloadServer {
public:
    struct Answer {
        int status = 200;
        std::string body;
        std::string contentType = "application/octet-stream";
        std::map<std::string, std::string> headers;
    };

    DownloadServer();  // listens on 127.0.0.1 at a free port
    ~DownloadServer();
    DownloadServer(const DownloadServer&) = delete;
    DownloadServer& operator=(const DownloadServer&) = delete;

    // Unknown paths answer 404 with a short page.
    void route(const std::string& path, Answer answer);
    std::string url(const std::string& path) const;
    unsigned port() const { return server_->port(); }
    std::vector<std::string> requestedPaths() const;

    // A loopback port on which nothing listens (a connection is refused).
    static unsigned refusedPort();

private:
    static void handle(SoupServer*, void* msg, const char* path, void* query, void* self);

    mutable std::mutex mutex_;
    std::map<std::string, Answer> routes_;
    std::vector<std::string> requested_;
    std::unique_ptr<SoupServerThread> server_;  // last: it goes first, while the routes still exist
};

}  // namespace testutil
