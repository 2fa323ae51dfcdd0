#include "tests/support/download_server.h"

#include <arpa/inet.h>
#include <libsoup/soup.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <stdexcept>

namespace testutil {

void DownloadServer::handle(SoupServer*, void* msgPtr, const char* path, void*, void* selfPtr) {
    auto* self = static_cast<DownloadServer*>(selfPtr);
    auto* msg = static_cast<SoupServerMessage*>(msgPtr);
    Answer answer;
    {
        std::lock_guard lock(self->mutex_);
        self->requested_.emplace_back(path);
        auto it = self->routes_.find(path);
        if (it != self->routes_.end()) {
            answer = it->second;
        } else {
            answer = {404, "<html><body>Not Found</body></html>", "text/html", {}};
        }
    }
    SoupMessageHeaders* headers = soup_server_message_get_response_headers(msg);
    for (const auto& [k, v] : answer.headers) soup_message_headers_replace(headers, k.c_str(), v.c_str());
    soup_server_message_set_status(msg, static_cast<guint>(answer.status), nullptr);
    soup_server_message_set_response(msg, answer.contentType.c_str(), SOUP_MEMORY_COPY, answer.body.data(), answer.body.size());
}

DownloadServer::DownloadServer() {
    std::promise<void> ready;
    auto started = ready.get_future();
    thread_ = std::thread([this, &ready] {
        context_ = g_main_context_new();
        g_main_context_push_thread_default(context_);
        loop_ = g_main_loop_new(context_, FALSE);
        server_ = soup_server_new(nullptr, nullptr);
        soup_server_add_handler(server_, nullptr, reinterpret_cast<SoupServerCallback>(&DownloadServer::handle), this, nullptr);
        GError* error = nullptr;
        if (soup_server_listen_local(server_, 0, SOUP_SERVER_LISTEN_IPV4_ONLY, &error)) {
            GSList* uris = soup_server_get_uris(server_);
            if (uris) port_ = static_cast<unsigned>(g_uri_get_port(static_cast<GUri*>(uris->data)));
            g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
        } else {
            g_error_free(error);
        }
        ready.set_value();
        g_main_loop_run(loop_);
        soup_server_disconnect(server_);
        g_object_unref(server_);
        g_main_loop_unref(loop_);
        g_main_context_pop_thread_default(context_);
        g_main_context_unref(context_);
    });
    started.wait();
    if (port_ == 0) throw std::runtime_error("download server did not start");
}

DownloadServer::~DownloadServer() {
    g_main_context_invoke(context_, [](gpointer loop) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(loop));
        return G_SOURCE_REMOVE;
    }, loop_);
    thread_.join();
}

void DownloadServer::route(const std::string& path, Answer answer) {
    std::lock_guard lock(mutex_);
    routes_[path] = std::move(answer);
}

std::string DownloadServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> DownloadServer::requestedPaths() const {
    std::lock_guard lock(mutex_);
    return requested_;
}

unsigned DownloadServer::refusedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);  // bound, never listened: nothing answers there now
    return ntohs(addr.sin_port);
}

}  // namespace testutil
