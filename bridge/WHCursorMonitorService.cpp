#include "bridge/WHCursorMonitorService.h"

#include "platform/dispatch.h"

WHCursorMonitorService& WHCursorMonitorService::service() {
    static WHCursorMonitorService* s = new WHCursorMonitorService;
    return *s;
}

void WHCursorMonitorService::startWithTimeout(double seconds) {
    if (isRunning_) return;
    timeout_ = seconds;
    isRunning_ = true;
}

void WHCursorMonitorService::stop() {
    if (!isRunning_) return;
    if (cursorHideTimer_) cursorHideTimer_->invalidate();
    cursorHideTimer_.reset();
    isRunning_ = false;
}

void WHCursorMonitorService::handleCursorHideTimerFire() {}
