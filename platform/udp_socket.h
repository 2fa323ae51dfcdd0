// IPv4 datagram sockets whose received datagrams are delivered on the main thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// A host given as numeric IPv4 text and a port.
struct UdpEndpoint {
    std::string host;
    std::uint16_t port = 0;
};

// A sender address as the kernel reported it: the first `length` bytes of `bytes`.
struct SocketAddress {
    std::array<std::uint8_t, 128> bytes{};
    std::uint32_t length = 0;

    // IPv4 dotted text or IPv6 standard text; with `withPort`, followed by ":" and the decimal port.
    // Any other family gives "" (":" with the port flag).
    std::string text(bool withPort) const;
    static SocketAddress ipv4(const std::string& host, std::uint16_t port);
    static SocketAddress ipv6(const std::string& host, std::uint16_t port);
};

class UdpSocket {
public:
    using DatagramHandler = std::function<void(const std::vector<std::uint8_t>& data, const SocketAddress& from)>;

    // A new IPv4 datagram socket; null with `error` set when the system gives none.
    static std::unique_ptr<UdpSocket> create(std::string* error = nullptr);
    ~UdpSocket();  // closes
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    bool setBroadcast(bool on);
    bool setSendTimeout(double seconds);
    // Binds to the numeric host ("" or "0.0.0.0" for any) and port; false with `error` set.
    bool bind(const UdpEndpoint& local, std::string* error = nullptr);
    // Sends one datagram; false with `error` set when the system refused it.
    bool sendTo(const void* data, std::size_t length, const UdpEndpoint& to, std::string* error = nullptr);
    bool sendTo(const std::vector<std::uint8_t>& data, const UdpEndpoint& to, std::string* error = nullptr) {
        return sendTo(data.data(), data.size(), to, error);
    }

    // Delivers every datagram (whole, up to 64 KiB) with its sender on the main context until
    // close(). An empty handler stops the delivery.
    void setHandler(DatagramHandler handler);
    // Stops the delivery and closes the native socket; safe to call more than once, and from
    // inside the handler.
    void close();

    bool isOpen() const { return fd_ >= 0; }
    int nativeHandle() const { return fd_; }
    // The bound local port (0 when unbound or closed).
    std::uint16_t localPort() const;

private:
    explicit UdpSocket(int fd) : fd_(fd) {}
    void detachSource();

    struct Source;
    int fd_ = -1;
    unsigned sourceId_ = 0;
    std::shared_ptr<Source> source_;
};

}  // namespace platform
