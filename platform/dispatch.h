// Queues and timers on the GLib main context.
//  - main queue: FIFO; a job never runs inside the call that queued it, also from the main thread.
//  - background: a shared pool of worker threads (concurrent).
//  - serial queues: one job at a time, in order, on a worker thread of their own.
//  - timers: one-shot or repeating, fired on the main thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace platform {

using Job = std::function<void()>;

// Marks the calling thread as the main thread (the one running the default main context).
void initMainThread();
bool isMainThread();

void dispatchMain(Job job);
void dispatchBackground(Job job);

// For main-thread work that a worker waits for: runs from the main loop like dispatchMain's jobs
// (in order among themselves), or earlier, inside waitOnMainThread() while the main thread waits
// there for a worker. Jobs given here must not wait for anything themselves.
void dispatchMainPromptly(Job job);
// Main thread: waits until `done()` (checked with `lock` held; whoever changes what it reads
// notifies `changed`) or the deadline, running the jobs given to dispatchMainPromptly meanwhile.
// Answers `done()`.
bool waitOnMainThread(std::unique_lock<std::mutex>& lock, std::condition_variable& changed, const std::function<bool()>& done,
                      std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);

class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue();  // waits for queued jobs to finish
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(Job job);
    // Runs the job on the queue and waits for it. Must not be called from the queue itself.
    void sync(const Job& job);
    const std::string& label() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

class Timer {
public:
    // Schedules on the main context; the callback runs on the main thread.
    static std::shared_ptr<Timer> scheduled(double intervalSeconds, bool repeats, std::function<void(Timer&)> fire);
    ~Timer();
    void invalidate();
    bool isValid() const;
    double interval() const { return interval_; }
    bool repeats() const { return repeats_; }

private:
    Timer() = default;
    static int onFire(void* self);
    unsigned sourceId_ = 0;
    double interval_ = 0;
    bool repeats_ = false;
    std::function<void(Timer&)> fire_;
    std::weak_ptr<Timer> self_;
};

// Runs the default main context until `done` answers true or the time is up; answers `done()`.
// For tests and benchmarks.
bool runMainLoopUntil(const std::function<bool()>& done, double timeoutSeconds);
// Runs the default main context for a while.
void runMainLoopFor(double seconds);

}  // namespace platform
