// A libsoup server on 127.0.0.1 with a thread and main context of its own, for the loopback
// servers of the tests.
#pragma once

#include <functional>
#include <thread>

typedef struct _GMainContext GMainContext;
typedef struct _GMainLoop GMainLoop;
typedef struct _SoupServer SoupServer;

namespace testutil {

class SoupServerThread {
public:
    // `setup` runs on the server's thread before it listens (handlers, auth domains); `teardown`
    // runs there after the loop has ended and the server was disconnected, before it goes.
    // Throws when the server could not listen; `what` names the server in that message.
    SoupServerThread(const char* what, std::function<void(SoupServer*)> setup,
                     std::function<void()> teardown = nullptr);
    ~SoupServerThread();
    SoupServerThread(const SoupServerThread&) = delete;
    SoupServerThread& operator=(const SoupServerThread&) = delete;

    unsigned port() const { return port_; }
    GMainContext* context() const { return context_; }

private:
    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    unsigned port_ = 0;
    std::thread thread_;
};

}  // namespace testutil
