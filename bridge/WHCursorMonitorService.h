// Hides the mouse pointer after a time without movement.
#pragma once

#include <memory>

namespace platform {
class Timer;
}

class WHCursorMonitorService {
public:
    static WHCursorMonitorService& service();

    void startWithTimeout(double seconds);
    void stop();
    void handleCursorHideTimerFire();

    bool isRunning() const { return isRunning_; }
    double timeout() const { return timeout_; }

private:
    double cursorLastMovedTime_ = 0;
    std::shared_ptr<platform::Timer> cursorHideTimer_;
    bool isRunning_ = false;
    double timeout_ = 0;
};
