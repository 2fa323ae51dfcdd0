#include "tests/support/sipp_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/support/test_util.h"

namespace testutil {

namespace {

bool bindable(int type, unsigned port) {
    int fd = ::socket(AF_INET, type, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

const char* sippPath() { return "/usr/bin/sipp"; }

}  // namespace

unsigned freeSipPort() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        ::close(fd);
        unsigned port = ntohs(a.sin_port);
        if (port > 1024 && port < 65000 && bindable(SOCK_STREAM, port)) return port;
    }
    return 0;
}

bool SippPeer::available() { return ::access(sippPath(), X_OK) == 0; }

SippPeer::SippPeer(const std::string& scenario, const SippPeerOptions& options) {
    dir_ = std::filesystem::temp_directory_path() / ("sipp-" + std::to_string(::getpid()) + "-" + std::to_string(rand()));
    std::filesystem::create_directories(dir_);
    port_ = freeSipPort();
    std::string scenarioFile = sourceDir() + "/tests/sipp/" + scenario + ".xml";
    std::vector<std::string> args = {sippPath(), "-sf", scenarioFile, "-i", "127.0.0.1", "-p", std::to_string(port_),
                                     "-m", "1", "-timeout", std::to_string(options.timeoutSeconds), "-timeout_error", "-nostdin",
                                     "-trace_logs", "-log_file", dir_ + "/log.txt",
                                     "-trace_err", "-error_file", dir_ + "/errors.txt",
                                     "-trace_msg", "-message_file", dir_ + "/messages.txt"};
    pid_ = ::fork();
    if (pid_ == 0) {
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::setenv("TERM", "dumb", 1);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    // Ready once its UDP socket is bound.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (bindable(SOCK_DGRAM, port_) && std::chrono::steady_clock::now() < until) {
        int st = 0;
        if (::waitpid(pid_, &st, WNOHANG) == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

SippPeer::~SippPeer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::string SippPeer::uri(const std::string& user) const {
    return "sip:" + user + "@127.0.0.1:" + std::to_string(port_);
}

int SippPeer::wait(double timeoutSeconds) {
    if (pid_ <= 0) return status_ == -2 ? -1 : status_;
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (std::chrono::steady_clock::now() < until) {
        int st = 0;
        if (::waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            return status_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return -1;
}

std::string SippPeer::log() const {
    std::error_code ec;
    return std::filesystem::exists(dir_ + "/log.txt", ec) ? readFile(dir_ + "/log.txt") : "";
}

std::vector<SippPeer::Message> SippPeer::messages() const {
    std::error_code ec;
    if (!std::filesystem::exists(dir_ + "/messages.txt", ec)) return {};
    // Each traced message follows a line "<transport> message received [<n>] bytes :" or
    // "<transport> message sent (<n> bytes):" and an empty line.
    std::istringstream in(readFile(dir_ + "/messages.txt"));
    std::vector<Message> out;
    std::string line;
    // The direction of the message whose first line comes next, if one was announced.
    bool pending = false;
    bool received = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find(" message received [") != std::string::npos) {
            pending = true;
            received = true;
        } else if (line.find(" message sent (") != std::string::npos) {
            pending = true;
            received = false;
        } else if (pending && !line.empty()) {
            std::string name = line.rfind("SIP/2.0 ", 0) == 0 ? line.substr(8, 3) : line.substr(0, line.find(' '));
            out.push_back({received, name});
            pending = false;
        }
    }
    return out;
}

std::string SippPeer::errors() const {
    std::error_code ec;
    return std::filesystem::exists(dir_ + "/errors.txt", ec) ? readFile(dir_ + "/errors.txt") : "";
}

}  // namespace testutil
