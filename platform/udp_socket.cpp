#include "platform/udp_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <glib-unix.h>
#include <glib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "platform/log.h"

namespace platform {

namespace {

std::string errnoText(int err) { return std::strerror(err); }

bool toSockaddr(const UdpEndpoint& endpoint, sockaddr_in& out, std::string* error) {
    std::memset(&out, 0, sizeof out);
    out.sin_family = AF_INET;
    out.sin_port = htons(endpoint.port);
    if (endpoint.host.empty()) {
        out.sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    if (inet_pton(AF_INET, endpoint.host.c_str(), &out.sin_addr) != 1) {
        if (error) *error = "not an IPv4 address: " + endpoint.host;
        return false;
    }
    return true;
}

static_assert(sizeof(SocketAddress::bytes) == sizeof(sockaddr_storage));

SocketAddress addressOf(const void* address, std::size_t length) {
    SocketAddress s;
    s.length = static_cast<std::uint32_t>(std::min(length, s.bytes.size()));
    std::memcpy(s.bytes.data(), address, s.length);
    return s;
}

}  // namespace

std::string SocketAddress::text(bool withPort) const {
    sockaddr_storage storage{};
    std::memcpy(&storage, bytes.data(), bytes.size());
    char buffer[INET6_ADDRSTRLEN] = {0};
    std::string host;
    unsigned port = 0;
    bool known = false;
    if (storage.ss_family == AF_INET && length >= sizeof(sockaddr_in)) {
        const auto& a = reinterpret_cast<const sockaddr_in&>(storage);
        if (inet_ntop(AF_INET, &a.sin_addr, buffer, sizeof buffer)) host = buffer;
        port = ntohs(a.sin_port);
        known = true;
    } else if (storage.ss_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(storage);
        if (inet_ntop(AF_INET6, &a.sin6_addr, buffer, sizeof buffer)) host = buffer;
        port = ntohs(a.sin6_port);
        known = true;
    }
    if (!withPort) return host;
    return known ? host + ":" + std::to_string(port) : host + ":";
}

SocketAddress SocketAddress::ipv4(const std::string& host, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, host.c_str(), &a.sin_addr);
    return addressOf(&a, sizeof a);
}

SocketAddress SocketAddress::ipv6(const std::string& host, std::uint16_t port) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    inet_pton(AF_INET6, host.c_str(), &a.sin6_addr);
    return addressOf(&a, sizeof a);
}

// What the main-context source holds; outlives the socket object while a delivery is running.
struct UdpSocket::Source {
    int fd = -1;
    bool open = true;
    DatagramHandler handler;
};

std::unique_ptr<UdpSocket> UdpSocket::create(std::string* error) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (error) *error = errnoText(errno);
        return nullptr;
    }
    return std::unique_ptr<UdpSocket>(new UdpSocket(fd));
}

UdpSocket::~UdpSocket() { close(); }

bool UdpSocket::setBroadcast(bool on) {
    int value = on ? 1 : 0;
    return fd_ >= 0 && ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &value, sizeof value) == 0;
}

bool UdpSocket::setSendTimeout(double seconds) {
    if (fd_ < 0 || !(seconds >= 0)) return false;
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(seconds);
    tv.tv_usec = static_cast<suseconds_t>(std::lround((seconds - static_cast<double>(tv.tv_sec)) * 1e6));
    if (tv.tv_usec >= 1000000) {
        ++tv.tv_sec;
        tv.tv_usec -= 1000000;
    }
    return ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

bool UdpSocket::bind(const UdpEndpoint& local, std::string* error) {
    if (fd_ < 0) {
        if (error) *error = "socket closed";
        return false;
    }
    sockaddr_in a;
    if (!toSockaddr(local, a, error)) return false;
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        if (error) *error = errnoText(errno);
        return false;
    }
    return true;
}

bool UdpSocket::sendTo(const void* data, std::size_t length, const UdpEndpoint& to, std::string* error) {
    if (fd_ < 0) {
        if (error) *error = "socket closed";
        return false;
    }
    sockaddr_in a;
    if (!toSockaddr(to, a, error)) return false;
    ssize_t n;
    do {
        n = ::sendto(fd_, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (error) *error = errnoText(errno);
        return false;
    }
    return true;
}

std::uint16_t UdpSocket::localPort() const {
    if (fd_ < 0) return 0;
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0 || a.sin_family != AF_INET) return 0;
    return ntohs(a.sin_port);
}

void UdpSocket::detachSource() {
    if (source_) {
        source_->open = false;
        source_->handler = nullptr;
        source_.reset();
    }
    if (sourceId_ != 0) {
        g_source_remove(sourceId_);
        sourceId_ = 0;
    }
}

void UdpSocket::setHandler(DatagramHandler handler) {
    detachSource();
    if (!handler || fd_ < 0) return;
    source_ = std::make_shared<Source>();
    source_->fd = fd_;
    source_->handler = std::move(handler);
    auto* hold = new std::shared_ptr<Source>(source_);
    sourceId_ = g_unix_fd_add_full(
        G_PRIORITY_DEFAULT, fd_, static_cast<GIOCondition>(G_IO_IN | G_IO_ERR),
        [](gint, GIOCondition, gpointer data) -> gboolean {
            std::shared_ptr<Source> src = *static_cast<std::shared_ptr<Source>*>(data);
            if (!src->open) return G_SOURCE_REMOVE;
            // One datagram per wake-up; the source fires again while more are queued.
            std::vector<std::uint8_t> buffer(65536);
            sockaddr_storage sender{};
            socklen_t senderLength = sizeof sender;
            ssize_t n = ::recvfrom(src->fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&sender), &senderLength);
            if (n < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    int pending = 0;
                    socklen_t len = sizeof pending;
                    ::getsockopt(src->fd, SOL_SOCKET, SO_ERROR, &pending, &len);  // clears a queued error
                }
                return G_SOURCE_CONTINUE;
            }
            buffer.resize(static_cast<std::size_t>(n));
            SocketAddress from = addressOf(&sender, senderLength);
            auto handler = src->handler;  // the handler may close the socket
            if (handler) handler(buffer, from);
            return src->open ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
        },
        hold, [](gpointer data) { delete static_cast<std::shared_ptr<Source>*>(data); });
}

void UdpSocket::close() {
    detachSource();
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace platform
