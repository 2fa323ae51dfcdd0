#include "media/KVHSFinder.h"

#include <algorithm>

#include "bridge/WHCommandDelegate.h"
#include "platform/log.h"
#include "platform/text_checks.h"

WH_REGISTER_PLUGIN(KVHSFinder);

namespace {

std::optional<KVHSFinder::Endpoints>& endpointOverride() {
    static std::optional<KVHSFinder::Endpoints> e;
    return e;
}

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// First position of `needle` in `text` at or after `start`, ignoring ASCII case.
std::size_t findIgnoringCase(const std::string& text, const std::string& needle, std::size_t start = 0) {
    if (needle.empty() || start > text.size()) return std::string::npos;
    auto it = std::search(text.begin() + static_cast<std::ptrdiff_t>(start), text.end(), needle.begin(), needle.end(),
                          [](char a, char b) { return lowerAscii(a) == lowerAscii(b); });
    return it == text.end() ? std::string::npos : static_cast<std::size_t>(it - text.begin());
}

bool containsIgnoringCase(const std::string& text, const std::string& needle) {
    return findIgnoringCase(text, needle) != std::string::npos;
}

void sendOk(WHCommandDelegate* delegate, const std::optional<std::string>& callbackId, bool value) {
    if (!delegate || !callbackId) return;
    delegate->sendPluginResult(WHPluginResult::resultWithStatusMessageAsBool(WHCommandStatus_OK, value), callbackId);
}

void socketCallback(KVHSFinder& finder, const std::vector<std::uint8_t>& data, const platform::SocketAddress& from,
                    void (KVHSFinder::*discovered)(const std::string&, const platform::SocketAddress&)) {
    if (data.empty()) {
        platform::logLine(platform::LogLevel::Error, "ERROR: no data!");
        return;
    }
    if (!platform::isUTF8(data.data(), data.size())) return;
    (finder.*discovered)(std::string(data.begin(), data.end()), from);
}

constexpr const char kOtherDevice[] = "     detected other device, do not process!";

}  // namespace

void ssdpSocketCallback(KVHSFinder& finder, const std::vector<std::uint8_t>& data, const platform::SocketAddress& from) {
    socketCallback(finder, data, from, &KVHSFinder::discoverdDeviceViaSSDP);
}

void udpSocketCallback(KVHSFinder& finder, const std::vector<std::uint8_t>& data, const platform::SocketAddress& from) {
    socketCallback(finder, data, from, &KVHSFinder::discoverdDeviceViaUDP);
}

KVHSFinder::~KVHSFinder() { tearDownSockets(); }

const WHPlugin::ActionTable& KVHSFinder::actions() const {
    static const ActionTable table{WH_ACTION(KVHSFinder, startFinder), WH_ACTION(KVHSFinder, stopFinder)};
    return table;
}

const KVHSFinder::Endpoints& KVHSFinder::endpoints() {
    static const Endpoints defaults;
    return endpointOverride() ? *endpointOverride() : defaults;
}

void KVHSFinder::setEndpointsForTesting(std::optional<Endpoints> endpoints) { endpointOverride() = std::move(endpoints); }

const std::vector<std::uint8_t>& KVHSFinder::searchDatagram() {
    static const std::vector<std::uint8_t> datagram = [] {
        static const char text[] =
            "M-SEARCH RevAVEV HTTP/1.1\r\nHost: 239.255.255.250:1900\r\nMan: ssdp:discover\r\nMX: 3\r\nST: ssdp:all\r\n\r\n";
        return std::vector<std::uint8_t>(text, text + sizeof text);  // with the terminating zero
    }();
    return datagram;
}

// The sockets deliver to this object only while it holds them; going away closes them.
void KVHSFinder::dispose() {
    tearDownSockets();
    isSearching = false;
    callbackId.reset();
    WHPlugin::dispose();
}

// A new page: the old page's callback is gone, so is its search.
void KVHSFinder::onReset() {
    if (!isSearching && !ssdpSocket && !udpSocket) return;
    platform::logLine("-KVHSFinder: page reset, search closed");
    tearDownSockets();
    isSearching = false;
    callbackId.reset();
}

void KVHSFinder::startFinder(const WHInvokedUrlCommand& command) {
    // A search already running is closed first: its sockets hold the ports, and its callback
    // gets its final answer as from stopFinder.
    if (isSearching || ssdpSocket || udpSocket) {
        platform::logLine("-KVHSFinder: startFinder while searching, closing the running search");
        sendOk(commandDelegate(), callbackId, true);
        tearDownSockets();
    }
    callbackId = command.callbackId();
    isSearching = false;

    const Endpoints& ep = endpoints();
    std::string error;
    ssdpSocket = platform::UdpSocket::create(&error);
    if (!ssdpSocket) {
        platform::logf(platform::LogLevel::Error, "-KVHSFinder: no SSDP socket: %s", error);
    } else if (!ssdpSocket->bind(ep.ssdpLocal, &error)) {
        // Replies still reach the port the system picks when sending.
        platform::logf(platform::LogLevel::Error, "-KVHSFinder: bind to port %u failed: %s", unsigned(ep.ssdpLocal.port), error);
    }
    udpSocket = platform::UdpSocket::create(&error);
    if (!udpSocket) {
        platform::logf(platform::LogLevel::Error, "-KVHSFinder: no broadcast socket: %s", error);
    } else {
        udpSocket->setBroadcast(true);
        if (!udpSocket->bind(ep.broadcastLocal, &error))
            platform::logf(platform::LogLevel::Error, "-KVHSFinder: bind to port %u failed: %s", unsigned(ep.broadcastLocal.port), error);
    }

    if (!ssdpSocket && !udpSocket) {
        // Nothing could be sent or heard: say so instead of leaving the page waiting.
        if (commandDelegate() && callbackId) {
            commandDelegate()->sendPluginResult(
                WHPluginResult::resultWithStatus(WHCommandStatus_ERROR, "discovery sockets unavailable: " + error),
                callbackId);
        }
        callbackId.reset();
        return;
    }

    if (ssdpSocket) {
        ssdpSocket->setHandler([this](const std::vector<std::uint8_t>& data, const platform::SocketAddress& from) {
            ssdpSocketCallback(*this, data, from);
        });
    }
    if (udpSocket) {
        udpSocket->setHandler([this](const std::vector<std::uint8_t>& data, const platform::SocketAddress& from) {
            udpSocketCallback(*this, data, from);
        });
    }

    isSearching = true;
    sendMulticast();
    sendBroadcast();
}

