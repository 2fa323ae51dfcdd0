#include "platform/local_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace platform {

PortProbe probeLocalTcpPort(long long port) {
    PortProbe probe;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        probe.outcome = PortProbe::NoSocket;
        probe.error = errno;
        return probe;
    }
    if (port < 0 || port > 65535) {
        ::close(fd);
        probe.outcome = PortProbe::NotBound;
        probe.error = EINVAL;
        return probe;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        probe.error = errno;
        probe.outcome = probe.error == EADDRINUSE ? PortProbe::InUse : PortProbe::NotBound;
        ::close(fd);
        return probe;
    }
    probe.outcome = PortProbe::Free;
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) < 0) probe.nameUnknown = true;
    if (::close(fd) < 0) probe.closeError = errno;
    return probe;
}

}  // namespace platform
