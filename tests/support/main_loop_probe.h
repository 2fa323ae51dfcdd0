// Watches the main loop from a thread of its own while a test spins it: how long a job queued
// to the main thread had to wait at most (the tray menu and every other answer of the program
// come from the main loop), and how far the process's resident memory grew.
#pragma once

#include <cstddef>
#include <memory>

namespace testutil {

class MainLoopProbe {
public:
    MainLoopProbe();
    ~MainLoopProbe();
    MainLoopProbe(const MainLoopProbe&) = delete;
    MainLoopProbe& operator=(const MainLoopProbe&) = delete;

    // The longest wait of a probing job so far, a job still waiting included, in seconds.
    double longestWait() const;
    // The largest resident size seen, less the one at construction, in bytes.
    std::size_t residentGrowth() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace testutil
