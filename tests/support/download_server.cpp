#include "tests/support/download_server.h"

#include <arpa/inet.h>
#include <libsoup/soup.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

DownloadServer::DownloadServer()
    : server_(std::make_unique<SoupServerThread>("download server", [this](SoupServer* server) {
          soup_server_add_handler(server, nullptr, reinterpret_cast<SoupServerCallback>(&DownloadServer::handle), this,
                                  nullptr);
      })) {}

DownloadServer::~DownloadServer() = default;

void DownloadServer::route(const std::string& path, Answer answer) {
    std::lock_guard lock(mutex_);
    routes_[path] = std::move(answer);
}

std::string DownloadServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port()) + path;
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
