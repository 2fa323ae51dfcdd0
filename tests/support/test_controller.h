// A controller of our own for tests and benchmarks: a real HTTP server on loopback, on a thread
// with its own main context, so the client's main loop can be spun by the test.
//
// "/jdev/cfg/apiKey" answers the envelope {"LL": {"control", "value", "Code"}} whose "value"
// holds (with apostrophes) the serial number, a version and a fresh one-time key in hex. Every
// other path except "/bare" is a command: it must carry "auth=" with the lower-case hex
// HMAC-SHA1 of "user:password" under an issued key, and answers the envelope with Code "200"
// (401 and Code "401" when the value is wrong). "/bare" answers "ok" without any check.
// It can listen on a second port as well (one controller, two addresses).
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testctl {

struct Answer {
    int status = 200;
    std::optional<std::string> contentType;  // absent: no Content-Type header
    std::string body;
};

class TestController {
public:
    enum class Family { IPv4, IPv6 };
    explicit TestController(Family family = Family::IPv4);
    ~TestController();
    TestController(const TestController&) = delete;
    TestController& operator=(const TestController&) = delete;

    // False when the server could not listen (IPv6 missing, say).
    bool running() const;
    int port() const;
    std::string host() const;     // "127.0.0.1" or "::1"
    std::string address() const;  // host and port as written in a URL: "127.0.0.1:4711", "[::1]:4711"
    // Listens on one more port of the same loopback address; answers it as written in a URL.
    std::string addAddress();

    // What it answers; thread-safe, for requests that arrive afterwards.
    void setSerial(const std::string& snr);  // as sent; default "50:4F:94:10:B8:4A"
    void setCredentials(const std::string& username, const std::string& password);  // default admin/secret
    void setKeyDelay(double seconds);
    void setCommandDelay(double seconds);
    // While on, key (or command) answers are held back; turning it off sends the held ones.
    void holdKeyAnswers(bool on);
    void holdCommandAnswers(bool on);
    // Replaces the envelope's "value" text (the key of setKeyText, or a random one, is still issued).
    void setKeyValue(std::optional<std::string> valueText);
    void setKeyText(std::optional<std::string> keyHex);      // replaces the key sent inside "value"
    void setKeyAnswer(std::optional<Answer> answer);         // replaces the whole key answer
    void redirectKeyTo(std::optional<std::string> address);  // key requests get 302 to that host:port
    void setCommandAnswer(std::optional<Answer> answer);     // replaces the answer of accepted commands
    // Key (or command) answers go on with blanks up to `totalBytes` in all (0: no padding), written
    // piece by piece without holding them, under a Content-Length header or chunked.
    void padKeyAnswers(std::size_t totalBytes, bool declareLength = false);
    void padCommandAnswers(std::size_t totalBytes, bool declareLength = false);
    // Command requests are still read, checked and carried out, but their connection is then
    // reset (RST) instead of answered.
    void resetCommands(bool on);
    // Stops listening: connections to the port are refused from now on.
    void refuse();

    // What it saw.
    int keyRequests() const;
    std::vector<std::string> commands() const;  // request paths (with query) of accepted commands
    int rejectedCommands() const;
    // Command requests that arrived, carried out or rejected.
    int commandRequests() const;
    // Connections that have carried a request and that the client has not closed yet.
    int openConnections() const;
    // Body bytes of all answers written to connections so far.
    std::size_t bodyBytesWritten() const;

    static constexpr const char* kSerial = "50:4F:94:10:B8:4A";
    static constexpr const char* kSerialNo = "504F9410B84A";  // the same without colons
    static constexpr const char* kUser = "admin";
    static constexpr const char* kPassword = "secret";

    struct State;

private:
    std::shared_ptr<State> state_;
};

// A valid PNG of the given size, every pixel black: one bit per pixel, so a few kilobytes hold a
// picture that decodes to gigabytes.
std::string blackPNG(unsigned width, unsigned height);

// Lower-case hex HMAC-SHA1, computed independently of the client.
std::string hmacSha1Hex(const std::string& key, const std::string& message);
// Hex of every byte of the text.
std::string hexOf(const std::string& text);

}  // namespace testctl
