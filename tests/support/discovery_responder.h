// A controller on loopback as the finder sees it: one UDP socket that answers SSDP searches and
// one that answers the one-byte probe, each to the datagram's sender, on a thread of its own.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testdisc {

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

class DiscoveryResponder {
public:
    DiscoveryResponder();  // both sockets on 127.0.0.1, ports chosen by the system
    ~DiscoveryResponder();
    DiscoveryResponder(const DiscoveryResponder&) = delete;
    DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

    std::uint16_t ssdpPort() const { return ssdpPort_; }
    std::uint16_t probePort() const { return probePort_; }

    // What each request is answered with, one datagram per entry; thread-safe. The defaults are
    // controllerSsdpReply("Wohnung", ...) and controllerProbeReply("Wohnung", ...).
    void setSsdpReplies(std::vector<Bytes> replies);
    void setProbeReplies(std::vector<Bytes> replies);

    // The requests it received, and the port each came from.
    std::vector<Bytes> ssdpRequests() const;
    std::vector<Bytes> probeRequests() const;
    std::uint16_t lastSsdpSenderPort() const;
    std::uint16_t lastProbeSenderPort() const;
    // Waits (without a main loop) until that many requests arrived on each socket.
    bool waitForRequests(std::size_t ssdp, std::size_t probe, double timeoutSeconds = 5.0) const;

    // Sends a datagram from the probe socket (so its sender is 127.0.0.1) to a loopback port.
    void sendFromProbe(const Bytes& datagram, std::uint16_t port) const;
    void sendFromSsdp(const Bytes& datagram, std::uint16_t port) const;

    // What a controller named `name` sends, its web server at 127.0.0.1:`webPort`.
    static std::string controllerSsdpReply(const std::string& name, std::uint16_t webPort);
    static std::string controllerProbeReply(const std::string& name, std::uint16_t webPort);

private:
    void run();

    int ssdpFd_ = -1, probeFd_ = -1, wakeFd_[2] = {-1, -1};
    std::uint16_t ssdpPort_ = 0, probePort_ = 0;
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<Bytes> ssdpReplies_, probeReplies_;
    std::vector<Bytes> ssdpRequests_, probeRequests_;
    std::uint16_t lastSsdpSender_ = 0, lastProbeSender_ = 0;
    std::thread thread_;
};

// A loopback port that was free a moment ago.
std::uint16_t freeUdpPort();
// Open file descriptors of this process.
int openDescriptorCount();

}  // namespace testdisc
