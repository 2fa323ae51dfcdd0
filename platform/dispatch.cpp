#include "platform/dispatch.h"

#include <glib.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace platform {

static std::thread::id gMainThread = std::this_thread::get_id();

void initMainThread() { gMainThread = std::this_thread::get_id(); }
bool isMainThread() { return std::this_thread::get_id() == gMainThread; }

// ---- main queue ----

namespace {
struct MainQueue {
    std::mutex mutex;
    std::deque<Job> jobs;
    bool scheduled = false;

    static gboolean drain(gpointer data) {
        auto* q = static_cast<MainQueue*>(data);
        std::deque<Job> batch;
        {
            std::lock_guard lock(q->mutex);
            batch.swap(q->jobs);
            q->scheduled = false;
        }
        // Jobs queued while these run go to the next turn.
        for (auto& job : batch) job();
        return G_SOURCE_REMOVE;
    }

    void push(Job job) {
        bool schedule = false;
        {
            std::lock_guard lock(mutex);
            jobs.push_back(std::move(job));
            if (!scheduled) {
                scheduled = true;
                schedule = true;
            }
        }
        if (schedule) {
            g_autoptr(GSource) src = g_idle_source_new();
            g_source_set_priority(src, G_PRIORITY_DEFAULT);
            g_source_set_callback(src, &MainQueue::drain, this, nullptr);
            g_source_attach(src, g_main_context_default());
        }
    }
};
MainQueue& mainQueue() {
    static MainQueue* q = new MainQueue;  // lives for the process
    return *q;
}
}  // namespace

void dispatchMain(Job job) { mainQueue().push(std::move(job)); }

// ---- prompt jobs ----

namespace {
struct PromptJobs {
    std::mutex mutex;
    std::deque<Job> jobs;
    // The main thread's wait, while it waits.
    std::mutex* waitMutex = nullptr;
    std::condition_variable* waitChanged = nullptr;

    // Main thread. Each job runs once, whichever turn comes first.
    void runPending() {
        for (;;) {
            Job job;
            {
                std::lock_guard lock(mutex);
                if (jobs.empty()) return;
                job = std::move(jobs.front());
                jobs.pop_front();
            }
            job();
        }
    }
    bool pending() {
        std::lock_guard lock(mutex);
        return !jobs.empty();
    }
};
PromptJobs& promptJobs() {
    static PromptJobs* p = new PromptJobs;  // lives for the process
    return *p;
}
}  // namespace

void dispatchMainPromptly(Job job) {
    PromptJobs& p = promptJobs();
    std::mutex* waitMutex = nullptr;
    std::condition_variable* waitChanged = nullptr;
    {
        std::lock_guard lock(p.mutex);
        p.jobs.push_back(std::move(job));
        waitMutex = p.waitMutex;
        waitChanged = p.waitChanged;
    }
    dispatchMain([] { promptJobs().runPending(); });
    if (waitChanged) {
        // Taken so that the wake-up cannot fall between the waiter's look and its sleep.
        std::lock_guard lock(*waitMutex);
        waitChanged->notify_all();
    }
}

bool waitOnMainThread(std::unique_lock<std::mutex>& lock, std::condition_variable& changed, const std::function<bool()>& done,
                      std::optional<std::chrono::steady_clock::time_point> deadline) {
    PromptJobs& p = promptJobs();
    std::mutex* outerMutex;
    std::condition_variable* outerChanged;
    {
        std::lock_guard guard(p.mutex);
        outerMutex = p.waitMutex;
        outerChanged = p.waitChanged;
        p.waitMutex = lock.mutex();
        p.waitChanged = &changed;
    }
    bool result = false;
    for (;;) {
        if (done()) {
            result = true;
            break;
        }
        if (p.pending()) {
            lock.unlock();
            p.runPending();
            lock.lock();
            continue;
        }
        if (deadline) {
            if (changed.wait_until(lock, *deadline) == std::cv_status::timeout) {
                result = done();
                break;
            }
        } else {
            changed.wait(lock);
        }
    }
    std::lock_guard guard(p.mutex);
    p.waitMutex = outerMutex;
    p.waitChanged = outerChanged;
    return result;
}

// ---- background pool ----