void KVHSFinder::sendMulticast() {
    platform::logLine("-KVHSFinder: sendMulticast");
    if (!ssdpSocket) return;
    const Endpoints& ep = endpoints();
    ssdpSocket->setSendTimeout(ep.sendTimeout);
    std::string error;
    if (!ssdpSocket->sendTo(searchDatagram(), ep.ssdpGroup, &error))
        platform::logf(platform::LogLevel::Warning, "-KVHSFinder: sendMulticast failed: %s", error);
}

void KVHSFinder::sendBroadcast() {
    platform::logLine("-KVHSFinder: sendBroadcast");
    if (!udpSocket) return;
    const Endpoints& ep = endpoints();
    udpSocket->setSendTimeout(ep.sendTimeout);
    static const std::uint8_t probe[1] = {0};
    std::string error;
    if (!udpSocket->sendTo(probe, sizeof probe, ep.broadcastTarget, &error))
        platform::logf(platform::LogLevel::Warning, "-KVHSFinder: sendBroadcast failed: %s", error);
}

void KVHSFinder::tearDownSockets() {
    if (ssdpSocket) {
        ssdpSocket->close();
        ssdpSocket.reset();
    }
    if (udpSocket) {
        udpSocket->close();
        udpSocket.reset();
    }
}

std::string KVHSFinder::extractInfo(const std::string& text, const std::string& from, const std::string& to) {
    std::size_t a = findIgnoringCase(text, from);
    if (a == std::string::npos) return "";
    std::size_t start = a + from.size();
    std::size_t b = findIgnoringCase(text, to, start);
    if (b == std::string::npos) return "";
    std::size_t first = start, last = b;
    while (first < last && (text[first] == ' ' || text[first] == '\t')) ++first;
    while (last > first && (text[last - 1] == ' ' || text[last - 1] == '\t')) --last;
    return text.substr(first, last - first);
}

std::string KVHSFinder::getAddress(const platform::SocketAddress& address, bool withPort) {
    return address.text(withPort);
}

void KVHSFinder::discoverdDeviceViaSSDP(const std::string& reply, const platform::SocketAddress&) {
    std::string server = extractInfo(reply, "SERVER:", "\r\n");
    if (!containsIgnoringCase(server, "Kivano Hubstation")) {
        platform::logLine(kOtherDevice);
        return;
    }
    std::string name = extractInfo(reply, "Kivano Hubstation", "UPnP");
    std::string location = extractInfo(reply, "LOCATION:", "\r\n");
    std::string address = extractInfo(location, "http://", "/upnp.xml");
    if (name.empty() || address.empty()) return;
    platform::logf("SSDP discovered: %s with IP %s", name, address);
    discoveredDeviceWithName(name, address);
}

void KVHSFinder::discoverdDeviceViaUDP(const std::string& reply, const platform::SocketAddress& address) {
    if (findIgnoringCase(reply, "RevAVEV:") != 0) {
        platform::logLine(kOtherDevice);
        return;
    }
    std::string ip = getAddress(address, false);
    std::string name = extractInfo(reply, "RevAVEV: ", ip);
    std::string found = ip.empty() ? "" : ip + extractInfo(reply, ip, " ");
    if (name.empty() || found.empty()) return;
    platform::logf("UDP discovered: %s with IP %s", name, found);
    discoveredDeviceWithName(name, found);
}

void KVHSFinder::discoveredDeviceWithName(const std::string& name, const std::string& ipAddress) {
    if (!callbackId || !commandDelegate()) return;
    Value hit = Value::object();
    hit[ipAddress] = name;
    auto result = WHPluginResult::resultWithStatusMessageAsDictionary(WHCommandStatus_OK, std::move(hit));
    result.setKeepCallbackAsBool(true);
    commandDelegate()->sendPluginResult(result, callbackId);
}

void KVHSFinder::stopFinder(const WHInvokedUrlCommand& command) {
    sendOk(commandDelegate(), callbackId, true);
    callbackId = command.callbackId();
    platform::logLine("-KVHSFinder: stopFinder");
    if (isSearching) {
        if (callbackId) {
            platform::logLine("-KVHSFinder nativ iOS: searching and has a callbackId.");
        } else {
            platform::logLine("-KVHSFinder nativ iOS: could this really happen?");
        }
        isSearching = false;
        tearDownSockets();
        sendOk(commandDelegate(), callbackId, true);
    } else if (callbackId) {
        platform::logLine("-KVHSFinder nativ iOS: not searching but already has a callbackId.");
        sendOk(commandDelegate(), callbackId, false);
    }
    callbackId.reset();
}
