// Tells the selected controller that the user is at this computer: while a presence control is
// selected, the user is present (screen unlocked, no screen saver, machine and screens awake) and
// the network is reachable, it sends the pulse
// "/jdev/sps/io/<control>/pulse" over the controller's local address and schedules the next one
// from the interval the controller answers. Failures are retried with a growing delay; wrong
// credentials and a missing presence control end detection with an alert.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "companion/Hubstation.h"
#include "companion/KVHTTPCommand.h"
#include "companion/KivanoControlState.h"
#include "companion/PresenceControl.h"
#include "companion/Reachability.h"
#include "platform/lifetime.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "platform/session_notices.h"

class PresenceDetector {
public:
    static PresenceDetector& sharedInstance();
    // Replaces the single instance (tests); null drops it, the next use creates a new one.
    static void setSharedInstance(std::unique_ptr<PresenceDetector> instance);
    static bool hasSharedInstance();

    // Watches the default route and the session's own notices.
    PresenceDetector();
    // `reachability` may be null (no network tracking: the network counts as reachable).
    // Every timer interval is multiplied by `timeScale` (tests shorten the waits with it).
    PresenceDetector(std::shared_ptr<Reachability> reachability, std::shared_ptr<platform::SessionNoticeSource> notices,
                     double timeScale = 1.0);
    ~PresenceDetector();
    PresenceDetector(const PresenceDetector&) = delete;
    PresenceDetector& operator=(const PresenceDetector&) = delete;

    void didReceiveSelectedHubstation(std::shared_ptr<Hubstation> hubstation);
    void didReceiveSelectedPresenceControl(std::shared_ptr<const PresenceControl> control);
    void startPresenceDetector(double timeout);
    void stopPresenceDetector(bool removePresenceControl, const std::optional<std::string>& stateText);
    void didReceiveNotification(const platform::Notification& notification);
    void timerFired(platform::Timer& sender);

    // The pulse's answer, as the command delivers it.
    void handlePulseResult(const KVHTTPResult& result, bool success, const platform::HttpErrorRef& localError,
                           const platform::Value& userInfo);

    // No session notice says that the user is away.
    bool userIsPresent() const { return !screenLocked_ && !screensaverRunning_ && !machineAsleep_ && !screensAsleep_; }
    bool isOnline() const { return isOnline_; }
    // The user is present and the network reachable: only then do pulses go out.
    bool isPresentAndOnline() const { return userIsPresent() && isOnline_; }
    double currentBackupTime() const { return currentBackupTime_; }
    long unauthorizedCount() const { return unauthorizedCount_; }
    // The pending timers' intervals in unscaled seconds; absent when none is pending.
    std::optional<double> pendingPresenceInterval() const;
    std::optional<double> pendingBackupInterval() const;
    const std::shared_ptr<KVHTTPCommand>& currentHTTPCommand() const { return currentHTTPCommand_; }
    const std::shared_ptr<Hubstation>& hubstation() const { return hubstation_; }
    const std::shared_ptr<const PresenceControl>& presenceControl() const { return presenceControl_; }

    // The delay before a pulse: value / 1000 (whole seconds) less 15, at least 5.
    static double nextInterval(long long value);
    // The retry delay after `current`: 3 at first, then 1.5 times, at most 60.
    static double nextBackupTime(double current);

private:
    struct PendingTimer {
        std::shared_ptr<platform::Timer> timer;
        double interval = 0;
        std::chrono::steady_clock::time_point fireDate;
        bool isSet() const { return timer != nullptr; }
    };
    void schedule(PendingTimer& slot, double interval);
    static void cancel(PendingTimer& slot);
    void showAlert(const std::string& message, const std::optional<std::string>& informativeText);
    void report(KivanoControlState state, const std::optional<std::string>& text);
    // Applies a session notice to the state it speaks of; false for other names.
    bool applySessionNotice(const std::string& name);

    // What each session signal says last; the user is present while none says away.
    bool screenLocked_ = false;
    bool screensaverRunning_ = false;
    bool machineAsleep_ = false;  // sleep or power-off announced and not yet over
    bool screensAsleep_ = false;
    std::shared_ptr<KVHTTPCommand> currentHTTPCommand_;
    PendingTimer presenceTimer_;
    PendingTimer backupTimer_;
    double currentBackupTime_ = 0;
    long unauthorizedCount_ = 0;
    std::shared_ptr<Hubstation> hubstation_;
    std::shared_ptr<const PresenceControl> presenceControl_;
    bool isOnline_ = false;
    // A reachability answer has come (or nothing watches the network).
    bool networkKnown_ = false;
    std::shared_ptr<Reachability> reachability_;
    std::shared_ptr<platform::SessionNoticeSource> notices_;
    double timeScale_ = 1.0;
    // Timers and pulses reach the detector only while it lives.
    platform::Lifetime<PresenceDetector> lifetime_;
};
