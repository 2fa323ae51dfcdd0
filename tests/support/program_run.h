// The built program started as a process of its own, its standard output and error collected
// line by line.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testutil {

// The program of the build (build/kivano).
std::string programPath();

class ProgramRun {
public:
    struct Options {
        std::vector<std::string> arguments;
        std::map<std::string, std::string> environment;  // set on top of the test's own
        std::string workingDirectory;                    // empty: the test's
        std::string program;                             // empty: programPath()
    };
    // Starts the program; pid() is 0 when it could not be started.
    explicit ProgramRun(const Options& options);
    // Ends a program still running (SIGKILL) and reaps it.
    ~ProgramRun();
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    pid_t pid() const { return pid_; }
    std::vector<std::string> lines() const;
    // Waits until a line satisfies `match`; answers whether one did within the time-out.
    bool waitForLine(const std::function<bool(const std::string&)>& match, double timeoutSeconds = 30);
    bool waitForLine(const std::string& exact, double timeoutSeconds = 30);
    // Waits for the process to end; its exit status, absent on time-out or when killed by a signal.
    std::optional<int> waitForExit(double timeoutSeconds = 30);
    // Everything it printed, for failure messages.
    std::string transcript() const;

private:
    void readOutput(int fd);

    pid_t pid_ = 0;
    bool reaped_ = false;
    int exitStatus_ = -1;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

}  // namespace testutil
