// Whether a local TCP port is free: a socket bound to it on every IPv4 address and let go.
#pragma once

namespace platform {

struct PortProbe {
    enum Outcome {
        Free,          // bound and let go
        InUse,         // EADDRINUSE
        NoSocket,      // no socket could be made
        NotBound,      // bind failed otherwise (`error`); EINVAL for a port outside 0..65535
    } outcome = NoSocket;
    int error = 0;
    bool nameUnknown = false;  // getsockname failed after the bind
    int closeError = 0;        // close failed after the bind (errno), else 0
};

PortProbe probeLocalTcpPort(long long port);

}  // namespace platform
