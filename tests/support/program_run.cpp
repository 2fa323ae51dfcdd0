#include "tests/support/program_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

extern char** environ;

namespace testutil {

std::string programPath() { return KIVANO_BINARY_DIR "/kivano"; }

ProgramRun::ProgramRun(const Options& options) {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        auto eq = entry.find('=');
        if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [k, v] : options.environment) env[k] = v;
    std::vector<std::string> envText;
    for (const auto& [k, v] : env) envText.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);

    std::string program = options.program.empty() ? programPath() : options.program;
    std::vector<std::string> args{program};
    args.insert(args.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    if (!options.workingDirectory.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());
    pid_t pid = 0;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        return;
    }
    pid_ = pid;
    reader_ = std::thread([this, fd = fds[0]] { readOutput(fd); });
}

ProgramRun::~ProgramRun() {
    if (pid_ != 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        waitForExit(10);
    }
    if (reader_.joinable()) reader_.join();
}

void ProgramRun::readOutput(int fd) {
    // The web engine's helper processes share the pipe and may outlive the program a little; the
    // reader stops a while after the program has been reaped.
    std::string partial;
    auto reapedAt = std::chrono::steady_clock::time_point::max();
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int n = ::poll(&p, 1, 100);
        if (n > 0) {
            char buf[4096];
            ssize_t got = ::read(fd, buf, sizeof buf);
            if (got <= 0) break;
            std::lock_guard lock(mutex_);
            partial.append(buf, static_cast<std::size_t>(got));
            for (auto nl = partial.find('\n'); nl != std::string::npos; nl = partial.find('\n')) {
                lines_.push_back(partial.substr(0, nl));
                partial.erase(0, nl + 1);
            }
            changed_.notify_all();
            continue;
        }
        std::lock_guard lock(mutex_);
        if (reaped_ && reapedAt == std::chrono::steady_clock::time_point::max()) reapedAt = std::chrono::steady_clock::now();
        if (std::chrono::steady_clock::now() - reapedAt > std::chrono::seconds(2)) break;
    }
    std::lock_guard lock(mutex_);
    if (!partial.empty()) lines_.push_back(partial);
    changed_.notify_all();
    ::close(fd);
}

std::vector<std::string> ProgramRun::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::string ProgramRun::transcript() const {
    std::string out;
    for (const auto& l : lines()) out += "  | " + l + "\n";
    return out;
}

bool ProgramRun::waitForLine(const std::function<bool(const std::string&)>& match, double timeoutSeconds) {
    std::unique_lock lock(mutex_);
    std::size_t seen = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    for (;;) {
        for (; seen < lines_.size(); ++seen) {
            if (match(lines_[seen])) return true;
        }
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
            for (; seen < lines_.size(); ++seen) {
                if (match(lines_[seen])) return true;
            }
            return false;
        }
    }
}

bool ProgramRun::waitForLine(const std::string& exact, double timeoutSeconds) {
    return waitForLine([&](const std::string& l) { return l == exact; }, timeoutSeconds);
}

std::optional<int> ProgramRun::waitForExit(double timeoutSeconds) {
    if (pid_ == 0) return std::nullopt;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (!reaped_) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            std::lock_guard lock(mutex_);
            reaped_ = true;
            exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (exitStatus_ < 0) return std::nullopt;
    return exitStatus_;
}

}  // namespace testutil
