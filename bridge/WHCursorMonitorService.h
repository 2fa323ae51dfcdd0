// Hides the mouse pointer after a time without movement.
#pragma once

#include <functional>
#include <memory>

namespace platform {
class Timer;
class PointerMonitor;
}

class WHCursorMonitorService {
public:
    // Seconds on a steady clock.
    using Clock = std::function<double()>;

    // The shared instance, made on first use.
    static WHCursorMonitorService& service();

    // Time-out > 0: hide after that many idle seconds, checked once a second; movement shows the
    // pointer again. Time-out <= 0: hide at once and again whenever the application becomes active.
    // Does nothing while running.
    void startWithTimeout(double seconds);
    void stop();
    void handleCursorHideTimerFire();
    // What the movement monitors call.
    void cursorMoved();

    bool isRunning() const { return isRunning_; }
    double timeout() const { return timeout_; }
    double cursorLastMovedTime() const { return cursorLastMovedTime_; }
    const std::shared_ptr<platform::Timer>& cursorHideTimer() const { return cursorHideTimer_; }
    bool hasLocalMonitor() const { return localMonitor_ != nullptr; }
    bool hasGlobalMonitor() const { return globalMonitor_ != nullptr; }

    // Tests give their own clock; null restores the steady one.
    void setClock(Clock clock) { clock_ = std::move(clock); }

private:
    WHCursorMonitorService() = default;
    ~WHCursorMonitorService();
    double now() const;

    double cursorLastMovedTime_ = 0;
    std::shared_ptr<platform::Timer> cursorHideTimer_;
    std::unique_ptr<platform::PointerMonitor> localMonitor_;
    std::unique_ptr<platform::PointerMonitor> globalMonitor_;
    bool isRunning_ = false;
    double timeout_ = 0;
    bool observingActivation_ = false;
    Clock clock_;
};
