#include "bridge/WHCursorMonitorService.h"

#include <chrono>

#include "platform/application.h"
#include "platform/dispatch.h"
#include "platform/log.h"
#include "platform/notification_center.h"
#include "platform/pointer.h"

using platform::PointerMonitor;

WHCursorMonitorService& WHCursorMonitorService::service() {
    // Never destroyed: the monitor runs for the life of the process.
    static WHCursorMonitorService* s = new WHCursorMonitorService;
    return *s;
}

WHCursorMonitorService::~WHCursorMonitorService() = default;

double WHCursorMonitorService::now() const {
    if (clock_) return clock_();
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void WHCursorMonitorService::startWithTimeout(double seconds) {
    if (isRunning_) return;
    timeout_ = seconds;
    cursorLastMovedTime_ = now();
    if (seconds > 0) {
        localMonitor_ = PointerMonitor::add(PointerMonitor::Scope::Application, [this] { cursorMoved(); });
        globalMonitor_ = PointerMonitor::add(PointerMonitor::Scope::Global, [this] { cursorMoved(); });
        if (!globalMonitor_) platform::logLine("Pointer movement outside the application cannot be watched here.");
        cursorHideTimer_ = platform::Timer::scheduled(1.0, true, [this](platform::Timer&) { handleCursorHideTimerFire(); });
    } else {
        platform::NotificationCenter::defaultCenter().addObserver(
            this, platform::kApplicationDidBecomeActiveNotification, nullptr,
            [this](const platform::Notification&) { handleCursorHideTimerFire(); });
        observingActivation_ = true;
        platform::hidePointer();
    }
    isRunning_ = true;
}

void WHCursorMonitorService::cursorMoved() {
    cursorLastMovedTime_ = now();
    if (platform::isPointerHidden()) platform::showPointer();
}

void WHCursorMonitorService::handleCursorHideTimerFire() {
    if (!isRunning_) return;
    // Hiding again while hidden also covers windows and cursors that appeared meanwhile.
    if (timeout_ <= 0 || now() - cursorLastMovedTime_ >= timeout_) platform::hidePointer();
}

void WHCursorMonitorService::stop() {
    if (!isRunning_) return;
    localMonitor_.reset();
    globalMonitor_.reset();
    if (cursorHideTimer_) cursorHideTimer_->invalidate();
    cursorHideTimer_.reset();
    if (observingActivation_) {
        platform::NotificationCenter::defaultCenter().removeObserver(this, platform::kApplicationDidBecomeActiveNotification);
        observingActivation_ = false;
    }
    platform::showPointer();
    isRunning_ = false;
}
