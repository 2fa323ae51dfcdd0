// Finds controllers on the local network: one SSDP M-SEARCH to the multicast group and one
// one-byte broadcast, then every reply that names a controller goes to the page as a kept
// result {address: name} until the search is stopped.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge/WHPlugin.h"
#include "platform/udp_socket.h"

class KVHSFinder : public WHPlugin {
public:
    using WHPlugin::WHPlugin;
    ~KVHSFinder() override;

    const ActionTable& actions() const override;
    void dispose() override;
    void onReset() override;

    void startFinder(const WHInvokedUrlCommand& command);
    void stopFinder(const WHInvokedUrlCommand& command);

    void sendMulticast();
    void sendBroadcast();
    void tearDownSockets();
    // Reply text and its sender.
    void discoverdDeviceViaSSDP(const std::string& reply, const platform::SocketAddress& address);
    void discoverdDeviceViaUDP(const std::string& reply, const platform::SocketAddress& address);
    void discoveredDeviceWithName(const std::string& name, const std::string& ipAddress);

    // The text between the first `from` and the next `to` (both ignoring ASCII case), without
    // surrounding blanks and tabs; "" when either marker is missing or empty.
    static std::string extractInfo(const std::string& text, const std::string& from, const std::string& to);
    static std::string getAddress(const platform::SocketAddress& address, bool withPort);

    // Where the sockets bind and send to.
    struct Endpoints {
        platform::UdpEndpoint ssdpLocal{"", 1900};
        platform::UdpEndpoint ssdpGroup{"239.255.255.250", 1900};
        platform::UdpEndpoint broadcastLocal{"", 7071};
        platform::UdpEndpoint broadcastTarget{"255.255.255.255", 7070};
        double sendTimeout = 5.0;
    };
    static const Endpoints& endpoints();
    // Tests point the search at loopback; nullopt restores the defaults.
    static void setEndpointsForTesting(std::optional<Endpoints> endpoints);

    // The M-SEARCH datagram, its terminating zero included (99 bytes).
    static const std::vector<std::uint8_t>& searchDatagram();

    bool isSearching = false;
    std::unique_ptr<platform::UdpSocket> ssdpSocket;
    std::unique_ptr<platform::UdpSocket> udpSocket;
    std::optional<std::string> callbackId;
};

// Receive the datagrams of the two sockets.
void ssdpSocketCallback(KVHSFinder& finder, const std::vector<std::uint8_t>& data, const platform::SocketAddress& from);
void udpSocketCallback(KVHSFinder& finder, const std::vector<std::uint8_t>& data, const platform::SocketAddress& from);
