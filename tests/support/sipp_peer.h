// A SIPp process on 127.0.0.1 playing one scenario of tests/sipp as the far end of one call,
// on a free UDP port. Gone with the object.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testutil {

// A port that is free for both UDP and TCP on 127.0.0.1 at the moment of asking.
unsigned freeSipPort();

struct SippPeerOptions {
    // SIPp gives up on the call (and fails) after this long.
    unsigned timeoutSeconds = 20;
};

class SippPeer {
public:
    // Whether SIPp is installed.
    static bool available();

    // Starts SIPp with tests/sipp/<scenario>.xml; the scenario's log actions go to logFile().
    explicit SippPeer(const std::string& scenario) : SippPeer(scenario, SippPeerOptions{}) {}
    SippPeer(const std::string& scenario, const SippPeerOptions& options);
    ~SippPeer();
    SippPeer(const SippPeer&) = delete;
    SippPeer& operator=(const SippPeer&) = delete;

    bool started() const { return pid_ > 0; }
    unsigned port() const { return port_; }
    std::string uri(const std::string& user = "door") const;
    // Waits for SIPp to end; answers its exit status (0: the call went as the scenario says),
    // or -1 when it did not end in time (it is killed then).
    int wait(double timeoutSeconds = 10.0);
    // What the scenario's <log> actions wrote.
    std::string log() const;
    std::string errors() const;
    // Every message SIPp received or sent, in order, by its method or status code.
    struct Message {
        bool received;
        std::string name;  // "INVITE", "ACK", ... or "180", "200", ...
    };
    std::vector<Message> messages() const;

private:
    pid_t pid_ = -1;
    unsigned port_ = 0;
    int status_ = -2;
    std::string dir_;
};

}  // namespace testutil
