#include "tests/support/discovery_responder.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

namespace testdisc {

namespace {

int loopbackSocket(std::uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("bind");
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

void sendTo(int fd, const Bytes& datagram, std::uint32_t hostOrderAddress, std::uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(hostOrderAddress);
    to.sin_port = htons(port);
    ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

}  // namespace

std::string DiscoveryResponder::controllerSsdpReply(const std::string& name, std::uint16_t webPort) {
    return "HTTP/1.1 200 OK\r\n"
           "CACHE-CONTROL: max-age=1800\r\n"
           "EXT:\r\n"
           "LOCATION: http://127.0.0.1:" + std::to_string(webPort) + "/upnp.xml\r\n"
           "SERVER: Kivano Hubstation " + name + " UPnP/1.0\r\n"
           "ST: upnp:rootdevice\r\n"
           "USN: uuid:aa0f6f53-7e2b-4ef4-9d36-504f94a01234::upnp:rootdevice\r\n\r\n";
}

std::string DiscoveryResponder::controllerProbeReply(const std::string& name, std::uint16_t webPort) {
    return "RevAVEV: " + name + " 127.0.0.1:" + std::to_string(webPort) + " 504F94A01234 10.2.3.26";
}

DiscoveryResponder::DiscoveryResponder() {
    ssdpFd_ = loopbackSocket(ssdpPort_);
    probeFd_ = loopbackSocket(probePort_);
    if (::pipe2(wakeFd_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    ssdpReplies_ = {bytes(controllerSsdpReply("Wohnung", 8080))};
    probeReplies_ = {bytes(controllerProbeReply("Wohnung", 8080))};
    thread_ = std::thread([this] { run(); });
}

DiscoveryResponder::~DiscoveryResponder() {
    char c = 'q';
    [[maybe_unused]] auto n = ::write(wakeFd_[1], &c, 1);
    thread_.join();
    ::close(ssdpFd_);
    ::close(probeFd_);
    ::close(wakeFd_[0]);
    ::close(wakeFd_[1]);
}

void DiscoveryResponder::run() {
    std::vector<std::uint8_t> buffer(65536);
    for (;;) {
        pollfd fds[3] = {{wakeFd_[0], POLLIN, 0}, {ssdpFd_, POLLIN, 0}, {probeFd_, POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) continue;
        if (fds[0].revents) return;
        for (int i = 1; i < 3; ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = ::recvfrom(fds[i].fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 0) continue;
            std::vector<Bytes> replies;
            {
                std::lock_guard lock(mutex_);
                Bytes request(buffer.begin(), buffer.begin() + n);
                if (i == 1) {
                    ssdpRequests_.push_back(std::move(request));
                    lastSsdpSender_ = ntohs(from.sin_port);
                    replies = ssdpReplies_;
                } else {
                    probeRequests_.push_back(std::move(request));
                    lastProbeSender_ = ntohs(from.sin_port);
                    replies = probeReplies_;
                }
            }
            arrived_.notify_all();
            for (const auto& r : replies) sendTo(fds[i].fd, r, ntohl(from.sin_addr.s_addr), ntohs(from.sin_port));
        }
    }
}

void DiscoveryResponder::setSsdpReplies(std::vector<Bytes> replies) {
    std::lock_guard lock(mutex_);
    ssdpReplies_ = std::move(replies);
}

void DiscoveryResponder::setProbeReplies(std::vector<Bytes> replies) {
    std::lock_guard lock(mutex_);
    probeReplies_ = std::move(replies);
}

std::vector<Bytes> DiscoveryResponder::ssdpRequests() const {
    std::lock_guard lock(mutex_);
    return ssdpRequests_;
}

std::vector<Bytes> DiscoveryResponder::probeRequests() const {
    std::lock_guard lock(mutex_);
    return probeRequests_;
}

std::uint16_t DiscoveryResponder::lastSsdpSenderPort() const {
    std::lock_guard lock(mutex_);
    return lastSsdpSender_;
}

std::uint16_t DiscoveryResponder::lastProbeSenderPort() const {
    std::lock_guard lock(mutex_);
    return lastProbeSender_;
}

bool DiscoveryResponder::waitForRequests(std::size_t ssdp, std::size_t probe, double timeoutSeconds) const {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                             [&] { return ssdpRequests_.size() >= ssdp && probeRequests_.size() >= probe; });
}

void DiscoveryResponder::sendFromProbe(const Bytes& datagram, std::uint16_t port) const {
    sendTo(probeFd_, datagram, INADDR_LOOPBACK, port);
}

void DiscoveryResponder::sendFromSsdp(const Bytes& datagram, std::uint16_t port) const {
    sendTo(ssdpFd_, datagram, INADDR_LOOPBACK, port);
}

std::uint16_t freeUdpPort() {
    std::uint16_t port = 0;
    int fd = loopbackSocket(port);
    ::close(fd);
    return port;
}

int openDescriptorCount() {
    int count = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] != '.') ++count;
        }
        ::closedir(d);
        --count;  // the directory's own descriptor
    }
    return count;
}

}  // namespace testdisc
