#include "tests/support/main_loop_probe.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/dispatch.h"

namespace testutil {

using Clock = std::chrono::steady_clock;

static std::size_t residentBytes() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) return 0;
    unsigned long size = 0, resident = 0;
    int n = std::fscanf(f, "%lu %lu", &size, &resident);
    std::fclose(f);
    return n == 2 ? resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) : 0;
}

struct MainLoopProbe::State {
    mutable std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false;
    std::optional<Clock::time_point> queuedAt;  // of the job still waiting
    Clock::duration longest{};
    std::size_t residentAtStart = 0;
    std::size_t residentPeak = 0;
    std::thread thread;

    void sample() { residentPeak = std::max(residentPeak, residentBytes()); }

    void run(const std::shared_ptr<State>& self) {
        std::unique_lock lock(mutex);
        while (!stopping) {
            queuedAt = Clock::now();
            platform::dispatchMain([self] {
                std::lock_guard l(self->mutex);
                if (self->queuedAt) self->longest = std::max(self->longest, Clock::now() - *self->queuedAt);
                self->queuedAt.reset();
                self->changed.notify_all();
            });
            // Memory is sampled while the job waits, too: a stalled main loop may be allocating.
            while (queuedAt && !stopping) {
                sample();
                changed.wait_for(lock, std::chrono::milliseconds(10));
            }
            sample();
            changed.wait_for(lock, std::chrono::milliseconds(5), [&] { return stopping; });
        }
    }
};

MainLoopProbe::MainLoopProbe() : state_(std::make_shared<State>()) {
    state_->residentAtStart = state_->residentPeak = residentBytes();
    state_->thread = std::thread([s = state_] { s->run(s); });
}

MainLoopProbe::~MainLoopProbe() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
        state_->changed.notify_all();
    }
    state_->thread.join();
}

double MainLoopProbe::longestWait() const {
    std::lock_guard lock(state_->mutex);
    auto longest = state_->longest;
    if (state_->queuedAt) longest = std::max(longest, Clock::now() - *state_->queuedAt);
    return std::chrono::duration<double>(longest).count();
}

std::size_t MainLoopProbe::residentGrowth() const {
    std::lock_guard lock(state_->mutex);
    return state_->residentPeak > state_->residentAtStart ? state_->residentPeak - state_->residentAtStart : 0;
}

}  // namespace testutil