namespace {
struct Pool {
    GThreadPool* pool;
    Pool() {
        int n = static_cast<int>(std::thread::hardware_concurrency());
        if (n < 4) n = 4;
        pool = g_thread_pool_new(&Pool::run, nullptr, n, FALSE, nullptr);
    }
    static void run(gpointer data, gpointer) {
        std::unique_ptr<Job> job(static_cast<Job*>(data));
        (*job)();
    }
};
Pool& pool() {
    static Pool* p = new Pool;
    return *p;
}
}  // namespace

void dispatchBackground(Job job) { g_thread_pool_push(pool().pool, new Job(std::move(job)), nullptr); }

// ---- serial queues ----

struct SerialQueue::State {
    std::string label;
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<Job> jobs;
    bool stopping = false;
    std::thread worker;
};

SerialQueue::SerialQueue(std::string label) : state_(std::make_shared<State>()) {
    state_->label = std::move(label);
    auto st = state_;
    st->worker = std::thread([st] {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(st->mutex);
                st->cv.wait(lock, [&] { return st->stopping || !st->jobs.empty(); });
                if (st->jobs.empty()) return;
                job = std::move(st->jobs.front());
                st->jobs.pop_front();
            }
            job();
        }
    });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->cv.notify_all();
    if (state_->worker.get_id() == std::this_thread::get_id()) {
        state_->worker.detach();
    } else if (state_->worker.joinable()) {
        state_->worker.join();
    }
}

void SerialQueue::async(Job job) {
    {
        std::lock_guard lock(state_->mutex);
        state_->jobs.push_back(std::move(job));
    }
    state_->cv.notify_one();
}

void SerialQueue::sync(const Job& job) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    async([&] {
        job();
        std::lock_guard lock(m);
        done = true;
        cv.notify_one();
    });
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return done; });
}

const std::string& SerialQueue::label() const { return state_->label; }

// ---- timers ----

std::shared_ptr<Timer> Timer::scheduled(double intervalSeconds, bool repeats, std::function<void(Timer&)> fire) {
    std::shared_ptr<Timer> t(new Timer);
    t->interval_ = intervalSeconds < 0 ? 0 : intervalSeconds;
    t->repeats_ = repeats;
    t->fire_ = std::move(fire);
    t->self_ = t;
    auto ms = static_cast<guint>(t->interval_ * 1000.0 + 0.5);
    // The source holds a reference to the timer until it is removed.
    auto* holder = new std::shared_ptr<Timer>(t);
    t->sourceId_ = g_timeout_add_full(G_PRIORITY_DEFAULT, ms, reinterpret_cast<GSourceFunc>(&Timer::onFire), holder,
                                      [](gpointer p) { delete static_cast<std::shared_ptr<Timer>*>(p); });
    return t;
}

int Timer::onFire(void* data) {
    std::shared_ptr<Timer> t = *static_cast<std::shared_ptr<Timer>*>(data);
    if (!t->repeats_) t->sourceId_ = 0;  // the source ends with this call
    if (t->fire_) {
        auto fire = t->fire_;
        fire(*t);
    }
    if (!t->repeats_ || t->sourceId_ == 0) {
        t->fire_ = nullptr;
        return G_SOURCE_REMOVE;
    }
    return G_SOURCE_CONTINUE;
}

Timer::~Timer() = default;

void Timer::invalidate() {
    if (sourceId_ != 0) {
        unsigned id = sourceId_;
        sourceId_ = 0;
        // The holder is released by the source's destroy notify; keep ourselves alive until then.
        auto keep = self_.lock();
        g_source_remove(id);
    }
    fire_ = nullptr;
}

bool Timer::isValid() const { return sourceId_ != 0; }

// ---- loop helpers ----

bool runMainLoopUntil(const std::function<bool()>& done, double timeoutSeconds) {
    gint64 end = g_get_monotonic_time() + static_cast<gint64>(timeoutSeconds * 1e6);
    GMainContext* ctx = g_main_context_default();
    // Wakes the loop every 10 ms so the deadline is checked.
    guint tick = g_timeout_add(10, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    bool ok = true;
    while (!done()) {
        if (g_get_monotonic_time() >= end) {
            ok = done();
            break;
        }
        g_main_context_iteration(ctx, TRUE);
    }
    g_source_remove(tick);
    return ok;
}

void runMainLoopFor(double seconds) {
    runMainLoopUntil([] { return false; }, seconds);
}

}  // namespace platform
